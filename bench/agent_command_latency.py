#!/usr/bin/env python3
"""Command latency of the real agent on loopback: from the command's queue time, and from the
start of `admin command send` (a protocol 2 command for a signed fake Claude Code CLI that exits
on SIGTERM), to the "executed" acknowledgement stored by the reference service. Median and 95th
percentile over N commands.

  python3 bench/agent_command_latency.py [--commands 50] [--batch 10]

# run-all: --commands 30

Needs port 8443 free. The CLIs are started in batches (one scan reports at most 32 instances);
each batch is waited for in the inventory before its commands are sent one at a time.
"""

import argparse
import statistics
import subprocess
import sys
import time

from agent_bench_env import World


def percentile(values, p):
    ordered = sorted(values)
    index = max(0, min(len(ordered) - 1, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[index]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--commands", type=int, default=50)
    parser.add_argument("--batch", type=int, default=10)
    args = parser.parse_args()

    from_send, from_queue, admin_runtime = [], [], []
    with World() as world:
        cli = world.signed_claude_code()
        world.wait_for(lambda: world.agent.poll() is None and world.inventory() is not None)
        claude = lambda: [i for i in (world.inventory() or []) if i["product"] == "claude-code"]
        remaining = args.commands
        while remaining > 0:
            count = min(args.batch, remaining)
            for _ in range(count):
                world.start([cli])
            instances = world.wait_for(lambda: claude() if len(claude()) >= count else None, timeout=30)
            for instance in instances[:count]:
                time.sleep(0.3)  # the agent is back in its long poll
                started_wall = time.time()
                started = time.monotonic()
                command_id = world.admin("command", "send", "--device", world.device, "--instance",
                                         instance["local_instance_id"], "--product", "claude-code",
                                         "--kind", "process", "--app", "claude")
                admin_runtime.append((time.monotonic() - started) * 1000)

                def executed():
                    with world.db() as db:
                        row = db.execute("SELECT a.received_at, c.created_at, a.status FROM acks a JOIN commands c "
                                         "ON c.id = a.command_id WHERE a.command_id = ? AND a.status != 'received'",
                                         (command_id,)).fetchone()
                    return row
                received_at, created_at, status = world.wait_for(executed, timeout=30, step=0.005)
                if status != "executed":
                    sys.exit("command %s acknowledged %s" % (command_id, status))
                from_send.append(received_at - started_wall * 1000)
                from_queue.append(received_at - created_at)
            remaining -= count
            # Let the monitor drop the stopped CLIs before the next batch.
            world.wait_for(lambda: not claude(), timeout=30)

    def line(name, values):
        print("%-52s median %6.1f ms   p95 %6.1f ms   min %6.1f   max %6.1f" %
              (name, statistics.median(values), percentile(values, 95), min(values), max(values)))

    print("commands: %d" % len(from_send))
    line("executed ack stored, from the admin send start", from_send)
    line("executed ack stored, from the command's queue time", from_queue)
    line("admin command send runtime (included above)", admin_runtime)
    # For bench/run-all, against a loopback TLS round trip: the command's own path (queued ->
    # "executed" stored), then the same including the admin tool's process start.
    print("BENCH agent.command_to_executed.median %.2f ms ref=tls" % statistics.median(from_queue))
    print("BENCH agent.command_to_executed.p95 %.2f ms ref=tls" % percentile(from_queue, 95))
    print("BENCH agent.admin_send_to_executed.median %.2f ms ref=tls" % statistics.median(from_send))
    print("BENCH agent.admin_send_to_executed.p95 %.2f ms ref=tls" % percentile(from_send, 95))


if __name__ == "__main__":
    main()
