"""All mutants of a checkout: C and C++ through libclang with each file's own compile
command (from a build tree's ninja), Python through ast."""

import json
import os
import subprocess

import cxx
import pysource
import sources


def compile_commands(build):
    """source path -> compile command, from ninja (no configure option needed)."""
    if not os.path.isfile(os.path.join(build, "build.ninja")):
        return {}
    listing = subprocess.run(["ninja", "-C", build, "-t", "compdb"], capture_output=True, text=True)
    if listing.returncode != 0:
        return {}
    return {os.path.normpath(os.path.join(e["directory"], e["file"])): e["command"]
            for e in json.loads(listing.stdout)}


def header_units(build):
    """header path -> a source that includes it, from ninja's record of each object's
    headers."""
    if not os.path.isfile(os.path.join(build, "build.ninja")):
        return {}
    listing = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True, text=True)
    units, current = {}, None
    for line in listing.stdout.splitlines():
        if line and not line.startswith(" "):
            current = None
        elif current is None and line.strip():
            current = os.path.normpath(line.strip())  # the first input is the source
        elif line.strip():
            units.setdefault(os.path.normpath(line.strip()), current)
    return units


def cxx_mutants(root, build, paths, log=print):
    commands = compile_commands(build)
    includers = header_units(build)
    found = []
    for path in paths:
        absolute = os.path.join(root, path)
        unit = absolute
        if not absolute.endswith((".c", ".cc", ".cpp")):
            unit = includers.get(absolute)
            if unit is None or unit not in commands:
                log(f"generate: {path} is included by no compiled source; no mutants")
                continue
        command = commands.get(unit)
        if command is None:
            log(f"generate: {path} has no compile command in {build}; no mutants")
            continue
        mutants, errors = cxx.generate(absolute, path, cxx.parser_arguments(command, unit), unit)
        if errors:
            log(f"generate: {path}: the parser reports {len(errors)} error(s), first: {errors[0]}")
        found += mutants
    return found


def python_mutants(root, paths, log=print):
    found = []
    for path in paths:
        try:
            found += pysource.generate(os.path.join(root, path), path)
        except SyntaxError as error:
            log(f"generate: {path} is not Python this interpreter reads ({error}); no mutants")
    return found


def all_mutants(checkout, root, build, log=print):
    """(C/C++ mutants, Python mutants) of the files git lists in checkout, read from the
    tree at root (the checkout or a copy of it), C and C++ parsed with the compile
    commands of the build tree build (mingw's: every file in scope is built there)."""
    cxx_paths, python_paths = sources.discover(checkout)
    return cxx_mutants(root, build, cxx_paths, log), python_mutants(root, python_paths, log)
