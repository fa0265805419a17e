#!/usr/bin/env python3
"""Prints what a Windows shortcut (.lnk) holds, one "key=value" line each:
target (the local path it starts), working_dir, arguments, icon, darwin (the
Windows Installer descriptor of an advertised shortcut). Keys the file does
not have are left out. Exit status 1 when the file is not a shortcut.

    lnk_info.py FILE
"""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON, IS_UNICODE = 0x10, 0x20, 0x40, 0x80
DARWIN_BLOCK = 0xA0000006


def c_string(data, offset, unicode):
    if unicode:
        end = offset
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[offset:end].decode("utf-16-le")
    return data[offset:data.index(b"\0", offset)].decode("cp1252")


def parse(data):
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("not a shell link")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    info, pos = {}, 0x4C
    if flags & HAS_ID_LIST:
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    if flags & HAS_LINK_INFO:
        size, header, link_flags, _, base = struct.unpack_from("<5I", data, pos)
        if link_flags & 1:  # VolumeIDAndLocalBasePath
            if header >= 0x24:
                info["target"] = c_string(data, pos + struct.unpack_from("<I", data, pos + 0x1C)[0], True)
            else:
                info["target"] = c_string(data, pos + base, False)
        pos += size
    unicode = bool(flags & IS_UNICODE)
    for flag, key in ((HAS_NAME, "name"), (HAS_RELATIVE_PATH, "relative_path"),
                      (HAS_WORKING_DIR, "working_dir"), (HAS_ARGUMENTS, "arguments"),
                      (HAS_ICON, "icon")):
        if flags & flag:
            count = struct.unpack_from("<H", data, pos)[0]
            pos += 2
            width = 2 if unicode else 1
            raw = data[pos:pos + count * width]
            # Some writers count a terminating zero as well.
            info[key] = raw.decode("utf-16-le" if unicode else "cp1252").rstrip("\0")
            pos += count * width
    while pos + 8 <= len(data):
        size, signature = struct.unpack_from("<II", data, pos)
        if size < 8:
            break
        if signature == DARWIN_BLOCK:
            info["darwin"] = c_string(data, pos + 8 + 260, True)
        pos += size
    return info


def main():
    try:
        with open(sys.argv[1], "rb") as f:
            info = parse(f.read())
    except (OSError, ValueError, struct.error, IndexError) as error:
        print(f"{sys.argv[1]}: {error}", file=sys.stderr)
        return 1
    for key, value in info.items():
        print(f"{key}={value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
