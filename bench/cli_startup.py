#!/usr/bin/env python3
"""Start-up cost of the modes that need no window: the command-line modes the companion calls
often (exec to exit, repeated runs like hyperfine) and the headless agent (resident memory and
what it maps). Each figure is printed beside the plain `true` process start measured in the same
run.

  python3 bench/cli_startup.py [--runs 50] [--no-agent]

The headless agent part starts the reference service on localhost:8443 (run it under the port
lock); --no-agent measures the command-line modes only.
"""

import argparse
import os
import resource
import statistics
import subprocess
import tempfile
import time

from agent_bench_env import World, rss_kib
from private_world import Build

AGENT = Build().agent

# Libraries a mode without windows must never map.
WINDOW_LIBRARIES = ("libQt6Gui", "libQt6Widgets", "libQt6XcbQpa", "/platforms/", "libmornix_desktop")


def private_environment(directory):
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(key, None)
    for key in ("HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "TMPDIR"):
        path = os.path.join(directory, key.lower())
        os.makedirs(path, exist_ok=True)
        env[key] = path
    env["VELTRO_KEYCHAIN"] = "file"
    return env


def time_runs(command, env, runs):
    """Per run, after two warm-up runs: the wall time from exec to exit and the CPU time (user +
    system) the process used, in milliseconds. On a busy machine the wall time includes waiting
    for a processor; the CPU time does not."""
    for _ in range(2):
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    walls, cpus = [], []
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        walls.append((time.perf_counter() - start) * 1000.0)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) * 1000.0)
    return walls, cpus


def window_mappings(pid):
    with open("/proc/%d/maps" % pid) as f:
        paths = {line.split()[-1] for line in f if "/" in line}
    return sorted(p for p in paths if any(name in p for name in WINDOW_LIBRARIES))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--no-agent", action="store_true", help="skip the headless agent (no service needed)")
    args = parser.parse_args()

    rows = []
    with tempfile.TemporaryDirectory(prefix="mornix-cli-bench-") as directory:
        env = private_environment(directory)
        reference = time_runs(["true"], env, args.runs)
        rows.append(("`true` (reference)", reference))
        for argument in ("--desktop-bridge-version", "--desktop-control-status", "--print-agent-instances"):
            rows.append((argument, time_runs([AGENT, argument], env, args.runs)))

    print("load average: %.1f on %d processors" % (os.getloadavg()[0], os.cpu_count()))
    print("%-34s %12s %12s %12s %12s" % ("ms", "wall median", "wall p95", "wall min", "CPU median"))
    for name, (walls, cpus) in rows:
        ordered = sorted(walls)
        p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
        print("%-34s %12.1f %12.1f %12.1f %12.1f" % (name, statistics.median(walls), p95, ordered[0],
                                                    statistics.median(cpus)))

    if args.no_agent:
        return
    with World() as world:
        pid = world.agent.pid
        world.wait_for(lambda: world.inventory() is not None)
        time.sleep(3)
        print("headless agent (--desktop-managed) resident memory: %.1f MB" % (rss_kib(pid) / 1024.0))
        mapped = window_mappings(pid)
        print("headless agent window libraries mapped: %s" % (", ".join(mapped) if mapped else "none"))


if __name__ == "__main__":
    main()
