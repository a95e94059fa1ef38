#!/usr/bin/env bash
# Times `quorrex -s` on a real NTFS volume mounted by ntfs-3g against `find`
# and, when BASELINE names one, an older build, and counts their system calls.
#
#   bench/ntfs_volume.sh [files]        default: 100000
#
# The image (under $BENCH_DIR, kept and reused) holds the files in folders of
# 1,000, of which 1% are reparse points (junctions, symbolic links, WOF and
# deduplicated files, app execution links, by turns), 1% have a second name
# (a hard link in the next folder) and 1% a DOS name of their own. It is
# written through ntfs-3g, then mounted again read-only for the runs.
#
# Environment: RUNS (5), BENCH_DIR (/tmp/quorrex-bench), BASELINE (an older
# quorrex), QUORREX (the build to time; build/native/quorrex by default).
# Needs root (the loop mount), ntfs-3g, strace and python3.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
files=${1:-100000}
runs=${RUNS:-5}
work=${BENCH_DIR:-/tmp/quorrex-bench}
quorrex=${QUORREX:-$repo/build/native/quorrex}
image="$work/ntfs-$files.img"
mnt="$work/ntfs-$files"
out="$work/ntfs-out"
mkdir -p "$work" "$mnt" "$out"

cleanup() { mountpoint -q "$mnt" && umount "$mnt"; }
trap cleanup EXIT

if [ ! -e "$image.done" ]; then
  rm -f "$image"
  # About 2.5 KiB of metadata a file (its record and its index entries).
  truncate -s $((files * 3 / 1000 + 64))M "$image"
  mkntfs -F -f -q "$image" >/dev/null 2>&1
  ntfs-3g -o loop "$image" "$mnt"
  start=$(date +%s)
  python3 - "$mnt" "$files" <<'EOF'
import os, struct, sys
root, files = sys.argv[1], int(sys.argv[2])
def utf16(s): return s.encode('utf-16-le')
def link(tag, substitute, printed, flags=None):
    sub, pr = utf16(substitute) + b'\0\0', utf16(printed) + b'\0\0'
    body = struct.pack('<HHHH', 0, len(sub) - 2, len(sub), len(pr) - 2)
    body += (struct.pack('<I', flags) if flags is not None else b'') + sub + pr
    return struct.pack('<IHH', tag, len(body), 0) + body
def raw(tag, payload): return struct.pack('<IHH', tag, len(payload), 0) + payload
kinds = [
    (True, lambda f: link(0xA0000003, '\\??\\C:\\d0000', 'C:\\d0000')),
    (False, lambda f: link(0xA000000C, '\\??\\C:\\d0000\\f0', 'C:\\d0000\\f0', 0)),
    (False, lambda f: raw(0x80000017, struct.pack('<IIII', 1, 2, 1, 1))),
    (False, lambda f: raw(0x80000013, bytes(8))),
    (False, lambda f: raw(0x8000001B, struct.pack('<I', 3) + utf16('App\0App!Id\0C:\\a.exe\0'))),
]
per = 1000
for n in range(files):
    folder = os.path.join(root, 'd%04d' % (n // per))
    if n % per == 0:
        os.mkdir(folder)
    name = os.path.join(folder, 'file %d.txt' % n)
    if n % 100 == 50:  # 1% reparse points
        isdir, data = kinds[(n // 100) % len(kinds)]
        if isdir:
            os.mkdir(name)
        else:
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644))
        os.setxattr(name, 'system.ntfs_reparse_data', data(n), follow_symlinks=False)
        continue
    os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644))
    if n % 100 == 20:  # 1% with a DOS name of their own
        os.setxattr(name, 'system.ntfs_dos_name', b'F%06d.TXT' % n, follow_symlinks=False)
    if n % 100 == 70 and n >= per:  # 1% with a second name, one folder up
        os.link(name, os.path.join(root, 'd%04d' % (n // per - 1), 'link %d.txt' % n))
EOF
  umount "$mnt"
  echo "$(( $(date +%s) - start )) s" > "$image.done"
fi
ntfs-3g -o loop,ro "$image" "$mnt"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# Wall, user and system seconds of one run, output to a file.
timed() {
  local TIMEFORMAT='%R %U %S'
  { time "$@" > "$out/listing" 2>/dev/null; } 2>&1
}

programs=("quorrex:$quorrex -s $mnt")
[ -n "${BASELINE:-}" ] && programs+=("baseline:$BASELINE -s $mnt")
programs+=("find:find $mnt ( -type l -printf %p->%l\n ) -o ( -type f -links +1 -printf %i_%n_%p\n )")

# Warm ntfs-3g's caches and the kernel's.
for p in "${programs[@]}"; do timed ${p#*:} >/dev/null; done

printf '%s files on ntfs-3g (image made in %s), %s runs, medians\n' "$files" \
  "$(cat "$image.done")" "$runs"
printf '%-10s %8s %8s %8s %10s\n' program wall user system calls
for p in "${programs[@]}"; do
  name=${p%%:*}
  : > "$out/$name.times"
  for _ in $(seq "$runs"); do timed ${p#*:} >> "$out/$name.times"; done
  QUORREX_WORKERS=1 strace -c -f -o "$out/$name.strace" ${p#*:} > "$out/$name.listing"
  calls=$(awk '$NF == "total" {print $4}' "$out/$name.strace")
  printf '%-10s %8s %8s %8s %10s\n' "$name" \
    "$(awk '{print $1}' "$out/$name.times" | median)" \
    "$(awk '{print $2}' "$out/$name.times" | median)" \
    "$(awk '{print $3}' "$out/$name.times" | median)" "$calls"
done
echo
echo "calls by kind (quorrex, one worker):"
awk 'NR > 2 && $NF != "total" && $1 !~ /^-/ {print "  " $NF, $4}' "$out/quorrex.strace" |
  sort -k2 -n -r | head -12
if [ -n "${BASELINE:-}" ]; then
  echo "calls by kind (baseline, one worker):"
  awk 'NR > 2 && $NF != "total" && $1 !~ /^-/ {print "  " $NF, $4}' "$out/baseline.strace" |
    sort -k2 -n -r | head -12
fi
tail -12 "$out/quorrex.listing"
