#!/usr/bin/env python3
"""Time of `VeltroMornix --notify-update VERSION` from start to exit (the notification shown by
its detached waiter), on a private session bus with the recording notification server.

  python3 bench/notify_update.py [--build-dir build/dev] [--runs 30]

# run-all: --build-dir {build}

Each run replaces the previous notification (same identifier), so the server shows one at a time.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default="build/dev")
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()

    executable = os.path.join(args.build_dir, "VeltroMornix.app/Contents/MacOS/VeltroMornix")
    server_binary = os.path.join(args.build_dir, "tests/support/recording-notification-server")
    home = tempfile.mkdtemp(prefix="notify-bench-")
    env = dict(os.environ)
    for name, sub in (("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"), ("XDG_CACHE_HOME", "cache"),
                      ("TMPDIR", "tmp")):
        os.makedirs(os.path.join(home, sub))
        env[name] = os.path.join(home, sub)
    env["HOME"] = home
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)

    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, text=True)
    server = None
    try:
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        server = subprocess.Popen([server_binary], env=env, stdout=subprocess.PIPE, text=True)
        if server.stdout.readline().strip() != "ready":
            raise SystemExit("the notification server did not start")
        times = []
        for run in range(args.runs):
            start = time.monotonic()
            status = subprocess.call([executable, "--notify-update", "1.2.%d" % run], env=env)
            times.append(time.monotonic() - start)
            if status != 0:
                raise SystemExit("--notify-update exited with %d" % status)
        times.sort()
        print("--notify-update start to exit over %d runs: median %.1f ms, p95 %.1f ms, min %.1f ms, max %.1f ms" % (
            len(times), 1000 * statistics.median(times), 1000 * times[int(0.95 * (len(times) - 1))],
            1000 * times[0], 1000 * times[-1]))
        print("BENCH cli.notify_update.median %.2f ms ref=true" % (1000 * statistics.median(times)))
    finally:
        if server:
            server.terminate()
            server.wait()
        # Ending the bus ends the waiter of the last notification.
        bus.send_signal(signal.SIGTERM)
        bus.wait()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
