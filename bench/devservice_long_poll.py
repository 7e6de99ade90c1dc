#!/usr/bin/env python3
"""How fast a waiting long poll returns after `admin command send` queues a command.

Starts a real `veltro-devservice serve` on an ephemeral port, registers one device, then
repeatedly: a device long poll waits (timeout_ms=20000), `admin command send` runs as a
separate process, and the time until the poll's answer arrives is measured, both from the
start of the admin process and from its exit (the command is committed just before it exits), and from the command's queue time
(created_at, stamped by admin just before its insert commits).

  python3 bench/devservice_long_poll.py [--rounds N]
  (DEVSERVICE_BINARY and MORNIX_DEV_PKI_DIR default to the dev build)
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("DEVSERVICE_BINARY", os.path.join(ROOT, "build/dev/tools/devservice/veltro-devservice"))
os.environ.setdefault("MORNIX_DEV_PKI_DIR", os.path.join(ROOT, "build/dev/pki"))
sys.path.insert(0, os.path.join(ROOT, "tests/devservice"))
import devservice_client as dc  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=40)
    args = parser.parse_args()

    ds = dc.Devservice().start()
    keys = tempfile.mkdtemp(prefix="devservice-bench-")
    try:
        device = dc.register_device(ds, dc.DeviceKey(keys))
        from_start, from_exit, from_queue, admin_runtime = [], [], [], []
        for _ in range(args.rounds):
            done = {}

            def poll():
                reply = ds.device_request(device, "GET",
                                          "/api/desktop/commands/next?command_protocol_version=2&timeout_ms=20000")
                done["at"] = time.monotonic()
                done["wall"] = time.time()
                done["reply"] = reply

            waiter = threading.Thread(target=poll)
            waiter.start()
            time.sleep(0.15)  # the poll is waiting on the server now
            started = time.monotonic()
            result = subprocess.run([dc.BINARY, "admin", "--state", ds.state_dir, "command", "send",
                                     "--device", device["device_id"], "--app", "claude"], capture_output=True)
            exited = time.monotonic()
            waiter.join(30)
            assert result.returncode == 0, result.stderr
            assert done["reply"].status == 200, done["reply"]
            command_id = result.stdout.decode().strip()
            body = dc.ack_body(command_id, device["device_id"], "received")
            ds.device_request(device, "POST", "/api/desktop/commands/%s/ack" % command_id, body,
                              extra_headers={"X-Idempotency-Key": body["idempotency_key"]})
            with ds.database() as db:
                created_ms = db.execute("SELECT created_at FROM commands WHERE id = ?", (command_id,)).fetchone()[0]
            from_queue.append(done["wall"] * 1000 - created_ms)
            from_start.append((done["at"] - started) * 1000)
            from_exit.append(max(done["at"] - exited, 0) * 1000)
            admin_runtime.append((exited - started) * 1000)

        def line(name, values):
            print("%-40s median %6.1f ms   max %6.1f ms   min %6.1f ms" %
                  (name, statistics.median(values), max(values), min(values)))

        print("rounds: %d" % args.rounds)
        line("poll answer after the command is queued", from_queue)
        line("poll answer after admin process start", from_start)
        line("poll answer after admin process exit", from_exit)
        line("admin command send runtime", admin_runtime)
        print("BENCH devservice.poll_answer_after_queue.median %.2f ms ref=tls" % statistics.median(from_queue))
    finally:
        ds.cleanup()
        shutil.rmtree(keys, ignore_errors=True)


if __name__ == "__main__":
    main()
