#!/usr/bin/env python3
"""`make demo`: publishes a demo product with valdrix-release, serves it on
https://localhost:8443, installs it silently under Wine and shows what is now
on the machine. Run again, it updates and shows that nothing was downloaded.
Wine 8 lists no user sessions and cannot run a task, so the prefix has the
test suite's stand-ins for both: one user session (1, Active), and a Task
Scheduler that runs the logon task's program in it. The setup is the one built
with the committed test keys (bin/keyed): the manifest comes with its signed
statement, whose serial the registry keeps."""
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))

from machine import Machine, INSTALL  # noqa: E402
from product import Product  # noqa: E402
from server import LocalServer, ca_certificate  # noqa: E402

SETUP = "C:\\valdrix-demo\\Valdrix.Setup.exe"
SESSIONS = ["1 Active"]


def show(title, lines):
    print(f"\n{title}")
    for line in lines:
        print(f"  {line}")


def report(machine, state, downloads, requests, task_runs, client_starts):
    files = state["files"] or {}
    show(f"Files in {INSTALL} ({len(files)})",
         [f"{path:34} version stamp {info['mtime']}" for path, info in files.items()] or ["(none)"])
    show("app_version.txt", [state["app_version"] or "(missing)"])
    service = state["service"]
    show("Service \"Valdrix\"", [f"image {service.get('image')}, start type {service.get('start')}, "
                                 f"{'running' if service.get('running') else 'not running'}"]
         if service["exists"] else ["(not installed)"])
    show("Scheduled tasks", [f"{name}: {task['command']} {task['arguments']} "
                             f"({'enabled' if task['enabled'] else 'disabled'})" if task["exists"]
                             else f"{name}: (none)" for name, task in state["tasks"].items()
                             if name.startswith("Valdrix")])
    show("Registry HKLM\\Software\\Valdrix", [f"{k} = {v}" for k, v in (state["registry"] or {}).items()]
         or ["(no values)"])
    show("Uninstall entry", [f"{k} = {v}" for k, v in (state["uninstall_entry"] or {}).items()] or ["(none)"])
    show("Protocol handler valdrix:", [str(state["protocol"])])
    show("Shortcuts", [f"desktop: {state['shortcuts']['desktop']}, Start menu: {state['shortcuts']['programs']}"])
    show("User sessions (the session-list stand-in: Wine 8 lists none)", SESSIONS)
    # A client start through the task reads "task <session>" (Machine.client_starts).
    show("This run's logon task runs (the Task Scheduler stand-in: Wine 8 cannot run a task)",
         [f"{run.replace(' ', ' for session ')}: "
          + ("started Valdrix.Desktop.exe --startup" if f"task {run.split()[1]}" in client_starts
             else "no client started") for run in task_runs]
         or ["(none)"])
    show("Processes", state["processes"] or ["(none)"])
    show("This run's requests to the update server",
         [f"{len(requests)} requests, {len(downloads)} product file(s) downloaded"] + [f"  {d}" for d in downloads])
    show("Setup log", [str(machine.setup_log()), "last lines:"] +
         [f"  {line}" for line in state["log"][-8:]])


def main():
    work = ROOT / "build" / "demo"
    host_build = ROOT / os.environ.get("DEMO_HOST_BUILD", "build/demo-host")
    win_build = ROOT / os.environ.get("DEMO_WIN_BUILD", "build/win64")
    product = Product(work, host_build, win_build, "https://localhost:8443", keyed=True)
    machine = Machine(ROOT, work / "wine-prefix", build=win_build)
    prepare = ROOT / "tools" / "prepare-wine-prefix"
    if not prepare.exists():
        print("tools/prepare-wine-prefix is not in the tree yet; the demo needs it to trust the server's CA.")
        return 1
    subprocess.run([str(prepare), str(machine.prefix), str(ca_certificate())], check=True,
                   env=dict(os.environ, BUILD=str(win_build)))
    machine.set_sessions(SESSIONS)
    if not (product.source / "files").exists():
        print("Publishing the demo product with valdrix-release..")
        product.build()
    else:
        product.publish()
    print(f"Manifest: {product.root / 'update' / 'v2' / 'windows.json'} "
          f"({len(product.manifest['files'])} files, app version {product.manifest['app_version']}), "
          "signed with the test manifest key (windows.json.sig)")
    server = LocalServer(product.release, product.root, work / "requests.log")
    server.start()
    try:
        setup = machine.host_path(SETUP)
        setup.parent.mkdir(parents=True, exist_ok=True)
        setup.write_bytes(product.setup_exe().read_bytes())
        installed = (machine.install_dir / "app_version.txt").exists()
        args = [SETUP, "/silent"] + (["/update"] if installed else [])
        print(f"\nRunning {' '.join(args)} under Wine..")
        offset = server.offset()
        runs, starts = len(machine.task_runs()), len(machine.client_starts())
        result = machine.run(args)
        requests = server.requests(offset)
        print(f"Exit code {result.returncode}")
        # The client started through the logon task comes up after the setup has ended.
        task_runs = machine.task_runs()[runs:]
        machine.wait_for(lambda: len(machine.client_starts()) - starts >= len(task_runs), 30)
        report(machine, machine.snapshot(), LocalServer.product_downloads(requests), requests, task_runs,
               machine.client_starts()[starts:])
        return 0 if result.returncode == 0 else 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
