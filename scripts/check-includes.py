#!/usr/bin/env python3
"""Fails when an include of the project's own code points up or sideways between layers.

Each folder has a layer; a file may include headers of its own folder and of lower layers only.
Inside platform/ the facade and its backends are one layer, but a backend never includes
another backend. Test folders share only tests/support/.
Usage: scripts/check-includes.py (from anywhere in the repository)
"""
import os
import re
import subprocess
import sys

# Folder (longest prefix wins) -> layer, bottom up.
LAYERS = {
    "platform": 0,
    "platform/linux": 0,
    "platform/windows": 0,
    "platform/sim": 0,
    "flasher": 1,
    "detection": 1,
    "sim": 1,
    "app": 2,
    "tools": 2,
    "update": 3,
    "gui": 4,
    "headless": 4,
    "tests/support": 5,
    "tests": 6,
    "bench": 6,
    "fuzz": 6,
}
BACKENDS = {"platform/linux", "platform/windows", "platform/sim"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(path):
    """The table's folder for a repository path, or None when it has none."""
    parts = path.split("/")
    for length in range(len(parts) - 1, 0, -1):
        prefix = "/".join(parts[:length])
        if prefix in LAYERS:
            if prefix == "tests" and len(parts) > 2:
                return "tests/" + parts[1]
            return prefix
    return None


def layer_of(folder):
    return LAYERS[folder] if folder in LAYERS else LAYERS["tests"]


def problem(source, target):
    """Why an include from folder `source` of folder `target` is wrong, or None."""
    if source == target:
        return None
    if source in BACKENDS and target in BACKENDS:
        return "one backend includes another"
    if source.startswith("tests/") and target.startswith("tests/") and target != "tests/support":
        if layer_of(source) == layer_of(target):
            return "test folders share only tests/support/"
    if layer_of(target) > layer_of(source):
        return "points up"
    if layer_of(target) == layer_of(source) and not (
            source.startswith("platform") and target.startswith("platform")):
        return "points sideways"
    return None


def main():
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                          capture_output=True, text=True).stdout.strip()
    files = subprocess.run(["git", "-C", root, "ls-files", "*.cpp", "*.h", "*.c"], check=True,
                           capture_output=True, text=True).stdout.split()
    faults = []
    for path in files:
        source = folder_of(path)
        if source is None:
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                included = match.group(1)
                if included.startswith("."):
                    faults.append(f"{path}:{number}: includes {included}: relative to the file; "
                                  "name it from the repository's root")
                    continue
                if "/" not in included:
                    continue
                target = folder_of(included)
                if target is None:
                    continue
                why = problem(source, target)
                if why:
                    faults.append(f"{path}:{number}: includes {included}: {why}")
    for fault in faults:
        print(fault)
    if faults:
        print(f"includes: {len(faults)} point the wrong way", file=sys.stderr)
        return 1
    print(f"includes: every include of {len(files)} files points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
