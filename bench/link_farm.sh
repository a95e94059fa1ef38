#!/usr/bin/env bash
# The peak memory of `quorrex -s` on hard-link farms: a tree copied once with
# `cp -a`, then linked into more copies with `cp -al`, as backup snapshots
# are. Every file of an N-copy farm has N names, and every name is recorded.
#
#   bench/link_farm.sh [quorrex...]      default: build/bench/quorrex
#
# For each farm (COPIES, "1 4 16") and each program, with the default number
# of walk workers and with one, prints the peak resident set
# (/usr/bin/time -f %M), the names recorded, and the peak beyond the
# one-copy run's: per recorded name and per name beyond the first copy's.
# With two or more programs it checks that their outputs (text and JSON
# Lines) are byte for byte alike, and exits non-zero when they are not.
#
# Environment: SOURCE (/usr/share), COPIES ("1 4 16"), FARM_DIR
# (/tmp/quorrex-farm; removed afterwards unless KEEP_FARM=1), RUNS (3: the
# smallest peak of that many runs is kept).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
source_tree=${SOURCE:-/usr/share}
copies=(${COPIES:-1 4 16})
farm=${FARM_DIR:-/tmp/quorrex-farm}
runs=${RUNS:-3}
if [ "$#" -gt 0 ]; then programs=("$@"); else programs=("$repo/build/bench/quorrex"); fi

say() { printf '%s\n' "$*" >&2; }

for program in "${programs[@]}"; do
  [ -x "$program" ] || { say "not a program: $program"; exit 2; }
done
[ -x /usr/bin/time ] || { say "/usr/bin/time is missing (Debian: time)"; exit 2; }

cleanup() { [ "${KEEP_FARM:-0}" = 1 ] || rm -rf "$farm"; }
trap cleanup EXIT

# Farm N: copy 1 with cp -a, the others linked to it with cp -al.
make_farm() {
  local n=$1 root="$farm/$1"
  [ -e "$root.made" ] && return 0
  rm -rf "$root"
  mkdir -p "$root"
  cp -a "$source_tree" "$root/copy-1" 2>/dev/null || true
  for ((c = 2; c <= n; c++)); do cp -al "$root/copy-1" "$root/copy-$c"; done
  touch "$root.made"
}

# The smallest peak of $runs runs, in KiB; the output of the last run in $2.
peak() {
  local program=$1 out=$2 workers=$3 tree=$4 best="" kib
  for ((r = 0; r < runs; r++)); do
    QUORREX_WORKERS=$workers /usr/bin/time -o "$out.time" -f %M "$program" -s "$tree" >"$out" 2>/dev/null || true
    kib=$(tail -1 "$out.time")
    if [ -z "$best" ] || [ "$kib" -lt "$best" ]; then best=$kib; fi
  done
  printf '%s\n' "$best"
}

work="$farm/out"
mkdir -p "$work"
status=0
printf '%-8s %-7s %-28s %12s %10s %14s %14s\n' copies workers program "peak KiB" names \
  "B/name" "B/name>1st"
for n in "${copies[@]}"; do
  make_farm "$n"
  tree="$farm/$n"
  cat $(find "$tree" -type f -size -64k | head -2000) >/dev/null 2>&1 || true
  for workers in "" 1; do
    label=${workers:-default}
    first_out=""
    for p in "${!programs[@]}"; do
      program=${programs[$p]}
      out="$work/$n-$label-$p.txt"
      kib=$(peak "$program" "$out" "$workers" "$tree")
      names=$(grep -c '^ [0-9]*: ' "$out" || true)
      key="$label-$p"
      if [ "$n" = "${copies[0]}" ]; then
        declare "base_kib_${label}_$p=$kib" "base_names_${label}_$p=$names"
      fi
      bk_var="base_kib_${label}_$p"
      bn_var="base_names_${label}_$p"
      per="-" beyond="-"
      extra=$((names - ${!bn_var}))
      if [ "$extra" -gt 0 ]; then
        per=$(((kib - ${!bk_var}) * 1024 / names))
        # The names beyond the first copy's: (N - 1) of every N.
        beyond=$(((kib - ${!bk_var}) * 1024 * n / (names * (n - 1))))
      fi
      printf '%-8s %-7s %-28s %12s %10s %14s %14s\n' "$n" "$label" "$(basename "$(dirname "$program")")/$(basename "$program")" \
        "$kib" "$names" "$per" "$beyond"
      if [ -z "$first_out" ]; then
        first_out=$out
      elif ! cmp -s "$first_out" "$out"; then
        say "DIFFERENT text output: $program on $n copies, workers $label"
        status=1
      fi
      QUORREX_WORKERS=$workers QUORREX_FORMAT=json "$program" -s "$tree" >"$out.json" 2>/dev/null || true
      if [ "$p" -gt 0 ] && ! cmp -s "$work/$n-$label-0.txt.json" "$out.json"; then
        say "DIFFERENT JSON output: $program on $n copies, workers $label"
        status=1
      fi
      : "$key"
    done
    rm -f "$work/$n-$label-"*
  done
done
exit "$status"
