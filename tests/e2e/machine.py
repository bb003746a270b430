"""The Wine prefix as a machine: run programs in it, set up starting states and
read back everything the setup can change (files, registry, service, tasks,
shortcuts, protocol handler, uninstall entry, processes, log lines)."""
import hashlib
import json
import os
import re
import shutil
import struct
import tempfile
import subprocess
import time
import xml.etree.ElementTree as ET
from pathlib import Path

INSTALL = r"C:\Program Files\Valdrix" + "\\"
LEGACY = r"C:\Program Files\Tandrel Morvex" + "\\"
PRODUCT_KEY = r"HKLM\Software\Valdrix"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Valdrix"
PROTOCOL_KEY = r"HKLM\Software\Classes\valdrix"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\{}"
PRODUCT_PROCESSES = ("Valdrix.Desktop.exe", "Valdrix.Desktop.Scan.exe", "Valdrix.Desktop.Service.exe",
                     "Valdrix.Setup.exe", "__temp_Valdrix.Setup.exe", "Morvex.Setup.exe")


def read_link(path: Path):
    """Target, arguments and working folder of a shell link (.lnk), or None
    when there is no link: the header, the item list (skipped), the link
    information's local path, then the counted strings."""
    if not path.exists():
        return None
    data = path.read_bytes()
    u16 = lambda at: struct.unpack_from("<H", data, at)[0]
    u32 = lambda at: struct.unpack_from("<I", data, at)[0]
    if u32(0) != 0x4C:
        raise RuntimeError(f"{path} is not a shell link")
    flags, at, target = u32(20), 0x4C, ""
    if flags & 0x1:  # HasLinkTargetIDList
        at += 2 + u16(at)
    if flags & 0x2:  # HasLinkInfo
        info, header = at, u32(at + 4)
        cstring = lambda start: data[start:data.index(b"\0", start)].decode("latin-1")
        wstring = lambda start: data[start:].decode("utf-16-le").split("\0", 1)[0]
        if u32(info + 8) & 0x1:  # VolumeIDAndLocalBasePath
            if header >= 0x24:
                target = wstring(info + u32(info + 28)) + wstring(info + u32(info + 32))
            else:
                target = cstring(info + u32(info + 16)) + cstring(info + u32(info + 24))
        at += u32(at)
    strings = {}
    for bit, name in ((0x4, "name"), (0x8, "relative_path"), (0x10, "working_directory"), (0x20, "arguments")):
        if flags & bit:
            count = u16(at)
            size = count * 2 if flags & 0x80 else count
            strings[name] = data[at + 2:at + 2 + size].decode("utf-16-le" if flags & 0x80 else "latin-1")
            at += 2 + size
    return {"target": target, "arguments": strings.get("arguments", ""),
            "working_directory": strings.get("working_directory", "")}


def wine_environment(root: Path, env):
    """env as scripts/wine-env leaves it for a Wine run (its locale, above all)."""
    listing = subprocess.run([str(root / "scripts" / "wine-env"), "env", "-0"], env=env, check=True,
                             stdout=subprocess.PIPE).stdout
    return dict(os.fsdecode(item).split("=", 1) for item in listing.split(b"\0") if b"=" in item)


class Machine:
    def __init__(self, root: Path, prefix: Path, env=None, build: Path = None):
        self.root = root
        self.prefix = prefix
        self.probe_exe = str(Path(build or root / "build" / "win64").resolve() / "bin" / "valdrix_machine_probe.exe")
        # VALDRIX_CALLER_ONLY: a variable of the caller's environment alone,
        # which the setup must not hand on to its children.
        self.env = wine_environment(root, dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
                                               VALDRIX_CALLER_ONLY="caller"))
        if env:
            self.env.update(env)
        self.wine_run = root / "scripts" / "wine-run"

    # --- paths -------------------------------------------------------------
    def host_path(self, windows_path: str) -> Path:
        drive, rest = windows_path[0].lower(), windows_path[3:]
        return self.prefix / f"drive_{drive}" / Path(*[p for p in rest.split("\\") if p])

    @property
    def install_dir(self) -> Path:
        return self.host_path(INSTALL)

    @property
    def standins_dir(self) -> Path:
        return self.host_path("C:\\valdrix-standins\\")

    @property
    def downloads(self) -> str:
        """The Windows user's downloads folder (a real folder of the prefix)."""
        users = [d.name for d in sorted((self.prefix / "drive_c" / "users").iterdir())
                 if d.name != "Public" and d.is_dir() and not d.is_symlink()]
        return f"C:\\users\\{users[0]}\\Downloads\\"

    @property
    def downloads_dir(self) -> Path:
        return self.host_path(self.downloads)

    def planted_loads(self):
        """(DLL name, program, module that asked, "delay" or "load") for each
        load of a planted DLL, in order (tests/fixtures/planted_dll.cpp)."""
        record = self.downloads_dir / "planted-loads.txt"
        lines = record.read_text(errors="replace").splitlines() if record.exists() else []
        base = lambda path: path.rsplit("\\", 1)[-1]
        return [(base(dll).lower().removesuffix(".dll"), base(exe), requester, how)
                for dll, exe, requester, how in (line.split("|") for line in lines)]

    def desktop_link(self) -> Path:
        return self.host_path(r"C:\users\Public\Desktop\Valdrix.lnk")

    def programs_link(self) -> Path:
        return self.host_path(r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Valdrix.lnk")

    def setup_log(self):
        found = sorted(self.prefix.glob("drive_c/users/*/AppData/Local/Temp/Valdrix.Setup.log")) + \
            sorted(self.prefix.glob("drive_c/users/*/Temp/Valdrix.Setup.log"))
        return found[0] if found else None

    def report_outbox(self):
        """Envelopes the setup's reporting client keeps on disk until the
        ingest endpoint accepts them."""
        return sorted(self.prefix.glob("drive_c/users/*/AppData/Local/Valdrix/.sentry/*.envelope"))

    def rate_limits(self):
        """The reporting client's remembered limits: {category: Unix second at which it ends}."""
        records = sorted(self.prefix.glob("drive_c/users/*/AppData/Local/Valdrix/.sentry/rate-limits.json"))
        return json.loads(records[0].read_text()) if records else {}

    def temp_files(self):
        """Everything in the user's temporary folder, which other programs can write, but the setup log."""
        found = []
        for folder in sorted(self.prefix.glob("drive_c/users/*/Temp")) + \
                sorted(self.prefix.glob("drive_c/users/*/AppData/Local/Temp")):
            found += [str(p.relative_to(folder)) for p in sorted(folder.rglob("*"))
                      if p.name != "Valdrix.Setup.log"]
        return found

    def outbox_link(self):
        """Where ("link_outbox",) puts a link made on the host: the reporting folder's "Valdrix"."""
        return sorted(self.prefix.glob("drive_c/users/*/AppData/Local"))[0] / "Valdrix"

    def link_outbox(self):
        target = self.prefix / "drive_c" / "valdrix-link-target"
        shutil.rmtree(target, ignore_errors=True)
        shutil.rmtree(self.outbox_link(), ignore_errors=True)
        target.mkdir()
        self.outbox_link().symlink_to(target, target_is_directory=True)

    def planted_target(self):
        return self.prefix / "drive_c" / "valdrix-planted-target.txt"

    def plant_report_link(self, name):
        """A link at that name in the reporting folder, as a program of the user
        could plant it, to a file that does not exist (a start-up sweep of the
        folder passes it by) and must not be made."""
        folder = self.outbox_link() / ".sentry"
        folder.mkdir(parents=True, exist_ok=True)
        self.planted_target().unlink(missing_ok=True)
        (folder / name).unlink(missing_ok=True)
        (folder / name).symlink_to(self.planted_target())

    def end_rate_limits(self):
        """Moves every limit of the reporting client's record into the past, as
        if the time the service asked for had gone by."""
        records = sorted(self.prefix.glob("drive_c/users/*/AppData/Local/Valdrix/.sentry/rate-limits.json"))
        if not records:
            raise RuntimeError("no rate-limit record in the reporting folder")
        for record in records:
            limits = json.loads(record.read_text())
            record.write_text(json.dumps({category: int(time.time()) - 60 for category in limits}))

    # --- running -----------------------------------------------------------
    def run(self, args, timeout=600, check=False, env=None):
        merged = dict(self.env, **(env or {}))
        # Into files, not pipes: what the program starts (a client run through
        # the in-process Task Scheduler stand-in) may outlive it with its streams.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            ended = subprocess.run([str(self.wine_run)] + [str(a) for a in args], env=merged, timeout=timeout,
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(ended.args, ended.returncode, out.read(), err.read())
        if check and result.returncode != 0:
            raise RuntimeError(f"{args} exited with {result.returncode}: {result.stderr.decode(errors='replace')}")
        return result

    # --- registry and services -----------------------------------------------
    # Read and reset through one program (tests/fixtures/machine_probe.cpp):
    # every Wine process costs about half a CPU second.
    def probe(self, *steps):
        """Runs the probe's steps [(verb, operand), ...] in one process; its
        {"keys": {...}, "services": {...}}."""
        for attempt in (1, 2):  # Wine exits 1 now and then, when a program loses its server
            result = self.run([self.probe_exe] + [part for step in steps for part in step])
            if result.returncode in (0, 3) and result.stdout.startswith(b"{"):
                if result.returncode == 3:
                    print(f"note: the machine probe did not see {steps} end in time", flush=True)
                return json.loads(result.stdout)
            why = f"the machine probe exited with {result.returncode}: {result.stderr.decode(errors='replace')}"
            if attempt == 2:
                raise RuntimeError(why)
            print(f"note: {why}; once more", flush=True)

    def reg_values(self, key: str):
        """{value: [type, data]} (as reg.exe's query prints them), or None when the key is missing."""
        tree = self.probe(("key", key))["keys"][key]
        return None if tree is None else tree.get("", {})

    def reg_add(self, key, name, value, kind="REG_SZ"):
        self.run(["reg", "add", key, "/v", name, "/t", kind, "/d", str(value), "/f"], check=True)

    def reg_delete(self, key, name=None):
        self.run(["reg", "delete", key] + (["/v", name] if name else []) + ["/f"])

    @staticmethod
    def service_from(probed, name):
        tree = probed["keys"][SERVICE_KEY.format(name)]
        if tree is None:
            return {"exists": False}
        config = tree.get("", {})
        value = lambda n: config.get(n, (None, None))[1]
        number = lambda n: int(value(n), 0) if value(n) else None
        state = probed["services"][name]
        return {"exists": True, "image": value("ImagePath"), "start": number("Start"), "type": number("Type"),
                "error_control": number("ErrorControl"), "display_name": value("DisplayName"),
                "failure_actions": value("FailureActions") is not None, "running": state == 4, "state": state}

    def stop_service(self, name):
        """Stops the service and waits (up to 10 s) until it has."""
        self.probe(("stop", name))

    def create_service(self, name, image):
        self.run(["sc", "create", name, "binPath=", image, "start=", "auto"], check=True)

    @staticmethod
    def wait_for(condition, seconds):
        deadline = time.monotonic() + seconds
        while not condition():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    # --- tasks (as the Task Scheduler shows them) --------------------------------
    # The Task Scheduler stand-in (tools/prepare-wine-prefix) keeps each task's
    # XML document as C:\valdrix-tasks\<name>.xml, next to its own record
    # <name>.json; Wine's own keeps the XML in system32\tasks.
    def task_file(self, name):
        for path in (self.host_path("C:\\valdrix-tasks\\" + name + ".xml"),
                     self.host_path("C:\\windows\\system32\\tasks\\" + name)):
            if path.exists():
                return path
        return None

    def task(self, name):
        path = self.task_file(name)
        if path is None:
            return {"exists": False}
        raw = path.read_bytes()
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8-sig", "replace")
        text = re.sub(r"<\?xml[^>]*\?>", "", text)
        text = re.sub(r'\sxmlns="[^"]+"', "", text, count=1)
        root = ET.fromstring(text.strip())
        get = lambda p: (root.findtext(p) or "").strip()
        record_path = self.host_path("C:\\valdrix-tasks\\" + name + ".json")
        record = json.loads(record_path.read_text("utf-8")) if record_path.exists() else {}
        return {"exists": True, "enabled": get("Settings/Enabled").lower() != "false",
                "logon_type": get("Principals/Principal/LogonType"), "priority": get("Settings/Priority"),
                "time_limit": get("Settings/ExecutionTimeLimit"), "never_runs": record.get("neverRuns"),
                "command": get("Actions/Exec/Command"), "arguments": get("Actions/Exec/Arguments"),
                "working_directory": get("Actions/Exec/WorkingDirectory"),
                "triggers": [t.tag for t in root.iterfind("Triggers/*")],
                "account": get("Principals/Principal/GroupId") or get("Principals/Principal/UserId"),
                "run_level": get("Principals/Principal/RunLevel")}

    def set_task_enabled(self, name, enabled):
        """As the Task Scheduler stand-in records it: its record and the XML."""
        record_path = self.host_path("C:\\valdrix-tasks\\" + name + ".json")
        record = json.loads(record_path.read_text("utf-8"))
        record["enabled"] = enabled
        record_path.write_text(json.dumps(record))
        path = self.task_file(name)
        path.write_text(re.sub(r"<Enabled>\w+</Enabled>", f"<Enabled>{str(enabled).lower()}</Enabled>",
                               path.read_text("utf-8")), "utf-8")

    def task_enabled(self, name):
        """Enabled as the Task Scheduler shows it (the stand-in writes the XML
        after its record); None while there is no whole document."""
        try:
            task = self.task(name)
        except (OSError, ET.ParseError):
            return None
        return task["enabled"] if task["exists"] else None

    def task_runs(self):
        path = self.host_path("C:\\valdrix-tasks\\runs.log")
        return path.read_text("utf-8").splitlines() if path.exists() else []

    def delete_task(self, name):
        for suffix in (".json", ".xml"):
            path = self.host_path("C:\\valdrix-tasks\\" + name + suffix)
            if path.exists():
                path.unlink()

    # --- user sessions (the session-enumeration stand-in's list) ---------------
    @property
    def sessions_file(self) -> Path:
        return self.host_path(r"C:\valdrix-fixtures\sessions.txt")

    def set_sessions(self, lines):
        self.sessions_file.parent.mkdir(parents=True, exist_ok=True)
        self.sessions_file.write_text("".join(line + "\n" for line in lines))

    def fixture_errors(self):
        """What the stand-ins reported as wrong (a sessions.txt line, an action that would not start)."""
        path = self.host_path(r"C:\valdrix-fixtures\errors.log")
        return path.read_text("utf-8", "replace").splitlines() if path.exists() else []

    # --- processes -----------------------------------------------------------
    def processes(self):
        """Executable names of the product's processes running in this prefix."""
        names = []
        for proc in Path("/proc").iterdir():
            if not proc.name.isdigit():
                continue
            try:
                environ = (proc / "environ").read_bytes().split(b"\0")
                if f"WINEPREFIX={self.prefix}".encode() not in environ:
                    continue
                cmdline = (proc / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                continue
            for name in PRODUCT_PROCESSES:
                if re.search(r"(^|[\\/ ])" + re.escape(name) + r"(\s|$)", cmdline):
                    names.append(name)
        return sorted(names)

    def start_client(self):
        """Starts the installed client as a user would, without waiting, and
        returns once it has recorded its start."""
        started = len(self.client_starts())
        subprocess.Popen([str(self.wine_run), INSTALL + "Valdrix.Desktop.exe"], env=dict(self.env),
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not self.wait_for(lambda: len(self.client_starts()) > started, 30):
            raise RuntimeError("the client did not start")

    def client_starts(self):
        """The stand-in client's own record of each start: "direct", or "task
        <session>" when the Task Scheduler started it for a session with the
        logon task's argument in the install folder (else what it got)."""
        starts = []
        for e in self.standin_events("Valdrix.Desktop.exe"):
            if e["event"] != "start" or "--uninstall" in e["cmdline"]:
                continue
            if e.get("task_session") is None:
                starts.append("direct")
                continue
            as_task = e["cmdline"].endswith(" --startup") and e["directory"].rstrip("\\") == INSTALL.rstrip("\\")
            starts.append(f"task {e['task_session']}" + ("" if as_task else f" ({e['cmdline']} in {e['directory']})"))
        return starts

    def kill_processes(self, name, sig=9):
        """Kills (or sends sig to) every process of this prefix whose command line names name."""
        self.kill_matching(lambda cmdline: name in cmdline, sig)

    def kill_product_processes(self):
        self.kill_matching(lambda cmdline: any(n in cmdline for n in PRODUCT_PROCESSES))

    def kill_matching(self, matches, sig=9):
        for proc in Path("/proc").iterdir():
            if not proc.name.isdigit():
                continue
            try:
                environ = (proc / "environ").read_bytes().split(b"\0")
                cmdline = (proc / "cmdline").read_bytes().decode("utf-8", "replace")
            except OSError:
                continue
            if f"WINEPREFIX={self.prefix}".encode() in environ and matches(cmdline):
                try:
                    os.kill(int(proc.name), sig)
                except OSError:
                    pass

    # --- files ---------------------------------------------------------------
    def files(self):
        """{relative path with backslashes: {"sha256", "mtime"}} of the install folder."""
        out = {}
        if not self.install_dir.exists():
            return None
        for path in sorted(self.install_dir.rglob("*")):
            if path.is_file():
                rel = str(path.relative_to(self.install_dir)).replace("/", "\\")
                out[rel] = {"sha256": hashlib.sha256(path.read_bytes()).hexdigest(),
                            "mtime": int(path.stat().st_mtime), "size": path.stat().st_size}
        return out

    def standin_events(self, name):
        path = self.standins_dir / (name + ".log")
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text("utf-8").splitlines() if line.strip()]

    def set_control(self, name, keywords):
        self.standins_dir.mkdir(parents=True, exist_ok=True)
        (self.standins_dir / (name + ".control")).write_text("\n".join(keywords) + "\n")

    # --- a small drive, to fill up ---------------------------------------------
    def move_install_to_small_drive(self, mount_point: Path, free_kib: int):
        """Puts the install folder on a tmpfs with free_kib left after its
        files, through a symbolic link that Wine follows. Needs root or a mount
        namespace of the run's own (scripts/isolate, as make test runs it)."""
        used = sum(path.stat().st_size for path in self.install_dir.rglob("*") if path.is_file())
        size_kib = used // 1024 + len(list(self.install_dir.rglob("*"))) * 4 + free_kib
        mount_point.mkdir(parents=True, exist_ok=True)
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_kib}k", "tmpfs", str(mount_point)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            why = os.environ.get("VALDRIX_NO_NAMESPACES") or "it needs root or scripts/isolate"
            raise RuntimeError(f"cannot mount a small drive, {why}: {result.stderr.strip()}")
        self.small_drive = mount_point
        for entry in self.install_dir.iterdir():
            shutil.move(str(entry), str(mount_point / entry.name))
        self.install_dir.rmdir()
        self.install_dir.symlink_to(mount_point)

    def resize_small_drive(self, mount_point: Path, more_kib: int):
        size_kib = os.statvfs(mount_point).f_blocks * os.statvfs(mount_point).f_frsize // 1024 + more_kib
        subprocess.run(["mount", "-o", f"remount,size={size_kib}k", str(mount_point)], check=True)

    def release_small_drive(self):
        if self.install_dir.is_symlink():
            self.install_dir.unlink()
        mount_point = getattr(self, "small_drive", None)
        if mount_point:
            subprocess.run(["umount", "-l", str(mount_point)], capture_output=True)
            self.small_drive = None

    # --- a clean machine -----------------------------------------------------
    def reset(self):
        """Removes every trace of the product and of the legacy product."""
        # Deleted only once stopped and once its processes are gone, and waited
        # for until the service manager has really forgotten it: a service only
        # marked for deletion makes the next CreateService fail with
        # ERROR_SERVICE_MARKED_FOR_DELETE.
        self.probe(("stop", "Valdrix"), ("stop", "Morvex"))
        self.kill_product_processes()
        self.probe(("forget", "Valdrix"), ("forget", "Morvex"),
                   *[("delete", key) for key in (PRODUCT_KEY, UNINSTALL_KEY, PROTOCOL_KEY)])
        for task in ("ValdrixLogon", "ValdrixVerify", "MorvexLogon"):
            self.delete_task(task)
        self.kill_processes("valdrix_hold_file")
        self.release_small_drive()
        for path in (self.sessions_file, self.host_path(r"C:\valdrix-fixtures\errors.log"),
                     self.host_path(r"C:\valdrix-tasks\runs.log")):
            if path.exists():
                path.unlink()
        for folder in (self.install_dir, self.host_path(LEGACY), self.standins_dir):
            shutil.rmtree(folder, ignore_errors=True)
        for link in (self.desktop_link(), self.programs_link()):
            if link.exists():
                link.unlink()
        log = self.setup_log()
        if log:
            log.unlink()
        if self.outbox_link().is_symlink():
            self.outbox_link().unlink()
        # A report left from an earlier run would be delivered by this one.
        for folder in self.prefix.glob("drive_c/users/*/AppData/Local/Valdrix/.sentry"):
            shutil.rmtree(folder, ignore_errors=True)

    def snapshot_log(self):
        log = self.setup_log()
        return log.read_text("utf-8", "replace").splitlines() if log else []

    def snapshot(self):
        """Everything the suite asserts on, as plain data."""
        files = self.files()
        app_version = self.install_dir / "app_version.txt"
        probed = self.probe(*[("key", key) for key in (PRODUCT_KEY, UNINSTALL_KEY, PROTOCOL_KEY)],
                            *[step for name in ("Valdrix", "Morvex")
                              for step in (("key", SERVICE_KEY.format(name)), ("service", name))])
        product, uninstall, protocol = (probed["keys"][key] for key in (PRODUCT_KEY, UNINSTALL_KEY, PROTOCOL_KEY))
        product, uninstall = (None if tree is None else tree.get("", {}) for tree in (product, uninstall))
        log = self.setup_log()
        return {
            "files": files,
            "app_version": app_version.read_bytes().decode("latin-1") if app_version.exists() else None,
            "registry": None if product is None else {k: v[1] for k, v in product.items()},
            "uninstall_entry": None if uninstall is None else {k: v[1] for k, v in uninstall.items()},
            "protocol": None if protocol is None else {
                "url_protocol": "URL Protocol" in protocol.get("", {}),
                "command": protocol.get("shell\\open\\command", {}).get("", (None, None))[1]},
            "service": self.service_from(probed, "Valdrix"),
            "legacy_service": self.service_from(probed, "Morvex"),
            "tasks": {name: self.task(name) for name in ("ValdrixLogon", "ValdrixVerify", "MorvexLogon")},
            "shortcuts": {"desktop": self.desktop_link().exists(), "programs": self.programs_link().exists(),
                          "desktop_link": read_link(self.desktop_link()),
                          "programs_link": read_link(self.programs_link())},
            "legacy_folder": self.host_path(LEGACY).exists(),
            "processes": self.processes(),
            "log": log.read_text("utf-8", "replace").splitlines() if log else [],
            "temp_files": self.temp_files(),
        }
