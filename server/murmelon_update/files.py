"""The one way this package reads files, and writes them.

Whatever the service and the release commands read lies in a site or a log that another
hand can change: a FIFO or a device where a file should be holds the process that opens it
for good, and a file grown past what it should hold (a sparse one costs no disk) fills its
memory. So every file is opened without blocking, refused unless it is a regular file, and
its size checked against a cap before a byte is read; the refusal names the file and the
cap. Logs are read line by line with a cap per line: a line over it is skipped and
counted, a compressed file is read up to where it was cut (as while logrotate compresses
it) with a warning, and what it decompresses to is bounded too. Each rotation of a log is
read once: `access.log.2` or `access.log.2.gz`, never both.

What this package writes is written whole beside its place, then renamed there.
"""

import configparser
import hashlib
import os
import re
import stat
import time
import zlib
from typing import NamedTuple

PIECE = 1024 * 1024
OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
# An access log line is a few hundred bytes; anything near this is not one of ours.
LINE_CAP = 8192
# One log file (a day of checks), and what one compressed rotation may decompress to.
LOG_CAP = 1024 ** 3
# A file's identity is trusted only when it changed longer ago than this before it was
# looked at: a later write then shows in its change time, which the kernel keeps to a tick.
SETTLED_NS = 1_000_000_000
ROTATED = re.compile(r"\.([0-9]{1,4})(\.gz)?")


class Unreadable(Exception):
    """A file refused, or one that could not be read; the message names it."""


class Identity(NamedTuple):
    """What changes when a file is replaced or written: its device and inode, size, and
    the times of its last write and of its last change (which nobody can set back)."""
    device: int
    inode: int
    size: int
    modified_ns: int
    changed_ns: int


def identity_of(status):
    return Identity(status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)


def settled(identity, looked_ns):
    return looked_ns - identity.changed_ns > SETTLED_NS


def open_regular(path, cap, what, why=""):
    """A descriptor of the regular file at path, at most cap bytes long, or Unreadable."""
    try:
        fd = os.open(path, OPEN_FLAGS)
    except OSError as error:
        raise Unreadable(f"{what}: {error.strerror}: {path}") from None
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise Unreadable(f"{what} {path} is not a regular file")
        if status.st_size > cap:
            raise Unreadable(f"{what} {path} is {status.st_size} bytes, above the cap of {cap}{why}")
        return fd
    except BaseException:
        os.close(fd)
        raise


def pieces(fd, cap, what, path):
    """The file's bytes piece by piece, up to cap: one that grows past it while it is read
    is refused without holding more than cap bytes."""
    total = 0
    while True:
        try:
            piece = os.read(fd, PIECE)
        except OSError as error:
            raise Unreadable(f"{what}: {error.strerror}: {path}") from None
        if not piece:
            return
        total += len(piece)
        if total > cap:
            raise Unreadable(f"{what} {path} grew above the cap of {cap} bytes while it was read")
        yield piece


def read(path, cap, what, why=""):
    fd = open_regular(path, cap, what, why)
    try:
        return b"".join(pieces(fd, cap, what, path))
    finally:
        os.close(fd)


def read_in_folder(folder, name, cap, what, why=""):
    """The bytes of the file `name` directly in `folder`: a name may not reach outside
    it, by path or by symbolic link."""
    if not name or name in (".", "..") or os.path.basename(name) != name or "\\" in name:
        raise Unreadable(f"{what} {name!r} is not a file name in the folder {folder}")
    path = os.path.join(folder, name)
    if os.path.dirname(os.path.realpath(path)) != os.path.realpath(folder):
        raise Unreadable(f"{what} {name!r} leads outside the folder {folder}")
    return read(path, cap, what, why)


def read_ini(path, cap, section, what):
    """(the file's bytes, its [section] as a dict of stripped texts), or Unreadable."""
    data = read(path, cap, what)
    parser = configparser.ConfigParser(interpolation=None)
    try:
        parser.read_string(data.decode("utf-8"))
    except (configparser.Error, UnicodeError) as error:
        raise Unreadable(f"{path}: {error}") from None
    if section not in parser:
        raise Unreadable(f"{path}: no [{section}] section")
    return data, dict(parser[section])


def digest(path, cap, what):
    """(SHA-256 of the regular file, its identity as it was before the read, and whether
    that identity is settled enough to stand for these bytes later)."""
    looked = time.time_ns()
    fd = open_regular(path, cap, what)
    try:
        identity = identity_of(os.fstat(fd))
        hashed = hashlib.sha256()
        for piece in pieces(fd, cap, what, path):
            hashed.update(piece)
    finally:
        os.close(fd)
    return hashed.hexdigest(), identity, settled(identity, looked)


def identity(path):
    """The identity of the file at path, or None when there is none to look at."""
    try:
        return identity_of(os.stat(path))
    except OSError:
        return None


# --- logs --------------------------------------------------------------------------------

class LogReading:
    """What reading a log met: the files read, warnings (a file refused or cut short) and
    how many lines were skipped for their length."""

    def __init__(self):
        self.files, self.warnings, self.long_lines = [], [], 0


def log_files(path, since=None):
    """The log and its rotations, oldest first (access.log.2.gz, access.log.1, access.log).
    While logrotate compresses a rotation both `.N` and `.N.gz` exist: `.N` is whole.
    With `since` (seconds since the epoch), a rotation last written before it is left
    out: its lines are all older (gzip keeps the time of the file it compressed)."""
    folder, name = os.path.split(os.path.abspath(path))
    rotations = {}
    for entry in os.listdir(folder):
        match = ROTATED.fullmatch(entry[len(name):]) if entry.startswith(name + ".") else None
        if match:
            number, compressed = int(match.group(1)), bool(match.group(2))
            if not compressed or number not in rotations:
                rotations[number] = os.path.join(folder, entry)
    if since is not None:
        def written_since(rotation):  # one that cannot be looked at is kept: reading it says why
            found = identity(rotation)
            return found is None or found.modified_ns >= since * 1_000_000_000
        rotations = {n: p for n, p in rotations.items() if written_since(p)}
    return [rotations[n] for n in sorted(rotations, reverse=True)] + ([path] if os.path.lexists(path) else [])


def log_lines(paths, reading, line_cap=LINE_CAP, cap=LOG_CAP):
    """The lines of each file in turn, as text; a file that cannot be read is a warning."""
    for path in paths:
        try:
            fd = open_regular(path, cap, "log")
        except Unreadable as error:
            reading.warnings.append(f"{error}: not read")
            continue
        try:
            reading.files.append(path)
            chunks = pieces(fd, cap, "log", path)
            if path.endswith(".gz"):
                chunks = decompressed(chunks, path, cap, reading)
            for line in split_lines(chunks, line_cap, reading):
                yield line.decode("utf-8", "replace")
        except Unreadable as error:
            reading.warnings.append(f"{error}: read up to there")
        finally:
            os.close(fd)


def decompressed(chunks, path, cap, reading):
    """The bytes of a gzip file, at most cap of them; a file cut short gives what it holds."""
    def inflater():
        return zlib.decompressobj(16 + zlib.MAX_WBITS)

    member, total, begun = inflater(), 0, False
    try:
        for chunk in chunks:
            while chunk:
                begun = True
                out = member.decompress(chunk, PIECE)
                total += len(out)
                if total > cap:
                    reading.warnings.append(f"log {path} decompresses to more than the cap of {cap} bytes: "
                                            f"read up to there")
                    return
                yield out
                if member.eof:  # one member ends; gzip allows another to follow
                    chunk, member, begun = member.unused_data, inflater(), False
                else:
                    chunk = member.unconsumed_tail
        if begun:
            yield member.flush()[:max(0, cap - total)]
            if not member.eof:
                reading.warnings.append(f"log {path} ends before its end (cut while it was compressed?): "
                                        f"read up to the cut")
    except zlib.error as error:
        reading.warnings.append(f"log {path} is damaged ({error}): read up to there")


def split_lines(chunks, line_cap, reading):
    """Lines of at most line_cap bytes; a longer one is dropped as it comes, not held."""
    held, dropping = b"", False
    for chunk in chunks:
        start = 0
        while True:
            end = chunk.find(b"\n", start)
            if end < 0:
                if not dropping:
                    held += chunk[start:]
                    if len(held) > line_cap:
                        held, dropping = b"", True
                break
            if dropping or len(held) + end - start > line_cap:
                reading.long_lines += 1
            else:
                yield held + chunk[start:end]
            held, dropping, start = b"", False, end + 1
    if dropping:
        reading.long_lines += 1
    elif held:
        yield held


# --- writes ------------------------------------------------------------------------------

def write_aside(path, data, mode):
    """data in a new file beside path, with exactly that mode; its name."""
    aside = f"{path}.{os.getpid()}.new"
    fd = os.open(aside, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
    try:
        try:
            write_all(fd, data)
        finally:
            os.close(fd)
        os.chmod(aside, mode)  # whatever the umask took away
    except BaseException:
        remove_if_there(aside)
        raise
    return aside


def write_whole(path, data, mode=0o644):
    """Written beside its place, then renamed: a reader sees the old file or the new one."""
    aside = write_aside(path, data, mode)
    try:
        os.replace(aside, path)
    except BaseException:
        remove_if_there(aside)
        raise


def link_new(path, data, mode):
    """Puts data at path unless a file is there already (another process was first):
    written aside, then linked into place. True when this call made it."""
    aside = write_aside(path, data, mode)
    try:
        os.link(aside, path)
        return True
    except FileExistsError:
        return False
    finally:
        remove_if_there(aside)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def open_folders_to_readers(top):
    """top and every folder below it 0755, whatever the umask took away: nginx (another
    user) sends answer files from them."""
    for folder, _, _ in os.walk(top):
        os.chmod(folder, 0o755)


def remove_if_there(path):
    try:
        os.remove(path)
        return True
    except FileNotFoundError:
        return False


def open_lock(path):
    """A descriptor to flock: opened without following a link, never blocking."""
    return os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)


def memory_file(name, data):
    """A descriptor of a file in memory holding data (another program reads it as
    /dev/fd/N): nothing goes through the temporary folder, so a full one changes nothing."""
    fd = os.memfd_create(name, os.MFD_CLOEXEC)
    try:
        write_all(fd, data)
        return fd
    except OSError:
        os.close(fd)
        raise
