#!/usr/bin/env bash
# Times `quorrex -s TREE` against the equivalent find and bfs on generated
# trees, with the default number of walk workers and with one, and its
# records for scripts (QUORREX_FORMAT=json) against its text.
#
#   bench/run.sh [entries...]          default: 200000 1000000
#
# For every size: builds (or reuses) a deterministic tree under $BENCH_DIR,
# warms the cache, times the programs $RUNS times each, alternating, with
# output to a file, sweeps QUORREX_WORKERS over $SWEEP (smallest tree only), then measures peak memory (/usr/bin/time) and system calls
# (strace -c -f), checks that both found the same links, and compares against
# the targets. Last it runs the registry and name pattern benchmark.
#
# Environment: RUNS (7), SWEEP ("1 2 3 4 6 8"), BENCH_DIR (/tmp/quorrex-bench), SKIP_REGISTRY=1 to
# leave out the registry benchmark, SKIP_STRACE=1 to leave out the call counts,
# BASELINE=/path/to/an/older/quorrex to time an earlier build beside the others.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build="$repo/build/bench"
work=${BENCH_DIR:-/tmp/quorrex-bench}
runs=${RUNS:-7}
if [ "$#" -gt 0 ]; then sizes=("$@"); else sizes=(200000 1000000); fi

say() { printf '%s\n' "$*" >&2; }

# --- What the run needs -------------------------------------------------------

install_missing() {
  local want=()
  command -v strace >/dev/null || want+=(strace)
  command -v bfs >/dev/null || want+=(bfs)
  [ -x /usr/bin/time ] || want+=(time)
  command -v python3 >/dev/null || want+=(python3)
  command -v jq >/dev/null || want+=(jq)
  command -v cmake >/dev/null || want+=(cmake)
  command -v ninja >/dev/null || want+=(ninja-build)
  command -v g++ >/dev/null || want+=(g++)
  dpkg -s libbenchmark-dev >/dev/null 2>&1 || want+=(libbenchmark-dev)
  [ "${#want[@]}" -eq 0 ] && return 0
  say "installing: ${want[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${want[@]}" >/dev/null
}

build_programs() {
  say "building Release into $build"
  cmake --preset native -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DQUORREX_BUILD_TESTS=OFF -DQUORREX_QUEUE_CHECKS=OFF >"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; exit 1; }
  local targets=(quorrex platform_calls)
  [ "${SKIP_REGISTRY:-0}" = 1 ] || targets+=(registry_bench)
  cmake --build "$build" -j2 --target "${targets[@]}" >>"$work/cmake.log" 2>&1 ||
    { tail -40 "$work/cmake.log" >&2; exit 1; }
  # The floor: the listing's own system calls on one thread, nothing else.
  cc -O2 -o "$build/floor_walk" "$here/floor_walk.c" >>"$work/cmake.log" 2>&1 ||
    { tail -40 "$work/cmake.log" >&2; exit 1; }
}

# --- bfs 4 ---------------------------------------------------------------------

# Debian 12 carries bfs 2.6; bfs 4 (threads, io_uring) is the peer worth
# timing. It is the `bfs` on PATH when that is version 4 or later, else the
# Debian package inside the trixie root that scripts/wine32.sh keeps, run
# there through chroot with the bench folder bound in at the same path (as
# root only). Sets bfs4 (the command prefix, empty when not found).
bfs4=()
find_bfs4() {
  if bfs --version 2>/dev/null | head -1 | grep -qE '^bfs ([4-9]|[1-9][0-9])\.'; then
    bfs4=(bfs)
    return 0
  fi
  local root=${QUORREX_WINE32_CACHE:-$HOME/.cache/quorrex-wine32}/root
  if [ "$(id -u)" -ne 0 ] || [ ! -x "$root/usr/bin/apt-get" ]; then
    say "bfs 4 was not found"
    return 0
  fi
  mkdir -p "$root$work" "$root/proc"
  cat >"$work/in-root.sh" <<EOS
#!/bin/sh
# Runs its arguments inside the trixie root, with $work bound in.
exec unshare --mount --propagation private --fork sh -c \
  'mount --bind "\$0" "$root\$0" && mount --bind /proc "$root/proc" && shift && exec chroot "$root" "\$@"' \
  "$work" - "\$@"
EOS
  chmod +x "$work/in-root.sh"
  if ! "$work/in-root.sh" bfs --version >/dev/null 2>&1; then
    say "installing bfs into the trixie root"
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    "$work/in-root.sh" /usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin \
      DEBIAN_FRONTEND=noninteractive sh -c \
      'apt-get update -qq && apt-get install -y -qq bfs' >"$work/bfs4-install.log" 2>&1 || true
  fi
  if "$work/in-root.sh" bfs --version 2>/dev/null | head -1 | grep -qE '^bfs ([4-9]|[1-9][0-9])\.'; then
    bfs4=("$work/in-root.sh" bfs)
  else
    say "bfs 4 was not found"
  fi
}

# --- Measuring ----------------------------------------------------------------

median() { sort -n | awk '{v[NR] = $1} END {
  if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The "total" line of strace -c: calls are its fourth field.
strace_calls() { awk '$NF == "total" {print $4}' "$1"; }

json_field() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$1" "$2"; }

# A number from the summary block: the line that ends with the given words.
summary_count() { tr -d '\r' <"$1" | awk -v tail="$2" '
  /^summary$/ {s = 1} s && index($0, tail) {for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) {print $i; exit}}'; }

# Runs a command with its output to PREFIX.txt and appends "wall user system
# blocks-read" to PREFIX.times.
# The shell's timer gives milliseconds; /usr/bin/time inside it counts the
# blocks read.
timed() {
  local prefix=$1 TIMEFORMAT='%3R %3U %3S'
  shift
  { time /usr/bin/time -f '%I' -o "$prefix.blocks" "$@" >"$prefix.txt"; } 2>"$prefix.last"
  echo "$(cat "$prefix.last") $(grep -E '^[0-9]+$' "$prefix.blocks" || echo 0)" >>"$prefix.times"
}

# "median (runs that read the disk)" of the blocks column.
disk_reads() { echo "$(awk '{print $4}' "$1" | median) ($(awk '$4 > 0' "$1" | wc -l) of $(wc -l <"$1"))"; }

bench_size() {
  local n=$1
  local tree="$work/tree-$n" out="$work/out-$n"
  mkdir -p "$out"
  say ""
  say "=== $n entries: $tree"
  python3 "$here/make_tree.py" --entries "$n" --out "$tree"
  python3 "$here/tree_stats.py" floor "$tree" >"$out/floor.json"

  local q_cmd=("$build/quorrex" -s "$tree")
  local w_cmd=(env QUORREX_WORKERS=1 "$build/quorrex" -s "$tree")
  local j_cmd=(env QUORREX_FORMAT=json "$build/quorrex" -s "$tree")
  local f_cmd=(find "$tree" \( -type l -printf '%p -> %l\n' \) -o
    \( -type f -links +1 -printf '%i %n %p\n' \))
  local b_cmd=(bfs "$tree" \( -type l -printf '%p -> %l\n' \) -o
    \( -type f -links +1 -printf '%i %n %p\n' \))

  # Warm the cache: every program, twice, output thrown away.
  for _ in 1 2; do
    "${q_cmd[@]}" >/dev/null
    "${f_cmd[@]}" >/dev/null
    "${b_cmd[@]}" >/dev/null
  done

  # Each run's wall, user and system seconds and the blocks it read from the
  # disk: a run that had to read folders from the disk (the VM's page cache
  # may be trimmed between runs) is not a warm-cache figure.
  local i prog
  local progs=(quorrex one json find bfs floor)
  [ -n "${BASELINE:-}" ] && progs+=(base)
  # bfs 4 in the root pays for entering it: timed alone as "enter".
  [ "${#bfs4[@]}" -gt 0 ] && progs+=(bfs4)
  [ "${#bfs4[@]}" -gt 1 ] && progs+=(enter)
  for prog in "${progs[@]}"; do : >"$out/$prog.times"; done
  for ((i = 0; i < runs; i++)); do
    # Rotate the order so that no program always follows the same one.
    local k=$((i % ${#progs[@]}))
    local order=("${progs[@]:k}" "${progs[@]:0:k}")
    for prog in "${order[@]}"; do
      case $prog in
        quorrex) timed "$out/$prog" "${q_cmd[@]}" ;;
        one) timed "$out/$prog" "${w_cmd[@]}" ;;
        json) timed "$out/$prog" "${j_cmd[@]}" ;;
        find) timed "$out/$prog" "${f_cmd[@]}" ;;
        bfs) timed "$out/$prog" "${b_cmd[@]}" ;;
        floor) timed "$out/$prog" "$build/floor_walk" "$tree" ;;
        base) timed "$out/$prog" "$BASELINE" -s "$tree" ;;
        bfs4) timed "$out/$prog" "${bfs4[@]}" "${b_cmd[@]:1}" ;;
        enter) timed "$out/$prog" "${bfs4[@]:0:1}" true ;;
      esac
    done
  done
  cmp -s "$out/quorrex.txt" "$out/one.txt" || { say "one worker and the default differ"; return 1; }
  local q_med f_med q_cpu f_cpu w_med w_cpu b_med b_cpu
  q_med=$(awk '{print $1}' "$out/quorrex.times" | median)
  f_med=$(awk '{print $1}' "$out/find.times" | median)
  w_med=$(awk '{print $1}' "$out/one.times" | median)
  b_med=$(awk '{print $1}' "$out/bfs.times" | median)
  q_cpu=$(awk '{print $2 + $3}' "$out/quorrex.times" | median)
  f_cpu=$(awk '{print $2 + $3}' "$out/find.times" | median)
  w_cpu=$(awk '{print $2 + $3}' "$out/one.times" | median)
  b_cpu=$(awk '{print $2 + $3}' "$out/bfs.times" | median)
  local fl_med
  fl_med=$(awk '{print $1}' "$out/floor.times" | median)
  local j_med j_links j_groups j_names
  j_med=$(awk '{print $1}' "$out/json.times" | median)
  # Each finding once: the records' own counts of what the text found.
  j_links=$(jq -s '[.[] | select(.type == "reparse_point" and .kind == "symlink")] | length' \
    "$out/json.txt")
  j_groups=$(jq -s '[.[] | select(.type == "hard_link_group")] | length' "$out/json.txt")
  j_names=$(jq -s '[.[] | select(.type == "hard_link_group") | .paths | length] | add // 0' \
    "$out/json.txt")
  local q_user f_user b4_med=0 b4_enter=0
  q_user=$(awk '{print $2}' "$out/quorrex.times" | median)
  f_user=$(awk '{print $2}' "$out/find.times" | median)
  [ -s "$out/bfs4.times" ] && b4_med=$(awk '{print $1}' "$out/bfs4.times" | median)
  [ -s "$out/enter.times" ] && b4_enter=$(awk '{print $1}' "$out/enter.times" | median)
  local base_med=0 base_cpu=0
  if [ -n "${BASELINE:-}" ]; then
    base_med=$(awk '{print $1}' "$out/base.times" | median)
    base_cpu=$(awk '{print $2 + $3}' "$out/base.times" | median)
  fi

  say "blocks read from the disk per run, median (runs that read any):" \
    "quorrex $(disk_reads "$out/quorrex.times"), one worker $(disk_reads "$out/one.times")," \
    "find $(disk_reads "$out/find.times")"

  # Where more workers stop paying: the smallest tree only.
  if [ "$n" = "${sizes[0]}" ]; then
    say "workers sweep (median wall / CPU of $runs runs, find $f_med s):"
    local k
    for k in ${SWEEP:-1 2 3 4 6 8}; do
      : >"$out/sweep-$k.times"
      for ((i = 0; i < runs; i++)); do
        timed "$out/sweep-$k" env QUORREX_WORKERS="$k" "$build/quorrex" -s "$tree"
      done
      say "  QUORREX_WORKERS=$k  wall $(awk '{print $1}' "$out/sweep-$k.times" | median) s" \
        " CPU $(awk '{print $2 + $3}' "$out/sweep-$k.times" | median) s"
    done
  fi

  local q_rss f_rss
  /usr/bin/time -f %M -o "$out/quorrex.rss" "${q_cmd[@]}" >/dev/null
  /usr/bin/time -f %M -o "$out/find.rss" "${f_cmd[@]}" >/dev/null
  q_rss=$(tail -1 "$out/quorrex.rss")
  f_rss=$(tail -1 "$out/find.rss")

  local q_calls=NA f_calls=NA
  if [ "${SKIP_STRACE:-0}" != 1 ]; then
    strace -c -f -o "$out/quorrex.strace" "${q_cmd[@]}" >/dev/null
    strace -c -f -o "$out/find.strace" "${f_cmd[@]}" >/dev/null
    q_calls=$(strace_calls "$out/quorrex.strace")
    f_calls=$(strace_calls "$out/find.strace")
  fi

  python3 "$here/tree_stats.py" listing "$out/find.txt" >"$out/find.json"
  local entries floor_calls paths_bytes
  entries=$(json_field "$out/floor.json" entries)
  floor_calls=$(json_field "$out/floor.json" floor_calls)
  paths_bytes=$(json_field "$out/find.json" recorded_path_bytes)

  # Both programs must have found the same things.
  local f_links f_files f_names q_links q_groups q_names agree=yes
  f_links=$(json_field "$out/find.json" symlinks)
  f_files=$(json_field "$out/find.json" multi_link_files)
  f_names=$(json_field "$out/find.json" multi_link_names)
  q_links=$(summary_count "$out/quorrex.txt" "symbolic link")
  q_groups=$(summary_count "$out/quorrex.txt" "hard link group")
  q_names=$(tr -d '\r' <"$out/quorrex.txt" | grep -cE '^ [0-9]+: ' || true)
  [ "$q_links" = "$f_links" ] && [ "$q_groups" = "$f_files" ] && [ "$q_names" = "$f_names" ] ||
    agree=NO

  python3 - "$n" "$q_med" "$f_med" "$q_cpu" "$f_cpu" "$q_rss" "$f_rss" "$q_calls" "$f_calls" "$entries" \
    "$floor_calls" "$paths_bytes" "$agree" "$f_links" "$q_links" "$f_files" "$q_groups" \
    "$f_names" "$q_names" "$runs" "$w_med" "$w_cpu" "$b_med" "$b_cpu" "$base_med" "$base_cpu" \
    "$q_user" "$f_user" "$b4_med" "$b4_enter" "$j_med" "$j_links" "$j_groups" "$j_names" \
    "$fl_med" <<'EOF' | tee "$out/result.txt"
import os
import sys
(n, q_med, f_med, q_cpu, f_cpu, q_rss, f_rss, q_calls, f_calls, entries, floor_calls, paths_bytes, agree,
 f_links, q_links, f_files, q_groups, f_names, q_names, runs, w_med, w_cpu, b_med, b_cpu,
 base_med, base_cpu, q_user, f_user, b4_med, b4_enter, j_med, j_links, j_groups, j_names,
 fl_med) = sys.argv[1:]
fl_med = float(fl_med)
cores = os.cpu_count() or 1
j_med = float(j_med)
q_user, f_user, b4_med, b4_enter = (float(v) for v in (q_user, f_user, b4_med, b4_enter))
base_med, base_cpu = float(base_med), float(base_cpu)
q_med, f_med, q_cpu, f_cpu = (float(v) for v in (q_med, f_med, q_cpu, f_cpu))
w_med, w_cpu, b_med, b_cpu = (float(v) for v in (w_med, w_cpu, b_med, b_cpu))
entries, floor_calls = int(entries), int(floor_calls)
q_rss_mib, f_rss_mib = int(q_rss) / 1024, int(f_rss) / 1024
budget = 40 + int(paths_bytes) / 2**20
ratio = q_med / f_med
def verdict(ok):
    return "met" if ok else "MISSED"
print(f"entries                {entries} (requested {n}), {runs} runs each, alternating")
print(f"wall time, median      quorrex {q_med:.3f} s   one worker {w_med:.3f} s   find {f_med:.3f} s"
      f"   bfs {b_med:.3f} s")
print(f"ratio quorrex/find     {ratio:.2f}")
print(f"ratio one worker/find  {w_med / f_med:.2f}   bfs/find {b_med / f_med:.2f}")
if b4_med > 0:
    b4 = b4_med - b4_enter
    print(f"bfs 4                  wall {b4:.3f} s (entering its root, {b4_enter:.3f} s, taken off)"
          f"   quorrex/bfs 4 {q_med / b4:.2f}")
# Each figure against the three references, from this one run.
b4_wall = b4_med - b4_enter if b4_med > 0 else 0.0
print(f"floor (one thread)     wall {fl_med:.3f} s   floor/find {fl_med / f_med:.2f}"
      f"   split over {cores} cores {fl_med / cores / f_med:.2f}x find (no walk of any number of"
      f" threads goes below)")
print(f"{'':23}{'/find':>8}{'/bfs 4':>8}{'/floor':>8}")
for label, wall in (("default workers", q_med), ("one worker", w_med), ("records for scripts", j_med)):
    against_bfs4 = f"{wall / b4_wall:8.2f}" if b4_wall > 0 else f"{'-':>8}"
    print(f"{label:23}{wall / f_med:8.2f}{against_bfs4}{wall / fl_med:8.2f}")
print(f"targets                one worker/find <= 0.80: {verdict(w_med <= 0.80 * f_med)}"
      f"   default/find <= 0.45: {verdict(q_med <= 0.45 * f_med)}"
      + (f"   default/bfs 4 <= 0.55: {verdict(q_med <= 0.55 * b4_wall)}" if b4_wall > 0 else ""))
print(f"user CPU quorrex/find  {q_user / f_user:.2f}   (target <= 0.6: {verdict(q_user <= 0.6 * f_user)})")
print(f"CPU (user+sys), median quorrex {q_cpu:.3f} s   one worker {w_cpu:.3f} s   find {f_cpu:.3f} s"
      f"   bfs {b_cpu:.3f} s")
print(f"CPU quorrex/one worker {q_cpu / w_cpu:.2f}   (target <= 1.15: {verdict(q_cpu <= 1.15 * w_cpu)})")
print(f"cores kept busy        quorrex {q_cpu / q_med:.2f}   one worker {w_cpu / w_med:.2f}   (CPU / wall)")
if base_med > 0:
    print(f"baseline build         wall {base_med:.3f} s   CPU {base_cpu:.3f} s")
    print(f"default / baseline     wall {q_med / base_med:.2f}   CPU {q_cpu / base_cpu:.2f}"
          f"   (the baseline runs with its own default workers)")
print(f"peak RSS               quorrex {q_rss_mib:.1f} MiB   find {f_rss_mib:.1f} MiB")
print(f"memory budget          40 MiB + {int(paths_bytes) / 2**20:.1f} MiB of recorded paths"
      f" = {budget:.1f} MiB ({verdict(q_rss_mib <= budget)})")
floor_per = floor_calls / entries
if q_calls != "NA":
    q_per, f_per = int(q_calls) / entries, int(f_calls) / entries
    print(f"system calls           quorrex {int(q_calls)}   find {int(f_calls)}   floor {floor_calls}")
    print(f"calls per entry        quorrex {q_per:.3f}   find {f_per:.3f}   floor {floor_per:.3f}")
    print(f"quorrex / floor        {q_per / floor_per:.3f}   (target <= 1.10: "
          f"{verdict(q_per <= 1.1 * floor_per)})")
print(f"symbolic links         quorrex {q_links}   find {f_links}")
print(f"multi-link files       quorrex {q_groups} groups   find {f_files} inodes")
print(f"multi-link names       quorrex {q_names}   find {f_names}")
print(f"counts agree           {agree}")
print(f"records for scripts    wall {j_med:.3f} s   json/text {j_med / q_med:.2f}"
      f"   (target <= 1.15: {verdict(j_med <= 1.15 * q_med)})")
print(f"records' findings      symbolic links {j_links}   groups {j_groups}   names {j_names}"
      f"   (each once: {verdict((j_links, j_groups, j_names) == (q_links, q_groups, q_names))})")
EOF
  if [ "${SKIP_STRACE:-0}" != 1 ]; then
    say "quorrex system calls (top):"
    sed -n '3,10p' "$out/quorrex.strace" >&2
  fi
  [ "$agree" = yes ]
}

mkdir -p "$work"
install_missing
build_programs
find_bfs4
say "machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)," \
  "kernel $(uname -r), $(df -T "$work" | awk 'NR == 2 {print $2}') under $work"
status=0
for n in "${sizes[@]}"; do bench_size "$n" || status=1; done
if [ "${SKIP_REGISTRY:-0}" != 1 ]; then
  say ""
  say "=== hard-link registry and name pattern matcher"
  "$build/bench/registry_bench" --benchmark_min_time=0.5 --benchmark_color=false | tee "$work/registry.txt"
fi
say ""
say "=== Windows system calls per entry (in-memory machine)"
"$build/bench/platform_calls" | tee "$work/platform_calls.txt"
exit "$status"
