#!/usr/bin/env python3
"""Steps through the end-to-end scenarios: the real Valdrix.Setup.exe under
Wine against the local update server, asserting the machine state after each
run. Every scenario runs; none is skipped."""
import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))

from machine import Machine, INSTALL, LEGACY, PRODUCT_KEY  # noqa: E402
from product import Product, APP_VERSION, LEGACY as LEGACY_EXE  # noqa: E402
from scenarios import SCENARIOS, HARNESS_SCENARIOS, PLANTED_DLLS  # noqa: E402
from server import ForwardProxy, LocalServer, ca_certificate  # noqa: E402

SETUP_COPY = "C:\\valdrix-e2e\\Valdrix.Setup.exe"
ELSEWHERE = "C:\\valdrix-e2e\\elsewhere\\"
WINESERVER = "/usr/lib/wine/wineserver"
SERVICE_IMAGE = '"C:\\Program Files\\Valdrix\\Valdrix.Desktop.Service.exe"'


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout


def visible(pattern):
    return bool(xdotool("search", "--onlyvisible", "--name", pattern).split())


def wait_visible(pattern, seconds):
    return Machine.wait_for(lambda: visible(pattern), seconds)


class Failure(Exception):
    pass


def cpu_seconds(prefix):
    """CPU used so far by this runner, the programs it has waited for, and the
    processes of the prefix still running (its Wine server and services)."""
    ticks = os.sysconf("SC_CLK_TCK")
    total = sum(getattr(resource.getrusage(who), f) for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)
                for f in ("ru_utime", "ru_stime"))
    mine = f"WINEPREFIX={prefix}".encode()
    for proc in Path("/proc").iterdir():
        try:
            if proc.name.isdigit() and mine in (proc / "environ").read_bytes().split(b"\0"):
                fields = (proc / "stat").read_text().rsplit(")", 1)[1].split()
                total += (int(fields[11]) + int(fields[12])) / ticks
        except (OSError, IndexError, ValueError):
            pass
    return total


class Suite:
    def __init__(self, args):
        self.args = args
        self.work = Path(args.work).resolve()
        self.machine = Machine(ROOT, Path(args.prefix).resolve(), build=Path(args.build))
        self.product = Product(self.work, Path(args.host_build).resolve(), Path(args.build).resolve(),
                               "https://localhost:8443")
        self.server = None
        self.proxy = None
        self.run_env = {}  # what the setup's runs get beyond the machine's environment
        self.wine_loads = set()  # planted DLLs that Wine loads into any program

    # --- preparation -----------------------------------------------------------
    def prepare(self, need_product):
        prepare = ROOT / "tools" / "prepare-wine-prefix"
        if prepare.exists():
            subprocess.run([str(prepare), str(self.machine.prefix)] + ([str(ca_certificate())] if need_product else []),
                           check=True, env=dict(os.environ, BUILD=str(Path(self.args.build).resolve())))
        # The machine stays up between runs, as a real one does: a wineserver
        # with a timeout shuts the prefix's services down once no program runs,
        # and the next Wine call boots it again, starting every automatic
        # service (a stopped product service among them).
        subprocess.run([ROOT / "scripts" / "stop-wineserver"], env=self.machine.env)
        subprocess.run([WINESERVER, "-p"], env=self.machine.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if need_product:
            self.product.build()
            self.server = LocalServer(self.product.release, self.product.root, self.work / "requests.log")
            self.server.start()
        setup = self.machine.host_path(SETUP_COPY)
        setup.parent.mkdir(parents=True, exist_ok=True)
        built = Path(self.args.build) / "bin" / "Valdrix.Setup.exe"
        if built.exists():
            shutil.copy2(built, setup)

    def finish(self):
        self.stop_proxy()
        if self.server:
            self.server.stop()
        self.machine.kill_product_processes()
        self.machine.kill_processes("valdrix_hold_file")
        self.machine.release_small_drive()
        subprocess.run([ROOT / "scripts" / "stop-wineserver"], env=self.machine.env)

    # --- given ---------------------------------------------------------------
    def given(self, step):
        kind, *rest = step
        m = self.machine
        if kind == "install":
            result = m.run([SETUP_COPY, "/silent"])
            if result.returncode != 0 and any("(code 1359)" in line for line in m.snapshot_log()[-3:]):
                # Wine's service manager now and then answers a start with an
                # internal error (1359) when the machine is loaded; this is the
                # scenario's starting state, not what it checks, so once more.
                print("note: the preliminary install's service start met Wine's internal error 1359; "
                      "installing again", flush=True)
                result = m.run([SETUP_COPY, "/silent"])
            if result.returncode != 0:
                tail = "\n    ".join(m.snapshot_log()[-15:])
                raise Failure(f"preliminary install exited with {result.returncode}; setup log ends:\n    {tail}")
        elif kind == "stop_service":
            m.stop_service("Valdrix")
        elif kind == "disable_service":
            # Wine's "sc config" cannot change a start type; this fixture calls ChangeServiceConfigW.
            tool = Path(self.args.build).resolve() / "bin" / "valdrix_service_start_type.exe"
            m.run([str(tool), "Valdrix", "disabled"], check=True)
        elif kind == "disable_task":
            m.set_task_enabled(rest[0], False)
        elif kind == "kill":
            m.run(["taskkill", "/f", "/im", rest[0]])
        elif kind == "control":
            m.set_control(rest[0], rest[1])
        elif kind == "republish":
            self.product.republish(rest[0], self.product.file_path(rest[0]).read_bytes() + b"v2\n")
        elif kind == "republish_large":
            self.product.republish(rest[0], os.urandom(rest[1]))
        elif kind == "touch":
            self.product.republish(rest[0])
        elif kind == "corrupt":
            self.product.corrupt(rest[0])
        elif kind == "set_value":
            m.reg_add(PRODUCT_KEY, rest[0], rest[1])
        elif kind == "legacy":
            folder = m.host_path(LEGACY)
            folder.mkdir(parents=True, exist_ok=True)
            shutil.copy2(Path(self.args.build) / "standins" / LEGACY_EXE, folder / LEGACY_EXE)
            (folder / "Morvex.dll").write_bytes(b"legacy")
            m.create_service("Morvex", f'"{LEGACY}{LEGACY_EXE}"')
        elif kind == "server_down":
            self.server.stop()
        elif kind == "server_up":
            self.server.start()
        elif kind == "serve_fault":
            self.server.set_fault("/files/" + rest[0].replace("\\", "/"), rest[1])
        elif kind == "sign":
            self.product.sign(**rest[0])
        elif kind == "tamper_manifest":
            self.product.tamper_manifest()
        elif kind == "serve_normally":
            self.server.clear_faults()
        elif kind == "ingest_answers":
            self.server.set_ingest_answer(rest[0], rest[1])
        elif kind == "ingest_normally":
            self.server.set_ingest_answer(None)
        elif kind == "link_outbox":
            m.link_outbox()
        elif kind == "plant_report_link":
            m.plant_report_link(step[1])
        elif kind == "end_rate_limits":
            m.end_rate_limits()
        elif kind == "hold":
            self.hold(INSTALL + rest[0])
        elif kind == "hold_service":
            self.hold("/service", "Valdrix")
        elif kind == "hold_mutex":
            self.hold("/mutex", "Global\\Valdrix.Setup", rest[0], seconds=rest[1] if len(rest) > 1 else 600)
        elif kind == "release":
            m.kill_processes("valdrix_hold_file")
        elif kind == "sessions":
            m.set_sessions(rest[0])
        elif kind == "start_client":
            m.start_client()
        elif kind == "run_elsewhere":
            self.run_elsewhere(rest[0])
        elif kind == "machine_proxy":
            self.proxy = ForwardProxy(m, self.work / "proxy.log")
            self.proxy.start()
        elif kind == "plant_dlls":
            self.plant_dlls()
        elif kind == "small_drive":
            m.move_install_to_small_drive(self.work / "small-drive", rest[0])
        elif kind == "grow_drive":
            m.resize_small_drive(self.work / "small-drive", rest[0])
        else:
            raise Failure(f"unknown given step {kind}")

    def stop_proxy(self):
        if self.proxy:
            self.proxy.stop()
            self.proxy = None

    def plant_dlls(self):
        """The setup in the user's downloads folder beside the recording DLL under
        the names of system DLLs that are not KnownDLLs, with Wine told to load a
        native DLL first for those names, as Windows does. A program importing
        only the setup's KnownDLLs runs first from there: what it loads is Wine's
        own doing (its user32 imports version.dll) and is subtracted."""
        folder = self.machine.downloads_dir
        if folder.is_symlink():
            raise Failure(f"{folder} leads out of the prefix (scripts/prefix-keep-home makes it a folder)")
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        bin_dir = Path(self.args.build) / "bin"
        for name in ("Valdrix.Setup.exe", "valdrix_knowndll_program.exe"):
            shutil.copy2(bin_dir / name, folder / name)
        for name in PLANTED_DLLS:
            shutil.copy2(bin_dir / "valdrix_planted.dll", folder / f"{name}.dll")
        self.run_env = {"WINEDLLOVERRIDES": ",".join(PLANTED_DLLS) + "=n,b"}
        if self.machine.run([self.machine.downloads + "valdrix_knowndll_program.exe"],
                            env=self.run_env).returncode != 0:
            raise Failure("the KnownDLL program failed beside the planted DLLs")
        self.wine_loads = {load[0] for load in self.machine.planted_loads()}
        print(f"note: planted DLLs that Wine loads into a program of KnownDLL imports, subtracted: "
              f"{', '.join(sorted(self.wine_loads)) or 'none'}", flush=True)

    def setup_loads(self, loads):
        """The planted DLLs a run loaded beyond Wine's own: those the program of
        KnownDLL imports loads, and the delay imports of Wine's DLLs in System32,
        which Wine resolves from the program's folder first (Windows' own DLLs
        are built to take them from System32 only), are printed and left out."""
        wine = [load for load in loads if load[3] == "delay" and load[2].lower().startswith("c:\\windows\\system32\\")]
        if wine:
            listed = sorted({f"{name} (for {requester})" for name, _, requester, _ in wine})
            print(f"note: delay imports of Wine's own DLLs found beside the setup, subtracted: {', '.join(listed)}",
                  flush=True)
        return sorted({f"{name} into {exe} (for {requester})" for name, exe, requester, how in loads
                       if name not in self.wine_loads and (name, exe, requester, how) not in wine})

    def hold(self, *what, seconds=600):
        tool = Path(self.args.build).resolve() / "bin" / "valdrix_hold_file.exe"
        holder = subprocess.Popen([str(self.machine.wine_run), str(tool), *what, str(seconds)],
                                  env=dict(self.machine.env),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if holder.stdout.readline().strip() != b"holding":
            raise Failure(f"could not hold {' '.join(what)}")

    def run_elsewhere(self, name):
        """An idle program under the file name, from a folder outside the install folder."""
        copy, m = self.machine.host_path(ELSEWHERE + name), self.machine
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(Path(self.args.build) / "bin" / "valdrix_child.exe", copy)
        subprocess.Popen([str(m.wine_run), ELSEWHERE + name], env=dict(m.env, VALDRIX_CHILD_SLEEP="1"),
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not m.wait_for(lambda: name in m.processes(), 30):
            raise Failure(f"{ELSEWHERE + name} did not start")

    # --- run -------------------------------------------------------------------
    def command(self, scenario):
        args = []
        for arg in scenario.get("run", []):
            arg = arg.replace("$expired_token", self.product.token(int(time.time()) - 400)) \
                if "$expired_token" in arg else arg
            arg = arg.replace("$token", self.product.token()) if "$token" in arg else arg
            args.append(arg)
        exe = INSTALL + "Valdrix.Setup.exe" if scenario.get("from_install_folder") else \
            self.machine.downloads + "Valdrix.Setup.exe" if scenario.get("from_downloads") else SETUP_COPY
        return [exe] + args

    def run_interactive(self, scenario, command):
        """Starts the setup with its window and drives it step by step: waits for
        the window or a box, takes screenshots, answers boxes and closes the
        window through the windows' own messages (valdrix_window_tool)."""
        if not os.environ.get("DISPLAY") and any(not step[0].startswith("kill_setup_")
                                                 for step in scenario["interactive"]):
            raise Failure("interactive scenario needs DISPLAY (run under Xvfb)")
        earlier_log_lines = len(self.machine.snapshot_log())
        process = subprocess.Popen([str(self.machine.wine_run)] + command, env=dict(self.machine.env, **self.run_env),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tool = str(Path(self.args.build).resolve() / "bin" / "valdrix_window_tool.exe")
        try:
            for action, *params in scenario["interactive"]:
                if action == "wait_window":
                    if not wait_visible(f"^{params[0]}$", params[1]):
                        raise Failure(f"no window named {params[0]!r} appeared")
                elif action == "screenshot":
                    self.screenshot(params[0])
                elif action == "answer":
                    if not wait_visible("^Valdrix$", params[1]):
                        raise Failure(f"no box appeared to answer with {params[0]}")
                    if len(params) > 2:
                        time.sleep(0.7)  # let it paint for the screenshot
                        self.screenshot(params[2])
                    if self.machine.run([tool, "answer", "Valdrix", params[0], params[1]]).returncode != 0:
                        raise Failure(f"could not answer the box with {params[0]}")
                    # The X server may show the closed box a moment longer; the
                    # next step must not take it for a new one.
                    self.machine.wait_for(lambda: not visible("^Valdrix$"), 5)
                elif action == "close":
                    if self.machine.run([tool, "close", "Valdrix Setup", params[0]]).returncode != 0:
                        raise Failure("the progress window did not close")
                elif action in ("wait_log", "kill_setup_at_log"):
                    logged = lambda: any(params[0] in line for line in self.machine.snapshot_log()[earlier_log_lines:])
                    if not self.machine.wait_for(logged, params[1]):
                        raise Failure(f"the log never showed {params[0]!r}")
                    if action == "wait_log":
                        continue
                    return self.kill_setup(process)
                elif action == "kill_setup_when_task_disabled":
                    if not self.machine.wait_for(lambda: self.machine.task_enabled(params[0]) is False, params[1]):
                        raise Failure(f"the task {params[0]} was never disabled")
                    return self.kill_setup(process)
                elif action == "wait_exit":
                    return process.wait(params[0])
            return process.wait(600)
        except subprocess.TimeoutExpired:
            raise Failure("the setup with its window did not end")
        finally:
            if process.poll() is None:
                process.kill()

    def kill_setup(self, process):
        """Kills the setup and everything it started, at once: frozen first, so
        that it starts nothing more, then its children (from inside Wine, which
        alone knows who started whom), then the setup itself."""
        self.machine.kill_processes("Valdrix.Setup.exe", signal.SIGSTOP)
        tool = Path(self.args.build).resolve() / "bin" / "valdrix_kill_children.exe"
        self.machine.run([str(tool), "Valdrix.Setup.exe"], check=True)
        self.machine.kill_processes("Valdrix.Setup.exe")
        return process.wait(60)

    def screenshot(self, name):
        """The progress window and any box over it, cropped to their union."""
        folder = Path(os.environ.get("VALDRIX_SCREENSHOTS", self.work / "screenshots"))
        folder.mkdir(parents=True, exist_ok=True)
        boxes = []
        for pattern in ("^Valdrix Setup$", "^Valdrix$"):
            for window in xdotool("search", "--onlyvisible", "--name", pattern).split():
                geometry = dict(line.split("=", 1) for line in
                                xdotool("getwindowgeometry", "--shell", window).splitlines() if "=" in line)
                if {"X", "Y", "WIDTH", "HEIGHT"} <= geometry.keys():
                    x, y = int(geometry["X"]), int(geometry["Y"])
                    boxes.append((x, y, x + int(geometry["WIDTH"]), y + int(geometry["HEIGHT"])))
        if not boxes:
            raise Failure(f"nothing on screen for the screenshot {name}")
        x0, y0 = min(b[0] for b in boxes), min(b[1] for b in boxes)
        x1, y1 = max(b[2] for b in boxes), max(b[3] for b in boxes)
        subprocess.run(["import", "-window", "root", "-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage",
                        str(folder / f"{name}.png")], check=True, capture_output=True)

    # --- expect ----------------------------------------------------------------
    def check(self, scenario, before, after, exit_code, requests, standin_offsets):
        expect = scenario["expect"]
        problems = []

        def want(cond, text):
            if not cond:
                problems.append(text)

        if "exit" in expect:
            want(exit_code == expect["exit"], f"exit code {exit_code}, expected {expect['exit']}")
        product = expect.get("product")
        if product == "installed":
            problems += self.installed_problems(after)
        elif product == "absent":
            for key in ("files", "registry", "uninstall_entry", "protocol"):
                want(after[key] is None, f"{key} still present: {after[key]!r}")
            want(not after["service"]["exists"], "service still installed")
            for task in ("ValdrixLogon", "ValdrixVerify"):
                want(not after["tasks"][task]["exists"], f"task {task} still registered")
            want(not after["shortcuts"]["desktop"] and not after["shortcuts"]["programs"], "shortcuts remain")
        elif product == "unchanged":
            # A failed run may leave staged ".tmp" files; the next run replaces them.
            placed = lambda files: files and {k: v for k, v in files.items() if not k.endswith(".tmp")}
            want(placed(before["files"]) == placed(after["files"]),
                 f"files changed: {before['files']!r} -> {after['files']!r}")
            for key in ("app_version", "registry", "uninstall_entry", "protocol", "tasks", "shortcuts"):
                want(before[key] == after[key], f"{key} changed: {before[key]!r} -> {after[key]!r}")
            want(before["service"].get("image") == after["service"].get("image") and
                 before["service"].get("start") == after["service"].get("start"), "service settings changed")
        flags = {"service_running": after["service"].get("running", False),
                 "service_enabled": after["service"].get("start") == 2,
                 "client_running": "Valdrix.Desktop.exe" in after["processes"],
                 # The Task Scheduler stand-in records RunEx instead of starting the client.
                 "client_started_by_task": len(self.machine.task_runs()) > standin_offsets["task_runs"],
                 "desktop_shortcut": after["shortcuts"]["desktop"],
                 "legacy_present": after["legacy_folder"] or after["legacy_service"]["exists"],
                 "verify_task_enabled": after["tasks"]["ValdrixVerify"].get("enabled", False),
                 "logon_task_enabled": after["tasks"]["ValdrixLogon"].get("enabled", False)}
        for key, value in flags.items():
            if key in expect:
                want(value == expect[key], f"{key} is {value}, expected {expect[key]}")
        if "proxied" in expect:
            tunnels, passed = self.proxy.passed()
            served = [f"{method} {path}" for method, path, _ in requests if method != "ENVELOPE"]
            want(tunnels and sorted(passed) == sorted(served),
                 f"through the proxy: {tunnels} {passed}; the server saw: {served}")
        if "task_runs" in expect:
            got = self.machine.task_runs()[standin_offsets["task_runs"]:]
            want(got == expect["task_runs"], f"task runs {got}, expected {expect['task_runs']}")
        if "client_starts" in expect:
            got = sorted(self.machine.client_starts()[standin_offsets["client_starts"]:])
            want(got == sorted(expect["client_starts"]), f"client starts {got}, expected {expect['client_starts']}")
        if "clients" in expect:
            got = after["processes"].count("Valdrix.Desktop.exe")
            want(got == expect["clients"], f"{got} client process(es), expected {expect['clients']}")
        if "planted_loads" in expect:
            got = self.setup_loads(self.machine.planted_loads()[standin_offsets["planted"]:])
            want(got == expect["planted_loads"], f"planted DLLs loaded: {got}, expected {expect['planted_loads']}")
        errors = self.machine.fixture_errors()
        want(not errors, f"the stand-ins reported: {errors}")
        if "downloads" in expect:
            got = sorted(LocalServer.product_downloads(requests))
            wanted = sorted(f["path"] for f in self.product.manifest["files"]) if expect["downloads"] == "*" \
                else sorted(expect["downloads"])
            want(got == wanted, f"downloaded {got}, expected {wanted}")
        if "manifest_requests" in expect:
            count = sum(1 for r in requests if r[1].split("?")[0] == "/update/v2/windows.json")
            want(count == expect["manifest_requests"], f"manifest fetched {count} times")
        if "prereq_runs" in expect:
            events = self.machine.standin_events("Valdrix.Runtime.Setup.exe")[standin_offsets["prereq"]:]
            got = {kind: sum(1 for e in events if e["event"] == kind) for kind in ("install", "repair")}
            want(got == expect["prereq_runs"], f"prerequisite runs {got}, expected {expect['prereq_runs']}")
        if "prereq_env" in expect:
            events = self.machine.standin_events("Valdrix.Runtime.Setup.exe")[standin_offsets["prereq"]:]
            want(events, "the prerequisite installer did not run")
            for event in events:
                got = {key: event.get(key) for key in expect["prereq_env"]}
                want(got == expect["prereq_env"], f"prerequisite installer ran with {got}")
        if "temp_untouched" in expect:
            added = sorted(set(after["temp_files"]) - set(before["temp_files"]))
            want(not added, f"written to the temporary folder: {added}")
        if "planted_target_untouched" in expect:
            target = self.machine.planted_target()
            want(not target.exists(), f"written through the planted link: {target}")
        if "link_target_empty" in expect:
            behind = list(self.machine.outbox_link().resolve().iterdir())
            want(not behind, f"written behind the reporting folder's link: {behind}")
        new_log = after["log"][len(before["log"]):]
        for line in expect.get("log", []):
            want(any(line in entry for entry in new_log), f"log lacks {line!r}")
        if "reports" in expect:
            reports = LocalServer.reports(requests)
            wanted = expect["reports"]
            got = len(reports) if type(wanted) is int else bool(reports)
            want(got == wanted, f"{len(reports)} report(s) at the ingest endpoint, expected {wanted}")
        if "rate_limit" in expect:
            # Ends Retry-After seconds after the refusal, which this run made.
            left = {category: until - int(time.time()) for category, until in self.machine.rate_limits().items()}
            want(left and all(expect["rate_limit"] - 300 <= s <= expect["rate_limit"] for s in left.values()),
                 f"the remembered limits end in {left} s, expected {expect['rate_limit']} s less this run")
        if "outbox" in expect:
            waiting = len(self.machine.report_outbox())
            want(waiting == expect["outbox"], f"{waiting} report(s) waiting on disk, expected {expect['outbox']}")
        if "delivered" in expect:
            got = LocalServer.exception_values(requests)
            want(got == expect["delivered"], f"events delivered {got}, expected {expect['delivered']}")
        if "reported" in expect:
            bodies = "\n".join(r[2] for r in requests if r[0] == "ENVELOPE")
            for text in expect["reported"]:
                want(text in bodies, f"no reported event carries {text!r}")
        if "breadcrumbs" in expect:
            crumbs = LocalServer.breadcrumbs(requests)
            for message in expect["breadcrumbs"]:
                want(message in crumbs, f"no breadcrumb {message!r} at the ingest endpoint (got {crumbs})")
        for path, state in expect.get("files", {}).items():
            present = bool(after["files"]) and path in after["files"]
            want(present == (state == "present"), f"{path} is {'present' if present else 'absent'}")
        if "serial" in expect:
            serial = (after["registry"] or {}).get("ManifestSerial")
            want(serial == expect["serial"], f"recorded manifest serial {serial!r}, expected {expect['serial']!r}")
        if "pending_renames" in expect:
            pending = self.machine.reg_values(r"HKLM\System\CurrentControlSet\Control\Session Manager") or {}
            value = pending.get("PendingFileRenameOperations", ("", ""))[1]
            want(("Valdrix" in value) == expect["pending_renames"], f"pending renames: {value!r}")
        if problems:
            tail = "\n    ".join(new_log[-15:])
            raise Failure("; ".join(problems) + f"; setup log ends:\n    {tail}")

    def installed_problems(self, state):
        problems = []
        files = state["files"] or {}
        for entry in self.product.manifest["files"]:
            got = files.get(entry["path"])
            if not got:
                problems.append(f"{entry['path']} missing")
            elif got["sha256"] != entry["sha256"] or got["mtime"] != int(entry["version"]):
                problems.append(f"{entry['path']} not the published file (mtime {got['mtime']}, "
                                f"version {entry['version']})")
        if any(path.endswith(".tmp") for path in files):
            problems.append("staged .tmp files left behind")
        if state["app_version"] != APP_VERSION:
            problems.append(f"app_version.txt is {state['app_version']!r}")
        service = state["service"]
        # Wine keeps the recovery actions out of the registry, so they are not checked here.
        if not service["exists"] or service["image"] != SERVICE_IMAGE or service["start"] != 2:
            problems.append(f"service not as installed: {service}")
        logon, verify = state["tasks"]["ValdrixLogon"], state["tasks"]["ValdrixVerify"]
        if not (logon["exists"] and logon["command"].endswith("Valdrix.Desktop.exe")
                and logon["arguments"] == "--startup"):
            problems.append(f"logon task: {logon}")
        if not (verify["exists"] and verify["command"].endswith("Valdrix.Setup.exe")
                and verify["arguments"] == "/silent /verify"):
            problems.append(f"verify task: {verify}")
        if not state["protocol"] or not state["protocol"]["url_protocol"] \
                or "Valdrix.Desktop.exe" not in (state["protocol"]["command"] or ""):
            problems.append(f"protocol handler: {state['protocol']}")
        uninstall = state["uninstall_entry"] or {}
        # What Apps & features and inventory tools read: version, size in KiB
        # (of the folder as the entry was written: the installer's own
        # leftovers may come and go), folder, and no Modify or Repair.
        kib = -(-sum(f["size"] for f in files.values()) // 1024)
        if "--uninstall" not in uninstall.get("UninstallString", "") or uninstall.get("DisplayVersion") != APP_VERSION \
                or abs(int(uninstall.get("EstimatedSize", "0x0"), 16) - kib) > 64 or uninstall.get("InstallLocation") != INSTALL \
                or uninstall.get("NoModify") != "0x1" or uninstall.get("NoRepair") != "0x1":
            problems.append(f"uninstall entry: {uninstall}, expected {APP_VERSION}, about {kib} KiB")
        # What Windows runs: the Users group in each user's session, at an
        # interactive priority; SYSTEM as a service account, long enough for a repair.
        for task, name in ((logon, "logon"), (verify, "verify")):
            if task.get("never_runs"):
                problems.append(f"{name} task would never run: {task['never_runs']}")
        if (logon.get("account"), logon.get("logon_type"), logon.get("priority")) != ("S-1-5-32-545", "", "5"):
            problems.append(f"logon task principal or priority: {logon}")
        if (verify.get("account"), verify.get("logon_type"), verify.get("time_limit")) != \
                ("S-1-5-18", "ServiceAccount", "PT30M"):
            problems.append(f"verify task principal or time limit: {verify}")
        if not (logon.get("triggers") == ["LogonTrigger"] and verify.get("triggers") == ["TimeTrigger"]):
            problems.append(f"task triggers: logon {logon.get('triggers')}, verify {verify.get('triggers')}")
        # Links name the client alone: no arguments, no working folder.
        client = {"target": INSTALL + "Valdrix.Desktop.exe", "arguments": "", "working_directory": ""}
        for kind in ("programs_link", "desktop_link"):
            link = state["shortcuts"][kind]
            if (link is not None or kind == "programs_link") and link != client:
                problems.append(f"{kind}: {link}, expected {client}")
        return problems

    # --- one scenario ------------------------------------------------------------
    def run_scenario(self, scenario):
        """Resets the machine, then runs the scenario's phase and each phase in
        its "next" list on the state the previous one left."""
        self.stop_proxy()
        self.machine.reset()
        self.product.keyed = scenario.get("keyed", False)
        self.run_env, self.wine_loads = {}, set()
        if self.server:
            self.server.clear_faults()
            if not self.server.running:
                self.server.start()
            self.product.build()
        if self.product.setup_exe().exists():
            shutil.copy2(self.product.setup_exe(), self.machine.host_path(SETUP_COPY))
        for number, phase in enumerate([scenario] + scenario.get("next", [])):
            try:
                self.run_phase(phase)
            except Failure as error:
                raise Failure(f"run {number + 1}: {error}" if number else str(error))

    def run_phase(self, scenario):
        m = self.machine
        for step in scenario.get("given", []):
            self.given(step)
        before = m.snapshot()
        offset = self.server.offset() if self.server else 0
        prereq_offset = len(m.standin_events("Valdrix.Runtime.Setup.exe"))
        task_runs = len(m.task_runs())
        client_starts = len(m.client_starts())
        planted = len(m.planted_loads())
        if "run_legacy" in scenario:
            exit_code = m.run([LEGACY + LEGACY_EXE] + scenario["run_legacy"]).returncode
        elif "fire_task" in scenario:
            tool = Path(self.args.build).resolve() / "bin" / "valdrix_fire_task.exe"
            exit_code = m.run([str(tool), scenario["fire_task"]]).returncode
        elif "interactive" in scenario:
            exit_code = self.run_interactive(scenario, self.command(scenario))
        else:
            exit_code = m.run(self.command(scenario), env=self.run_env).returncode
        if exit_code > 0x7FFFFFFF:
            exit_code -= 1 << 32
        # The legacy uninstaller's folder goes only after that process has ended.
        deadline = time.monotonic() + 5
        while scenario["expect"].get("legacy_present") is False and m.host_path(LEGACY).exists() \
                and time.monotonic() < deadline:
            time.sleep(0.2)
        time.sleep(0.5)
        # Clients started through the logon task start after the setup has ended.
        wanted_starts = len(scenario["expect"].get("client_starts", []))
        m.wait_for(lambda: len(m.client_starts()) - client_starts >= wanted_starts, 30)
        after = m.snapshot()
        requests = self.server.requests(offset) if self.server else []
        self.check(scenario, before, after, exit_code, requests, {"prereq": prereq_offset, "task_runs": task_runs,
                                                                            "client_starts": client_starts,
                                                                            "planted": planted})
        official = self.server.official_parser_problems(offset) if self.server else []
        if official:
            raise Failure("the reporting service's own parser disagrees: " + "; ".join(official))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=str(ROOT / "build" / "win64"))
    parser.add_argument("--host-build", default=str(ROOT / "build" / "host"))
    parser.add_argument("--prefix", default=os.environ.get("WINEPREFIX", str(ROOT / "build" / "wine-prefix")))
    parser.add_argument("--only", action="append", help="run only this scenario (repeatable)")
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("--shard", default="1/1", metavar="I/N",
                        help="run the I-th of N shards; each shard needs its own prefix, work folder, display "
                             "and network namespace (the server listens on localhost:8443)")
    parser.add_argument("--claims", metavar="DIR",
                        help="with --shard: shards share out the scenarios through this folder, each taking "
                             "the next unclaimed one, instead of a fixed split")
    parser.add_argument("--work", help="work folder (default build/e2e, build/e2e-I for shard I)")
    args = parser.parse_args()
    shard, shards = (int(n) for n in args.shard.split("/"))
    if not 1 <= shard <= shards:
        parser.error(f"--shard {args.shard}: I must be between 1 and N")
    if args.work is None:
        args.work = str(ROOT / "build" / ("e2e" if shards == 1 else f"e2e-{shard}"))

    chosen = [s for s in HARNESS_SCENARIOS + SCENARIOS if not args.only or s["name"] in args.only]
    if args.list:
        for scenario in chosen:
            print(f"RUN  {scenario['name']}: {scenario['about']}")
        return 0

    if shards > 1 and not args.claims:
        chosen = chosen[shard - 1::shards]

    def mine(scenario):
        """With a claims folder, a scenario belongs to the shard that claims it first."""
        if not args.claims:
            return True
        try:
            os.close(os.open(Path(args.claims) / scenario["name"], os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            return True
        except FileExistsError:
            return False

    suite = Suite(args)
    failed, ran = [], 0
    try:
        suite.prepare(need_product=any(s in SCENARIOS for s in chosen))
        for scenario in chosen:
            if not mine(scenario):
                continue
            ran += 1
            started, cpu = time.monotonic(), cpu_seconds(suite.machine.prefix)
            took = lambda: f"{time.monotonic() - started:.0f} s, {cpu_seconds(suite.machine.prefix) - cpu:.0f} CPU s"
            try:
                suite.run_scenario(scenario)
                print(f"PASS {scenario['name']} ({took()})", flush=True)
            except (Failure, RuntimeError, OSError, subprocess.TimeoutExpired) as error:
                failed.append(scenario["name"])
                print(f"FAIL {scenario['name']} ({took()}): {error}", flush=True)
    finally:
        suite.finish()
    print(f"e2e: {ran - len(failed)} passed, {len(failed)} failed, 0 skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
