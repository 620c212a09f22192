#!/usr/bin/env python3
"""Checks the server's Python as an import graph would read it:

- nothing in the checkout edits `sys.path` (the tests import the package; CTest, the
  scripts and the installed command put it on the path);
- what is installed (server/murmelon_update, server/bin) imports only the standard library
  and, within the package, only modules below its own tier, bottom first:

      files                                the one way files are read and written
      signature rollout player_key outcome watch_rule
      release                              the release format
      staging site status
      app published service_check status_text
      watch status_page                    the watch over a rollout; the status as a page
      release_tool                         the command

- and no installed module but files opens, copies, decompresses or parses a file
  itself, so that a new reader cannot bring back a blocking or unbounded read.

    server_wing.py CHECKOUT     # prints every fault; exit status 1 when there is one
"""
import ast
import os
import subprocess
import sys

TIERS = [["files"], ["signature", "rollout", "player_key", "outcome", "watch_rule"], ["release"],
         ["staging", "site", "status"], ["app", "published", "service_check", "status_text"],
         ["watch", "status_page"], ["release_tool"]]
RANK = {module: rank for rank, tier in enumerate(TIERS) for module in tier}
READER = "files"
# Calls that open, copy or read a file by its name or descriptor: on anything, or on the
# module named.
OPENING_CALLS = {"open", "fdopen", "read_text", "read_bytes", "write_text", "write_bytes"}
MODULE_CALLS = {"os": {"read", "write", "pread", "sendfile"},
                "shutil": {"copy", "copy2", "copyfile", "copytree", "copyfileobj", "move"},
                "tempfile": {"NamedTemporaryFile", "TemporaryFile", "SpooledTemporaryFile", "mkstemp"}}
# Modules that read files by themselves.
READING_MODULES = {"gzip", "zlib", "bz2", "lzma", "configparser", "io", "codecs", "fileinput", "shelve"}


def python_files(checkout):
    listed = subprocess.run(["git", "-C", checkout, "ls-files", "--cached", "--others", "--exclude-standard"],
                            capture_output=True, text=True, check=True).stdout.split("\n")
    for path in listed:
        full = os.path.join(checkout, path)
        if path.endswith(".py") or (path.startswith("server/bin/") and os.path.isfile(full)):
            yield path, full


def parse(full):
    with open(full, encoding="utf-8") as file:
        return ast.parse(file.read(), full)


def path_edits(tree):
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and node.attr == "path" and isinstance(node.value, ast.Name) \
                and node.value.id == "sys":
            yield node.lineno, "uses sys.path"


def imports(tree):
    """(line, level, top-level name or the package module) of every import."""
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield node.lineno, 0, alias.name.split(".")[0]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                names = [node.module.split(".")[0]] if node.module else [a.name for a in node.names]
                for name in names:
                    yield node.lineno, node.level, name
            else:
                yield node.lineno, 0, node.module.split(".")[0]


def installed_faults(name, tree):
    """Faults of one installed module (name: its module name, or "" for the command)."""
    for line, level, target in imports(tree):
        if level > 1 or (level == 0 and target not in sys.stdlib_module_names and target != "murmelon_update"):
            yield line, f"imports {target}, which is neither the standard library nor the package"
        elif level == 0 and target == "murmelon_update" and name:
            yield line, "imports the package by its name: within it, import relatively"
        elif level == 1 and name and RANK.get(target, len(TIERS)) >= RANK.get(name, -1):
            yield line, f"imports {target}, which is not below it"
        elif level == 0 and target in READING_MODULES and name != READER:
            yield line, f"imports {target}: files are read through {READER}.py"
    if name == READER:
        return
    for node in ast.walk(tree):
        if isinstance(node, ast.Call):
            function = node.func
            called = function.id if isinstance(function, ast.Name) else getattr(function, "attr", "")
            module = function.value.id if isinstance(function, ast.Attribute) \
                and isinstance(function.value, ast.Name) else ""
            if called in OPENING_CALLS or called in MODULE_CALLS.get(module, ()):
                yield node.lineno, f"calls {called}(): files are opened through {READER}.py"


def main(checkout):
    faults = []
    package = os.path.join("server", "murmelon_update") + os.sep
    for path, full in python_files(checkout):
        if path == os.path.join("tests", "layout", "server_wing.py"):
            continue
        tree = parse(full)
        found = list(path_edits(tree))
        if path.startswith(package):
            name = os.path.splitext(os.path.basename(path))[0]
            if name != "__init__" and name not in RANK:
                found.append((1, f"a module outside the tiers; add it to {__file__}"))
            found += installed_faults(name, tree)
        elif path.startswith(os.path.join("server", "bin") + os.sep):
            found += installed_faults("", tree)
        faults += [f"{path}:{line}: {what}" for line, what in found]
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
