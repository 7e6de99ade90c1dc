#!/usr/bin/env python3
"""Throughput of the real agent on loopback: N application commands (protocol 1, "codex",
which is not running, so each one ends "executed" without a signal) are queued at once in
the reference service; the figure is the time from the queueing to the last outcome
acknowledgement, and the outcomes per second. Every command must end with exactly one outcome.

  python3 bench/agent_command_throughput.py [--commands 300]

Needs port 8443 free (hold the port lock when other runs share the machine).
"""

import argparse
import json
import sys
import time
import uuid

from agent_bench_env import World


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--commands", type=int, default=300)
    args = parser.parse_args()

    with World() as world:
        world.wait_for(lambda: world.agent.poll() is None and world.inventory() is not None)
        time.sleep(0.5)  # the agent is in its long poll
        ids = [str(uuid.uuid4()) for _ in range(args.commands)]
        queued = time.time() * 1000
        with world.db() as db:
            for command_id in ids:
                body = json.dumps({"id": command_id, "protocol_version": 1, "action": "terminate_application",
                                   "app_key": "codex", "target_bundle_ids": ["com.openai.codex"],
                                   "reason": "throughput", "target_surface": "desktop"}, separators=(",", ":"))
                db.execute("INSERT INTO commands (id, device_id, body, created_at) VALUES (?, ?, ?, ?)",
                           (command_id, world.device, body, int(queued)))

        def outcomes():
            with world.db() as db:
                rows = db.execute("SELECT command_id, COUNT(*), MAX(received_at) FROM acks "
                                  "WHERE status != 'received' GROUP BY command_id").fetchall()
            return rows if len(rows) >= len(ids) else None

        rows = world.wait_for(outcomes, timeout=600, step=0.05)
        if any(count != 1 for _, count, _ in rows):
            sys.exit("a command has more than one outcome")
        last = max(received for _, _, received in rows)
        seconds = (last - queued) / 1000.0
        print("commands: %d   all outcomes after %.2f s   %.1f commands/s" % (len(ids), seconds, len(ids) / seconds))
        print("BENCH agent.commands_per_second %.1f 1/s" % (len(ids) / seconds))
        print("BENCH agent.command_outcome_each %.2f ms ref=tls" % (1000.0 * seconds / len(ids)))


if __name__ == "__main__":
    main()
