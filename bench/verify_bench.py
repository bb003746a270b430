#!/usr/bin/env python3
"""Cost of the verify task's run under Wine: "/silent /verify" on a healthy
installation against an empty Windows program (GUI subsystem, static, like the
setup), alternated in one run. Prints the medians of wall time and CPU time
(user + system) with their ratios, and the peak memory of each.

Two more programs (bench/verify_floor.cpp) stand between them and make only a
healthy verify's Windows calls, in its order, with no engine and no reporting:
- the floor makes the calls the setup is built to make (a service-manager
  connection per service query, a Task Scheduler connection per task query,
  each process's image path). What it costs above the empty program
  is Wine's price for them; what the setup costs above it is the setup's own.
- the minimal floor gets the same answers with the fewest calls (one
  connection each, image names from the kernel): the difference between the
  floors is the price of the calls' design.

What is counted: the resource usage of the wine64 child alone (wait4). The
wineserver is a separate, long-lived process; it is started persistent
(`wineserver -p`) before the first run, so its start is counted in no
program. Work that the run causes in Wine's other processes of the prefix
(wineserver, services.exe, rpcss, ...) is shown on its own line as "prefix CPU".

The product is installed first with the real setup against the local server,
in a prefix of the bench's own (build/bench-verify/wine-prefix). The server
keeps running during the runs, so a request made by verify would be served,
and is counted: a healthy verify makes none.

    bench/verify_bench.py [--pairs N] [--trace FILE [--trace-channels LIST] [--trace-program NAME]] [--setup EXE]

--trace FILE writes one more run's Wine debug output (timestamps, DLL loads and
the selected channels) to FILE, after the measurement: of the verify, or of
the program named by --trace-program. With "+debugstr" among the channels, the
trace shows what the program passes to OutputDebugString, which is the
simplest way to time a phase of the setup by hand."""
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
# Run in this order in every round.
PROGRAMS = {
    "empty": [EMPTY],
    "minimal": [FLOOR, "/minimal"],
    "floor": [FLOOR],
    "verify": [SETUP, "/silent", "/verify"],
}


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
    parser.add_argument("--pairs", type=int, default=9, help="alternated rounds of runs (at least 7)")
    parser.add_argument("--trace", type=Path, help="write one more traced run's Wine debug output here")
    parser.add_argument("--trace-channels", default=TRACE_CHANNELS,
                        help=f"WINEDEBUG channels of the traced run (default {TRACE_CHANNELS})")
    parser.add_argument("--trace-program", choices=list(PROGRAMS), default="verify",
                        help="the program of the traced run (default verify)")
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
        for name, args in PROGRAMS.items():
            warm = measure(machine, args)
            if warm.code != 0:
                print(f"{name} failed with {warm.code} on the healthy installation; see {machine.setup_log()}")
                return 1
        requests_before = server.offset()
        log_before = len(log_lines(machine))
        samples = {name: [] for name in PROGRAMS}
        for pair in range(options.pairs):
            for name, args in PROGRAMS.items():
                samples[name].append(measure(machine, args))
            print(f"round {pair + 1}: " + ", ".join(f"{name} {runs[-1].wall * 1000:.0f} ms"
                                                   for name, runs in samples.items()), file=sys.stderr)
        failed = [s.code for runs in samples.values() for s in runs if s.code != 0]
        requests = server.requests(requests_before)
        lines = log_lines(machine)[log_before:]
        if options.trace:
            with open(options.trace, "wb") as out:
                measure(machine, PROGRAMS[options.trace_program], env={"WINEDEBUG": options.trace_channels},
                        stderr=out)
    finally:
        machine.kill_product_processes()
        server.stop()
        subprocess.run([WINESERVER, "-k"], env=machine.env)
    if failed:
        print(f"runs failed with exit codes {failed}; see {machine.setup_log()}")
        return 1

    def med(name, field):
        return statistics.median(getattr(s, field) for s in samples[name])

    wall = {name: med(name, "wall") for name in PROGRAMS}
    cpu = {name: med(name, "cpu") for name in PROGRAMS}
    print(f"/silent /verify on a healthy install vs an empty Windows program, {options.pairs} alternated rounds, "
          "medians (persistent wineserver, not counted)")
    print(f"  wall         empty {wall['empty'] * 1000:7.1f} ms   verify {wall['verify'] * 1000:7.1f} ms   "
          f"ratio {wall['verify'] / wall['empty']:5.2f}   (target <= 3)")
    print(f"  CPU          empty {cpu['empty'] * 1000:7.1f} ms   verify {cpu['verify'] * 1000:7.1f} ms   "
          f"ratio {cpu['verify'] / cpu['empty']:5.2f}")
    for name, label in (("floor", "floor"), ("minimal", "min. floor")):
        print(f"  {label:<12} wall {wall[name] * 1000:7.1f} ms (ratio {wall[name] / wall['empty']:5.2f} to empty, "
              f"verify {wall['verify'] / wall[name]:5.2f} to it), CPU {cpu[name] * 1000:7.1f} ms (ratio "
              f"{cpu[name] / cpu['empty']:5.2f}, verify {cpu['verify'] / cpu[name]:5.2f} to it)")
    print("               (floor: the Windows calls of a healthy verify as the setup makes them; min. floor: the same")
    print("                answers with the fewest calls; see bench/verify_floor.cpp)")
    print(f"  setup's own  wall {(wall['verify'] - wall['floor']) * 1000:7.1f} ms   CPU "
          f"{(cpu['verify'] - cpu['floor']) * 1000:7.1f} ms   (verify minus floor)")
    peak = {name: med(name, "peak_kib") / 1024 for name in ("empty", "verify")}
    print(f"  peak memory  empty {peak['empty']:7.1f} MiB  verify {peak['verify']:7.1f} MiB  "
          f"ratio {peak['verify'] / peak['empty']:5.2f}")
    print(f"  prefix CPU   empty {med('empty', 'prefix_cpu') * 1000:7.1f} ms   verify "
          f"{med('verify', 'prefix_cpu') * 1000:7.1f} ms   (Wine's other processes during the run)")
    print(f"  requests to the server during the verify runs: {len(requests)}; log lines per run: "
          f"{len(lines) / options.pairs:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
