"""Runs the loopback HTTPS server (`valdrix-release serve`, which is the local
server of tools/local-server) on the published product folder and reads what
it logged: one line per request, so the suite counts downloads and reports,
and the envelopes its ingest endpoint kept."""
import json
import re
import socket
import ssl
import struct
import subprocess
import time
import urllib.parse
import urllib.request
from pathlib import Path


HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
INGEST_PATH = "/api/42/envelope/"


def command(release: Path, root: Path, port: int, log: Path):
    return [str(release), "serve", "--root", str(root), "--port", str(port), "--request-log", str(log),
            "--control", str(control_file(log)), "--ca-dir", str(ca_folder()), "--ingest-dir", str(ingest_folder(log))]


def control_file(log: Path):
    return log.parent / "server-faults.json"


def ingest_folder(log: Path):
    return log.parent / "ingest"


def ca_folder():
    return ROOT / "build" / "e2e-ca"


def ca_certificate():
    """The DER certificate the prefix must trust (made on first use)."""
    subprocess.run([str(ROOT / "scripts" / "make-test-certs"), str(ca_folder())], check=True)
    return ca_folder() / "ca.der"


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
        """Makes the server misbehave for one path ("status-500", "status-404", "cut"), or
        behave again when fault is None."""
        control = control_file(self.log)
        faults = json.loads(control.read_text()) if control.exists() else {}
        if fault:
            faults[path] = {"status": int(fault[7:])} if fault.startswith("status-") else {"mode": fault}
        else:
            faults.pop(path, None)
        control.write_text(json.dumps(faults))

    def set_ingest_answer(self, status=None, headers=None):
        """Makes the ingest endpoint answer every envelope with this status and
        headers, keeping none (a service that says no), or accept them again
        when status is None."""
        control = control_file(self.log)
        faults = json.loads(control.read_text()) if control.exists() else {}
        if status:
            faults[INGEST_PATH] = {"status": status, "headers": headers or {}}
        else:
            faults.pop(INGEST_PATH, None)
        control.write_text(json.dumps(faults))

    def clear_faults(self):
        control_file(self.log).unlink(missing_ok=True)

    @property
    def running(self):
        return self.process is not None and self.process.poll() is None

    def offset(self):
        """Where this phase starts: the request log's size and the envelopes
        already received."""
        size = self.log.stat().st_size if self.log.exists() else 0
        return size, self.envelope_files()

    def envelope_files(self):
        folder = ingest_folder(self.log)
        return set(folder.glob("*.envelope")) if folder.exists() else set()

    def requests(self, since=(0, set())):
        """[(method, path, text)] logged after the offset since, then
        ("ENVELOPE", file name, body) for each envelope received after it."""
        out = []
        with open(self.log, "rb") as f:
            f.seek(since[0])
            for line in f.read().decode("utf-8", "replace").splitlines():
                match = re.match(r"\s*(GET|POST|PUT|HEAD|DELETE)\s+(\S+)", line)
                if match:
                    out.append((match.group(1), match.group(2), line))
        for path in sorted(self.envelope_files() - since[1], key=lambda p: p.stat().st_mtime):
            out.append(("ENVELOPE", path.name, path.read_bytes().decode("utf-8", "replace")))
        return out

    def official_parser_problems(self, since=(0, set())):
        """What the reporting service's own envelope parser (envelope_check.py,
        run by the system Python that has python3-sentry-sdk) disagrees with in
        the envelopes received after the offset; [] when nothing."""
        names = sorted(path.name for path in self.envelope_files() - since[1])
        if not names:
            return []
        context = ssl.create_default_context(cafile=str(ca_folder() / "ca.pem"))
        with urllib.request.urlopen(f"https://localhost:{self.port}/ingest/envelopes", context=context,
                                    timeout=30) as answer:
            described = answer.read()
        result = subprocess.run(["/usr/bin/python3", str(HERE / "envelope_check.py"), "-", str(ingest_folder(self.log))]
                                + names, input=described, capture_output=True)
        if result.returncode == 0:
            return []
        return (result.stdout + result.stderr).decode("utf-8", "replace").splitlines() or \
            [f"envelope_check.py ended with {result.returncode}"]

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
        return [r for r in requests if r[0] == "POST" and r[1].startswith("/api/")]

    @staticmethod
    def _json_items(requests):
        """Every JSON object in the envelopes received, in the order the
        endpoint took them (envelope names sort by arrival)."""
        for _, _, body in sorted((r for r in requests if r[0] == "ENVELOPE"), key=lambda r: r[1]):
            for line in body.splitlines():
                try:
                    item = json.loads(line)
                except ValueError:
                    continue
                if isinstance(item, dict):
                    yield item

    @staticmethod
    def exception_values(requests):
        """The first exception value of each event received, in order."""
        return [item["exception"]["values"][0]["value"]
                for item in LocalServer._json_items(requests) if "exception" in item]

    @staticmethod
    def breadcrumbs(requests):
        """Messages of the breadcrumbs carried by the events received, in order."""
        return [crumb.get("message", "") for item in LocalServer._json_items(requests) if "breadcrumbs" in item
                for crumb in item["breadcrumbs"].get("values", [])]


class ForwardProxy:
    """tools/forward-proxy on a loopback port, set as the machine's WinHTTP proxy the way
    `netsh winhttp set proxy` stores it (read by WinHTTP under Wine, too)."""
    KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections"

    def __init__(self, machine, log: Path, port: int = 8444):
        self.machine, self.log, self.port = machine, log, port
        self.process = None

    def start(self):
        self.log.write_text("")
        self.process = subprocess.Popen([str(ROOT / "tools" / "forward-proxy"), "--port", str(self.port), "--ca-dir",
                                         str(ca_folder()), "--log", str(self.log)], stdin=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                break
            except OSError:
                time.sleep(0.1)
        proxy = f"127.0.0.1:{self.port}".encode()
        settings = struct.pack("<IIII", 0x18, 0, 3, len(proxy)) + proxy + struct.pack("<I", 0)
        self.machine.reg_add(self.KEY, "WinHttpSettings", settings.hex(), "REG_BINARY")

    def stop(self):
        self.machine.reg_delete(self.KEY, "WinHttpSettings")
        self.process.terminate()
        self.process.wait()

    def passed(self):
        """The tunnels ("CONNECT host:port") and the "<method> <path>" of each request through them."""
        lines = self.log.read_text().splitlines()
        return [line for line in lines if line.startswith("CONNECT ")], [line for line in lines
                                                                          if not line.startswith("CONNECT ")]
