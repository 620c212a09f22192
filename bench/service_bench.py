#!/usr/bin/env python3
"""The update service under slow clients, today's server against the production stack,
on the same run, loopback only:

  - 100 clients send their request one byte every 2 s (and connect again when dropped);
  - 100 clients download the update, reading 40 KB/s through an 8 KiB receive buffer;
  - meanwhile 4 clients ask for the latest version, one request after another.

Prints the fast clients' answers per second and 99th percentile, how many slow downloads
arrived whole, the longest a trickled request held a connection, and the peak memory (sum
of the resident sizes of every server process). Today's server is tools/update_server.py
as of commit 06c83f3 (one thread per connection), taken from git history at run time.
With --big BYTES the same runs again with the module padded to that size.

Then nginx's cost of a paced download: 1000 clients download the update at 2 KB/s each
through a 4 KiB receive buffer, nginx's socket send buffer cut to 16 KiB (so nginx, not
the kernel, holds the rest, as over real slow links); after --paced-seconds, nginx's
memory above its idle figure and the bytes of its temporary files, with the answer sent
from the release folder (sendfile, as deployed) and through nginx's buffers (the
application answering from memory, as before).

Then a staged release's cost: "up to date" and update answers per second, 4 clients each,
with release 0002 served to everyone and with it staged to 10% over 0001 (up to date: a
player on 0002's build, and one outside the share on 0001's, who is answered from 0001;
update: players on an older build with new serials at every check), alternating, from
one stack (--rollout-seconds per figure and round, two rounds).

Then what an update answer costs with a large module (--answer-size, default 60 MB, below
the plug-in's 64 MiB): 4 clients ask for the latest version one request after another,
alone and while 6 clients ask for the update at about 21 per second together and leave
after its first 64 KiB (--answer-seconds per figure).

Each client has its own loopback address (127.x.y.z), as players have their own. Ends by
itself: each phase lasts --seconds (default 90), plus a few seconds to stop.

    PYTHONPATH=server:tools python3 bench/service_bench.py [--seconds 90] [--module FILE]
        [--big BYTES] [--paced 1000] [--paced-seconds 20] [--rollout-seconds 15]
        [--answer-size BYTES] [--answer-seconds 15] [--only rollout|answer]
"""

import argparse
import hashlib
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import local_stack  # tools/, on PYTHONPATH (bench/common.sh sets it)
from murmelon_update import release, rollout

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

TODAY = "06c83f3"
SERIAL = hashlib.md5(b"0").hexdigest()
SLOW_READ_RATE = 40 * 1000
PACED_RATE = 2 * 1000
TRICKLE_SECONDS = 2.0


def request(build, serial=SERIAL):
    query = release.check_query(build, serial)
    return f"GET {release.CHECK_PATH}?{query} HTTP/1.0\r\nHost: bench\r\n\r\n".encode()


def connect(source, port, timeout, rcvbuf=None):
    connection = socket.socket()
    if rcvbuf:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    # A connect may wait for the server's backlog (the kernel retries after 1, 3, 7 s).
    connection.settimeout(15)
    connection.bind((source, 0))
    connection.connect(("127.0.0.1", port))
    connection.settimeout(timeout)
    return connection


class Load:
    def __init__(self, port, seconds, expected_update):
        self.port, self.expected = port, expected_update
        self.end = time.monotonic() + seconds
        self.latencies, self.fast_failures = [], 0
        self.completed, self.held = 0, []
        self.lock = threading.Lock()

    def running(self):
        return time.monotonic() < self.end

    def fast(self, source):
        while self.running():
            started = time.monotonic()
            try:
                with connect(source, self.port, 5) as connection:
                    connection.sendall(request(51091))
                    answer = b""
                    while True:
                        piece = connection.recv(4096)
                        if not piece:
                            break
                        answer += piece
                ok = answer.endswith(b"\r\n\r\nLATEST_VERSION")
            except OSError:
                ok = False
            with self.lock:
                if ok:
                    self.latencies.append(time.monotonic() - started)
                else:
                    self.fast_failures += 1
            if not ok:
                time.sleep(0.1)

    def trickle(self, source):
        data = request(51081)
        while self.running():
            started = time.monotonic()
            try:
                with connect(source, self.port, 1) as connection:
                    for byte in data:
                        connection.sendall(bytes([byte]))
                        if self._closed_within(connection, TRICKLE_SECONDS):
                            break
            except OSError:
                pass
            with self.lock:
                self.held.append(min(time.monotonic(), self.end) - started)

    def _closed_within(self, connection, seconds):
        """Waits up to seconds (or the end of the run); True when the server let go."""
        deadline = min(time.monotonic() + seconds, self.end)
        while time.monotonic() < deadline:
            connection.settimeout(max(0.01, min(0.5, deadline - time.monotonic())))
            try:
                if not connection.recv(4096):
                    return True
            except socket.timeout:
                continue
            except OSError:
                return True
        return not self.running()

    def download(self, source):
        received = bytearray()
        started = time.monotonic()
        try:
            with connect(source, self.port, 1, rcvbuf=8192) as connection:
                connection.sendall(request(51081))
                while self.running():
                    try:
                        piece = connection.recv(4096)
                    except socket.timeout:
                        continue
                    if not piece:
                        break
                    received += piece
                    ahead = len(received) / SLOW_READ_RATE - (time.monotonic() - started)
                    if ahead > 0:
                        time.sleep(min(ahead, max(0, self.end - time.monotonic())))
        except OSError:
            pass
        if bytes(received[received.find(b"\r\n\r\n") + 4:]) == self.expected:
            with self.lock:
                self.completed += 1


def peak_memory(pids_of, stop, peak):
    while not stop.is_set():
        total = 0
        for pid in pids_of():
            try:
                with open(f"/proc/{pid}/status") as file:
                    total += next(int(line.split()[1]) for line in file if line.startswith("VmRSS:")) * 1024
            except (OSError, StopIteration):
                pass
        peak[0] = max(peak[0], total)
        stop.wait(0.25)


def run_phase(port, pids_of, seconds, expected):
    load = Load(port, seconds, expected)
    stop, peak = threading.Event(), [0]
    sampler = threading.Thread(target=peak_memory, args=(pids_of, stop, peak), daemon=True)
    sampler.start()
    threads = [threading.Thread(target=load.trickle, args=(f"127.0.1.{i + 1}",), daemon=True) for i in range(100)]
    threads += [threading.Thread(target=load.download, args=(f"127.0.2.{i + 1}",), daemon=True) for i in range(100)]
    threads += [threading.Thread(target=load.fast, args=(f"127.0.3.{i + 1}",), daemon=True) for i in range(4)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(max(0.1, load.end + 10 - time.monotonic()))
    stop.set()
    sampler.join()
    latencies = sorted(load.latencies)
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] if latencies else float("nan")
    return {"rate": len(latencies) / (time.monotonic() - started), "p99": p99 * 1000,
            "failed": load.fast_failures, "completed": load.completed,
            "held": max(load.held, default=0), "memory": peak[0] / 1e6}


def releases_folder(work, module):
    folder = os.path.join(work, "releases")
    with open(module, "rb") as file:
        release.write_release(os.path.join(folder, "w7"), 51091, file.read(), "bench")
    return folder


def today_server(work, releases, seconds):
    script = os.path.join(work, "today_update_server.py")
    with open(script, "wb") as file:
        file.write(subprocess.run(["git", "-C", ROOT, "show", f"{TODAY}:tools/update_server.py"],
                                  check=True, capture_output=True, timeout=30).stdout)
    port_file = os.path.join(work, "today.port")
    process = subprocess.Popen(["timeout", "-k", "5", str(seconds + 30), sys.executable, script,
                                "--releases", releases, "--port", "0", "--port-file", port_file,
                                "--log", os.path.join(work, "today.log")])
    deadline = time.monotonic() + 15
    while not os.path.exists(port_file) and time.monotonic() < deadline:
        time.sleep(0.05)
    with open(port_file) as file:
        return process, int(file.read())


def paced_downloads(stack, count, seconds, length):
    """nginx's memory above idle and its temporary files' bytes with count clients in the
    middle of an update of length bytes, and how many were receiving it."""
    nginx = [pid for pid in stack.pids() if read_text(f"/proc/{pid}/comm").strip() == "nginx"]
    idle = sum(resident(pid) for pid in nginx)
    clients = []
    for i in range(count):
        connection = connect(f"127.1.{i // 250}.{i % 250 + 1}", stack.port, 15, rcvbuf=4096)
        connection.sendall(request(51081))
        connection.setblocking(False)
        clients.append(connection)
    received = [0] * count
    tick = 0.25
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for i, connection in enumerate(clients):
            try:
                received[i] += len(connection.recv(int(PACED_RATE * tick)))
            except BlockingIOError:
                pass
        time.sleep(tick)
    memory = sum(resident(pid) for pid in nginx) - idle
    temporary = 0
    for pid in nginx:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}").endswith("(deleted)"):
                    temporary += os.stat(f"/proc/{pid}/fd/{fd}").st_size
            except OSError:
                pass
    receiving = sum(0 < n < length for n in received)
    for connection in clients:
        connection.close()
    return {"memory": memory / count / 1e3, "temporary": temporary / count / 1e3,
            "memory_total": memory / 1e6, "temporary_total": temporary / 1e6, "receiving": receiving}


def read_text(path):
    try:
        with open(path) as file:
            return file.read()
    except OSError:
        return ""


def resident(pid):
    line = next((l for l in read_text(f"/proc/{pid}/status").splitlines() if l.startswith("VmRSS:")), "x 0")
    return int(line.split()[1]) * 1024


def slow_clients(work, module_path, seconds):
    releases = releases_folder(work, module_path)
    with open(os.path.join(releases, "w7", release.ANSWER_FILE), "rb") as file:
        expected = file.read()
    results = {}
    process, port = today_server(work, releases, seconds)
    try:
        results["today"] = run_phase(port, lambda: children(process.pid), seconds, expected)
    finally:
        process.terminate()
        process.wait(20)
    stack = local_stack.Stack(releases, os.path.join(work, "stack"), lifetime=int(seconds) + 60)
    try:
        results["stack"] = run_phase(stack.port, stack.pids, seconds, expected)
    finally:
        stack.stop()
    return results


def print_slow_clients(seconds, size, today, stack):
    print(f"Update service under slow clients, {seconds:.0f} s each, loopback, a {size}-byte module")
    print("  100 clients send their request 1 byte / 2 s, 100 download the update at 40 KB/s,")
    print("  4 ask for the latest version in a loop")
    print(f"  {'':44}{'today (06c83f3)':>16}{'nginx + gunicorn':>18}")
    rows = (("fast answers per second", "rate", "{:.1f}"), ("fast answers, 99th percentile (ms)", "p99", "{:.1f}"),
            ("fast requests failed", "failed", "{}"), ("slow downloads completed (of 100)", "completed", "{}"),
            ("longest a trickled request held on (s)", "held", "{:.1f}"),
            ("peak memory, all server processes (MB)", "memory", "{:.1f}"))
    for label, key, form in rows:
        print(f"  {label:44}{form.format(today[key]):>16}{form.format(stack[key]):>18}")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=90)
    parser.add_argument("--module", default=os.path.join(ROOT, "build", "mingw", "dist", "Murmelon_W_7_D.asi"))
    parser.add_argument("--big", type=int, default=0, help="also a module padded to this many bytes")
    parser.add_argument("--paced", type=int, default=1000)
    parser.add_argument("--paced-seconds", type=float, default=20)
    parser.add_argument("--rollout-seconds", type=float, default=15)
    parser.add_argument("--answer-size", type=int, default=60 * 1000 * 1000)
    parser.add_argument("--answer-seconds", type=float, default=15)
    parser.add_argument("--only", choices=("rollout", "answer"), help="only this row")
    args = parser.parse_args()
    problem = local_stack.available()
    if problem:
        sys.exit(f"service bench: {problem}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, max(8192, resource.getrlimit(resource.RLIMIT_NOFILE)[1])))
    # A hard stop whatever happens: every phase, its start and stop.
    modules = 0 if args.only else 2 if args.big else 1
    threading.Timer(modules * (2 * args.seconds + 90) + (0 if args.only else 2 * (args.paced_seconds + 60))
                    + 8 * (args.rollout_seconds + 15) + 2 * (args.answer_seconds + 30) + 60,
                    lambda: os._exit(3)).start()
    work = tempfile.mkdtemp(prefix="murmelon-service-bench.")
    try:
        with open(args.module, "rb") as file:
            module = file.read()
        if args.only != "answer":
            rollout_folder = os.path.join(work, "rollout")
            os.makedirs(rollout_folder)
            print_rollout_row(args.rollout_seconds, len(module), rollout_row(rollout_folder, args.module,
                                                                              args.rollout_seconds))
            print()
        if args.only != "rollout":
            answer_folder = os.path.join(work, "answer")
            os.makedirs(answer_folder)
            print_answer_row(args.answer_seconds, args.answer_size,
                             answer_row(answer_folder, module, args.answer_size, args.answer_seconds))
            print()
        if args.only:
            shutil.rmtree(work, ignore_errors=True)
            os._exit(0)  # the hard-stop timer's thread must not hold the exit
        sizes = [(args.module, len(module))]
        if args.big:
            big = os.path.join(work, "big.asi")
            with open(big, "wb") as file:  # bytes behind the image, as a bigger module has
                file.write(module + bytes(max(0, args.big - len(module))))
            sizes.append((big, max(args.big, len(module))))
        for path, size in sizes:
            folder = os.path.join(work, str(size))
            os.makedirs(folder)
            results = slow_clients(folder, path, args.seconds)
            print_slow_clients(args.seconds, size, results["today"], results["stack"])
            print()

        paced = {}
        for name, files in (("buffers", False), ("sendfile", True)):
            folder = os.path.join(work, "paced-" + name)
            os.makedirs(folder)
            releases = releases_folder(folder, args.module)
            stack = local_stack.Stack(releases, os.path.join(folder, "stack"), lifetime=int(args.paced_seconds) + 120,
                                      listen_options="sndbuf=16k", files=files)
            try:
                paced[name] = paced_downloads(stack, args.paced, args.paced_seconds, len(module))
            finally:
                stack.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"nginx under {args.paced} paced downloads of the {len(module)}-byte module "
          f"(2 KB/s each, after {args.paced_seconds:.0f} s)")
    print(f"  {'':44}{'from nginx buffers':>20}{'sendfile':>12}")
    for label, key, form in (("still receiving (of %d)" % args.paced, "receiving", "{}"),
                             ("memory per download (KB)", "memory", "{:.1f}"),
                             ("temporary file per download (KB)", "temporary", "{:.1f}"),
                             ("memory, all downloads (MB)", "memory_total", "{:.1f}"),
                             ("temporary files, all downloads (MB)", "temporary_total", "{:.1f}")):
        print(f"  {label:44}{form.format(paced['buffers'][key]):>20}{form.format(paced['sendfile'][key]):>12}")
    sys.stdout.flush()
    os._exit(0)  # the hard-stop timer's thread must not hold the exit


def rollout_row(work, module_path, seconds):
    """{(kind, staged): (answers per second, 99th percentile in ms)} from one stack over a
    site whose release 0002 is served to everyone or staged to 10% over 0001."""
    site = os.path.join(work, "site")
    with open(module_path, "rb") as file:
        module = file.read()
    for name, build in (("0001", 51081), ("0002", 51091)):
        release.write_release(os.path.join(site, "releases", name, "w7"), build, module + name.encode(), name)
    os.symlink("releases/0002", os.path.join(site, "current"))
    # Serials outside the 10% share, one per request, made before the clock runs.
    outside = [s for s in (hashlib.md5(b"%d" % i).hexdigest() for i in range(200000))
               if not rollout.in_share(s, 51091, 10)]
    asks = {("latest", False): lambda i: request(51091, outside[i % len(outside)]),
            ("latest", True): lambda i: request(51081, outside[i % len(outside)]),
            ("update", False): lambda i: request(51071, outside[i % len(outside)]),
            ("update", True): lambda i: request(51071, hashlib.md5(b"u%d" % i).hexdigest())}
    stack = local_stack.Stack(os.path.join(site, "current"), os.path.join(work, "stack"), lifetime=int(8 * seconds) + 60)
    latencies = {key: [] for key in asks}
    try:
        for _ in range(2):
            for kind, staged in asks:
                if staged:
                    rollout.write_rollout(site, "0002", "0001", 10)
                else:
                    rollout.remove_rollout(site)
                latencies[(kind, staged)] += answers(stack.port, asks[(kind, staged)], seconds,
                                                     b"LATEST_VERSION" if kind == "latest" else b"DATA:")
    finally:
        stack.stop()
    return {key: (len(values) / (2 * seconds), sorted(values)[int(len(values) * 0.99)] * 1000 if values else float("nan"))
            for key, values in latencies.items()}


def answers(port, ask, seconds, expected):
    """Latencies of the checks 4 clients get answered with `expected` in, one after another."""
    end, counter, lock, latencies = time.monotonic() + seconds, [0], threading.Lock(), []

    def client(source):
        while time.monotonic() < end:
            with lock:
                counter[0] += 1
                i = counter[0]
            started = time.monotonic()
            try:
                with connect(source, port, 5) as connection:
                    connection.sendall(ask(i))
                    answer = bytearray()
                    while piece := connection.recv(1 << 20):
                        answer += piece
            except OSError:
                continue
            if expected in answer:
                with lock:
                    latencies.append(time.monotonic() - started)

    threads = [threading.Thread(target=client, args=(f"127.0.4.{i + 1}",), daemon=True) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(seconds + 15)
    return latencies


def print_rollout_row(seconds, module_size, row):
    print(f"A release staged to 10%, against the same served to everyone ({module_size}-byte module, "
          f"4 clients, 2 x {seconds:.0f} s per figure)")
    print(f"  {'':34}{'to everyone':>16}{'staged to 10%':>16}{'staged / everyone':>20}")
    for kind, label in (("latest", "up to date"), ("update", "update")):
        (rate, p99), (staged_rate, staged_p99) = row[(kind, False)], row[(kind, True)]
        print(f"  {label + ': answers per second':34}{rate:>16.1f}{staged_rate:>16.1f}{staged_rate / rate:>20.2f}")
        print(f"  {label + ': 99th percentile (ms)':34}{p99:>16.1f}{staged_p99:>16.1f}{staged_p99 / p99:>20.2f}")
    sys.stdout.flush()


def answer_row(work, module, size, seconds):
    """{"alone" | "cut": latencies of up-to-date checks} with a module of `size` bytes,
    alone and while 6 clients ask for the update about 21 times a second together and
    leave after its first 64 KiB; and how many updates they asked for."""
    releases = os.path.join(work, "releases")
    release.write_release(os.path.join(releases, "w7"), 51091, module + bytes(max(0, size - len(module))), "bench")
    stack = local_stack.Stack(releases, os.path.join(work, "stack"), lifetime=int(3 * seconds) + 60)
    cut = [0]
    try:
        alone = answers(stack.port, lambda i: request(51091), seconds, b"LATEST_VERSION")
        end = time.monotonic() + seconds

        def cutter(source):
            while time.monotonic() < end:
                started = time.monotonic()
                try:
                    with connect(source, stack.port, 5, rcvbuf=65536) as connection:
                        connection.sendall(request(51081))
                        got = 0
                        while got < 65536 and (piece := connection.recv(65536)):
                            got += len(piece)
                    cut[0] += 1
                except OSError:
                    pass
                time.sleep(max(0.0, 6 / 21 - (time.monotonic() - started)))

        cutters = [threading.Thread(target=cutter, args=(f"127.0.5.{i + 1}",), daemon=True) for i in range(6)]
        for thread in cutters:
            thread.start()
        with_cuts = answers(stack.port, lambda i: request(51091), seconds, b"LATEST_VERSION")
        for thread in cutters:
            thread.join(seconds + 15)
    finally:
        stack.stop()
    return {"alone": sorted(alone), "cut": sorted(with_cuts), "updates": cut[0] / seconds}


def print_answer_row(seconds, size, row):
    def ms(values, at):
        return values[min(len(values) - 1, int(len(values) * at))] * 1000 if values else float("nan")

    print(f"Up-to-date checks with a {size}-byte module (4 clients, {seconds:.0f} s per figure), alone and while "
          f"6 clients cut updates ({row['updates']:.1f} per second)")
    print(f"  {'':34}{'alone':>12}{'updates cut':>14}")
    for label, at in (("median (ms)", 0.5), ("99th percentile (ms)", 0.99)):
        print(f"  {label:34}{ms(row['alone'], at):>12.1f}{ms(row['cut'], at):>14.1f}")
    print(f"  {'answers per second':34}{len(row['alone']) / seconds:>12.1f}{len(row['cut']) / seconds:>14.1f}")
    sys.stdout.flush()


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as file:
            return [int(p) for p in file.read().split()]
    except OSError:
        return []


if __name__ == "__main__":
    main()
