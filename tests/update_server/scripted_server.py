#!/usr/bin/env python3
"""A one-connection update server that answers as a script says.

For the plug-in's edge cases: answers in chosen pieces, pauses between them, early
close, a connection reset, or a server that accepts and then says nothing. It binds
127.0.0.1 on a free port, writes the port to --port-file, takes one connection, keeps
the request head it received in --request-file, plays the script and exits. It never
lives longer than --lifetime seconds.

Script file (binary-safe): one command per line; "send N" is followed by exactly N
bytes, which are sent in one piece.
    send N      the next N bytes of the file
    pause MS    wait MS milliseconds
    stall       send nothing more until the client closes (or the lifetime ends)
    reset       end with a connection reset instead of a close
    close       close now (the end of the script closes too)
"""

import argparse
import os
import socket
import struct
import sys
import threading
import time


def read_script(path):
    with open(path, "rb") as file:
        data = file.read()
    steps, at = [], 0
    while at < len(data):
        end = data.index(b"\n", at)
        words = data[at:end].decode("ascii").split()
        at = end + 1
        if not words:
            continue
        if words[0] == "send":
            count = int(words[1])
            steps.append(("send", data[at:at + count]))
            at += count
        elif words[0] == "pause":
            steps.append(("pause", int(words[1])))
        elif words[0] in ("stall", "reset", "close"):
            steps.append((words[0], None))
        else:
            raise ValueError(f"unknown script command {words[0]!r}")
    return steps


def read_request_head(connection, deadline):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 8192 and time.monotonic() < deadline:
        connection.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            piece = connection.recv(4096)
        except OSError:
            break
        if not piece:
            break
        data += piece
    return data


def stall(connection, deadline):
    while time.monotonic() < deadline:
        connection.settimeout(0.2)
        try:
            if not connection.recv(4096):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def play(connection, steps, deadline):
    for kind, value in steps:
        if kind == "send":
            connection.sendall(value)
        elif kind == "pause":
            time.sleep(value / 1000.0)
        elif kind == "stall":
            stall(connection, deadline)
        elif kind == "reset":
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        elif kind == "close":
            return


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--request-file")
    parser.add_argument("--log", default=os.devnull)
    parser.add_argument("--lifetime", type=float, default=30.0)
    args = parser.parse_args()
    # Let go of inherited output at once: whoever started us may be waiting on it.
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.dup2(os.open(args.log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644), 2)
    deadline = time.monotonic() + args.lifetime
    threading.Timer(args.lifetime + 1.0, lambda: os._exit(3)).start()  # a hard stop

    steps = read_script(args.script)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    with open(args.port_file + ".tmp", "w") as file:
        file.write(f"{listener.getsockname()[1]}\n")
    os.replace(args.port_file + ".tmp", args.port_file)

    listener.settimeout(max(0.1, deadline - time.monotonic()))
    try:
        connection, _ = listener.accept()
    except socket.timeout:
        return 1
    request = read_request_head(connection, min(deadline, time.monotonic() + 5.0))
    if args.request_file:
        with open(args.request_file + ".tmp", "wb") as file:
            file.write(request)
        os.replace(args.request_file + ".tmp", args.request_file)
    try:
        play(connection, steps, deadline)
    except OSError as error:
        sys.stderr.write(f"scripted server: {error}\n")
    connection.close()
    listener.close()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
