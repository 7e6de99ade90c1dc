#!/usr/bin/env python3
"""The idle headless agent (enrolled, --desktop-managed, no commands) on a machine with N other
processes: its CPU time over a window (percent of one core) and its resident memory.

  python3 bench/agent_idle.py [--processes 1000] [--seconds 60] [--warmup 12] [--tray] [--both]

--tray runs the agent as on a desktop instead: its tray icon shown by a status-notifier host on
a private session bus and an Xvfb display, the dashboard closed. --both measures the headless
agent, then the one with the tray icon, beside the same other processes.

# run-all: --seconds 48 --warmup 12 --both

Needs port 8443 free. The other processes are `sleep` processes of this user.
"""

import argparse
import os
import subprocess
import time

from agent_bench_env import World, rss_kib


def cpu_seconds(pid):
    """CPU time of the process so far: the nanosecond run times of its threads (schedstat),
    summed; the tick counters of /proc/PID/stat are too coarse for a process that idles."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that just ended
    return total / 1e9


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--processes", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=60)
    # Past the agent's young-process window (10 s), in which every new process's image is
    # re-checked at each rescan: what follows is the steady idle state. The window is best a
    # multiple of the 24 s in which every older image is re-checked once.
    parser.add_argument("--warmup", type=float, default=12)
    parser.add_argument("--tray", action="store_true", help="with the tray icon (Xvfb and a tray host)")
    parser.add_argument("--both", action="store_true", help="headless, then with the tray icon")
    args = parser.parse_args()

    others = [subprocess.Popen(["sleep", "3600"]) for _ in range(args.processes)]
    try:
        for tray in ([False, True] if args.both else [args.tray]):
            measure(args, tray)
    finally:
        for process in others:
            process.kill()
        for process in others:
            process.wait()


def measure(args, tray):
    with World(tray=tray) as world:
        pid = world.agent.pid
        world.wait_for(lambda: world.inventory() is not None)
        time.sleep(args.warmup)
        start_cpu, start = cpu_seconds(pid), time.monotonic()
        peak_rss = rss_kib(pid)
        while time.monotonic() - start < args.seconds:
            time.sleep(1)
            peak_rss = max(peak_rss, rss_kib(pid))
        used = cpu_seconds(pid) - start_cpu
        elapsed = time.monotonic() - start
        total = len(os.listdir("/proc"))
        print("mode: %s" % ("tray icon (Xvfb, status-notifier host)" if tray else "headless, --desktop-managed"))
        print("processes on the machine: about %d (%d started here)" % (total, args.processes))
        print("agent CPU over %.0f s: %.2f s = %.3f %% of one core" % (elapsed, used, 100.0 * used / elapsed))
        print("agent resident memory: %.1f MB now, %.1f MB peak" % (rss_kib(pid) / 1024.0, peak_rss / 1024.0))
        mode = "tray" if tray else "headless"
        print("BENCH agent.idle_%s.cpu %.3f %%" % (mode, 100.0 * used / elapsed))
        print("BENCH agent.idle_%s.rss_peak %.1f MB" % (mode, peak_rss / 1024.0))


if __name__ == "__main__":
    main()
