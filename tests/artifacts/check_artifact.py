#!/usr/bin/env python3
"""Checks a shipped .asi file against reviewed data, reading the PE file directly.

    check_artifact.py [--max-bytes N] ASI PINNED_IMPORTS WINDOWS_EXPORTS
    check_artifact.py --list ASI        # prints the imports in the pinned-list format

- the export table holds exactly the five entry points with ordinals 1 to 5;
- the imports are exactly the pinned list (every new import is a reviewed change of that
  file), and every one of them is exported by the flavour's Windows (the allow-list);
- the header facts that decide whether the loader of that Windows takes the module: OS
  and subsystem version at most the allow-list's "max-version", a relocation table;
- no time of the link anywhere: the export table's stamp is 0 and the header's is the
  digest of the module's bytes (cmake/stamp_module.cmake), so the same source gives the
  same bytes in any folder at any time (the long tier builds it again elsewhere to see);
- with --max-bytes, the file's size (every player downloads it at an update).

Both data files hold "[dll]" lines, each followed by its function names (an import by
ordinal is written "ordinal:<n>"); "#" starts a comment. An allow-list may also hold
"max-version <major>.<minor>" and "include <file>" (relative to itself)."""
import hashlib
import os
import struct
import sys

EXPECTED_EXPORTS = {
    1: "CreateInterface",
    2: "GetBuildInt",
    3: "GetBuildStr",
    4: "GetBuildVersion",
    5: "_RIB_Main@20",
}
IMAGE_FILE_RELOCS_STRIPPED = 0x0001


class Image:
    def __init__(self, data):
        self.data = data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        if machine != 0x14C:
            raise ValueError("not a 32-bit x86 image (machine %#x)" % machine)
        self.stamp_at = pe + 8
        optional = pe + 24
        self.checksum_at = optional + 64
        if struct.unpack_from("<H", data, optional)[0] != 0x10B:
            raise ValueError("not a PE32 optional header")
        os_major, os_minor, _, _, sub_major, sub_minor = struct.unpack_from(
            "<6H", data, optional + 40)
        self.os_version = (os_major, os_minor)
        self.subsystem_version = (sub_major, sub_minor)
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_pointer in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_pointer + rva - address
        raise ValueError("RVA %#x is in no section" % rva)

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        rva, _ = self.directories[0]
        if not rva:
            return {}
        fields = struct.unpack_from("<IIHHIIIIIII", self.data, self.offset(rva))
        base, functions, names, function_table, name_table, ordinal_table = fields[5:11]
        result = {}
        for i in range(names):
            (name_rva,) = struct.unpack_from("<I", self.data, self.offset(name_table) + 4 * i)
            (index,) = struct.unpack_from("<H", self.data, self.offset(ordinal_table) + 2 * i)
            result[base + index] = self.text(name_rva)
        if functions != len(result):
            result["unnamed"] = functions - len(result)
        return result

    def imports(self):
        """{dll name as stored: [function names, "ordinal:<n>" for ordinals]}"""
        rva, _ = self.directories[1]
        result = {}
        position = self.offset(rva) if rva else None
        while position is not None:
            lookup, _, _, name, address = struct.unpack_from("<IIIII", self.data, position)
            if not (lookup or name or address):
                break
            functions = result.setdefault(self.text(name), [])
            entry = self.offset(lookup or address)
            while True:
                (thunk,) = struct.unpack_from("<I", self.data, entry)
                if not thunk:
                    break
                functions.append("ordinal:%d" % (thunk & 0xFFFF) if thunk & 0x80000000
                                 else self.text(thunk + 2))  # past the 2-byte hint
                entry += 4
            position += 20
        return result

    def export_stamp(self):
        rva, _ = self.directories[0]
        return struct.unpack_from("<I", self.data, self.offset(rva) + 4)[0] if rva else 0

    def stamp(self):
        return struct.unpack_from("<I", self.data, self.stamp_at)[0]

    def stamped(self, stamp):
        """The file as it is with `stamp` in its header and the checksum that goes with it."""
        data = bytearray(self.data)
        struct.pack_into("<I", data, self.stamp_at, stamp)
        struct.pack_into("<I", data, self.checksum_at, 0)
        total = 0
        for (word,) in struct.iter_unpack("<H", bytes(data) + b"\0" * (len(data) % 2)):
            total = (total & 0xFFFF) + (total >> 16) + word
        total = (total & 0xFFFF) + (total >> 16)
        struct.pack_into("<I", data, self.checksum_at, ((total & 0xFFFF) + len(data)) & 0xFFFFFFFF)
        return bytes(data)

    def relocatable(self):
        _, size = self.directories[5]
        return size > 0 and not self.characteristics & IMAGE_FILE_RELOCS_STRIPPED


def read_listing(path, seen=None):
    """A data file: ({dll lower-case: set of functions}, max-version or None)."""
    seen = seen or set()
    path = os.path.abspath(path)
    if path in seen:
        raise ValueError("%s includes itself" % path)
    seen.add(path)
    functions, max_version, dll = {}, None, None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            where = "%s:%d" % (path, number)
            if line.startswith("[") and line.endswith("]"):
                dll = line[1:-1].strip().lower()
                functions.setdefault(dll, set())
            elif line.startswith("include "):
                included, included_version = read_listing(
                    os.path.join(os.path.dirname(path), line.split(None, 1)[1]), seen)
                for name, names in included.items():
                    functions.setdefault(name, set()).update(names)
                max_version = max_version or included_version
            elif line.startswith("max-version "):
                major, minor = line.split(None, 1)[1].split(".")
                max_version = (int(major), int(minor))
            elif dll is None or " " in line:
                raise ValueError("%s: expected \"[dll]\" or a function name, got %r" % (where, line))
            else:
                functions[dll].add(line)
    return functions, max_version


def listing(imports):
    lines = []
    for dll in sorted(imports, key=str.lower):
        lines.extend([""] if lines else [])
        lines.append("[%s]" % dll.lower())
        lines.extend(sorted(set(imports[dll])))
    return "\n".join(lines) + "\n"


def problems(image, pinned, allowed, max_version, windows_name):
    found = []
    exports = image.exports()
    if exports != EXPECTED_EXPORTS:
        found.append("exports %r, expected %r" % (exports, EXPECTED_EXPORTS))

    imports = {dll.lower(): set(names) for dll, names in image.imports().items()}
    actual = {(dll, name) for dll, names in imports.items() for name in names}
    expected = {(dll, name) for dll, names in pinned.items() for name in names}
    for dll, name in sorted(actual - expected):
        found.append("imports %s!%s, which the pinned list lacks" % (dll, name))
    for dll, name in sorted(expected - actual):
        found.append("no longer imports the pinned %s!%s" % (dll, name))

    for dll, name in sorted(actual):
        if dll not in allowed:
            found.append("imports from %s, a DLL that %s does not have" % (dll, windows_name))
        elif name not in allowed[dll]:
            found.append("imports %s!%s, which %s does not export" % (dll, name, windows_name))

    if max_version:
        for what, version in (("OS", image.os_version), ("subsystem", image.subsystem_version)):
            if version > max_version:
                found.append("%s version %d.%d in the header; %s loads at most %d.%d"
                             % ((what,) + version + (windows_name,) + max_version))
    if image.export_stamp() != 0:
        found.append("the export table carries the link's time %#x: the bytes depend on when "
                     "it was linked" % image.export_stamp())
    # The stamp step digests the module as objcopy wrote it with SOURCE_DATE_EPOCH=0.
    digest = int(hashlib.sha256(image.stamped(0)).hexdigest()[:8], 16) or 1
    if image.stamp() != digest:
        found.append("time stamp %#x, not the digest of the module's bytes (%#x)" % (image.stamp(), digest))
    if image.stamped(image.stamp()) != image.data:
        found.append("the header checksum is not the module's")
    if not image.relocatable():
        found.append("no relocation table: the loader cannot move it when its base is taken")
    return found


def main(argv):
    if len(argv) == 2 and argv[0] == "--list":
        with open(argv[1], "rb") as f:
            sys.stdout.write(listing(Image(f.read()).imports()))
        return 0
    max_bytes = None
    if len(argv) == 5 and argv[0] == "--max-bytes":
        max_bytes, argv = int(argv[1]), argv[2:]
    if len(argv) != 3:
        print(__doc__)
        return 2
    path, pinned_path, windows_path = argv
    with open(path, "rb") as f:
        data = f.read()
    image = Image(data)
    pinned, _ = read_listing(pinned_path)
    allowed, max_version = read_listing(windows_path)
    windows_name = os.path.splitext(os.path.basename(windows_path))[0]
    found = problems(image, pinned, allowed, max_version, windows_name)
    if max_bytes is not None and len(data) > max_bytes:
        found.append("%d bytes, more than the %d allowed" % (len(data), max_bytes))
    for problem in found:
        print("%s: %s" % (path, problem))
    if found:
        print("The imports as linked (for %s, after review):\n%s"
              % (pinned_path, listing(image.imports())))
        return 1
    count = sum(len(names) for names in pinned.values())
    print("%s: %d bytes, exports as shipped; %d pinned imports from %s, all exported by %s"
          % (path, len(data), count, ", ".join(sorted(pinned)), windows_name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
