#!/usr/bin/env python3
"""Converts language files between an editable UTF-8 text and the UTF-16LE lang.ini.

  make_lang.py encode SOURCE.txt lang/xx/lang.ini   UTF-8 in, UTF-16LE with CR LF out (no BOM)
  make_lang.py decode lang/xx/lang.ini              prints the file as UTF-8
  make_lang.py check lang/*/lang.ini                checks the [ftext] lines

The reader takes only the first 75 key lines of [ftext]; a ";" starts a comment anywhere, a
text holding "[" and "]" is cut before the "[", and a space before "=" moves the text to
another slot. The check refuses all of these.
"""
import re
import sys

KEY_LINES_READ = 75
SLOT_COUNT = 75


def problems(text):
    found = []
    in_section = False
    key_lines = 0
    seen = set()
    for number, raw in enumerate(text.split("\n"), 1):
        line = raw.rstrip("\r")
        stripped = line.split(";", 1)[0].strip()
        if ";" in line and stripped:
            found.append(f"line {number}: ';' cuts the text")
        if not stripped:
            continue
        if stripped.startswith("[") and stripped.endswith("]") and len(stripped) > 2:
            in_section = stripped == "[ftext]"
            continue
        if not in_section:
            continue
        key_lines += 1
        match = re.fullmatch(r"(\d+)=(.*)", line.strip())
        if not match:
            found.append(f"line {number}: not 'N=text': {line!r}")
            continue
        slot, value = int(match.group(1)), match.group(2)
        if slot >= SLOT_COUNT:
            found.append(f"line {number}: slot {slot} out of range")
        if slot in seen:
            found.append(f"line {number}: slot {slot} twice")
        seen.add(slot)
        if "[" in value and "]" in value:
            found.append(f"line {number}: '[...]' cuts the text")
    if key_lines > KEY_LINES_READ:
        found.append(f"{key_lines} key lines; only the first {KEY_LINES_READ} are read")
    return found


def decode(data):
    if len(data) % 2:
        raise ValueError("odd length: not UTF-16")
    return data.decode("utf-16-le").lstrip("\ufeff")


def main(argv):
    if len(argv) == 4 and argv[1] == "encode":
        with open(argv[2], encoding="utf-8") as source:
            text = source.read().replace("\r\n", "\n").lstrip("\ufeff")
        found = problems(text)
        if found:
            print("\n".join(found), file=sys.stderr)
            return 1
        with open(argv[3], "wb") as target:
            target.write(text.replace("\n", "\r\n").encode("utf-16-le"))
        return 0
    if len(argv) == 3 and argv[1] == "decode":
        with open(argv[2], "rb") as source:
            sys.stdout.write(decode(source.read()).replace("\r\n", "\n"))
        return 0
    if len(argv) >= 3 and argv[1] == "check":
        failed = False
        for path in argv[2:]:
            with open(path, "rb") as source:
                data = source.read()
            text = decode(data)
            found = problems(text)
            if "\n" in text.replace("\r\n", ""):
                found.append("a line ends in LF without CR")
            for problem in found:
                print(f"{path}: {problem}", file=sys.stderr)
            failed = failed or bool(found)
        return 1 if failed else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
