#!/usr/bin/env python3
"""Update server for the Murmelon plug-in, for development, demos and tests.

Runs the update service (murmelon_update.app, a WSGI application) under the standard
library's WSGI server, one thread per connection. Players are served by the production
stack of server/conf (gunicorn behind nginx), which bounds slow clients; this one does
not. See server/README.md. Needs server/ on PYTHONPATH (tools/common.sh sets it).
"""

import argparse
import os
import signal
import socketserver
import sys
import threading
import time
from wsgiref.simple_server import ServerHandler, WSGIRequestHandler, WSGIServer

from murmelon_update.app import LOG_HEADER, UpdateApp, log_to_stderr

REQUEST_TIMEOUT = 10.0


def log(text):
    log_to_stderr(text)


class Handler(ServerHandler):
    # An application failure must not put "Error" (a marker) in the status line or body.
    error_status = "503 Service Unavailable"
    error_headers = [("Content-Type", "text/plain")]
    error_body = b"unavailable\n"


class RequestHandler(WSGIRequestHandler):
    timeout = REQUEST_TIMEOUT

    def handle(self):
        started = time.monotonic()
        self.log_words = ""
        self.raw_requestline = self.rfile.readline(8193)
        if len(self.raw_requestline) > 8192:
            self.send_error(414)
        if len(self.raw_requestline) > 8192 or not self.parse_request():
            self._log("bad-request", 400, 0, started)
            return
        handler = Handler(self.rfile, self.wfile, self.get_stderr(), self.get_environ(), multithread=True)
        handler.request_handler = self
        self.exchange = ("-", 0)
        handler.run(self._strip_log_header)
        self._log(self.log_words, *self.exchange, started)

    def _strip_log_header(self, environ, start_response):
        # The log words are for our log only: the plug-in would read them as part of the answer.
        def start(status, headers, exc_info=None):
            self.log_words = next((v for k, v in headers if k == LOG_HEADER), "")
            return start_response(status, [(k, v) for k, v in headers if k != LOG_HEADER],
                                  exc_info)
        return self.server.get_app()(environ, start)

    def send_error(self, code, message=None, explain=None):
        # Fixed words: the standard page says "Error" and repeats the client's request.
        self.close_connection = True
        body = b"bad request\n"
        self.wfile.write(b"HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain\r\n"
                         + f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n".encode() + body)

    def _log(self, words, status, sent, started):
        log(f"{self.client_address[0]} {words or 'verdict=bad-request'} status={status} bytes={sent} "
            f"seconds={time.monotonic() - started:.3f}")

    def log_request(self, code="-", size=0):
        # Called as the handler closes; handle() writes the line.
        self.exchange = (code, size)


class Server(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def server_bind(self):
        # The base class looks the address up in the DNS; a test machine may have none.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]
        self.setup_environ()


def write_port_file(path, port):
    # Written whole, then renamed: a reader never sees a half-written number.
    temporary = path + ".tmp"
    with open(temporary, "w") as file:
        file.write(f"{port}\n")
    os.replace(temporary, path)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--releases", required=True, help="folder of release folders (or a link to one)")
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=80, help="TCP port; 0 picks a free one (default 80)")
    parser.add_argument("--port-file", help="write the port listened on to this file")
    parser.add_argument("--log", help="append the log here instead of standard error "
                        "(standard input and output are then closed too; SIGHUP reopens it)")
    parser.add_argument("--lifetime", type=float, help="stop after this many seconds")
    return parser.parse_args(argv)


def open_log(log_path):
    log_fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(log_fd, 2)
    os.close(log_fd)


def detach_standard_streams(log_path):
    # A caller waiting on our inherited output (a test runner) is released at once.
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    open_log(log_path)


def main(argv=None):
    args = parse_arguments(argv)
    if args.log:
        detach_standard_streams(args.log)
    application = UpdateApp(args.releases, log=log)
    if not application.releases:
        log(f"cannot load releases from {args.releases}: nothing to serve")
        return 2
    server = Server((args.bind, args.port), RequestHandler)
    server.set_app(application)
    port = server.server_address[1]

    def reload(*_):
        # After a log rotation the old file is gone: reopen it first.
        if args.log:
            open_log(args.log)
        application.reload()

    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, lambda *_: threading.Thread(target=reload).start())
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    if args.lifetime:
        timer = threading.Timer(args.lifetime, server.shutdown)
        timer.daemon = True
        timer.start()
    if args.port_file:
        write_port_file(args.port_file, port)
    log(f"listening on {args.bind}:{port}")
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
