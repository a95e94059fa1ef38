#!/usr/bin/env bash
# Runs a command while two busy processes per core compete with it, as on a
# machine where other work keeps every core busy; its exit status is the
# command's. The busy processes end with the command, on every way out
# (failure, Ctrl+C, a kill of this script), and end themselves should this
# script be killed outright.
#
#   bash scripts/under_load.sh ctest --preset native -L system
set -euo pipefail

cores=$(nproc 2>/dev/null || echo 2)
me=$$
busy=()
stop_load() {
  local pid
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null || true; done
  busy=()
}
trap stop_load EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

for ((i = 0; i < 2 * cores; i++)); do
  # Spins, and every few hundred thousand turns looks whether this script
  # is still there.
  bash -c 'while kill -0 "$1" 2>/dev/null; do for ((n = 0; n < 300000; n++)); do :; done; done' \
    busy "$me" &
  busy+=("$!")
done
echo "under load: ${#busy[@]} busy processes on $cores cores"

"$@"
