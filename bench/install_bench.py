#!/usr/bin/env python3
"""Wall time of the setup against references measured in the same run:
  1. a silent install of a 200 MiB demo product vs curl fetching the same bytes natively;
  2. a no-change "/update" vs that clean install;
  3. a no-change "/update" of the setup with built-in keys (signed manifest, statement
     checked) vs the same of the keyless setup, alternating, median of ROUNDS each.
Needs both builds and the local server; uses its own Wine prefix (build/bench/wine-prefix)."""
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from machine import Machine  # noqa: E402
from product import Product  # noqa: E402
from server import LocalServer, ca_certificate  # noqa: E402

SIZE = 200 << 20
SETUP = "C:\\valdrix-bench\\Valdrix.Setup.exe"
ROUNDS = 5


def timed(action):
    started = time.monotonic()
    result = action()
    return time.monotonic() - started, result


def main():
    work = ROOT / "build" / "bench"
    machine = Machine(ROOT, work / "wine-prefix")
    subprocess.run([str(ROOT / "tools" / "prepare-wine-prefix"), str(machine.prefix), str(ca_certificate())],
                   check=True)
    product = Product(work, ROOT / "build" / "host", ROOT / "build" / "win64", "https://localhost:8443",
                      extra_bytes=SIZE)
    product.build()
    server = LocalServer(product.release, product.root, work / "requests.log")
    server.start()
    try:
        urls = [f["url"] for f in product.manifest["files"]] + [p["url"] for p in product.manifest["prereqs"]]
        total = sum((product.root / "files" / Path(*f["path"].split("\\"))).stat().st_size
                    for f in product.manifest["files"])
        curl_time, _ = timed(lambda: subprocess.run(
            ["curl", "-sk", "--fail"] + [arg for url in urls for arg in (url, "-o", "/dev/null")], check=True))
        machine.reset()
        setup = machine.host_path(SETUP)
        setup.parent.mkdir(parents=True, exist_ok=True)
        setup.write_bytes((ROOT / "build" / "win64" / "bin" / "Valdrix.Setup.exe").read_bytes())
        machine.run(["cmd", "/c", "exit"])  # a warm wineserver, as for every later run
        install_time, install = timed(lambda: machine.run([SETUP, "/silent"]))
        update_time, update = timed(lambda: machine.run([SETUP, "/silent", "/update"]))
        # The same installation updated by either setup: the keyed one's product
        # differs only in its manifest's statement (and the setup file itself).
        keyless_exe = product.setup_exe()
        product.keyed = True
        keyed_exe = product.setup_exe()
        product.publish()
        updates = {"keyless": [], "keyed": []}
        failures = []
        for _ in range(ROUNDS):
            for kind, exe in (("keyless", keyless_exe), ("keyed", keyed_exe)):
                setup.write_bytes(exe.read_bytes())
                seconds, result = timed(lambda: machine.run([SETUP, "/silent", "/update"]))
                updates[kind].append(seconds)
                if result.returncode != 0:
                    failures.append(f"{kind} /update exited with {result.returncode}")
        machine.kill_product_processes()
    finally:
        server.stop()
    if install.returncode != 0 or update.returncode != 0 or failures:
        print(f"setup failed: install {install.returncode}, update {update.returncode}; {failures}")
        return 1
    print(f"product: {len(urls)} files, {total / (1 << 20):.0f} MiB")
    print(f"curl (native, same server)   {curl_time:7.2f} s")
    print(f"silent install under Wine    {install_time:7.2f} s   ratio to curl {install_time / curl_time:6.2f}")
    print(f"no-change /update            {update_time:7.2f} s   ratio to install {update_time / install_time:6.3f}")
    keyless, keyed = statistics.median(updates["keyless"]), statistics.median(updates["keyed"])
    print(f"no-change /update, keyless   {keyless:7.2f} s   (median of {ROUNDS})")
    print(f"no-change /update, keyed     {keyed:7.2f} s   ratio to keyless {keyed / keyless:6.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
