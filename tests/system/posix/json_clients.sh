#!/usr/bin/env bash
# The records for scripts as real clients read them: Python's json module
# reads every line of every run, and jq lists the symbolic link targets and
# the hard-link groups. A real tree with names that are not UTF-8, a line
# feed in a name, a mount (where the system lets this user make one), and a
# run stopped by SIGINT.
#
#   json_clients.sh PROGRAM
set -euo pipefail
program=$1
work=$(mktemp -d /tmp/quorrex-json-XXXXXX)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
failures=0
fail() {
  printf 'FAILED: %s\n' "$*" >&2
  failures=$((failures + 1))
}

# --- The tree ----------------------------------------------------------------
mkdir -p "$tree/sub" "$tree/mnt"
bad=$(printf 'bad\377name')           # a byte that is not UTF-8
feed=$(printf 'line\nfeed')           # a line feed in a name
printf x >"$tree/$bad"
ln "$tree/$bad" "$tree/sub/$feed"
printf y >"$tree/plain"
ln "$tree/plain" "$tree/sub/plain too"
ln "$tree/plain" "$tree/sub/plain three"
ln -s ../plain "$tree/sub/to plain"
ln -s "/nowhere/$bad" "$tree/sub/dangling"
ln -s "$feed" "$tree/sub/to feed"
ln -s loop-b "$tree/sub/loop-a"       # a loop of links (ELOOP)
ln -s loop-a "$tree/sub/loop-b"

# Checks one run's records: every line is JSON, the first is the start and
# the last the end, every path names something on disk, byte for byte.
check_records() {
  python3 - "$1" <<'EOF'
import base64, json, os, sys
records = []
with open(sys.argv[1], 'rb') as f:
    data = f.read()
assert data.endswith(b'\n'), 'the last record has no line end'
for raw in data.split(b'\n')[:-1]:
    records.append(json.loads(raw.decode('utf-8')))  # strict UTF-8
types = [r['type'] for r in records]
assert types[0] == 'start' and types[-1] == 'end', types
assert types.count('summary') == 1 and types[-2] == 'summary', types
def name(record, key, i=None):
    raw = record.get(key + '_base64')
    if i is not None:
        raw = raw[i] if raw else None
        text = record[key][i]
    else:
        text = record[key]
    return base64.b64decode(raw) if raw else os.fsencode(text)
paths = []
for r in records:
    if r['type'] in ('reparse_point', 'error', 'skipped'):
        paths.append(name(r, 'path'))
    if r['type'] == 'hard_link_group':
        assert len(r['paths']) >= 2 and r['links'] >= len(r['paths']), r
        paths += [name(r, 'paths', i) for i in range(len(r['paths']))]
for p in paths:
    assert os.path.lexists(p), p
groups = sum(1 for t in types if t == 'hard_link_group')
assert records[-2]['hard_link_groups'] == groups, records[-2]
print(len(records))
EOF
}

# --- A completed run -----------------------------------------------------------
QUORREX_FORMAT=json "$program" "$tree" -s >"$work/out" 2>"$work/err" || fail "exit code $?"
check_records "$work/out" >/dev/null || fail "the records of a completed run"
[ ! -s "$work/err" ] || fail "standard error: $(cat "$work/err")"

targets=$(jq -r 'select(.type == "reparse_point" and .kind == "symlink")
                 | "\(.target) dangling=\(.dangling) relative=\(.relative)"' "$work/out" | sort)
expected=$(printf '%s\n' "../plain dangling=false relative=true" \
  "/nowhere/bad�name dangling=true relative=false" \
  "loop-a dangling=true relative=true" "loop-b dangling=true relative=true" \
  "line" "feed dangling=false relative=true" | sort)
[ "$targets" = "$expected" ] || fail "symlink targets: $targets"
raw=$(jq -r 'select(.kind == "symlink" and .target_base64) | .target_base64' "$work/out" |
  base64 -d)
[ "$raw" = "/nowhere/$bad" ] || fail "a target that is not UTF-8 comes back whole"
groups=$(jq -c 'select(.type == "hard_link_group") | [.links, (.paths | length)]' "$work/out" |
  sort | tr '\n' ' ')
[ "$groups" = "[2,2] [3,3] " ] || fail "groups: $groups"
# How much of the tree the run went through: 3 folders, their 12 entries.
walked=$(jq -c 'select(.type == "summary") | [.folders, .entries, .errors, .skipped]' "$work/out")
[ "$walked" = "[3,12,0,0]" ] || fail "the summary's walk: $walked"
end=$(jq -c 'select(.type == "end")' "$work/out")
[ "$end" = '{"type":"end","exit_code":0,"reason":"completed","stopped_by":null,"errors":0}' ] ||
  fail "end: $end"

# --- A mount, where this user may make one ---------------------------------------
if unshare -m true 2>/dev/null; then
  unshare -m bash -c "mount --make-rprivate / && mount -t tmpfs json-test '$tree/mnt' &&
    QUORREX_FORMAT=json '$program' '$tree' -s" >"$work/mounted" 2>/dev/null ||
    fail "the run with a mount"
  check_records "$work/mounted" >/dev/null || fail "the records of a run with a mount"
  mount=$(jq -r 'select(.type == "reparse_point" and (.kind == "volume_mount_point" or
                 .kind == "junction")) | .path' "$work/mounted")
  [ "$mount" = "$tree/mnt" ] || fail "the mount: $mount"
  # Binds whose folder the path no longer shows: covered by a later mount,
  # or deleted. Both are shown in their source form, and the records say
  # which one was deleted.
  binds=$work/binds
  mkdir -p "$binds/src/x" "$binds/gone/y" "$binds/covered" "$binds/deleted"
  unshare -m bash -c "mount --make-rprivate / &&
    mount --bind '$binds/src/x' '$binds/covered' && mount -t tmpfs cover '$binds/src' &&
    mount --bind '$binds/gone/y' '$binds/deleted' && rmdir '$binds/gone/y' &&
    QUORREX_FORMAT=json '$program' '$binds' -s >'$work/binds.json';
    '$program' '$binds' -s >'$work/binds.txt'" 2>/dev/null
  check_records "$work/binds.json" >/dev/null || fail "the records of a run with binds"
  shown=$(jq -r 'select(.kind == "junction") | "\(.path | ltrimstr($b)) \(.deleted) \(.target)"' \
    --arg b "$binds/" "$work/binds.json" | sed 's/^\([a-z]*\) \([a-z]*\) [^[]*\[/\1 \2 [/' | sort)
  expected=$(printf '%s\n' "covered false [$binds/src/x]" "deleted true [$binds/gone/y]")
  [ "$shown" = "$expected" ] || fail "binds: $shown"
  # Mounts by type, as a user would count them.
  types=$(jq -r 'select(.type == "reparse_point" and .fstype) | .fstype' "$work/binds.json" |
    sort | uniq -c | awk '{print $2 "=" $1}' | tr '\n' ' ')
  case "$types" in
  *"tmpfs=1 "*) ;;
  *) fail "mounts by type: $types" ;;
  esac
  ! grep -q '??' "$work/binds.json" || fail "an NT prefix in the records of POSIX mounts"
  grep -q "^ -> .*\[$binds/src/x\]\$" "$work/binds.txt" || fail "the covered bind's text"
  grep -q "^ -> .*\[$binds/gone/y\]\$" "$work/binds.txt" || fail "the deleted bind's text"
else
  echo "no mount namespace for this user: the mount is left out"
fi

# --- A run stopped by SIGINT ------------------------------------------------------
# Far more records than a pipe holds: once the first record is read the
# program cannot finish before the signal, whatever the machine's speed.
mkdir "$tree/many"
python3 -c 'import os, sys
for i in range(3000):
    os.symlink("/a/target/of/some/length/to/fill/the/pipe/%d" % i, "%s/l%d" % (sys.argv[1], i))
' "$tree/many"
mkfifo "$work/pipe"
QUORREX_FORMAT=json "$program" "$tree" -s >"$work/pipe" 2>"$work/err" &
pid=$!
exec 3<"$work/pipe"
IFS= read -r first <&3
kill -INT "$pid"
{ printf '%s\n' "$first"; cat <&3; } >"$work/stopped"
exec 3<&-
code=0
wait "$pid" || code=$?
[ "$code" = 3 ] || fail "exit code after SIGINT: $code"
check_records "$work/stopped" >/dev/null || fail "the records of a stopped run"
end=$(tail -n 1 "$work/stopped")
[ "$end" = '{"type":"end","exit_code":3,"reason":"stopped","stopped_by":"SIGINT","errors":0}' ] ||
  fail "end after SIGINT: $end"
! grep -q 'SIGINT received' "$work/stopped" || fail "a text message among the records"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "every client read every record"
