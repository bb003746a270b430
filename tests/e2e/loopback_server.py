#!/usr/bin/env python3
"""Stop-gap loopback HTTPS server for the end-to-end suite while
tools/local-server is not in the tree: serves a folder (manifest, files,
/api/signkey), accepts report uploads (POST) and logs one JSON line per
request. Certificates come from a throw-away test CA (see make_ca)."""
import argparse
import json
import ssl
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import unquote, urlsplit


def make_ca(folder: Path):
    """ca.der (for tools/prepare-wine-prefix) and a localhost certificate signed by it."""
    folder.mkdir(parents=True, exist_ok=True)
    if (folder / "server.pem").exists():
        return folder
    run = lambda *args: subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=folder)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
        "-subj", "/CN=Valdrix Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    (folder / "server.ext").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                                       "extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "30", "-extfile", "server.ext")
    return folder


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root: Path = None
    control: Path = None
    log_file = None
    lock = threading.Lock()

    def record(self, status, size, extra=None):
        entry = {"method": self.command, "path": self.path, "status": status, "bytes": size}
        entry.update(extra or {})
        with self.lock:
            self.log_file.write(json.dumps(entry) + "\n")
            self.log_file.flush()

    def fault(self):
        """The misbehaviour asked for this path in the control file, if any:
        {"/files/rules.dat": {"status": 500} | {"mode": "cut"}}, as the local
        server of tools/local-server reads it. Read on every request."""
        try:
            faults = json.loads(self.control.read_text()) if self.control else {}
        except (OSError, ValueError):
            return {}
        return faults.get(unquote(urlsplit(self.path).path)) or {}

    def do_GET(self):
        relative = unquote(urlsplit(self.path).path).lstrip("/")
        target = (self.root / relative).resolve()
        if self.root not in target.parents or not target.is_file():
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.record(404, 0)
            return
        data = target.read_bytes()
        fault = self.fault()
        status = fault.get("status", 200)
        if status != 200:
            body = b"Server error"
            self.send_response(status)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            self.record(status, len(body))
            return
        if fault.get("mode") == "cut":
            # The full length is announced, half is sent, then the connection closes.
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.record(200, len(data) // 2, {"cut": True})
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        self.wfile.write(data)
        self.record(200, len(data))

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        reply = b'{"id":"00000000000000000000000000000000"}'
        self.send_response(200)
        self.send_header("Content-Length", str(len(reply)))
        self.send_header("Content-Type", "application/json")
        self.end_headers()
        self.wfile.write(reply)
        self.record(200, len(body), {"body": body[:262144].decode("utf-8", "replace")})

    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=8443)
    parser.add_argument("--request-log", required=True)
    parser.add_argument("--ca-dir", required=True)
    parser.add_argument("--control", help="JSON file of faults per path")
    args = parser.parse_args()
    certs = make_ca(Path(args.ca_dir))
    Handler.root = Path(args.root).resolve()
    Handler.control = Path(args.control) if args.control else None
    Handler.log_file = open(args.request_log, "a", encoding="utf-8")
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certs / "server.pem", certs / "server.key")
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print(f"serving {Handler.root} on https://localhost:{args.port}", file=sys.stderr, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
