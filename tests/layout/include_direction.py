#!/usr/bin/env python3
"""Checks that every folder of src/ includes only its own headers and those of folders
below it. The order, bottom first; folders on one line are siblings that do not include
each other:

    vstdlib engine          the engine's string library binding; the engine-builds table
    base                    console, interfaces, shared state, module functions, UTF-8
    crash update voice      the features
    core                    the entry routine and the start-up order

    include_direction.py SRC_DIR     # prints every include that goes up or sideways
"""
import os
import re
import sys

TIERS = [["vstdlib", "engine"], ["base"], ["crash", "update", "voice"], ["core"]]
RANK = {folder: rank for rank, tier in enumerate(TIERS) for folder in tier}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/')


def main(src):
    faults = []
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        if folder not in RANK:
            faults.append("%s: a folder outside the order; add it to %s" % (folder, __file__))
            continue
        for directory, _, files in os.walk(path):
            for name in sorted(files):
                source = os.path.join(directory, name)
                with open(source, encoding="utf-8") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if not match or match.group(1) == folder:
                            continue
                        target = match.group(1)
                        if RANK.get(target, len(TIERS)) >= RANK[folder]:
                            faults.append("%s:%d: %s includes %s" % (
                                os.path.relpath(source, src), number, folder, target))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
