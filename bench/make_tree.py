#!/usr/bin/env python3
"""Builds a deterministic folder tree for the walk benchmark.

    make_tree.py --entries N --out DIR

The tree holds N entries below DIR: about 8% folders, 3% symbolic links (to
files and to folders, relative and absolute, a few dangling), 6% extra names
of earlier files (hard links, two or three names per file) and plain files
for the rest. A fixed random state makes every run with the same N give the
same tree, names and order of creation included.

Links to folders never form a loop when followed, except for two deliberate
links back to an ancestor folder, as real trees have them.

A finished tree is marked by DIR/../<name of DIR>.done, which holds the counts
as JSON; a tree with its mark is kept as it is, so that runs can reuse it.
"""

import argparse
import json
import os
import random
import shutil
import sys

# The same state for every run: the tree depends on N alone.
FIXED_RANDOM_STATE = 0x51A7_2024

FOLDER_SHARE = 0.08
SYMLINK_SHARE = 0.03
HARD_LINK_SHARE = 0.06
ANCESTOR_LINKS = 2

FOLDER_WORDS = [
    "src", "lib", "include", "docs", "assets", "cache", "build", "tests", "data",
    "images", "config", "vendor", "modules", "tmp", "logs", "share", "bin", "res",
    "Program Files", "backup", "2023", "2024", "photos", "node_modules", "äöü-daten",
]
FILE_STEMS = [
    "main", "index", "readme", "util", "report", "image", "thumbnail", "notes",
    "package", "setup", "core", "library", "module", "style", "font", "résumé",
    "data_export", "IMG", "Document", "invoice", "track", "archive",
]
FILE_EXTENSIONS = [
    ".c", ".h", ".cpp", ".py", ".txt", ".json", ".dll", ".so", ".jpg", ".png",
    ".md", ".log", ".tar.gz", ".xml", ".pdf", "", ".mp3", ".html",
]


class Folder:
    __slots__ = ("parent", "path", "names", "depth", "number")

    def __init__(self, parent, path, depth, number):
        self.parent = parent
        self.path = path
        self.names = 0
        self.depth = depth
        self.number = number


def plan_counts(entries):
    folders = max(1, round(entries * FOLDER_SHARE))
    symlinks = max(1, round(entries * SYMLINK_SHARE))
    hard_links = max(1, round(entries * HARD_LINK_SHARE))
    files = entries - folders - symlinks - hard_links
    if files < 2:
        raise SystemExit("make_tree: --entries is too small")
    return folders, files, symlinks, hard_links


def unique_name(rng, folder, kind):
    folder.names += 1
    if kind == "folder":
        word = rng.choice(FOLDER_WORDS)
        return f"{word}_{folder.names}"
    stem = rng.choice(FILE_STEMS)
    ext = rng.choice(FILE_EXTENSIONS)
    if kind == "link":
        return f"{stem}-link_{folder.names}{ext}"
    return f"{stem}_{folder.names:04d}{ext}"


def pick_folder(rng, folders):
    # Half of the entries go to one of the newest folders, which gives runs of
    # deep folders as real projects have; the rest spread over all of them.
    if rng.random() < 0.5:
        return folders[max(0, len(folders) - 1 - int(rng.expovariate(0.2)))]
    return folders[rng.randrange(len(folders))]


def build(entries, out):
    rng = random.Random(FIXED_RANDOM_STATE)
    n_folders, n_files, n_symlinks, n_hard = plan_counts(entries)

    root = Folder(None, out, 0, 0)
    folders = [root]
    files = []  # [path, names]
    made = {"folders": 0, "files": 0, "symlinks": 0, "hard_links": 0,
            "folder_links": 0, "ancestor_links": 0, "dangling_links": 0}

    # Folders and files first, interleaved, so that a folder fills while its
    # neighbours are made; links come last, when every target exists.
    order = ["folder"] * (n_folders) + ["file"] * n_files
    rng.shuffle(order)
    for kind in order:
        # Folders hang anywhere (a random recursive tree: depth grows with the
        # logarithm of the count); files crowd in the newest folders.
        parent = folders[rng.randrange(len(folders))] if kind == "folder" else pick_folder(
            rng, folders)
        name = unique_name(rng, parent, kind)
        path = os.path.join(parent.path, name)
        if kind == "folder":
            os.mkdir(path)
            folders.append(Folder(parent, path, parent.depth + 1, len(folders)))
            made["folders"] += 1
        else:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            os.close(fd)
            files.append([path, 1])
            made["files"] += 1

    # Extra names: about half of them give a file its second name, the rest a
    # third, so groups hold two or three names.
    linked = []
    for _ in range(n_hard):
        if linked and rng.random() < 0.33:
            target = linked[rng.randrange(len(linked))]
            if target[1] >= 3:
                target = files[rng.randrange(len(files))]
        else:
            target = files[rng.randrange(len(files))]
        parent = pick_folder(rng, folders)
        path = os.path.join(parent.path, unique_name(rng, parent, "file"))
        os.link(target[0], path)
        if target[1] == 1:
            linked.append(target)
        target[1] += 1
        made["hard_links"] += 1

    # Symbolic links: two thirds to files, the rest to folders; half of each
    # relative. A link to a folder points only to a folder made after the one
    # that holds it, so that following links never comes back round; the
    # exceptions are the few links to an ancestor made on purpose.
    for i in range(n_symlinks):
        parent = pick_folder(rng, folders)
        name = unique_name(rng, parent, "link")
        path = os.path.join(parent.path, name)
        relative = rng.random() < 0.5
        if i < ANCESTOR_LINKS and parent.parent is not None:
            ancestor = parent.parent
            for _ in range(rng.randrange(3)):
                if ancestor.parent is not None:
                    ancestor = ancestor.parent
            target = ancestor.path
            made["ancestor_links"] += 1
            made["folder_links"] += 1
        elif rng.random() < 1 / 3 and parent.number + 1 < len(folders):
            target = folders[rng.randrange(parent.number + 1, len(folders))].path
            made["folder_links"] += 1
        elif rng.random() < 0.01:
            target = os.path.join(parent.path, f"missing_{i}.txt")
            made["dangling_links"] += 1
        else:
            target = files[rng.randrange(len(files))][0]
        if relative:
            target = os.path.relpath(target, parent.path)
        os.symlink(target, path)
        made["symlinks"] += 1

    made["entries"] = (made["folders"] + made["files"] + made["hard_links"] +
                       made["symlinks"])
    made["multi_link_names"] = sum(names for _, names in files if names > 1)
    made["multi_link_files"] = sum(1 for _, names in files if names > 1)
    made["max_depth"] = max(folder.depth for folder in folders)
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, required=True, help="entries below DIR")
    parser.add_argument("--out", required=True, help="the tree's top folder")
    parser.add_argument("--force", action="store_true", help="rebuild an existing tree")
    args = parser.parse_args()

    out = os.path.abspath(args.out)
    mark = out.rstrip("/") + ".done"
    if os.path.exists(mark) and os.path.isdir(out) and not args.force:
        print(f"make_tree: reusing {out}", file=sys.stderr)
        return 0
    if os.path.lexists(out):
        shutil.rmtree(out)
    if os.path.exists(mark):
        os.remove(mark)
    os.makedirs(out)
    made = build(args.entries, out)
    with open(mark, "w", encoding="utf-8") as f:
        json.dump(made, f, indent=1, sort_keys=True)
        f.write("\n")
    print(f"make_tree: {out}: {json.dumps(made, sort_keys=True)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
