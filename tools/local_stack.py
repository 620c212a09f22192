#!/usr/bin/env python3
"""The production stack of the update service on loopback, for tests and benchmarks:
nginx with the shipped site (server/conf/nginx-murmelon-update.conf) in front of gunicorn
with the shipped settings (server/conf/gunicorn.conf.py) running murmelon_update.app from
this checkout's server/.

Only what cannot be the same on a test machine is changed, in a temporary folder: the
listening address (127.0.0.1, a free port), gunicorn's address (a socket in that folder),
log, pid and temporary paths, and the site folder nginx sends answer files from (the
folder that holds the releases folder; with files=False the application answers from
memory, through nginx's buffers). Both servers are started under `timeout`, so they end by
themselves even when whoever started them does not.

    PYTHONPATH=server python3 tools/local_stack.py --releases DIR [--lifetime SECONDS]   # prints the port
"""

import argparse
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(ROOT, "server")
CONF = os.path.join(SERVER, "conf")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def available():
    """'' when nginx and gunicorn can be run here, else what is missing."""
    missing = [tool for tool, path in (("nginx", "/usr/sbin/nginx"), ("gunicorn", "/usr/bin/gunicorn"))
               if not os.access(path, os.X_OK)]
    return " and ".join(missing) + " not installed" if missing else ""


class Stack:
    def __init__(self, releases, work=None, lifetime=300, listen_options="", files=True, temp=None):
        self.work = work or tempfile.mkdtemp(prefix="murmelon-stack.")
        self.own_work = work is None
        os.makedirs(os.path.join(self.work, "temp"), exist_ok=True)
        self.socket = os.path.join(self.work, "gunicorn.sock")
        self.access_log = os.path.join(self.work, "access.log")
        self.processes = []
        # The site folder: <site>/current is the releases link, or the folder of a plain one.
        self.files = os.path.dirname(os.path.abspath(releases)) + "/"
        try:
            self._start_gunicorn(releases, lifetime, files, temp)
            self._start_nginx(lifetime, listen_options)
        except BaseException:
            self.stop()
            raise

    def _start_gunicorn(self, releases, lifetime, files, temp):
        keys = os.path.join(self.work, "player-keys")
        app = (f"murmelon_update.app:create_app({os.path.abspath(releases)!r}, files={self.files if files else None!r}, "
               f"keys={keys!r})")
        self.gunicorn_log = os.path.join(self.work, "gunicorn.log")
        # temp: the application's temporary folder (TMPDIR), one a test may take away;
        # gunicorn's own files for its workers then stay out of it.
        environment, options = dict(os.environ, PYTHONPATH=SERVER, PYTHONDONTWRITEBYTECODE="1"), []
        if temp:
            environment["TMPDIR"] = temp
            os.makedirs(os.path.join(self.work, "worker-tmp"), exist_ok=True)
            options = ["--worker-tmp-dir", os.path.join(self.work, "worker-tmp")]
        self.processes.append(subprocess.Popen(
            ["timeout", "-k", "5", str(lifetime), "/usr/bin/gunicorn",
             "--config", os.path.join(CONF, "gunicorn.conf.py"),
             "--bind", f"unix:{self.socket}", "--error-logfile", self.gunicorn_log,
             "--pid", os.path.join(self.work, "gunicorn.pid"), *options, app],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=environment))
        self._wait(lambda: os.path.exists(self.socket), "gunicorn", self.gunicorn_log)
        self.master_pid = None
        self.gunicorn_master()

    def site_text(self, listen_options=""):
        with open(os.path.join(CONF, "nginx-murmelon-update.conf")) as file:
            site = file.read()
        site = re.sub(r"^\s*listen \[::\]:80 default_server\b.*\n", "", site, flags=re.M)
        site = re.sub(r"listen 80 default_server\b([^;]*);",
                      lambda m: f"listen 127.0.0.1:{self.port}{m.group(1)}"
                                f"{' ' + listen_options if listen_options else ''};", site)
        site = site.replace("server 127.0.0.1:8700;", f"server unix:{self.socket};")
        site = site.replace("alias /srv/murmelon-update/;", f"alias {self.files};")
        return site.replace("/var/log/murmelon-update/", self.work + "/")

    def _start_nginx(self, lifetime, listen_options):
        self.nginx_log = os.path.join(self.work, "error.log")
        for _ in range(5):  # a free port may be taken between the probe and nginx's bind
            self.port = free_port()
            with open(os.path.join(self.work, "site.conf"), "w") as file:
                file.write(self.site_text(listen_options))
            temp = os.path.join(self.work, "temp")
            # Debian's /etc/nginx/nginx.conf, reduced to what the site relies on.
            user = f"user {pwd.getpwuid(os.geteuid()).pw_name};\n" if os.geteuid() == 0 else ""
            with open(os.path.join(self.work, "nginx.conf"), "w") as file:
                file.write(f"{user}worker_processes 1;\npid {self.work}/nginx.pid;\n"
                           f"error_log {self.work}/nginx.log;\nworker_rlimit_nofile 8192;\n"
                           f"events {{ worker_connections 4096; }}\n"
                           f"http {{\n  sendfile on;\n  tcp_nopush on;\n  include /etc/nginx/mime.types;\n"
                           f"  default_type application/octet-stream;\n"
                           + "".join(f"  {kind}_temp_path {temp}/{kind};\n"
                                     for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                           + f"  include {self.work}/site.conf;\n}}\n")
            nginx = subprocess.Popen(
                ["timeout", "-k", "5", str(lifetime), "/usr/sbin/nginx", "-p", self.work, "-e",
                 f"{self.work}/nginx.log", "-c", f"{self.work}/nginx.conf", "-g", "daemon off;"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.processes.append(nginx)
            if self._wait(self._listening, "nginx", f"{self.work}/nginx.log", fail=False):
                return
            nginx.kill()
        raise RuntimeError("nginx did not start: " + self._tail(f"{self.work}/nginx.log"))

    def _listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def _wait(self, ready, name, log, fail=True, seconds=15):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if ready():
                return True
            if self.processes[-1].poll() is not None:
                break
            time.sleep(0.05)
        if fail:
            raise RuntimeError(f"{name} did not start: {self._tail(log)}")
        return False

    @staticmethod
    def _tail(path):
        try:
            with open(path, errors="replace") as file:
                return file.read()[-2000:]
        except OSError:
            return "(no log)"

    def pids(self):
        """The stack's server processes (nginx and gunicorn, masters and workers)."""
        parents = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as file:
                        parents[int(entry)] = int(file.read().rsplit(")", 1)[1].split()[1])
                except OSError:
                    pass
        found, frontier = set(), {p.pid for p in self.processes}
        while frontier:
            found |= frontier
            frontier = {pid for pid, parent in parents.items() if parent in frontier} - found
        return found - {p.pid for p in self.processes}  # not the `timeout` wrappers

    def gunicorn_master(self):
        # The master keeps its pid across reloads, but a reload removes and writes the pid
        # file again: read it once, while no reload can be under way.
        if self.master_pid is None:
            with open(os.path.join(self.work, "gunicorn.pid")) as file:
                self.master_pid = int(file.read())
        return self.master_pid

    def gunicorn_workers(self):
        master = self.gunicorn_master()
        with open(f"/proc/{master}/task/{master}/children") as file:
            return [int(pid) for pid in file.read().split()]

    def stop_gunicorn(self):
        self.processes[0].send_signal(signal.SIGTERM)
        self.processes[0].wait(20)

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self.own_work:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--releases", required=True)
    parser.add_argument("--lifetime", type=int, default=300)
    args = parser.parse_args()
    problem = available()
    if problem:
        sys.exit(problem)
    stack = Stack(args.releases, lifetime=args.lifetime)
    print(stack.port, flush=True)
    try:
        stack.processes[-1].wait()  # until nginx's lifetime ends, or Ctrl-C
    except KeyboardInterrupt:
        pass
    stack.stop()


if __name__ == "__main__":
    main()
