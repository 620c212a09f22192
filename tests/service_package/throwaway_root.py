"""A throwaway copy of this machine's root to install packages into for real, and its
services started as their systemd units would start them, without systemd.

The root is an overlay over `/` whose changes go to a tmpfs, mounted in a private mount
namespace and entered with chroot; the caller runs in private network and process
namespaces too (`unshare --mount --net --pid --fork`), so the installed servers listen on
their real ports on a loopback of their own and end with the namespace. Nothing reaches
the machine's own root, and nothing is left when the namespaces end.
"""

import os
import shlex
import signal
import socket
import stat
import subprocess
import time

UNSHARE = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child"]


def namespace_problem():
    """'' when this machine can make the namespaces, else why it cannot."""
    try:
        result = subprocess.run(UNSHARE + ["true"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"cannot run unshare: {error}"
    return "" if result.returncode == 0 else f"cannot make a mount namespace: {result.stderr.strip()}"


class Root:
    """Mounts the overlay under `scratch` and enters it (call once, inside the namespaces).
    Its upper layer and the machine's root (its lower layer) stay reachable through
    descriptors after the chroot, to tell what the root changed."""

    def __init__(self, scratch):
        run("mount", "--make-rprivate", "/")
        run("mount", "-t", "tmpfs", "tmpfs", scratch)
        for name in ("upper", "work", "root"):
            os.mkdir(os.path.join(scratch, name))
        new_root = os.path.join(scratch, "root")
        run("mount", "-t", "overlay", "overlay", "-o",
            f"lowerdir=/,upperdir={scratch}/upper,workdir={scratch}/work", new_root)
        # A booted system's own /proc (of this process namespace), /dev and an empty /run.
        run("mount", "-t", "proc", "proc", f"{new_root}/proc")
        run("mount", "--rbind", "/dev", f"{new_root}/dev")
        run("mount", "-t", "tmpfs", "tmpfs", f"{new_root}/run")
        self.host = os.open("/", os.O_PATH | os.O_DIRECTORY)
        self.upper = os.open(f"{scratch}/upper", os.O_PATH | os.O_DIRECTORY)
        os.chroot(new_root)
        os.chdir("/")
        run("ip", "link", "set", "lo", "up")
        # Docker-style images forbid starting services in maintainer scripts; a server
        # has no such policy.
        if os.path.lexists("/usr/sbin/policy-rc.d"):
            os.remove("/usr/sbin/policy-rc.d")

    def changes(self):
        """{path relative to the root: 'added' | 'removed'} for every entry of the upper
        layer that is not in the machine's root, or that hides one (a whiteout)."""
        found = {}
        for top, folders, files in os.walk(f"/proc/self/fd/{self.upper}"):
            relative = os.path.relpath(top, f"/proc/self/fd/{self.upper}")
            for name in folders + files:
                path = os.path.normpath(os.path.join(relative, name))
                entry = os.lstat(os.path.join(top, name))
                if stat.S_ISCHR(entry.st_mode) and entry.st_rdev == 0:
                    found[path] = "removed"
                elif not exists_below(self.host, path):
                    found[path] = "added"
        return found


def run(*args):
    subprocess.run(args, check=True, timeout=30, stdin=subprocess.DEVNULL)


def exists_below(folder_fd, path):
    try:
        os.lstat(path, dir_fd=folder_fd)
        return True
    except FileNotFoundError:
        return False


def unit_settings(path):
    """A unit file's settings: name -> values in order (sections merged: enough here)."""
    settings = {}
    with open(path) as file:
        for line in file:
            line = line.strip()
            if line and line[0] not in "#;[" and "=" in line:
                name, value = line.split("=", 1)
                settings.setdefault(name.strip(), []).append(value.strip())
    return settings


def command(value):
    # Exec lines may start with systemd's prefixes ("-": failure ignored, ...).
    return shlex.split(value.lstrip("-@:+!"))


def start_forking(unit):
    """A Type=forking unit such as nginx's: its ExecStartPre and ExecStart lines."""
    settings = unit_settings(unit)
    for line in settings.get("ExecStartPre", []) + settings["ExecStart"]:
        run(*command(line))


def run_oneshot(unit, timeout=120):
    """A Type=oneshot unit's ExecStart lines, as systemd runs them: as its User (root when
    it names none) with its SupplementaryGroups; (exit status, what it wrote)."""
    settings = unit_settings(unit)
    user = settings.get("User", ["root"])[0]
    groups = " ".join(settings.get("SupplementaryGroups", [])).split()
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"}
    said, code = "", 0
    for line in settings["ExecStart"]:
        result = subprocess.run(command(line), env=env, user=user, extra_groups=groups, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=timeout, cwd="/")
        said, code = said + result.stdout + result.stderr, result.returncode
        if code:
            break
    return code, said


class SocketActivated:
    """A Type=notify service and its socket unit, as systemd runs them: systemd holds the
    socket (ListenStream) and hands it to each start of the service as descriptor 3
    (LISTEN_FDS, LISTEN_PID); the service runs its ExecStart as its User and Group and
    reports READY=1 on NOTIFY_SOCKET; a stop sends SIGTERM to the main process
    (KillMode=mixed) and kills what is left after TimeoutStopSec."""

    # Receives LISTEN_PID's value only once it is the service's own pid.
    LAUNCH = ("import os, sys; fd = int(sys.argv[1]); fd == 3 or (os.dup2(fd, 3), os.close(fd)); "
              "os.environ['LISTEN_PID'] = str(os.getpid()); os.execv(sys.argv[2], sys.argv[2:])")

    def __init__(self, service_unit, socket_unit, log):
        self.service = unit_settings(service_unit)
        host, _, port = unit_settings(socket_unit)["ListenStream"][0].rpartition(":")
        self.listener = socket.create_server((host, int(port)), backlog=socket.SOMAXCONN)
        self.log = log
        self.process = None

    def start(self, timeout=30):
        notify_path = "/run/murmelon-test-notify"
        if os.path.exists(notify_path):
            os.remove(notify_path)
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        os.chmod(notify_path, 0o777)  # the service's user writes to it
        user, group = self.service["User"][0], self.service["Group"][0]
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8",
               "USER": user, "LOGNAME": user, "HOME": "/nonexistent", "LISTEN_FDS": "1",
               "NOTIFY_SOCKET": notify_path}
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                ["python3", "-c", self.LAUNCH, str(self.listener.fileno()), *command(self.service["ExecStart"][0])],
                env=env, user=user, group=group, extra_groups=[], pass_fds=[self.listener.fileno()],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True, cwd="/")
        notify.settimeout(timeout)
        try:
            with notify:
                while b"READY=1" not in notify.recv(4096).split(b"\n"):
                    pass
        except socket.timeout:
            raise AssertionError(f"the service sent no READY=1 within {timeout} s: {tail(self.log)}") from None

    def workers(self):
        with open(f"/proc/{self.process.pid}/task/{self.process.pid}/children") as file:
            return [int(pid) for pid in file.read().split()]

    def reload(self):
        """The unit's ExecReload lines, as systemd runs them: as the unit's user, with
        $MAINPID in their environment and in their words."""
        pid = str(self.process.pid)
        for line in self.service["ExecReload"]:
            words = [pid if word in ("$MAINPID", "${MAINPID}") else word for word in command(line)]
            subprocess.run(words, check=True, timeout=30, env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
                                                                 "MAINPID": pid},
                           user=self.service["User"][0], group=self.service["Group"][0], stdin=subprocess.DEVNULL)

    def stop(self):
        timeout = float(self.service.get("TimeoutStopSec", ["90"])[0])
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()

    def close(self):
        self.listener.close()


def tail(path, size=3000):
    try:
        with open(path, errors="replace") as file:
            return file.read()[-size:]
    except OSError:
        return "(no log)"


def wait_for(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {seconds} s for {what}")
        time.sleep(0.05)
