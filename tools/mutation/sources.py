"""Which files get mutants, found from git rather than from a list of folders, so that
files moved or added elsewhere are picked up as they are.

C and C++: the plug-in (src/ and the flavours' identity sources), the test world's fake
engine and the probe of the host (what the scenarios trust to see the loader lock).
Python: every tracked file outside test and benchmark folders (the service, the release
and maintenance tools, the service's deployed configuration), except this tool.
"""

import os
import subprocess

CXX_SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp")
CXX_SCOPE = ("src/", "flavours/", "testworld/engine/", "testworld/host/probe")
# Folders whose Python is test or benchmark code, wherever they stand.
NOT_PRODUCT = {"tests", "test", "bench"}
HERE = os.path.dirname(os.path.abspath(__file__))


def tracked(root):
    listing = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], capture_output=True, check=True).stdout
    paths = sorted({p for p in listing.decode().split("\0") if p})
    return [p for p in paths if os.path.isfile(os.path.join(root, p))]


def discover(root):
    """(C and C++ files, Python files) of the checkout at root, relative to it."""
    paths = tracked(root)
    mine = os.path.relpath(HERE, root).replace(os.sep, "/") + "/"
    cxx = [p for p in paths if p.endswith(CXX_SUFFIXES) and p.startswith(CXX_SCOPE)]
    python = [p for p in paths if p.endswith(".py") and not p.startswith(mine)
              and not NOT_PRODUCT.intersection(p.split("/")[:-1])]
    return cxx, python


def code_lines(root, path):
    """Lines that are neither blank nor only a comment: the size a folder's share of a
    sample is drawn by."""
    count = 0
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as handle:
        for line in handle:
            stripped = line.strip()
            if stripped and not stripped.startswith(("//", "#", "/*", "*")):
                count += 1
    return count
