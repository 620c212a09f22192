#!/usr/bin/env python3
"""Checks a shipped .asi file: its export table holds exactly the five entry points
with ordinals 1 to 5, and it imports from system DLLs only (everything else is linked
in statically). Reads the PE file directly."""
import struct
import sys

EXPECTED_EXPORTS = {
    1: "CreateInterface",
    2: "GetBuildInt",
    3: "GetBuildStr",
    4: "GetBuildVersion",
    5: "_RIB_Main@20",
}
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "msvcrt.dll",
    "version.dll", "crypt32.dll", "bcrypt.dll", "gdi32.dll", "shell32.dll", "ole32.dll",
}


class Image:
    def __init__(self, data):
        self.data = data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        if machine != 0x14C:
            raise ValueError("not a 32-bit x86 image (machine %#x)" % machine)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x10B:
            raise ValueError("not a PE32 optional header")
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

    def imported_dlls(self):
        rva, _ = self.directories[1]
        dlls = []
        position = self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, position)
            if not any(descriptor):
                return dlls
            dlls.append(self.text(descriptor[3]))
            position += 20


def main(paths):
    failures = 0
    for path in paths:
        with open(path, "rb") as f:
            image = Image(f.read())
        exports = image.exports()
        if exports != EXPECTED_EXPORTS:
            print("%s: exports %r, expected %r" % (path, exports, EXPECTED_EXPORTS))
            failures += 1
        foreign = [dll for dll in image.imported_dlls() if dll.lower() not in SYSTEM_DLLS]
        if foreign:
            print("%s: imports non-system DLLs %r" % (path, foreign))
            failures += 1
        if not failures:
            print("%s: exports and imports as shipped (%s)" % (path, ", ".join(image.imported_dlls())))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
