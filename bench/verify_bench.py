#!/usr/bin/env python3
"""Cost of the verify task's run under Wine: "/silent /verify" on a healthy
installation against an empty Windows program (GUI subsystem, static, like the
setup), alternated in one run. Prints the medians of wall time and CPU time
(user + system) with their ratios, and the peak memory of each. A third
program, the floor (bench/verify_floor.cpp), makes only the Windows calls that
a healthy verify needs: what it costs above the empty program is Wine's price
for those APIs, and what the setup costs above it is the setup's own.

What is counted: the resource usage of the wine64 child alone (wait4). The
wineserver is a separate, long-lived process; it is started persistent
(`wineserver -p`) before the first run, so its start is counted in neither
program. Work that the run causes in Wine's other processes of the prefix
(wineserver, services.exe, rpcss, ...) is shown on its own line as "prefix CPU".

The product is installed first with the real setup against the local server,
in a prefix of the bench's own (build/bench-verify/wine-prefix). The server
keeps running during the runs, so a request made by verify would be served,
and is counted: a healthy verify makes none.

    bench/verify_bench.py [--pairs N] [--trace FILE] [--setup EXE]

--trace FILE writes one more verify run's Wine debug output (timestamps, DLL
loads and the selected relay channels below) to FILE, after the measurement."""
import argparse
import os
import shutil
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

SETUP = "C:\\valdrix-bench\\Valdrix.Setup.exe"
EMPTY = "C:\\valdrix-bench\\empty_program.exe"
FLOOR = "C:\\valdrix-bench\\verify_floor.exe"
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
TRACE_CHANNELS = "+timestamp,+pid,+tid,+loaddll,+process,+module"


def prefix_cpu_ticks(prefix: Path, exclude: int):
    """User + system clock ticks of every other process of this prefix."""
    total = 0
    marker = f"WINEPREFIX={prefix}".encode()
    for proc in Path("/proc").iterdir():
        if not proc.name.isdigit() or int(proc.name) == exclude:
            continue
        try:
            if marker not in (proc / "environ").read_bytes().split(b"\0"):
                continue
            fields = (proc / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])
    return total


class Sample:
    def __init__(self, wall, cpu, peak_kib, prefix_cpu, code):
        self.wall, self.cpu, self.peak_kib, self.prefix_cpu, self.code = wall, cpu, peak_kib, prefix_cpu, code


def measure(machine: Machine, args, env=None, stderr=subprocess.DEVNULL):
    """One run of a Windows program, straight through the wine64 loader."""
    merged = dict(machine.env, **(env or {}))
    ticks = os.sysconf("SC_CLK_TCK")
    before = prefix_cpu_ticks(machine.prefix, -1)
    started = time.monotonic()
    child = subprocess.Popen([WINE] + args, env=merged, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=stderr)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    after = prefix_cpu_ticks(machine.prefix, child.pid)
    return Sample(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, (after - before) / ticks,
                  child.returncode)


def log_lines(machine: Machine):
    log = machine.setup_log()
    return log.read_text("utf-8", "replace").splitlines() if log else []


def install(machine: Machine, work: Path):
    """A healthy installation: the real setup against the local server."""
    product = Product(work, ROOT / "build" / "host", ROOT / "build" / "win64", "https://localhost:8443")
    product.build()
    server = LocalServer(product.release, product.root, work / "requests.log")
    server.start()
    machine.reset()
    folder = machine.host_path(SETUP).parent
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy2(ROOT / "build" / "win64" / "bin" / "Valdrix.Setup.exe", machine.host_path(SETUP))
    shutil.copy2(ROOT / "build" / "win64" / "bin" / "empty_program.exe", machine.host_path(EMPTY))
    shutil.copy2(ROOT / "build" / "win64" / "bin" / "verify_floor.exe", machine.host_path(FLOOR))
    result = machine.run([SETUP, "/silent"])
    if result.returncode != 0:
        server.stop()
        raise RuntimeError(f"the install failed with {result.returncode}; see {machine.setup_log()}")
    return server


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pairs", type=int, default=9, help="alternated pairs of runs (at least 7)")
    parser.add_argument("--trace", type=Path, help="write one traced verify run's Wine debug output here")
    parser.add_argument("--setup", type=Path, help="measure this build of Valdrix.Setup.exe (an older one, say) "
                        "instead of the Windows build's; the install is still made by the Windows build's")
    options = parser.parse_args()
    if options.pairs < 7:
        parser.error("--pairs must be at least 7")

    for target in ("valdrix_setup", "empty_program", "verify_floor", "valdrix_trust_ca", "valdrix_task_scheduler",
                   "standins"):
        subprocess.run(["cmake", "--build", str(ROOT / "build" / "win64"), "--target", target], check=True,
                       stdout=subprocess.DEVNULL)
    work = ROOT / "build" / "bench-verify"
    machine = Machine(ROOT, work / "wine-prefix")
    subprocess.run([str(ROOT / "tools" / "prepare-wine-prefix"), str(machine.prefix), str(ca_certificate())],
                   check=True)
    server = install(machine, work)
    if options.setup:
        shutil.copy2(options.setup, machine.host_path(SETUP))
    try:
        # Already running from the install (then with a persistence that the
        # back-to-back runs never reach), or started here.
        subprocess.run([WINESERVER, "-p"], env=machine.env, stderr=subprocess.DEVNULL)
        # The first runs of each fill the caches; they are not counted.
        warm = [measure(machine, [EMPTY]), measure(machine, [FLOOR]), measure(machine, [SETUP, "/silent", "/verify"])]
        if warm[2].code != 0:
            print(f"verify failed with {warm[2].code}; see {machine.setup_log()}")
            return 1
        if warm[1].code != 0:
            print(f"the floor program found no healthy installation (exit {warm[1].code})")
            return 1
        requests_before = server.offset()
        log_before = len(log_lines(machine))
        empty, floor, verify = [], [], []
        for pair in range(options.pairs):
            empty.append(measure(machine, [EMPTY]))
            floor.append(measure(machine, [FLOOR]))
            verify.append(measure(machine, [SETUP, "/silent", "/verify"]))
            print(f"round {pair + 1}: empty {empty[-1].wall * 1000:.0f} ms, floor {floor[-1].wall * 1000:.0f} ms, "
                  f"verify {verify[-1].wall * 1000:.0f} ms", file=sys.stderr)
        failed = [s.code for s in verify + floor + empty if s.code != 0]
        requests = server.requests(requests_before)
        lines = log_lines(machine)[log_before:]
        if options.trace:
            with open(options.trace, "wb") as out:
                measure(machine, [SETUP, "/silent", "/verify"], env={"WINEDEBUG": TRACE_CHANNELS}, stderr=out)
    finally:
        machine.kill_product_processes()
        server.stop()
        subprocess.run([WINESERVER, "-k"], env=machine.env)
    if failed:
        print(f"runs failed with exit codes {failed}; see {machine.setup_log()}")
        return 1

    med = lambda samples, field: statistics.median(getattr(s, field) for s in samples)
    wall_e, wall_f, wall_v = med(empty, "wall"), med(floor, "wall"), med(verify, "wall")
    cpu_e, cpu_f, cpu_v = med(empty, "cpu"), med(floor, "cpu"), med(verify, "cpu")
    print(f"/silent /verify on a healthy install vs an empty Windows program, {options.pairs} alternated rounds, "
          "medians (persistent wineserver, not counted)")
    print(f"  wall         empty {wall_e * 1000:7.1f} ms   verify {wall_v * 1000:7.1f} ms   ratio {wall_v / wall_e:5.2f}"
          "   (target <= 3)")
    print(f"  CPU          empty {cpu_e * 1000:7.1f} ms   verify {cpu_v * 1000:7.1f} ms   ratio {cpu_v / cpu_e:5.2f}")
    print(f"  floor        wall {wall_f * 1000:7.1f} ms (ratio {wall_f / wall_e:5.2f} to empty, verify {wall_v / wall_f:5.2f} "
          f"to it), CPU {cpu_f * 1000:7.1f} ms (ratio {cpu_f / cpu_e:5.2f}, verify {cpu_v / cpu_f:5.2f} to it)")
    print("               (floor: only the Windows calls a healthy verify needs, bench/verify_floor.cpp)")
    print(f"  peak memory  empty {med(empty, 'peak_kib') / 1024:7.1f} MiB  verify "
          f"{med(verify, 'peak_kib') / 1024:7.1f} MiB  ratio {med(verify, 'peak_kib') / med(empty, 'peak_kib'):5.2f}")
    print(f"  prefix CPU   empty {med(empty, 'prefix_cpu') * 1000:7.1f} ms   verify "
          f"{med(verify, 'prefix_cpu') * 1000:7.1f} ms   (Wine's other processes during the run)")
    print(f"  requests to the server during the verify runs: {len(requests)}; log lines per run: "
          f"{len(lines) / options.pairs:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
