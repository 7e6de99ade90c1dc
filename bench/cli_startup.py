#!/usr/bin/env python3
"""Start-up cost of the modes that need no window: the command-line modes the companion calls
often (exec to exit, repeated runs like hyperfine) and the headless agent (resident memory and
what it maps). Each figure is printed beside its references measured in the same run: the plain
`true` process start and the Qt floor (BUILD/bench/qt_floor: Qt Core, Network and D-Bus linked,
a QCoreApplication constructed, one line printed), which is what any Qt program of ours costs.
The programs are run in turn, one run of each per round, so that a change of the machine's load
touches them alike.

  python3 bench/cli_startup.py [--runs 50] [--no-agent]

# run-all: --runs 50

For bench/run-all: each mode's median wall time against the Qt floor (ref=qt), and the ratio of
its median CPU time (user + system) to the floor's, which a busy machine disturbs less.
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

BUILD = Build()
AGENT = BUILD.agent
QT_FLOOR = os.path.join(BUILD.dir, "bench", "qt_floor")
# The command-line modes, each with the name of its figures.
MODES = (
    ("--desktop-bridge-version", "desktop_bridge_version"),
    ("--desktop-control-status", "desktop_control_status"),
    ("--print-agent-instances", "print_agent_instances"),
    ("--update-notification-status", "update_notification_status"),
    ("--help", "help"),
)

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


def run_once(command, env):
    """The wall time from exec to exit and the CPU time (user + system) the process used, in
    milliseconds. On a busy machine the wall time includes waiting for a processor; the CPU time
    does not."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = (time.perf_counter() - start) * 1000.0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, ((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) * 1000.0


def time_interleaved(commands, env, runs):
    """Per command, after two warm-up rounds: the wall and CPU times of each run, the commands
    taking turns."""
    samples = [([], []) for _ in commands]
    for round_number in range(runs + 2):
        for command, (walls, cpus) in zip(commands, samples):
            wall, cpu = run_once(command, env)
            if round_number >= 2:
                walls.append(wall)
                cpus.append(cpu)
    return samples


def window_mappings(pid):
    with open("/proc/%d/maps" % pid) as f:
        paths = {line.split()[-1] for line in f if "/" in line}
    return sorted(p for p in paths if any(name in p for name in WINDOW_LIBRARIES))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--no-agent", action="store_true", help="skip the headless agent (no service needed)")
    args = parser.parse_args()

    if not os.access(QT_FLOOR, os.X_OK):
        raise SystemExit("cli_startup: %s is not built (cmake --build BUILD --target qt_floor)" % QT_FLOOR)
    names = ["`true` (reference)", "Qt floor (reference)"] + [argument for argument, _ in MODES]
    commands = [["true"], [QT_FLOOR]] + [[AGENT, argument] for argument, _ in MODES]
    with tempfile.TemporaryDirectory(prefix="mornix-cli-bench-") as directory:
        env = private_environment(directory)
        samples = time_interleaved(commands, env, args.runs)

    floor_wall = statistics.median(samples[1][0])
    floor_cpu = statistics.median(samples[1][1])
    print("load average: %.1f on %d processors" % (os.getloadavg()[0], os.cpu_count()))
    print("%-34s %12s %12s %12s %12s %10s %10s" % ("ms", "wall median", "wall p95", "wall min", "CPU median",
                                                  "wall/floor", "CPU/floor"))
    for name, (walls, cpus) in zip(names, samples):
        ordered = sorted(walls)
        p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
        print("%-34s %12.1f %12.1f %12.1f %12.1f %9.2fx %9.2fx" % (
            name, statistics.median(walls), p95, ordered[0], statistics.median(cpus),
            statistics.median(walls) / floor_wall, statistics.median(cpus) / max(floor_cpu, 1e-9)))
    for (_, key), (walls, cpus) in zip(MODES, samples[2:]):
        print("BENCH cli.%s.wall %.3f ms ref=qt" % (key, statistics.median(walls)))
        print("BENCH cli.%s.cpu_vs_floor %.3f x" % (key, statistics.median(cpus) / max(floor_cpu, 1e-9)))

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
