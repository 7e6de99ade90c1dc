#!/usr/bin/env python3
"""Sign-in latency of the real agent on loopback: from the browser's callback request to the
loopback listener (127.0.0.1:53682) to "registered …" on the standard error of
`VeltroMornix --sign-in github`. In between: the listener's answer, the state check, the code
exchange with PKCE, the device registration (challenge, signed record) and the keychain save.
Median, minimum and maximum over N sign-ins.

  python3 bench/signin_callback_latency.py [--runs 20]

Needs ports 8443 and 53682 free. The browser is tests/signin/scripted-browser (set as $BROWSER),
which writes the time right before its callback request.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("MORNIX_BUILD_DIR", os.path.join(ROOT, "build/dev"))
AGENT = os.path.join(BUILD, "VeltroMornix.app/Contents/MacOS/VeltroMornix")
SERVICE = os.path.join(BUILD, "tools/devservice/veltro-devservice")
BROWSER = os.path.join(ROOT, "tests/signin/scripted-browser")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="mornix-signin-bench-")
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(key, None)
    for key, sub in (("HOME", "home"), ("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                     ("XDG_CACHE_HOME", "cache"), ("TMPDIR", "tmp")):
        os.makedirs(os.path.join(work, sub))
        env[key] = os.path.join(work, sub)
    env["VELTRO_KEYCHAIN"] = "file"
    env["BROWSER"] = BROWSER
    env["MORNIX_DEV_PKI_DIR"] = os.path.join(BUILD, "pki")
    stamps = os.path.join(work, "callback-times")
    env["SCRIPTED_BROWSER_LOG"] = stamps

    service = subprocess.Popen([SERVICE, "serve", "--state", os.path.join(work, "state")], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    samples = []
    try:
        line = service.stdout.readline().decode()
        assert line.startswith("listening on"), line
        for run in range(args.runs):
            agent = subprocess.Popen([AGENT, "--sign-in", "github"], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            registered_at = None
            for raw in agent.stderr:
                if raw.startswith(b"registered "):
                    registered_at = time.time()
            status = agent.wait()
            assert status == 0 and registered_at, "sign-in %d failed (exit %d)" % (run, status)
            with open(stamps) as times:
                callback_at = float(times.read().split()[-1])
            samples.append((registered_at - callback_at) * 1000.0)
    finally:
        service.kill()
        service.wait()
        shutil.rmtree(work, ignore_errors=True)

    print("callback request -> \"registered\": median %.1f ms, min %.1f ms, max %.1f ms (%d sign-ins)"
          % (statistics.median(samples), min(samples), max(samples), len(samples)))
    print("BENCH signin.callback_to_registered.median %.2f ms ref=tls+" % statistics.median(samples))
    return 0


if __name__ == "__main__":
    sys.exit(main())
