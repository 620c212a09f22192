#!/usr/bin/env python3
"""The faulting thread of a player's minidump, frame by frame.

    tools/read_crash.py DUMP SITE_OR_MODULE

SITE_OR_MODULE is the update site (its releases/NNNN folders keep every module shipped),
any folder holding .asi files, or one .asi file. The module whose time stamp and size
match the dump's record of it is used; the plug-in's frames come out as function, file
and line, every other frame as module+offset:

    #0  CrashCommand() at /murmelon/src/crash/crash_command.cpp:16  (Murmelon_W_7_D.asi)
    #1  hw.dll+0x1102400

The dump is read by LLVM (obj2yaml for its module records, lldb for the stack); nothing
here parses a minidump. Exit status 1 when no module matches, 2 on wrong use.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

LLDB = "lldb-14"
OBJ2YAML = "obj2yaml-14"
READOBJ = "llvm-readobj-14"
SEP = "\x1f"  # between the fields of one frame line in lldb's output


def dump_modules(dump):
    """(name, time stamp, size of image) of every module record in the dump."""
    text = subprocess.run([OBJ2YAML, dump], check=True, capture_output=True, text=True).stdout
    modules, current = [], {}
    for line in text.splitlines():
        field = re.match(r"\s*(?:- )?(Base of Image|Size of Image|Time Date Stamp|Module Name):\s*(.*)", line)
        if not field:
            continue
        key, value = field.groups()
        if key == "Base of Image":
            current = {}
        current[key] = value.strip().strip("'")
        if key == "Module Name":
            modules.append((current["Module Name"], int(current.get("Time Date Stamp", "0"), 0),
                            int(current.get("Size of Image", "0"), 0)))
    return modules


def module_identity(path):
    """(time stamp, size of image) from a module file's PE headers."""
    text = subprocess.run([READOBJ, "--file-headers", path], check=True, capture_output=True,
                          text=True).stdout
    stamp = re.search(r"TimeDateStamp:.*\((0x[0-9A-Fa-f]+)\)", text)
    size = re.search(r"SizeOfImage:\s*(\d+)", text)
    return (int(stamp.group(1), 16), int(size.group(1))) if stamp and size else None


def candidates(where):
    if os.path.isfile(where):
        return [where]
    found = []
    for folder, _, files in os.walk(where):
        found += [os.path.join(folder, f) for f in files if f.lower().endswith(".asi")]
    return sorted(found)


def matching_module(dump, where):
    """(dump's module name, matching file), or None with what was looked for printed."""
    wanted = {}
    for name, stamp, size in dump_modules(dump):
        if name.lower().endswith(".asi"):
            wanted[(stamp, size)] = name
    if not wanted:
        print("read_crash: the dump has no .asi module", file=sys.stderr)
        return None
    for path in candidates(where):
        identity = module_identity(path)
        if identity in wanted:
            return wanted[identity], path
    for (stamp, size), name in wanted.items():
        print(f"read_crash: no module under {where} has time stamp 0x{stamp:08X} and size "
              f"{size} ({name})", file=sys.stderr)
    return None


def backtrace(folder, dump):
    """Frames of the thread lldb stops at (the one the exception record names), and the
    load address of every module."""
    frame_format = SEP.join(["#${frame.index}", "${frame.pc}", "{${module.file.basename}}",
                             "{${function.name-with-args}}", "{${line.file.fullpath}}",
                             "{${line.number}}"]) + "\\n"
    result = subprocess.run(
        [LLDB, "--batch", "--no-lldbinit", "-o", f"settings set frame-format \"{frame_format}\"",
         "-o", f"target create --core \"{dump}\"", "-o", "image list -h -b", "-o", "thread backtrace"],
        cwd=folder, capture_output=True, text=True, timeout=120)
    bases, frames = {}, []
    for line in result.stdout.splitlines():
        image = re.match(r"\[\s*\d+\]\s+(0x[0-9a-fA-F]+)\s+(\S.*?)\s*$", line)
        if image:
            bases[image.group(2).lower()] = int(image.group(1), 16)
        at = line.find("#")
        if SEP in line and at >= 0 and not line.startswith("(lldb)"):  # not the echoed command
            frames.append(line[at:].split(SEP))
    return frames, bases


def render(frames, bases, ours):
    lines = []
    for index, pc, module, function, file, number in frames:
        pc = int(pc, 16)
        if module.lower() == ours.lower() and file and number:
            lines.append(f"{index}  {function} at {file}:{number}  ({module})")
        elif module and module.lower() in bases:
            lines.append(f"{index}  {module}+0x{pc - bases[module.lower()]:x}")
        else:
            lines.append(f"{index}  0x{pc:08x}")
    return lines


def main(argv):
    if len(argv) != 3 or not os.path.isfile(argv[1]) or not os.path.exists(argv[2]):
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    dump, where = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    match = matching_module(dump, where)
    if not match:
        return 1
    name, path = match
    # lldb takes a module from the dump's folder by its recorded name: a folder of its
    # own holds the dump and the matched module only, so no other file is taken for it.
    ours = re.split(r"[\\/]", name)[-1]
    with tempfile.TemporaryDirectory(prefix="read_crash.") as folder:
        shutil.copy(dump, os.path.join(folder, "crash.dmp"))
        shutil.copy(path, os.path.join(folder, ours))
        frames, bases = backtrace(folder, "crash.dmp")
    if not frames:
        print("read_crash: lldb gave no frames", file=sys.stderr)
        return 1
    print(f"{os.path.basename(dump)}: {ours} from {path}")
    print("\n".join(render(frames, bases, ours)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
