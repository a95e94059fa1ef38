#!/usr/bin/env python3
"""Writes the committed fuzz corpus: valid reparse data of every kind,
pattern/name pairs for the matcher and batches of directory records. Run from
anywhere; rewrites fuzz/corpus/fuzz_reparse_data, fuzz/corpus/fuzz_name_pattern
and fuzz/corpus/fuzz_dir_records."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent

MOUNT_POINT = 0xA0000003
SYMLINK = 0xA000000C
APPEXECLINK = 0x8000001B
WOF = 0x80000017
DEDUP = 0x80000013


def units(text):
    return text.encode("utf-16-le")


def header(tag, data):
    return struct.pack("<IHH", tag, len(data), 0) + data


def link(tag, substitute, printed, flags=None, substitute_offset_bump=0):
    sub = units(substitute)
    prn = units(printed)
    names = prn + b"\0\0" + sub + b"\0\0"
    sub_offset = len(prn) + 2
    fields = struct.pack("<HHHH", sub_offset + substitute_offset_bump, len(sub), 0, len(prn))
    if flags is not None:
        fields += struct.pack("<I", flags)
    return header(tag, fields + names)


def app_exec(strings):
    body = b"".join(units(s) + b"\0\0" for s in strings)
    return header(APPEXECLINK, struct.pack("<I", 3) + body)


def wof(version, algorithm):
    return header(WOF, struct.pack("<IIII", 1, 2, version, algorithm))


REPARSE = {
    "junction": link(MOUNT_POINT, "\\??\\C:\\Data\\Target", "C:\\Data\\Target"),
    "junction_odd_offset": link(MOUNT_POINT, "\\??\\D:\\x", "D:\\x", substitute_offset_bump=1),
    "junction_empty": link(MOUNT_POINT, "", ""),
    "volume_mount_point": link(
        MOUNT_POINT, "\\??\\Volume{0b1d2c3e-1111-2222-3333-444455556666}\\", ""),
    "symlink_absolute": link(SYMLINK, "\\??\\C:\\Windows\\notepad.exe", "C:\\Windows\\notepad.exe", 0),
    "symlink_relative": link(SYMLINK, "..\\lib\\x.dll", "..\\lib\\x.dll", 1),
    "symlink_unc": link(SYMLINK, "\\??\\UNC\\server\\share\\d", "\\\\server\\share\\d", 0),
    "symlink_volume": link(SYMLINK, "\\??\\Volume{abc}\\d", "", 0),
    "app_exec_link": app_exec(
        ["Microsoft.App_8wekyb3d8bbwe", "Microsoft.App_8wekyb3d8bbwe!App",
         "C:\\Program Files\\WindowsApps\\app.exe", "0"]),
    "app_exec_link_empty_first": app_exec(["", "a", "bc", "", "", "def"]),
    "wof_lzx": wof(1, 1),
    "wof_unknown_algorithm": wof(0xFFFFFFFF, 4),
    "dedup": header(DEDUP, b""),
    "cloud": header(0x9000701A, b"\x01\x00\x00\x00"),
    "third_party": header(0x0000002A, b"xyz!"),
}

# Pattern, then a zero byte, then the name.
PATTERNS = {
    "star": ("*", ""),
    "star_dot_star": ("*.*", "a.b"),
    "extension": ("*.dll", "x.DLL"),
    "extension_miss": ("*.dll", "x.dll.bak"),
    "question": ("a?c", "abc"),
    "give_back": ("*aab", "aaab"),
    "two_stars": ("*ab*cd", "xxabyycd"),
    "brackets": ("a[1]", "a{1}"),
    "trailing_space": ("*b", "ab "),
    "many_stars": ("*a*b*c*d*", "aXbXcXdX"),
}


def dir_records(entries, room):
    """Records chained as a folder handle's query gives them: each on an
    8-byte boundary, the last with NextEntryOffset 0, stale bytes after."""
    batch = bytearray(b"\xcd" * room)
    at = 0
    for i, (attributes, name) in enumerate(entries):
        encoded = units(name)
        step = (104 + len(encoded) + 7) // 8 * 8
        following = step if i + 1 < len(entries) else 0
        record = bytearray(104)
        struct.pack_into("<II", record, 0, following, i)
        struct.pack_into("<II", record, 56, attributes, len(encoded))
        batch[at:at + 104 + len(encoded)] = record + encoded
        at += step
    return bytes(batch)


DIR_RECORDS = {
    "dots_and_files": dir_records([(0x10, "."), (0x10, ".."), (0x20, "a"), (0x20, "abc.txt")], 512),
    "reparse_points": dir_records([(0x410, "junction"), (0x420, "link"), (0x10, "sub")], 512),
    "long_name": dir_records([(0x20, "n" * 255)], 1024),
    "exact_fit": dir_records([(0x20, "abcd")], 112),
}


def write(folder, name, data):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def main():
    reparse = HERE / "corpus" / "fuzz_reparse_data"
    for name, data in REPARSE.items():
        # The leading count equals the buffer's size: all of it was returned.
        write(reparse, name, struct.pack("<I", len(data)) + data)
    matcher = HERE / "corpus" / "fuzz_name_pattern"
    for name, (pattern, entry) in PATTERNS.items():
        write(matcher, name, pattern.encode("ascii") + b"\0" + entry.encode("ascii"))
    records = HERE / "corpus" / "fuzz_dir_records"
    for name, data in DIR_RECORDS.items():
        write(records, name, data)


if __name__ == "__main__":
    main()
