#!/usr/bin/env python3
"""A small stand-in for the model hub, for tests only.

Serves the repositories below --root (laid out as <type>/<id>/<files>) on
127.0.0.1, and their large files from a content server on 127.0.0.2, the way
the hub hands large files to a separate host. Prints one JSON line with both
ports, then serves until killed.

Control (POST /_control, JSON, merged into the settings):
  token        required bearer token (absent: no authorisation)
  commits      {"<type>/<id>": "<40 hex>"}: commit reported per repository
  etags        {"<file path in repo>": "<raw ETag header>"}: tag overrides
  redirect     [file paths] answered with a 302 to the content server
  moved        {"<old id>": "<new id>"}: resolve answers a relative 307
  faults       [{"file": path, "kind": "drop"|"status500"|"stall",
                 "after": bytes, "seconds": s, "times": n}]
GET /_log gives every request seen; POST /_reset_log clears it.
"""

import argparse
import hashlib
import json
import os
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()
STATE = {"settings": {"commits": {}, "etags": {}, "redirect": [], "faults": []}, "log": []}
ROOT = "."
PORTS = {}


def settings():
    return STATE["settings"]


def take_fault(path, method):
    with LOCK:
        for fault in settings()["faults"]:
            if (fault.get("file") == path and fault.get("method", "GET") == method
                    and fault.get("times", 1) > 0):
                fault["times"] = fault.get("times", 1) - 1
                return dict(fault)
    return None


def commit_of(repo_key):
    with LOCK:
        commit = settings()["commits"].get(repo_key)
    return commit or hashlib.sha1(repo_key.encode()).hexdigest()


def repo_files(folder):
    names = []
    for base, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(files):
            names.append(os.path.relpath(os.path.join(base, name), folder).replace(os.sep, "/"))
    return names


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        with LOCK:
            STATE["log"].append({
                "method": self.command,
                "path": urllib.parse.unquote(self.path),
                "host": self.headers.get("Host", ""),
                "range": self.headers.get("Range"),
                "authorization": self.headers.get("Authorization"),
                "location": self.headers.get("Location"),
            })

    def answer(self, status, body=b"", headers=None, content_type="application/json"):
        self.send_response(status)
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        if "Content-Length" not in (headers or {}):
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Type", content_type)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def authorised(self):
        with LOCK:
            token = settings().get("token")
        if not token:
            return True
        given = self.headers.get("Authorization")
        if given is None:
            self.answer(401, b'{"error":"unauthorised"}')
            return False
        if given != "Bearer " + token:
            self.answer(403, b'{"error":"forbidden"}')
            return False
        return True

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        payload = self.rfile.read(length) if length else b""
        if self.path == "/_control":
            with LOCK:
                settings().update(json.loads(payload or b"{}"))
            self.answer(200, b"{}")
        elif self.path == "/_reset_log":
            with LOCK:
                STATE["log"].clear()
            self.answer(200, b"{}")
        else:
            self.answer(404)

    def do_HEAD(self):
        self.route()

    def do_GET(self):
        if self.path == "/_log":
            with LOCK:
                body = json.dumps(STATE["log"]).encode()
            self.answer(200, body)
            return
        self.route()

    def route(self):
        self.record()
        parts = [urllib.parse.unquote(p) for p in urllib.parse.urlsplit(self.path).path.split("/")[1:]]
        if parts[:1] == ["cdn"]:
            return self.serve_content(parts)
        if not self.authorised():
            return
        if parts[:1] == ["api"] and len(parts) >= 6 and parts[-2] == "revision":
            return self.list_files(parts[1], "/".join(parts[2:-2]))
        repo_type = "models"
        if parts[:1] in (["datasets"], ["spaces"]):
            repo_type, parts = parts[0], parts[1:]
        if "resolve" in parts:
            at = parts.index("resolve")
            return self.resolve(repo_type, "/".join(parts[:at]), parts[at + 1], "/".join(parts[at + 2:]))
        self.answer(404, b'{"error":"not found"}')

    def list_files(self, repo_type, repo_id):
        folder = os.path.join(ROOT, repo_type, repo_id)
        if not os.path.isdir(folder):
            return self.answer(404, b'{"error":"repository not found"}')
        body = json.dumps({"siblings": [{"rfilename": n} for n in repo_files(folder)]}).encode()
        self.answer(200, body)

    def file_headers(self, repo_key, relative, content):
        with LOCK:
            etag = settings()["etags"].get(relative)
            redirect = relative in settings()["redirect"]
        if etag is None:
            etag = '"%s"' % (hashlib.sha256(content).hexdigest() if redirect
                             else hashlib.sha1(content).hexdigest())
        return etag, redirect, {"X-Repo-Commit": commit_of(repo_key)}

    def resolve(self, repo_type, repo_id, revision, relative):
        with LOCK:
            moved = settings().get("moved", {}).get(repo_id)
        if moved:
            # A renamed repository answers with a move on the same host.
            prefix = "" if repo_type == "models" else "/" + repo_type
            target = "%s/%s/resolve/%s/%s" % (prefix, moved, revision, relative)
            return self.answer(307, b"", {"Location": urllib.parse.quote(target)})
        path = os.path.join(ROOT, repo_type, repo_id, relative)
        if not os.path.isfile(path):
            return self.answer(404, b'{"error":"entry not found"}')
        with open(path, "rb") as handle:
            content = handle.read()
        repo_key = repo_type + "/" + repo_id
        etag, redirect, headers = self.file_headers(repo_key, relative, content)
        if redirect:
            headers.update({
                "X-Linked-Etag": etag,
                "X-Linked-Size": str(len(content)),
                "Location": "http://127.0.0.2:%d/cdn/%s/%s" % (
                    PORTS["content"], urllib.parse.quote(repo_key, safe=""),
                    urllib.parse.quote(relative, safe="/")),
            })
            return self.answer(302, b"", headers)
        headers["ETag"] = etag
        self.send_body(relative, content, headers)

    def serve_content(self, parts):
        # /cdn/<repository key as one component>/<file path>
        repo_key, relative = parts[1], "/".join(parts[2:])
        path = os.path.join(ROOT, repo_key, relative)
        if not os.path.isfile(path):
            return self.answer(404)
        with open(path, "rb") as handle:
            content = handle.read()
        etag, _, headers = self.file_headers(repo_key, relative, content)
        headers["ETag"] = etag
        self.send_body(relative, content, headers)

    def send_body(self, relative, content, headers):
        start = 0
        status = 200
        wanted = self.headers.get("Range")
        if wanted and wanted.startswith("bytes=") and wanted.endswith("-"):
            start = int(wanted[len("bytes="):-1])
            if start >= len(content) and len(content) > 0:
                return self.answer(416, b"", {"Content-Range": "bytes */%d" % len(content)})
            status = 206
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, len(content) - 1, len(content))
        body = content[start:]
        fault = take_fault(relative, self.command)
        if fault and fault["kind"] == "status500":
            return self.answer(500, b'{"error":"internal"}')
        if not fault or self.command == "HEAD":
            return self.answer(status, body, dict(headers, **{"Content-Length": str(len(body))}),
                               "application/octet-stream")
        self.send_response(status)
        for key, value in headers.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        cut = min(int(fault.get("after", 0)), len(body))
        self.wfile.write(body[:cut])
        self.wfile.flush()
        if fault["kind"] == "stall":
            time.sleep(float(fault.get("seconds", 5)))
        self.close_connection = True
        if fault["kind"] == "drop":
            self.connection.shutdown(socket.SHUT_RDWR)


class QuietServer(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Clients that hang up early (refused bodies, cancellations) are
        # part of the tests, not failures of the emulator.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def main():
    global ROOT
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    arguments = parser.parse_args()
    ROOT = arguments.root
    hub = QuietServer(("127.0.0.1", 0), Handler)
    content = QuietServer(("127.0.0.2", 0), Handler)
    PORTS["hub"], PORTS["content"] = hub.server_address[1], content.server_address[1]
    threading.Thread(target=content.serve_forever, daemon=True).start()
    print(json.dumps(PORTS), flush=True)
    # Ends with the test that started it, even when that test dies.
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    hub.serve_forever()


if __name__ == "__main__":
    main()
