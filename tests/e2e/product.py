"""The demo product published for the suite and for `make demo`: the stand-ins,
the setup itself and a few data files, published with valdrix-release into the
folder the local server serves:
    <root>/update/v2/windows.json   <root>/files/<path>   <root>/files/prereqs/<file>
    <root>/api/signkey"""
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

APP_VERSION = "5.2.0"
STANDINS = ("Valdrix.Desktop.Service.exe", "Valdrix.Desktop.exe", "Valdrix.Desktop.Scan.exe")
PREREQ = "Valdrix.Runtime.Setup.exe"
LEGACY = "Morvex.Setup.exe"


class Product:
    def __init__(self, work: Path, host_build: Path, win_build: Path, base_url: str, extra_bytes: int = 0):
        self.work = work
        self.release = host_build / "bin" / "valdrix-release"
        self.win_build = win_build
        self.base_url = base_url.rstrip("/")
        self.extra_bytes = extra_bytes
        self.source = work / "product"     # what the vendor builds
        self.root = work / "www"           # what the server serves
        self.keys = work / "keys"

    def tool(self, *args):
        result = subprocess.run([str(self.release)] + [str(a) for a in args], capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"valdrix-release {args[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def build(self):
        """A fresh product folder with stable version stamps."""
        shutil.rmtree(self.source, ignore_errors=True)
        files = self.source / "files"
        files.mkdir(parents=True)
        for name in STANDINS:
            shutil.copy2(self.win_build / "standins" / name, files / name)
        shutil.copy2(self.win_build / "bin" / "Valdrix.Setup.exe", files / "Valdrix.Setup.exe")
        (files / "rules.dat").write_bytes(b"rules v1\n" * 100)
        (files / "strings.json").write_text(json.dumps({"title": "Valdrix"}))
        if self.extra_bytes:
            with open(files / "engine.bin", "wb") as out:
                chunk = os.urandom(1 << 20)
                for _ in range(self.extra_bytes >> 20):
                    out.write(chunk)
        installers = self.source / "installers"
        installers.mkdir()
        shutil.copy2(self.win_build / "standins" / PREREQ, installers / PREREQ)
        (self.source / "prereqs.json").write_text(json.dumps([{
            "file": PREREQ, "id": "runtime", "name": "Valdrix Runtime", "source": f"installers/{PREREQ}",
            "params": "/install /quiet", "params-repair": "/repair /quiet"}]))
        stamp = int(time.time()) - 3600
        for path in files.rglob("*"):
            os.utime(path, (stamp, stamp))
        if not (self.keys / "sign.key").exists():
            self.keys.mkdir(parents=True, exist_ok=True)
            self.tool("keygen", "--out-private", self.keys / "sign.key", "--out-public", self.keys / "sign.pub")
        self.publish()

    def publish(self, digest_overrides=None):
        """Writes the manifest and copies the files to the served folder."""
        shutil.rmtree(self.root, ignore_errors=True)
        (self.root / "update" / "v2").mkdir(parents=True)
        (self.root / "api").mkdir()
        shutil.copytree(self.source / "files", self.root / "files", copy_function=shutil.copy2)
        (self.root / "files" / "prereqs").mkdir()
        shutil.copy2(self.source / "installers" / PREREQ, self.root / "files" / "prereqs" / PREREQ)
        manifest = self.root / "update" / "v2" / "windows.json"
        self.tool("manifest", "--files", self.source / "files", "--base-url", self.base_url + "/files",
                  "--prereqs", self.source / "prereqs.json", "--app-version", APP_VERSION, "--out", manifest)
        shutil.copy2(self.keys / "sign.pub", self.root / "api" / "signkey")
        self.manifest = json.loads(manifest.read_text())

    def file_path(self, relative: str) -> Path:
        return self.source / "files" / Path(*relative.split("\\"))

    def republish(self, relative: str, content: bytes = None, stamp: int = None):
        path = self.file_path(relative)
        if content is not None:
            path.write_bytes(content)
        stamp = stamp or int(time.time())
        os.utime(path, (stamp, stamp))
        self.publish()

    def corrupt(self, relative: str):
        """A new version is announced, but the served bytes are not the ones digested."""
        self.republish(relative, self.file_path(relative).read_bytes() + b"v2\n")
        served = self.root / "files" / Path(*relative.split("\\"))
        served.write_bytes(served.read_bytes() + b"tampered\n")

    def token(self, issued_at=None):
        args = ["token", "--key", self.keys / "sign.key"]
        if issued_at is not None:
            args += ["--issued-at", str(issued_at)]
        return self.tool(*args).strip()
