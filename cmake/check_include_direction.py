#!/usr/bin/env python3
"""The test that includes run one way through the layers (ARCHITECTURE: "Layers and folders").

  check_include_direction.py SOURCE_DIR   scans every .h and .cc under the layers' folders
  check_include_direction.py --self-test  checks the check on a small tree of its own

A file may include a header of its own folder and of the folders on the floors below its own.
It fails on each `#include "FOLDER/..."` that names a folder on a floor above its own, or
another folder on its own floor, and prints the line as FILE:LINE. Folders that do not exist
(yet) are skipped; folders outside the layers (sim/, tests/, bench/) are neither scanned nor
checked as included.
"""
import os
import re
import sys
import tempfile

# The floors from the top down; folders on one floor do not include one another.
FLOORS = [
    ("cli", "gui"),
    ("pages",),
    ("serve", "record", "alarms"),
    ("app",),
    ("acquire",),
    ("meter",),
    ("text", "hidlink"),
    ("base",),
]
FLOOR_OF = {folder: level for level, folders in enumerate(FLOORS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]*"')
SUFFIXES = (".h", ".cc")


def offences(source_dir):
    """(relative path, line number, line, why) for every include against the direction, and
    the number of files scanned."""
    found = []
    scanned = 0
    for folder, level in FLOOR_OF.items():
        top = os.path.join(source_dir, folder)
        if not os.path.isdir(top):
            continue
        for directory, subdirectories, files in os.walk(top):
            subdirectories.sort()
            for name in sorted(files):
                if not name.endswith(SUFFIXES):
                    continue
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, source_dir)
                scanned += 1
                with open(path, encoding="utf-8", errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        included = match.group(1)
                        if included == folder or included not in FLOOR_OF:
                            continue
                        other = FLOOR_OF[included]
                        if other < level:
                            why = f"{folder}/ includes {included}/, a layer above it"
                        elif other == level:
                            why = f"{folder}/ includes {included}/, on its own floor"
                        else:
                            continue
                        found.append((relative, number, line.rstrip("\n"), why))
    return found, scanned


def check(source_dir):
    found, scanned = offences(source_dir)
    for relative, number, line, why in found:
        print(f"{relative}:{number}: {line}    ({why})")
    if found:
        order = " -> ".join(", ".join(folders) for folders in FLOORS)
        print(f"{len(found)} includes against the layers ({order})")
        return 1
    print(f"{scanned} files include only their own folder and the layers below it")
    return 0


def self_test():
    files = {
        "cli/a.cc": '#include "cli/b.h"\n#include "app/x.h"\n#include "base/p.h"\n'
                    '#include "sim/s.h"\n#include <gui/not_ours.h>\n',
        "cli/b.h": '// #include "gui/commented.h"\n',
        "gui/w.cc": '#include "pages/p.h"\n  #  include "cli/c.h"\n',
        "pages/chart/v.h": '#include "pages/q.h"\n#include "record/r.h"\n#include "gui/w.h"\n',
        "record/r.cc": '#include "app/a.h"\n#include "alarms/x.h"\n',
        "app/a.cc": '#include "meter/m.h"\n#include "record/r.h"\n',
        "meter/m.cc": '#include "text/t.h"\n#include "hidlink/h.h"\n#include "acquire/l.h"\n',
        "text/t.cc": '#include "hidlink/h.h"\n#include "base/p.h"\n',
        "hidlink/h.cc": '#include "text/t.h"\n',
        "base/p.h": '#include "meter/frame.h"\n',
        "meter/notes.txt": '#include "gui/w.h"\n',
        "sim/s.cc": '#include "gui/w.h"\n',
    }
    expected = {
        ("gui/w.cc", 2),
        ("pages/chart/v.h", 3),
        ("record/r.cc", 2),
        ("app/a.cc", 2),
        ("meter/m.cc", 3),
        ("text/t.cc", 1),
        ("hidlink/h.cc", 1),
        ("base/p.h", 1),
    }
    with tempfile.TemporaryDirectory() as root:
        for relative, content in files.items():
            path = os.path.join(root, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as out:
                out.write(content)
        found, scanned = offences(root)
        got = {(relative, number) for relative, number, _, _ in found}
        if got != expected or scanned != 10:
            print(f"self-test: expected {sorted(expected)} of 10 files,\n"
                  f"           got {sorted(got)} of {scanned}")
            return 1
        # Nothing but those: the same tree without the offending lines passes.
        for relative, number in expected:
            path = os.path.join(root, relative)
            with open(path, encoding="utf-8") as text:
                lines = text.readlines()
            lines[number - 1] = "\n"
            with open(path, "w", encoding="utf-8") as out:
                out.writelines(lines)
        if offences(root)[0] or check(root) != 0:
            print("self-test: a tree with only downward includes was refused")
            return 1
    print("self-test: every include against the layers is found, and nothing else")
    return 0


def main(arguments):
    if arguments == ["--self-test"]:
        return self_test()
    if len(arguments) != 1 or not os.path.isdir(arguments[0]):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return check(arguments[0])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
