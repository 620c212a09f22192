#!/usr/bin/env python3
"""The faulting thread of a player's minidump, frame by frame.

    tools/read_crash.py DUMP SITE_OR_MODULE

SITE_OR_MODULE is the update site (its releases/NNNN folders keep every module shipped),
any folder holding .asi files, or one .asi file. A module file is used for the dump's
record of an .asi when its time stamp, size of image and checksum are the record's (the
build makes the stamp a digest of the module's bytes, so the stamp alone differs between
flavours and builds; the checksum also tells apart modules built before that, whose
flavours share a stamp). The plug-in's frames come out as function, file and line, every
other frame as module+offset:

    #0  CrashCommand() at /murmelon/src/crash/crash_command.cpp:16  (Murmelon_W_7_D.asi)
    #1  hw.dll+0x1102400

The dump is read by LLVM (obj2yaml for its module records, lldb for the stack); nothing
here parses a minidump. Exit status 1 when no module matches or when two different files
match one record equally (copies with the same bytes count once) or when the dump is a
".part" file (one the plug-in never finished), 2 on wrong use.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

LLDB = "lldb-14"
OBJ2YAML = "obj2yaml-14"
READOBJ = "llvm-readobj-14"
OBJDUMP = "llvm-objdump-14"
SEP = "\x1f"  # between the fields of one frame line in lldb's output


def dump_modules(dump):
    """(name, identity) of every module record in the dump; an identity is (time stamp,
    size of image, checksum)."""
    text = subprocess.run([OBJ2YAML, dump], check=True, capture_output=True, text=True).stdout
    modules, current = [], {}
    for line in text.splitlines():
        field = re.match(r"\s*(?:- )?(Base of Image|Size of Image|Checksum|Time Date Stamp|Module Name):\s*(.*)",
                         line)
        if not field:
            continue
        key, value = field.groups()
        if key == "Base of Image":
            current = {}
        current[key] = value.strip().strip("'")
        if key == "Module Name":
            identity = tuple(int(current.get(k, "0"), 0) for k in ("Time Date Stamp", "Size of Image", "Checksum"))
            modules.append((current["Module Name"], identity))
    return modules


def module_identity(path):
    """(time stamp, size of image, checksum) from a module file's PE headers; None for a
    file that is no module."""
    def headers(*command):
        result = subprocess.run([*command, path], capture_output=True, text=True)
        return result.stdout if result.returncode == 0 else ""
    text = headers(READOBJ, "--file-headers")
    stamp = re.search(r"TimeDateStamp:.*\((0x[0-9A-Fa-f]+)\)", text)
    size = re.search(r"SizeOfImage:\s*(\d+)", text)
    checksum = re.search(r"^CheckSum\s+([0-9A-Fa-f]+)\s*$", headers(OBJDUMP, "-p"), re.M)
    if not (stamp and size and checksum):
        return None
    return int(stamp.group(1), 16), int(size.group(1)), int(checksum.group(1), 16)


def candidates(where):
    if os.path.isfile(where):
        return [where]
    found = []
    for folder, _, files in os.walk(where):
        found += [os.path.join(folder, f) for f in files if f.lower().endswith(".asi")]
    return sorted(found)


def content(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).digest()


def describe(identity):
    stamp, size, checksum = identity
    return f"time stamp 0x{stamp:08X}, size {size} and checksum 0x{checksum:08X}"


def matching_modules(dump, where):
    """{dump's module name: matching file} for every .asi record of the dump that one file
    under `where` matches; None, with the reason printed, when none matches or a record
    is matched by two files with different bytes."""
    wanted = {identity: name for name, identity in dump_modules(dump) if name.lower().endswith(".asi")}
    if not wanted:
        print("read_crash: the dump has no .asi module", file=sys.stderr)
        return None
    found = {}  # identity -> {content digest: path}
    for path in candidates(where):
        identity = module_identity(path)
        if identity in wanted:
            found.setdefault(identity, {}).setdefault(content(path), path)
    if not found:
        for identity, name in wanted.items():
            print(f"read_crash: no module under {where} has {describe(identity)} ({name})", file=sys.stderr)
        return None
    equal = [(identity, sorted(paths.values())) for identity, paths in found.items() if len(paths) > 1]
    for identity, paths in equal:
        print(f"read_crash: {len(paths)} different modules have {describe(identity)} ({wanted[identity]}): "
              + ", ".join(paths), file=sys.stderr)
    if equal:
        return None
    return {wanted[identity]: next(iter(paths.values())) for identity, paths in found.items()}


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
    """Frame lines; `ours` holds the lower-case file names of the matched modules."""
    lines = []
    for index, pc, module, function, file, number in frames:
        pc = int(pc, 16)
        if module.lower() in ours and file and number:
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
    if dump.endswith(".part"):
        # The plug-in writes its dump under this name and renames it once it is whole.
        print(f"read_crash: {os.path.basename(dump)} is cut: the game ended (or its dump "
              "writer failed) before the dump was finished", file=sys.stderr)
        return 1
    matches = matching_modules(dump, where)
    if not matches:
        return 1
    # lldb takes a module from the dump's folder by its recorded name: a folder of its
    # own holds the dump and the matched modules only, so no other file is taken for one.
    ours = {re.split(r"[\\/]", name)[-1]: path for name, path in matches.items()}
    with tempfile.TemporaryDirectory(prefix="read_crash.") as folder:
        shutil.copy(dump, os.path.join(folder, "crash.dmp"))
        for name, path in ours.items():
            shutil.copy(path, os.path.join(folder, name))
        frames, bases = backtrace(folder, "crash.dmp")
    if not frames:
        print("read_crash: lldb gave no frames", file=sys.stderr)
        return 1
    for name, path in sorted(ours.items()):
        print(f"{os.path.basename(dump)}: {name} from {path}")
    print("\n".join(render(frames, bases, {name.lower() for name in ours})))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
