#!/usr/bin/env python3
"""A small CDDB server over HTTP for the tests, on 127.0.0.1 only.

Usage: cddb_server.py DIR

It picks a free port and writes it to DIR/port once it listens. Every request
is appended, as its request line, to DIR/requests. The replies come from
DIR/scenario.json, read again for each request, so a test can change them
between lookups:

  {"sites": REPLY, "query": REPLY, "read": REPLY}

where "read" may also be an object of REPLYs keyed by "category discid", and
a REPLY is an object:

  {"status": 200,            HTTP status (500 makes an error page)
   "lines": ["210 ...", ...], the CDDB reply, one line each
   "eol": "\\r\\n",            what ends each line ("\\n" for LF only)
   "encoding": "utf-8",       how the lines become bytes ("latin-1" too)
   "raw": "...",              instead of lines: these bytes as they are
   "delay": 0.0,              seconds to wait before answering
   "gate": false}             wait until DIR/gate exists instead ("delay"
                              then bounds the wait, 30 s when absent)

A command without a reply gets "500 Command syntax error". The server stops
by itself after DIR/lifetime seconds (60 when absent), when the process that
started it ends, or when killed.
"""
import json
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        folder = self.server.folder
        with self.server.lock:
            with open(os.path.join(folder, "requests"), "a", encoding="utf-8") as log:
                log.write(self.requestline + "\n")
        try:
            with open(os.path.join(folder, "scenario.json"), encoding="utf-8") as f:
                scenario = json.load(f)
        except (OSError, ValueError):
            scenario = {}
        cmd = parse_qs(urlsplit(self.path).query).get("cmd", [""])[0]
        words = cmd.split()
        reply = None
        if words[:1] == ["sites"]:
            reply = scenario.get("sites")
        elif words[:2] == ["cddb", "query"]:
            reply = scenario.get("query")
        elif words[:2] == ["cddb", "read"]:
            reply = scenario.get("read")
            if isinstance(reply, dict) and "lines" not in reply and "raw" not in reply \
                    and "status" not in reply:
                reply = reply.get(" ".join(words[2:4]))
        if reply is None:
            reply = {"lines": ["500 Command syntax error"]}
        if reply.get("gate"):
            deadline = time.monotonic() + float(reply.get("delay", 30))
            while not os.path.exists(os.path.join(folder, "gate")) and time.monotonic() < deadline:
                time.sleep(0.01)
        else:
            time.sleep(float(reply.get("delay", 0)))
        status = int(reply.get("status", 200))
        if "raw" in reply:
            body = reply["raw"].encode(reply.get("encoding", "latin-1"))
        else:
            eol = reply.get("eol", "\r\n")
            text = "".join(line + eol for line in reply.get("lines", []))
            body = text.encode(reply.get("encoding", "utf-8"))
        if status != 200:
            body = b"<html><body>Internal Server Error</body></html>\r\n"
        try:
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            pass  # the client gave up waiting


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.folder = folder
    server.lock = threading.Lock()
    try:
        with open(os.path.join(folder, "lifetime"), encoding="utf-8") as f:
            lifetime = float(f.read())
    except (OSError, ValueError):
        lifetime = 60.0
    timer = threading.Timer(lifetime, server.shutdown)
    timer.daemon = True
    timer.start()
    # It ends with the test that started it.
    parent = os.getppid()
    if parent == 1:
        return  # it ended already

    def watch_parent():
        while os.getppid() == parent:
            time.sleep(0.2)
        server.shutdown()

    threading.Thread(target=watch_parent, daemon=True).start()
    port_file = os.path.join(folder, "port")
    with open(port_file + ".part", "w", encoding="utf-8") as f:
        f.write(str(server.server_address[1]))
    os.rename(port_file + ".part", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
