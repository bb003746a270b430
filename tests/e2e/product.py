"""The demo product published for the suite and for `make demo`: the stand-ins,
the setup itself and a few data files, published with valdrix-release into the
folder the local server serves:
    <root>/update/v2/windows.json   <root>/files/<path>   <root>/files/prereqs/<file>
    <root>/api/signkey
A keyed product (the setup built with the committed test keys, tests/keys)
also publishes <root>/update/v2/windows.json.sig, signed with the test manifest
key, signs tokens with the test token key, and serves no /api/signkey."""
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
TEST_KEYS = Path(__file__).resolve().parent.parent / "keys"


class Product:
    def __init__(self, work: Path, host_build: Path, win_build: Path, base_url: str, extra_bytes: int = 0,
                 keyed: bool = False):
        self.work = work
        self.release = host_build / "bin" / "valdrix-release"
        self.win_build = win_build
        self.base_url = base_url.rstrip("/")
        self.extra_bytes = extra_bytes
        self.source = work / "product"     # what the vendor builds
        self.root = work / "www"           # what the server serves
        self.keys = work / "keys"
        self.keyed = keyed
        self.statement = {}  # "serial", "expires" of the statement (valdrix-release's defaults otherwise)

    def setup_exe(self) -> Path:
        """The setup this product is for: the keyed one carries the test keys."""
        return self.win_build / "bin" / ("keyed" if self.keyed else "") / "Valdrix.Setup.exe"

    def tool(self, *args):
        result = subprocess.run([str(self.release)] + [str(a) for a in args], capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"valdrix-release {args[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def build(self):
        """A fresh product folder with stable version stamps."""
        self.statement = {}
        shutil.rmtree(self.source, ignore_errors=True)
        files = self.source / "files"
        files.mkdir(parents=True)
        for name in STANDINS:
            shutil.copy2(self.win_build / "standins" / name, files / name)
        shutil.copy2(self.setup_exe(), files / "Valdrix.Setup.exe")
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
        signing = []
        if self.keyed:
            signing = ["--key", TEST_KEYS / "manifest.key"]
            for option, value in self.statement.items():
                signing += [f"--{option}", value]
        self.tool("manifest", "--files", self.source / "files", "--base-url", self.base_url + "/files",
                  "--prereqs", self.source / "prereqs.json", "--app-version", APP_VERSION, "--out", manifest,
                  *signing)
        if not self.keyed:
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

    def sign(self, **statement):
        """Publishes again with a statement of this serial or expiry."""
        self.statement = {k: str(v) for k, v in statement.items()}
        self.publish()

    def tamper_manifest(self):
        """One byte of the served manifest changes after signing; it stays valid JSON."""
        manifest = self.root / "update" / "v2" / "windows.json"
        text = manifest.read_text()
        manifest.write_text(text.replace(f'"{APP_VERSION}"', f'"{APP_VERSION[:-1]}9"', 1))

    def corrupt(self, relative: str):
        """A new version is announced, but the served bytes are not the ones digested."""
        self.republish(relative, self.file_path(relative).read_bytes() + b"v2\n")
        served = self.root / "files" / Path(*relative.split("\\"))
        served.write_bytes(served.read_bytes() + b"tampered\n")

    def token(self, issued_at=None):
        args = ["token", "--key", TEST_KEYS / "token.key" if self.keyed else self.keys / "sign.key"]
        if issued_at is not None:
            args += ["--issued-at", str(issued_at)]
        return self.tool(*args).strip()
