#!/usr/bin/env python3
"""Writes a manual page from a template and the program's own --help, so the two never drift
apart. The template holds the hand-written sections and the markers @SYNOPSIS@, @OPTIONS@ and
@VERSION@; with --subcommands, each subcommand's --help becomes a part of COMMANDS."""
import argparse
import gzip
import os
import re
import subprocess
import sys

SECTION = re.compile(r"^([A-Z][A-Za-z ]*):$")
ITEM = re.compile(r"^  (\S.*?)(?:\s{2,}(\S.*))?$")


def run_help(program, args):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    done = subprocess.run([program, *args, "--help"], capture_output=True, text=True, env=env,
                          timeout=60, check=False)
    if done.returncode != 0:
        sys.exit("%s %s --help failed: %s" % (program, " ".join(args), done.stderr))
    return done.stdout


def parse(text, name):
    """The help as (lead text, usage, {section: [(term, description)]})."""
    lead, usage, sections, current = [], "", {}, None
    for line in text.splitlines():
        if not line.strip():
            current = None
            continue
        if line.startswith("Usage:"):
            usage = line[len("Usage:"):].strip()
            usage = re.sub(r"^\S*/", "", usage)  # the program's path, as it was run
            continue
        header = SECTION.match(line)
        if header:
            current = sections.setdefault(header.group(1), [])
            continue
        if current is None:
            if not usage and not sections:
                lead.append(line.strip())
            continue
        item = ITEM.match(line)
        if item and not line.startswith("    "):
            current.append([item.group(1), item.group(2) or ""])
        elif current:
            current[-1][1] = (current[-1][1] + " " + line.strip()).strip()
    if not usage.startswith(name):
        usage = name + " " + usage
    return " ".join(lead), usage, sections


def text(value):
    value = value.replace("\\", "\\e")
    return "\\&" + value if value[:1] in (".", "'") else value


def term(value):
    return text(value).replace("-", "\\-")


def items(entries):
    out = []
    for name, description in entries:
        out += [".TP", ".B " + term(name), text(description)]
    return out


def synopsis(usage, name):
    rest = usage[len(name):].strip()
    return [".SH SYNOPSIS", ".B " + term(name)] + ([text(rest)] if rest else [])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--output", required=True, help="the page, gzipped when it ends in .gz")
    parser.add_argument("--subcommands", action="store_true")
    args = parser.parse_args()

    _, usage, sections = parse(run_help(args.program, []), args.name)
    options = []
    for section, entries in sections.items():
        if section == "Subcommands":
            continue
        heading = "OPTIONS" if section == "Options" else section.upper()
        options += [".SH " + heading] + items(entries)
    if args.subcommands:
        options.append(".SH COMMANDS")
        for command, _ in sections.get("Subcommands", []):
            lead, sub_usage, sub_sections = parse(run_help(args.program, [command]),
                                                   args.name + " " + command)
            options += [".SS " + term(args.name + " " + command), text(lead), ".PP",
                        ".B " + term(sub_usage)]
            for section, entries in sub_sections.items():
                options += items(entries)

    with open(args.template, encoding="utf-8") as template:
        page = template.read()
    page = page.replace("@SYNOPSIS@", "\n".join(synopsis(usage, args.name)))
    page = page.replace("@OPTIONS@", "\n".join(options))
    page = page.replace("@VERSION@", args.version)
    data = page.encode("utf-8")
    if args.output.endswith(".gz"):
        with open(args.output, "wb") as raw:
            with gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=9, mtime=0) as out:
                out.write(data)
    else:
        with open(args.output, "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
