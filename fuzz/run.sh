#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset) and runs each one for the given
# number of seconds (30 by default) on a copy of its corpus under
# fuzz/corpus/<target>/. Fails on any finding; the inputs that caused it are
# kept under build/fuzz/findings/<target>/.
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

targets=()
for dir in fuzz/corpus/*/; do
  targets+=("$(basename "$dir")")
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel 2 --target "${targets[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  cp fuzz/corpus/"$target"/* "$work/$target/corpus/"
  echo "== $target: ${seconds}s"
  if build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
      "$work/$target/corpus" >"$work/$target/log" 2>&1; then
    grep -E '^stat::number_of_executed_units' "$work/$target/log" || true
  else
    failed=1
    tail -n 60 "$work/$target/log"
    mkdir -p build/fuzz/findings/"$target"
    cp "$work/$target/artifacts/"* build/fuzz/findings/"$target"/ 2>/dev/null || true
    echo "== $target: FAILED (inputs kept in build/fuzz/findings/$target)"
  fi
done
exit "$failed"
