"""Runs the loopback HTTPS server (`valdrix-release serve`, which is the local
server of tools/local-server) on the published product folder and reads what
it logged: one line per request, so the suite counts downloads and reports."""
import json
import re
import socket
import subprocess
import sys
import time
import urllib.parse
from pathlib import Path


HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent


def command(release: Path, root: Path, port: int, log: Path):
    """valdrix-release serve once tools/local-server is in the tree; until then
    the suite's own loopback server."""
    served = ROOT / "tools" / "local-server" / "local-server"
    if served.is_file() and served.stat().st_mode & 0o111:
        return [str(release), "serve", "--root", str(root), "--port", str(port), "--request-log", str(log)]
    return [sys.executable, str(HERE / "loopback_server.py"), "--root", str(root), "--port", str(port),
            "--request-log", str(log), "--ca-dir", str(ca_folder()), "--control", str(control_file(log))]


def control_file(log: Path):
    return log.parent / "server-faults.json"


def ca_folder():
    return ROOT / "build" / "e2e-ca"


def ca_certificate():
    """The DER certificate the prefix must trust (made on first use)."""
    from loopback_server import make_ca
    return make_ca(ca_folder()) / "ca.der"


class LocalServer:
    def __init__(self, release: Path, root: Path, log: Path, port: int = 8443):
        self.release, self.root, self.log, self.port = release, root, log, port
        self.process = None

    def start(self):
        self.log.parent.mkdir(parents=True, exist_ok=True)
        self.log.touch()
        self.process = subprocess.Popen(command(self.release, self.root, self.port, self.log),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
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

    def set_fault(self, path, fault):
        """Makes the server misbehave for one path ("status-500", "cut"), or
        behave again when fault is None."""
        control = control_file(self.log)
        faults = json.loads(control.read_text()) if control.exists() else {}
        if fault:
            faults[path] = {"status": 500} if fault == "status-500" else {"mode": fault}
        else:
            faults.pop(path, None)
        control.write_text(json.dumps(faults))

    def clear_faults(self):
        control_file(self.log).unlink(missing_ok=True)

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
        return [r for r in requests if r[0] == "POST" and not r[1].startswith("/files/")]

    @staticmethod
    def breadcrumbs(requests):
        """Messages of the breadcrumbs carried by the events reported, in order."""
        messages = []
        for _, _, body in LocalServer.reports(requests):
            for line in body.splitlines():
                try:
                    item = json.loads(line)
                except ValueError:
                    continue
                if isinstance(item, dict) and "breadcrumbs" in item:
                    messages += [crumb.get("message", "") for crumb in item["breadcrumbs"].get("values", [])]
        return messages
