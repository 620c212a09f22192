"""The release format: one folder per flavour, as the service serves it and the release
commands lay it out (README.md beside this package):

    w7/  release.ini  Murmelon_W_7_D.asi  news.txt  update.answer

release.ini names the build, the flavour's suffix, the version label, the module and its
news, and for a signed release the deliverable, the public key and the signature;
update.answer holds the whole update answer, which nginx sends from disk.

The plug-in reads the whole answer, status line and headers included, as one byte stream
and searches it for its markers without regard to case. So a release whose texts hold a
marker is refused when it is loaded, and so is one whose module or news is larger than
the plug-in takes, or whose signature does not verify.
"""

import copy
import hashlib
import os
import re

from . import files, signature

# Every text the plug-in searches for (without regard to case). No served text may hold
# one, nor may anything a server in front adds.
MARKERS = ("error", "latest_version", "future_version", "saveto:", "md5:", "whatnew:",
           "version:", "data:", "build:", "signature:")
# The module's bytes up to its first zero byte are searched before "DATA:" is cut off.
VERDICT_MARKERS = ("error", "latest_version", "future_version", "data:")
# The last digit of a build names the flavour: its folder and deliverable.
FLAVOURS = {"1": ("w7", "Murmelon_W_7_D"), "2": ("xp", "Murmelon_W_XP_D")}
DELIVERABLE_SUFFIXES = {deliverable: suffix for suffix, (_, deliverable) in FLAVOURS.items()}
CHECK_PATH = "/Murmelon/CheckUpdate_v2.php"

# The plug-in reads a build number of at most 9 digits, with no sign and no leading zero.
BUILD_TEXT = re.compile(r"[1-9][0-9]{0,8}")
HEX_SIGNATURE = re.compile(r"[0-9a-f]{128}")
HEX_PUBLIC_KEY = re.compile(r"[0-9a-f]{64}")
MANIFEST = "release.ini"
ANSWER_FILE = "update.answer"

# What the plug-in takes (src/update): it gives up on an answer whose "DATA:" lies more than
# 64 KiB into the stream, status line and headers included, and on a download above 64 MiB.
PLUGIN_ANSWER_CAP = 64 * 1024
HTTP_HEAD_ALLOWANCE = 1024  # the front server's status line and headers (about 200 bytes)
ANSWER_HEAD_CAP = PLUGIN_ANSWER_CAP - HTTP_HEAD_ALLOWANCE  # the answer up to "DATA:", included
MODULE_CAP = 64 * 1024 * 1024
INI_CAP = 64 * 1024
MODULE_WHY = " (the largest download a player takes)"

SIGNED_MESSAGE_TAG = b"murmelon-update-v1\n"
BAD_NAME_CHARACTERS = set('<>:"/\\|?*')
DEVICE_NAMES = {"con", "prn", "aux", "nul", "conin$", "conout$"} | {
    f"{kind}{n}" for kind in ("com", "lpt") for n in range(1, 10)}


class ReleaseError(Exception):
    pass


def check_build(build):
    """A build number the plug-in can read, or ReleaseError."""
    if not BUILD_TEXT.fullmatch(str(build)):
        raise ReleaseError(f"build {build} is not a number the plug-in reads (1 to 9 digits, "
                           f"no leading zero)")
    return int(build)


def module_keys(module):
    """The release keys built into a module: its key list is the only NUL-delimited text of
    one or two comma-separated 64-digit hex keys (cmake/release_keys.cmake)."""
    found = re.search(rb"\0([0-9a-f]{64}(?:,[0-9a-f]{64})?)\0", module)
    return found.group(1).decode("ascii").split(",") if found else []


def check_query(build, serial, module_digest=""):
    """The query string of the check the plug-in of `build` sends: its module's digest
    (empty at a first check), its machine's serial digest, and their joint digest."""
    joint = hashlib.md5((module_digest + serial).encode("ascii")).hexdigest()
    return f"mode=debug&a={module_digest}&b={serial}&c={joint}&d={build}"


def find_marker(data, markers=MARKERS):
    lowered = data.lower()
    return next((m for m in markers if m.encode("ascii") in lowered), None)


def signed_message(deliverable, build, module):
    """The bytes a release's signature covers; the plug-in builds the same from its own
    name and the module it downloaded."""
    return (SIGNED_MESSAGE_TAG + f"{deliverable}\n{build}\n{len(module)}\n"
            f"{hashlib.sha256(module).hexdigest()}\n".encode("ascii"))


def is_safe_file_name(name):
    """What the plug-in accepts as a download name, in plain ASCII: the plug-in opens it
    with the player's ANSI code page and counts its length in bytes."""
    if not name or len(name) > 200 or name[-1] in ". ":
        return False
    if any(c in BAD_NAME_CHARACTERS or not 32 <= ord(c) < 127 for c in name):
        return False
    base = name.split(".", 1)[0].rstrip(" ").lower()
    return base not in DEVICE_NAMES and name.lower() != "stufftata.btz"


def read_manifest(folder):
    """(the bytes of folder/release.ini, its [release] section), or ReleaseError."""
    try:
        return files.read_ini(os.path.join(folder, MANIFEST), INI_CAP, "release", MANIFEST)
    except files.Unreadable as error:
        raise ReleaseError(f"{error}") from None


class FlavourRelease:
    """One flavour's release, as served, from its folder (releases/NNNN/w7)."""

    def __init__(self, folder):
        self.folder = folder
        self.name = os.path.basename(os.path.normpath(folder))
        self.source = os.path.dirname(os.path.normpath(folder))
        try:
            self._load(folder)
        except (ReleaseError, files.Unreadable, signature.SignatureError) as error:
            raise ReleaseError(f"{os.path.join(folder, MANIFEST)}: {error}") from None

    def _load(self, folder):
        self.manifest, section = read_manifest(folder)
        try:
            self.build = check_build(section["build"].strip())
            self.suffix = section["suffix"].strip()
            self.version = section["version"]
            self.module_name = section["module"].strip()
        except KeyError as error:
            raise ReleaseError(f"{error!r}") from None
        self.save_as = section.get("save_as", "").strip() or self.module_name + ".new"
        self.deliverable = section.get("deliverable", "").strip() or self.module_name.rsplit(".", 1)[0]
        self.signature = section.get("signature", "").strip()
        self.public_key = section.get("public_key", "").strip()
        # A player's build ends in its flavour's digit: any other suffix serves nobody, or
        # takes another flavour's players.
        if self.suffix not in FLAVOURS:
            raise ReleaseError(f"suffix {self.suffix!r} is not a flavour's digit ({', '.join(FLAVOURS)})")
        if not str(self.build).endswith(self.suffix):
            raise ReleaseError(f"build {self.build} does not end in suffix {self.suffix!r}")

        self.module = files.read_in_folder(folder, self.module_name, MODULE_CAP, "module", MODULE_WHY)
        # No news file named and none at the usual name: the release has no news.
        self.news_name = section.get("news", "").strip()
        if not self.news_name and os.path.lexists(os.path.join(folder, "news.txt")):
            self.news_name = "news.txt"
        self.news = files.read_in_folder(folder, self.news_name, ANSWER_HEAD_CAP, "news",
                                         " (what a player reads of an answer before DATA:)") if self.news_name else b""
        self.digest = hashlib.md5(self.module).hexdigest()
        self._check_texts()
        self._check_signature()

        head = b""
        if self.signature:
            head = b"BUILD:" + str(self.build).encode("ascii") + b"SIGNATURE:" + self.signature.encode("ascii")
        # Everything before the module's bytes, made once: an answer then costs no copy.
        self.answer_head = (head + b"SAVETO:" + self.save_as.encode("ascii") + b"MD5:"
                            + self.digest.encode("ascii") + b"WHATNEW:" + self.news + b"VERSION:"
                            + self.version.encode("utf-8") + b"DATA:")
        if len(self.answer_head) > ANSWER_HEAD_CAP:
            raise ReleaseError(f"the answer before the module is {len(self.answer_head)} bytes (news "
                               f"{len(self.news)}), above the {ANSWER_HEAD_CAP} a player reads before "
                               f"DATA: (64 KiB with the HTTP head): shorten the news")
        answer = hashlib.sha256(self.answer_head)
        answer.update(self.module)
        self.answer_digest = answer.hexdigest()
        self.answer_file = self._check_answer_file(folder)

    def _check_answer_file(self, folder):
        """The path of the answer file when it holds exactly this answer; None when there is
        none. A file that holds anything else means the folder was changed."""
        path = os.path.join(folder, ANSWER_FILE)
        self._answer_seen, self._answer_found = None, self.answer_digest
        if not os.path.lexists(path):
            return None
        if self._look_at_answer_file(path)[0]:
            return path
        raise ReleaseError(f"{ANSWER_FILE} does not hold this release's answer")

    def _look_at_answer_file(self, path):
        """(whether it holds this answer, whether it holds other bytes than at the last look)."""
        try:
            found, identity, settled = files.digest(path, ANSWER_HEAD_CAP + MODULE_CAP, "answer file")
        except files.Unreadable as error:
            found, identity, settled = f"{error}", None, False
        holds, other = found == self.answer_digest, found != self._answer_found
        self._answer_found = found
        # What was found stands for the file while it keeps this identity (once settled).
        self._answer_seen = (identity, holds) if settled else None
        return holds, other

    def answer_file_holds(self):
        """(whether the answer file still holds this answer, whether it now holds other
        bytes than when it was last read). Its identity is compared at each call; only a
        file changed since it was last read (or changed too recently for its identity to
        tell) is read again, so an answer costs the same whatever the module's size."""
        if self._answer_seen and self._answer_seen[0] == files.identity(self.answer_file):
            return self._answer_seen[1], False
        return self._look_at_answer_file(self.answer_file)

    def _check_texts(self):
        if not is_safe_file_name(self.save_as):
            raise ReleaseError(f"save_as {self.save_as!r} is not a bare file name")
        head = self.module.split(b"\0", 1)[0]  # the plug-in searches up to the first zero byte
        for what, value, markers in (("version", self.version.encode("utf-8"), MARKERS),
                                     ("news", self.news, MARKERS),
                                     ("save_as", self.save_as.encode("ascii"), MARKERS),
                                     ("module start", head, VERDICT_MARKERS)):
            marker = find_marker(value, markers)
            if marker:
                raise ReleaseError(f"{what} contains {marker!r}")
            if b"\0" in value and what != "module start":
                raise ReleaseError(f"{what} contains a zero byte")

    def _check_signature(self):
        if not self.signature and not self.public_key:
            return
        if not HEX_SIGNATURE.fullmatch(self.signature) or not HEX_PUBLIC_KEY.fullmatch(self.public_key):
            raise ReleaseError("a signed release needs signature (128 lower-case hex digits) "
                               "and public_key (64)")
        suffix = DELIVERABLE_SUFFIXES.get(self.deliverable)
        if suffix is None or not str(self.build).endswith(suffix):
            raise ReleaseError(f"deliverable {self.deliverable!r} does not send builds ending in {self.suffix!r}")
        if not signature.verify(self.public_key, signed_message(self.deliverable, self.build, self.module),
                                self.signature):
            raise ReleaseError(f"the signature does not verify under key {self.public_key}")

    def moved_to(self, folder):
        """The same release after its folder was renamed to `folder`."""
        moved = copy.copy(self)
        moved.folder, moved.source = folder, os.path.dirname(os.path.normpath(folder))
        moved.answer_file = os.path.join(folder, ANSWER_FILE) if self.answer_file else None
        return moved

    def serves(self, build):
        return str(build).endswith(self.suffix)

    def describe(self):
        signed = f"signed by key {self.public_key[:16]}..." if self.signature else "unsigned"
        return (f"{self.name}: build {self.build} (builds ending in {self.suffix}), "
                f"version {self.version!r}, {len(self.module)} bytes, md5 {self.digest}, {signed}")


def flavour_folders(root):
    return [os.path.join(root, entry) for entry in sorted(os.listdir(root))
            if not entry.startswith(".") and os.path.lexists(os.path.join(root, entry, MANIFEST))]


def check_claims(releases):
    for i, one in enumerate(releases):
        for other in releases[i + 1:]:
            if one.suffix == other.suffix:
                raise ReleaseError(f"{one.folder} and {other.folder} claim the same builds")


def load_flavours(root):
    """Every flavour folder of root, or ReleaseError: what the release commands accept."""
    try:
        releases = [FlavourRelease(folder) for folder in flavour_folders(root)]
    except OSError as error:
        raise ReleaseError(f"{root}: {error.strerror}") from None
    check_claims(releases)
    if not releases:
        raise ReleaseError(f"{root}: no release folders (*/{MANIFEST})")
    return releases


# --- writing -----------------------------------------------------------------------------

def write_release(folder, build, module, version, news=None, *, suffix=None, signature=None,
                  public_key=None, fields=None):
    """The flavour folder `folder` for `build`: module bytes, news text (None: no news file),
    the signature and key when signed. `fields` adds or replaces release.ini lines as
    they are (tests write broken releases through it). Returns the folder. Everything
    that lays out a release (packaging, the demo, the benchmarks, the tests) writes it
    here; release.ini and the answer file are written whole, then renamed, so a caller
    may poll for release.ini."""
    suffix = suffix or str(build)[-1]
    deliverable = FLAVOURS.get(suffix, ("", "Murmelon"))[1]
    ini = {"build": str(build), "suffix": suffix, "version": version, "module": deliverable + ".asi"}
    if news is not None:
        ini["news"] = "news.txt"
    if signature or public_key:
        ini.update(deliverable=deliverable, public_key=public_key or "", signature=signature or "")
    ini.update(fields or {})
    os.makedirs(folder, exist_ok=True)
    files.write_whole(os.path.join(folder, ini["module"]), module)
    if news is not None:
        files.write_whole(os.path.join(folder, "news.txt"), news.encode("utf-8") if isinstance(news, str) else news)
    files.remove_if_there(os.path.join(folder, ANSWER_FILE))
    files.write_whole(os.path.join(folder, MANIFEST),
                      ("[release]\n" + "".join(f"{k} = {v}\n" for k, v in ini.items())).encode("utf-8"))
    try:
        release = FlavourRelease(folder)
    except ReleaseError:
        return folder  # a folder the service refuses gets no answer file: nothing is served from it
    write_answer(folder, release)
    return folder


def write_answer(folder, release):
    files.write_whole(os.path.join(folder, ANSWER_FILE), release.answer_head + release.module)


def copy_flavour(release, folder):
    """The files a loaded release consists of, as they were read, into folder; with its
    answer file. Nothing else of its folder is copied (whatever else lies there)."""
    os.makedirs(folder, exist_ok=True)
    files.write_whole(os.path.join(folder, release.module_name), release.module)
    if release.news_name:
        files.write_whole(os.path.join(folder, release.news_name), release.news)
    files.write_whole(os.path.join(folder, MANIFEST), release.manifest)
    write_answer(folder, release)
