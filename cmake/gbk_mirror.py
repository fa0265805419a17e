#!/usr/bin/env python3
"""Writes a GBK copy of the C++ sources for a compiler that cannot make GBK
string literals itself.

g++ turns the UTF-8 sources into GBK literals with -fexec-charset=GBK. clang
accepts only UTF-8 there, but it copies the bytes of a string literal that are
not valid UTF-8 into the object file as they are. So a clang build compiles a
copy of every source converted to GBK, and its literals come out byte for byte
as g++'s do.

    gbk_mirror.py SOURCE_ROOT MIRROR_ROOT DIR...

mirrors SOURCE_ROOT/DIR/**.{cc,h} to MIRROR_ROOT/DIR/**, writing a file only
when its content changed (an unchanged source does not rebuild) and removing
mirrored files whose source is gone.

Characters are converted by iconv, the converter g++ uses, so the bytes are
g++'s. Two cases need care, which is why the sources are scanned for comments
and literals rather than converted whole:
- A GBK character whose second byte is 0x5C reads as a backslash to the
  compiler. Inside a literal it is written as two octal escapes (the same
  bytes, which an escape cannot swallow the next character into); inside a
  comment, where it could continue the line, it becomes "?".
- A character without a GBK form becomes "?" inside a comment. Inside a
  literal it is an error, as it is for g++.
Non-ASCII text outside comments and literals is an error.
"""

import os
import subprocess
import sys

SUFFIXES = (".cc", ".h")
IDENT = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")


def fail(message):
    sys.stderr.write("gbk_mirror: %s\n" % message)
    sys.exit(1)


def gbk_forms(chars):
    """Maps each character to its GBK bytes as iconv makes them, or None."""
    chars = sorted(chars)
    forms = {}
    for c in chars:
        try:
            c.encode("gbk")
        except UnicodeEncodeError:
            forms[c] = None
    convertible = [c for c in chars if c not in forms]
    if convertible:
        result = subprocess.run(["iconv", "-f", "UTF-8", "-t", "GBK"],
                                input="\n".join(convertible).encode("utf-8"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if result.returncode != 0:
            fail("iconv: %s" % result.stderr.decode(errors="replace").strip())
        for c, b in zip(convertible, result.stdout.split(b"\n")):
            forms[c] = b
    return forms


def prefix(text, i):
    """The identifier or number that ends right before position i."""
    j = i
    while j > 0 and text[j - 1] in IDENT:
        j -= 1
    return text[j:i]


def regions(text):
    """Yields (kind, start, end) for comments and literals: kind is "comment",
    "literal" or "raw" (a raw string literal)."""
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = i + 2
            while j < n and not (text[j] == "\n" and text[j - 1] != "\\"):
                j += 1
            yield "comment", i, j
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            yield "comment", i, j
            i = j
        elif c == '"' and prefix(text, i) in ("R", "u8R", "LR", "uR", "UR"):
            close = text.find("(", i)
            delimiter = ")" + text[i + 1:close] + '"'
            j = text.find(delimiter, close)
            j = n if j < 0 else j + len(delimiter)
            yield "raw", i, j
            i = j
        elif c == '"' or (c == "'" and prefix(text, i) in ("", "L", "u", "U", "u8")):
            # A quote right after a number is a digit separator (1'000).
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            yield "literal", i, min(j + 1, n)
            i = j + 1
        else:
            i += 1


def to_gbk(path, data):
    if all(b < 0x80 for b in data):
        return data
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        fail("%s: not UTF-8 at byte %d" % (path, e.start))
    forms = gbk_forms(set(c for c in text if ord(c) > 0x7F))
    kind_at = [None] * len(text)
    for kind, start, end in regions(text):
        for k in range(start, min(end, len(text))):
            kind_at[k] = kind
    out = bytearray()
    for k, c in enumerate(text):
        if ord(c) < 0x80:
            out.append(ord(c))
            continue
        form, kind = forms[c], kind_at[k]
        line = text.count("\n", 0, k) + 1
        if kind is None:
            fail("%s:%d: non-ASCII text outside a comment or literal" % (path, line))
        if form is None:
            if kind != "comment":
                fail("%s:%d: %r has no GBK form" % (path, line, c))
            out += b"?"
        elif len(form) == 2 and form[1] == 0x5C and kind != "raw":
            out += b"?" if kind == "comment" else b"\\%03o\\%03o" % (form[0], form[1])
        else:
            out += form
    return bytes(out)


def main(argv):
    if len(argv) < 4:
        fail("usage: gbk_mirror.py SOURCE_ROOT MIRROR_ROOT DIR...")
    source_root, mirror_root = argv[1], argv[2]
    wanted = set()
    for top in argv[3:]:
        for folder, _, files in os.walk(os.path.join(source_root, top)):
            for name in files:
                if not name.endswith(SUFFIXES):
                    continue
                source = os.path.join(folder, name)
                target = os.path.normpath(
                    os.path.join(mirror_root, os.path.relpath(source, source_root)))
                wanted.add(target)
                with open(source, "rb") as f:
                    data = to_gbk(source, f.read())
                try:
                    with open(target, "rb") as f:
                        if f.read() == data:
                            continue
                except FileNotFoundError:
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target + ".tmp", "wb") as f:
                    f.write(data)
                os.replace(target + ".tmp", target)
        for folder, _, files in os.walk(os.path.join(mirror_root, top)):
            for name in files:
                target = os.path.normpath(os.path.join(folder, name))
                if target not in wanted:
                    os.remove(target)


if __name__ == "__main__":
    main(sys.argv)
