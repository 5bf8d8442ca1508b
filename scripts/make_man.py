#!/usr/bin/env python3
"""Writes a manual page from a template and the program's own --help, so the two never drift
apart. The template holds the hand-written sections and the markers @SYNOPSIS@, @OPTIONS@,
@VERSION@ and @DATE@; with --subcommands, each subcommand's --help becomes a part of COMMANDS,
and the template's DESCRIPTION must name every subcommand. The date is that of the newest
entry of --changelog (or SOURCE_DATE_EPOCH), so the page is the same however often it is
built."""
import argparse
import datetime
import email.utils
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


def page_date(changelog):
    """The date of the page as YYYY-MM-DD: SOURCE_DATE_EPOCH, else the newest changelog entry."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        moment = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
        return moment.strftime("%Y-%m-%d")
    if changelog:
        with open(changelog, encoding="utf-8") as log:
            for line in log:
                trailer = re.match(r"^ -- .*?>  (.+)$", line)
                if trailer:
                    return email.utils.parsedate_to_datetime(trailer.group(1)).strftime("%Y-%m-%d")
        sys.exit("%s has no entry with a date" % changelog)
    sys.exit("give --changelog or set SOURCE_DATE_EPOCH for the date of the page")


def check_description(page, commands):
    """Stops when the DESCRIPTION section leaves out a subcommand."""
    found = re.search(r"^\.SH DESCRIPTION\n(.*?)^(?:\.SH |@OPTIONS@)", page, re.M | re.S)
    words = set(re.findall(r"[a-z][a-z-]*", found.group(1).replace("\\-", "-"))) if found else set()
    missing = [command for command in commands if command not in words]
    if missing:
        sys.exit("the DESCRIPTION of the template names no " + ", ".join(missing))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--output", required=True, help="the page, gzipped when it ends in .gz")
    parser.add_argument("--subcommands", action="store_true")
    parser.add_argument("--changelog", help="the Debian change log whose newest entry dates the page")
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
    if args.subcommands:
        check_description(page, [command for command, _ in sections.get("Subcommands", [])])
    page = page.replace("@SYNOPSIS@", "\n".join(synopsis(usage, args.name)))
    page = page.replace("@OPTIONS@", "\n".join(options))
    page = page.replace("@VERSION@", args.version)
    page = page.replace("@DATE@", page_date(args.changelog))
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
