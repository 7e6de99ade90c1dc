"""A private world for end-to-end tests of the real agent: the reference service on
localhost:8443 (the dev build's service address) with its own state and a short re-delivery
period, a temporary home with a file keychain, the computer enrolled, the headless agent, and
signed fake command-line agents that count the SIGTERMs they receive.

The world itself is scripts/private_world.py; CTest gives the build tree (MORNIX_BUILD_DIR)."""

import json
import os
import re
import signal
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts"))
import private_world  # noqa: E402
from private_world import wait_for  # noqa: E402,F401  (the tests' waiting helper)

# Every POST the agent may make: an acknowledgement (the id as one segment) or an inventory report.
ALLOWED_POST = re.compile(r"^/api/desktop/commands/[A-Za-z0-9._~%-]+/ack$|^/api/desktop/agent-instances/report$")


class World(private_world.World):
    def __init__(self, redelivery_ms=1500):
        # No session bus either: the agent runs as on a headless server.
        super().__init__(unset=private_world.World.UNSET + ("DBUS_SESSION_BUS_ADDRESS",))
        self.known = set()
        try:
            pki = self.build.pki
            self.start_service("--redelivery-ms", str(redelivery_ms), "--cert", os.path.join(pki, "localhost.pem"),
                               "--key", os.path.join(pki, "localhost.key"))
            self.enroll()
        except BaseException:
            self.close()
            raise
        self.enrollment_posts = len(self.posts())  # the registration, before the agent runs
        self.start_agent()

    # --- processes --------------------------------------------------------------------------
    def kill_agent(self):
        self.agent.send_signal(signal.SIGKILL)
        self.agent.wait(10)

    def stop_agent(self):
        self.agent.terminate()
        self.agent.wait(20)

    def cli(self, ignore_term=False):
        """A signed fake Claude Code CLI; returns (process, path of its SIGTERM record)."""
        record = os.path.join(self.dir, "signals-%d" % len(self.processes))
        args = [self.signed_claude_code(), "--record", record] + (["--ignore-term"] if ignore_term else [])
        process = self.spawn(args, stdout=subprocess.PIPE)
        assert process.stdout.readline() == b"ready\n"
        return process, record

    @staticmethod
    def terms(record):
        try:
            with open(record) as f:
                return f.read().count("TERM")
        except FileNotFoundError:
            return 0

    # --- service ----------------------------------------------------------------------------
    def fault(self, *args):
        self.admin("fault", *args)

    def new_instance(self):
        """The local instance id of the CLI started last, once the agent reported it (CLIs are
        started one at a time, so it is the one id not seen before)."""
        def fresh():
            ids = [i["local_instance_id"] for i in self.inventory() or []]
            return [i for i in ids if i not in self.known]
        found = wait_for(fresh, timeout=30, what="the CLI in the inventory")
        self.known.update(found)
        return found[0]

    def send_instance_command(self, instance):
        return self.admin("command", "send", "--device", self.device, "--instance", instance,
                          "--product", "claude-code", "--kind", "process", "--app", "claude")

    def send_raw(self, command):
        return self.admin("command", "send", "--device", self.device, "--raw", json.dumps(command))

    def send_codex(self, command_id):
        """A protocol 1 command for Codex, which is not running: "executed" without a signal."""
        return self.send_raw({"id": command_id, "protocol_version": 1, "action": "terminate_application",
                              "app_key": "codex", "target_bundle_ids": ["com.openai.codex"]})

    def acks(self, command_id):
        with self.db() as db:
            return db.execute("SELECT status, message, payload, idempotency_key FROM acks WHERE command_id = ? "
                              "ORDER BY seq", (command_id,)).fetchall()

    def outcomes(self, command_id):
        return [a for a in self.acks(command_id) if a[0] != "received"]

    def wait_outcome(self, command_id, timeout=30):
        return wait_for(lambda: self.outcomes(command_id), timeout=timeout, what="an outcome of " + command_id)

    def redeliver(self, command_id):
        """The service hands the command out again, as if its outcome had never arrived."""
        with self.db() as db:
            db.execute("UPDATE commands SET acked = 0, delivered_at = NULL, delivery_count = 0 WHERE id = ?",
                       (command_id,))

    def deliveries(self, command_id):
        with self.db() as db:
            return db.execute("SELECT delivery_count FROM commands WHERE id = ?", (command_id,)).fetchone()[0]

    def posts(self):
        """Targets of every POST the service received, as sent."""
        return [line.split(" ")[1] for line in self.service_log().splitlines() if line.startswith("POST ")]

    def agent_posts(self):
        """Targets of the POSTs the running agent made (after the enrollment)."""
        return self.posts()[self.enrollment_posts:]

    def posts_to(self, target):
        return self.posts().count(target)

    # --- agent ------------------------------------------------------------------------------
    def wait_log(self, needle, count=1, timeout=30):
        return wait_for(lambda: self.log().count(needle) >= count, timeout=timeout, what="log %r" % needle)
