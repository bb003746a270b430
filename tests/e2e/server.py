"""Runs the loopback HTTPS server (`valdrix-release serve`, which is the local
server of tools/local-server) on the published product folder and reads what
it logged: one line per request, so the suite counts downloads and reports."""
import json
import re
import socket
import subprocess
import time
import urllib.parse
from pathlib import Path


class LocalServer:
    def __init__(self, release: Path, root: Path, log: Path, port: int = 8443):
        self.release, self.root, self.log, self.port = release, root, log, port
        self.process = None

    def start(self):
        self.log.parent.mkdir(parents=True, exist_ok=True)
        self.log.touch()
        self.process = subprocess.Popen(
            [str(self.release), "serve", "--root", str(self.root), "--port", str(self.port),
             "--request-log", str(self.log)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(str(self.log) + ".stderr", "ab"))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"local server ended with {self.process.returncode}; see {self.log}.stderr")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return
            except OSError:
                time.sleep(0.2)
        raise RuntimeError("local server did not start listening")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    @property
    def running(self):
        return self.process is not None and self.process.poll() is None

    def offset(self):
        return self.log.stat().st_size if self.log.exists() else 0

    def requests(self, since=0):
        """[(method, path, body)] logged after byte offset since. Lines are JSON
        objects ({"method", "path", ...}) or "METHOD PATH ..." text."""
        out = []
        with open(self.log, "rb") as f:
            f.seek(since)
            for raw in f.read().decode("utf-8", "replace").splitlines():
                line = raw.strip()
                if not line:
                    continue
                if line.startswith("{"):
                    try:
                        entry = json.loads(line)
                        out.append((entry.get("method", ""), entry.get("path", ""), entry.get("body", "")))
                        continue
                    except ValueError:
                        pass
                match = re.search(r"\b(GET|POST|PUT|HEAD)\s+(\S+)", line)
                if match:
                    out.append((match.group(1), match.group(2), line))
        return out

    @staticmethod
    def product_downloads(requests):
        """Product paths (backslashes) fetched, prerequisite installers excluded."""
        paths = []
        for method, path, _ in requests:
            path = urllib.parse.unquote(path.split("?")[0])
            if method == "GET" and path.startswith("/files/") and not path.startswith("/files/prereqs/"):
                paths.append(path[len("/files/"):].replace("/", "\\"))
        return paths

    @staticmethod
    def reports(requests):
        return [r for r in requests if r[0] == "POST" and ("/envelope" in r[1] or "/store" in r[1])]
