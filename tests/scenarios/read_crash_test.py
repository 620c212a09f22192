"""tools/read_crash.py on the dumps that the crash scenario leaves, one of each flavour:
which module file it takes for the dump's record of the plug-in when a folder holds
several, and the faulting frame it then names."""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.environ["MURMELON_DIST"]
SIGNED = os.environ["MURMELON_DIST_SIGNED"]  # keyed variants: other builds, same names and sizes
GAMES = os.environ["MURMELON_GAMES"]
W7_DUMP = os.path.join(GAMES, "crash_writes_minidump_of_the_fault.first.dmp")
XP_DUMP = os.path.join(GAMES, "crash_writes_minidump_of_the_fault.crash", "Murmelon.dmp")
W7, XP = "Murmelon_W_7_D.asi", "Murmelon_W_XP_D.asi"


def read(path):
    with open(path, "rb") as file:
        return file.read()


def stamp_offset(module):
    return struct.unpack_from("<I", module, 0x3C)[0] + 8


def with_stamp_of(source, other):
    """A build of `source` whose PE time stamp is `other`'s (as both flavours had when
    they were linked in the same second); its checksum stays its own."""
    module, donor = bytearray(read(source)), read(other)
    at = stamp_offset(module)
    module[at:at + 4] = donor[stamp_offset(donor):stamp_offset(donor) + 4]
    return bytes(module)


def altered(source):
    """Other bytes under the same headers: a byte of the DOS stub's text changed."""
    module = bytearray(read(source))
    module[0x50] ^= 0x20
    return bytes(module)


def crash_frame(flavour):
    return re.compile(r"\n#0  CrashCommand\(\) at /murmelon/src/crash/crash_command\.cpp:[1-9][0-9]*  \(" +
                      re.escape(flavour) + r"\)\n")


class ReadCrash(unittest.TestCase):
    def test_the_module_of_the_dump_is_taken_among_others_and_ties_are_refused(self):
        dist_w7, dist_xp, other_xp = os.path.join(DIST, W7), os.path.join(DIST, XP), os.path.join(SIGNED, XP)
        for path in (W7_DUMP, XP_DUMP, dist_w7, dist_xp, other_xp):
            self.assertTrue(os.path.isfile(path), f"{path} is missing: run the crash scenario first")
        # A dump the plug-in never finished keeps its second name, whatever its bytes.
        scratch = tempfile.TemporaryDirectory(prefix="read_crash_test.")
        self.addCleanup(scratch.cleanup)
        cut = os.path.join(scratch.name, "Murmelon.dmp.part")
        shutil.copy(W7_DUMP, cut)
        # what, dump, the folder's files {path: bytes}, the file taken (None: refused), what it says
        rows = [
            ("a dump that was never finished", cut, {W7: read(dist_w7)}, None,
             re.compile(r"read_crash: Murmelon\.dmp\.part is cut: ")),
            ("a W7 dump against both flavours", W7_DUMP,
             {W7: read(dist_w7), XP: read(dist_xp)}, W7, crash_frame(W7)),
            ("an XP dump against a site with both flavours and another XP build", XP_DUMP,
             {f"releases/0001/{W7}": read(dist_w7), f"releases/0002/{XP}": read(other_xp),
              f"releases/0003/{XP}": read(dist_xp)}, f"releases/0003/{XP}", crash_frame(XP)),
            ("an XP dump against a W7 build with the XP one's time stamp and size", XP_DUMP,
             {f"a/{W7}": with_stamp_of(dist_w7, dist_xp), f"b/{XP}": read(dist_xp)},
             f"b/{XP}", crash_frame(XP)),
            ("an XP dump against two copies of its module", XP_DUMP,
             {f"a/{XP}": read(dist_xp), f"b/{XP}": read(dist_xp)}, f"a/{XP}",
             crash_frame(XP)),
            ("an XP dump without its module", XP_DUMP,
             {W7: read(dist_w7), XP: read(other_xp)}, None,
             re.compile(r"read_crash: no module under .* has time stamp 0x[0-9A-F]{8}, size \d+ and checksum "
                        r"0x[0-9A-F]{8} \(.*Murmelon_W_XP_D\.asi\)\n")),
            ("an XP dump against its module and another file of the same identity", XP_DUMP,
             {f"a/{XP}": read(dist_xp), f"b/{XP}": altered(dist_xp)}, None,
             re.compile(r"read_crash: 2 different modules have time stamp .*: \S+/a/Murmelon_W_XP_D\.asi, "
                        r"\S+/b/Murmelon_W_XP_D\.asi\n")),
        ]
        for what, dump, files, taken, says in rows:
            with self.subTest(what), tempfile.TemporaryDirectory(prefix="read_crash_test.") as folder:
                for path, module in files.items():
                    os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
                    with open(os.path.join(folder, path), "wb") as file:
                        file.write(module)
                result = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "read_crash.py"), dump, folder],
                                        capture_output=True, text=True, timeout=150)
                if taken is None:
                    self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                    self.assertEqual(result.stdout, "")
                    self.assertRegex(result.stderr, says)
                    continue
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f" from {os.path.join(folder, taken)}\n", result.stdout)
                self.assertRegex(result.stdout, says)


if __name__ == "__main__":
    unittest.main()
