#!/usr/bin/env python3
"""Runs every ```sh block of the README as a user pastes it into a fresh terminal in the source
tree after the build: each in a fresh bash (errexit on, so a failing command in the middle
counts) in a folder of its own that mirrors the source tree, with `build` pointing at this
build. A block preceded by `<!-- not run: REASON -->` is skipped. A block fails when it ends
with another status, runs past the time limit, or leaves a process of its group running.

    readme_blocks_test.py SOURCE_DIR BUILD_DIR [BLOCK_LINE...]
"""
import os
import re
import signal
import subprocess
import sys
import tempfile

TIME_LIMIT_S = 120
SKIP = re.compile(r"^<!-- not run: (.+) -->$")


def blocks(readme):
    """(line number, text, reason to skip or None) of each sh block."""
    lines = open(readme, encoding="utf-8").read().split("\n")
    found, i, before = [], 0, ""
    while i < len(lines):
        if lines[i].strip() == "```sh":
            start = i + 1
            end = lines.index("```", start)
            skip = SKIP.match(before)
            found.append((start + 1, "\n".join(lines[start:end]), skip.group(1) if skip else None))
            i, before = end, ""
        elif lines[i].strip():
            before = lines[i].strip()
        i += 1
    return found


def workspace(source, build):
    """A folder whose entries are the source tree's, and build the build."""
    folder = tempfile.mkdtemp(prefix="vireo-readme-")
    for name in os.listdir(source):
        if name not in ("build", ".git"):
            os.symlink(os.path.join(source, name), os.path.join(folder, name))
    os.symlink(build, os.path.join(folder, "build"))
    return folder


def living(group):
    """The commands of the processes of a process group that are not zombies."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = open(f"/proc/{pid}/stat").read()
        except OSError:
            continue
        name, fields = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
        if int(fields[2]) == group and fields[0] != "Z":
            found.append(name)
    return found


def run(text, folder):
    """None when the block ran cleanly, else what went wrong with its output."""
    env = {k: v for k, v in os.environ.items()
           if k != "HIDLINK_VIRTUAL_DIR" and not k.startswith("VIREOMETER_")}
    process = subprocess.Popen(["bash", "--noprofile", "--norc", "-e", "-c", text], cwd=folder,
                               env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=TIME_LIMIT_S)
        problem = None if process.returncode == 0 else f"exit status {process.returncode}"
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        problem = f"still running after {TIME_LIMIT_S} s"
    left = living(process.pid)
    if left:
        os.killpg(process.pid, signal.SIGKILL)
        problem = problem or f"left {', '.join(left)} running"
    if problem is None:
        return None
    return f"{problem}; output:\n{output.decode(errors='replace')}"


def main():
    source, build = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
    only = {int(n) for n in sys.argv[3:]}
    failed = 0
    for line, text, skip in blocks(os.path.join(source, "README.md")):
        if only and line not in only:
            continue
        if skip:
            print(f"README.md:{line}: not run ({skip})")
            continue
        folder = workspace(source, build)
        problem = run(text, folder)
        subprocess.run(["rm", "-rf", folder], check=False)
        print(f"README.md:{line}: {'FAILED' if problem else 'ok'}", flush=True)
        if problem:
            failed += 1
            print(f"--- the block:\n{text}\n--- {problem}", flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
