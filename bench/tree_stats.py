#!/usr/bin/env python3
"""Counts what the benchmark needs to know about a tree and a find listing.

    tree_stats.py floor TREE      the tree's entries and its system call floor
    tree_stats.py listing FILE    counts of a find listing (see run.sh)

The floor is the kernel's own work for a walk that reports every symbolic
link and every file with more than one link: one open and one identity
query (fstat) per folder, one directory read per buffer of entries plus the
read that finds the end, one metadata call per plain file and one link read
per symbolic link. The identity query is what lets a walk enter each folder
once. Directory
reads are counted for a 64 KiB buffer from the sizes of the records the
kernel returns (struct linux_dirent64, "." and ".." included).
"""

import json
import os
import sys

READ_BUFFER = 64 * 1024


def record_size(name_bytes):
    # u64 inode, s64 offset, u16 length, u8 type, the name and its NUL, aligned to 8.
    return (19 + len(name_bytes) + 1 + 7) & ~7


def floor(tree):
    folders = files = symlinks = others = entries = reads = 0
    stack = [tree]
    while stack:
        folder = stack.pop()
        folders += 1
        listed = record_size(b".") + record_size(b"..")
        with os.scandir(folder) as it:
            for entry in it:
                entries += 1
                listed += record_size(os.fsencode(entry.name))
                if entry.is_symlink():
                    symlinks += 1
                elif entry.is_dir(follow_symlinks=False):
                    stack.append(entry.path)
                elif entry.is_file(follow_symlinks=False):
                    files += 1
                else:
                    others += 1
        reads += -(-listed // READ_BUFFER) + 1
    calls = 2 * folders + reads + files + others + symlinks
    return {
        "entries": entries,
        "folders": folders - 1,
        "files": files,
        "symlinks": symlinks,
        "others": others,
        "directory_reads": reads,
        "floor_calls": calls,
        "floor_per_entry": calls / entries if entries else 0.0,
    }


def listing(path):
    """Counts find's listing: '<target> -> <link>' lines and '<inode> <links> <path>' lines."""
    links = names = 0
    inodes = set()
    path_bytes = 0
    with open(path, "rb") as f:
        for raw in f:
            line = raw.rstrip(b"\n")
            if b" -> " in line:
                links += 1
                continue
            parts = line.split(b" ", 2)
            if len(parts) != 3:
                continue
            names += 1
            inodes.add(parts[0])
            # The registry keeps each path as UTF-16 text.
            path_bytes += len(parts[2].decode("utf-8", "surrogateescape").encode(
                "utf-16-le", "surrogatepass"))
    return {"symlinks": links, "multi_link_names": names, "multi_link_files": len(inodes),
            "recorded_path_bytes": path_bytes}


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("floor", "listing"):
        print(__doc__, file=sys.stderr)
        return 2
    result = floor(sys.argv[2]) if sys.argv[1] == "floor" else listing(sys.argv[2])
    json.dump(result, sys.stdout, sort_keys=True)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
