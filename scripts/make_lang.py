#!/usr/bin/env python3
"""Converts, edits and checks the language files (lang/xx/lang.ini: UTF-16LE, CR LF, no BOM).

  make_lang.py encode SOURCE.txt lang/xx/lang.ini   UTF-8 text in, lang.ini out (checked first)
  make_lang.py decode lang/xx/lang.ini              prints the file as UTF-8
  make_lang.py set lang/xx/lang.ini KEY TEXT        adds or replaces one line of [extra]
  make_lang.py check lang/*/lang.ini                checks the files (exit status 1 on a problem)

[ftext] holds the 75 numbered texts; the reader takes only its first 75 key lines. [extra]
holds the texts of features beyond those, by name: every key of text/extra_texts.h
(kExtraTexts) must be there, and no other. In both sections a ";" starts a comment anywhere, a
text holding "[" and "]" is cut before the "[", and a space before "=" changes the key; the
check refuses all of these, and lines that end in LF or CR alone.
"""
import argparse
import os
import re
import sys

KEY_LINES_READ = 75
SLOT_COUNT = 75
EXTRA_TEXTS_H = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "text",
                             "extra_texts.h")


def extra_texts(header_path=EXTRA_TEXTS_H):
    """The (key, English text) pairs of kExtraTexts, in their order."""
    with open(header_path, encoding="utf-8") as header:
        source = header.read()
    body = re.search(r"kExtraTexts\[\]\s*=\s*\{(.*?)\n\};", source, re.S)
    if not body:
        raise ValueError(f"{header_path}: no kExtraTexts table")
    code = re.sub(r"//[^\n]*", "", body.group(1))
    literal = r'"(?:[^"\\]|\\.)*"'
    entries = []
    for match in re.finditer(rf"\{{\s*({literal})\s*,\s*((?:{literal}\s*)+)\}}", code):
        key = match.group(1)[1:-1]
        english = "".join(part[1:-1] for part in re.findall(literal, match.group(2)))
        entries.append((key, english.replace('\\"', '"').replace("\\\\", "\\")))
    return entries


def sections(text):
    """Yields (line number, line, stripped line, section name) for every line of the text."""
    section = None
    for number, line in enumerate(re.split(r"\r\n|\r|\n", text), 1):
        stripped = line.split(";", 1)[0].strip()
        if stripped.startswith("[") and stripped.endswith("]") and len(stripped) > 2:
            section = stripped[1:-1]
            yield number, line, stripped, None
            continue
        yield number, line, stripped, section


def problems(text, extra_keys):
    found = []
    key_lines = 0
    slots = set()
    extras = set()
    headers = []
    for number, line, stripped, section in sections(text):
        if ";" in line and stripped:
            found.append(f"line {number}: ';' cuts the text")
        if not stripped:
            continue
        if section is None:
            headers.append(stripped)
            continue
        if section == "ftext":
            key_lines += 1
            match = re.fullmatch(r"(\d+)=(.*)", line.strip())
            if not match:
                found.append(f"line {number}: not 'N=text': {line!r}")
                continue
            key, value = int(match.group(1)), match.group(2)
            if key >= SLOT_COUNT:
                found.append(f"line {number}: slot {key} out of range")
            if key in slots:
                found.append(f"line {number}: slot {key} twice")
            slots.add(key)
        elif section == "extra":
            match = re.fullmatch(r"([a-z0-9_]+)=(.*)", line.strip())
            if not match:
                found.append(f"line {number}: not 'name=text': {line!r}")
                continue
            key, value = match.group(1), match.group(2)
            if key not in extra_keys:
                found.append(f"line {number}: '{key}' is no key of kExtraTexts")
            if key in extras:
                found.append(f"line {number}: '{key}' twice")
            extras.add(key)
        else:
            continue
        if "[" in value and "]" in value:
            found.append(f"line {number}: '[...]' cuts the text")
    for name in ("ftext", "extra"):
        if headers.count(f"[{name}]") != 1:
            found.append(f"[{name}] appears {headers.count(f'[{name}]')} times, not once")
    if key_lines > KEY_LINES_READ:
        found.append(f"{key_lines} key lines in [ftext]; only the first {KEY_LINES_READ} are read")
    for key in extra_keys:
        if key not in extras:
            found.append(f"[extra] lacks '{key}'")
    return found


def decode(data):
    if len(data) % 2:
        raise ValueError("odd length: not UTF-16")
    return data.decode("utf-16-le").lstrip("\ufeff")


def encode(text):
    """UTF-16LE with CR LF line ends, whatever line ends the text had."""
    return "\r\n".join(re.split(r"\r\n|\r|\n", text.lstrip("\ufeff"))).encode("utf-16-le")


def set_extra(text, key, value):
    """The text with [extra] holding key=value: an existing line replaced, else one added at
    the end of the section (the section added at the end of the text when it is missing)."""
    lines = re.split(r"\r\n|\r|\n", text)
    start = end = None
    for index, (_, line, stripped, section) in enumerate(sections(text)):
        if section is None:
            if stripped == "[extra]":
                start = index
            elif start is not None and end is None:
                end = index
        elif section == "extra" and line.strip().startswith(key + "="):
            lines[index] = f"{key}={value}"
            return "\n".join(lines)
    if start is None:
        while lines and not lines[-1].strip():
            lines.pop()
        return "\n".join(lines + ["", "[extra]", f"{key}={value}", ""])
    if end is None:
        end = len(lines)
    # After the section's last non-blank line.
    insert = end
    while insert > start + 1 and not lines[insert - 1].strip():
        insert -= 1
    lines.insert(insert, f"{key}={value}")
    return "\n".join(lines)


def check(data, keys):
    """The problems of a language file's bytes (decoded already without error)."""
    text = decode(data)
    found = problems(text, keys)
    if data.startswith(b"\xff\xfe"):
        found.append("starts with a byte-order mark")
    if re.search(r"\r(?!\n)|(?<!\r)\n", text):
        found.append("a line ends in LF or CR alone, not CR LF")
    return found


def report(path, found):
    for problem in found:
        print(f"{path}: {problem}", file=sys.stderr)
    return bool(found)


def main(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("encode", help="UTF-8 text to lang.ini")
    command.add_argument("source")
    command.add_argument("target")
    command = commands.add_parser("decode", help="lang.ini to UTF-8 on standard output")
    command.add_argument("file")
    command = commands.add_parser("set", help="add or replace one [extra] text")
    command.add_argument("file")
    command.add_argument("key")
    command.add_argument("text")
    command = commands.add_parser("check", help="check language files")
    command.add_argument("files", nargs="+")
    args = parser.parse_args(argv[1:])

    keys = [key for key, _ in extra_texts()]
    if args.command == "encode":
        with open(args.source, encoding="utf-8") as source:
            text = source.read()
        if report(args.source, problems(text, keys)):
            return 1
        with open(args.target, "wb") as target:
            target.write(encode(text))
        return 0
    if args.command == "decode":
        with open(args.file, "rb") as source:
            text = decode(source.read())
        sys.stdout.write("\n".join(re.split(r"\r\n|\r|\n", text)))
        return 0
    if args.command == "set":
        if args.key not in keys:
            print(f"'{args.key}' is no key of kExtraTexts ({EXTRA_TEXTS_H})", file=sys.stderr)
            return 1
        if ";" in args.text or ("[" in args.text and "]" in args.text) or "\n" in args.text:
            print("the text may hold no ';', no '[...]' and no line break", file=sys.stderr)
            return 1
        with open(args.file, "rb") as source:
            text = decode(source.read())
        with open(args.file, "wb") as target:
            target.write(encode(set_extra(text, args.key, args.text)))
        return 0
    failed = False
    for path in args.files:
        try:
            with open(path, "rb") as source:
                data = source.read()
            decode(data)
        except (OSError, ValueError) as error:
            failed = report(path, [str(error)]) or failed
            continue
        failed = report(path, check(data, keys)) or failed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
