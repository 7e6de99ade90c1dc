"""A private world for end-to-end tests of the real agent: the reference service on
localhost:8443 (the dev build's service address) with its own state and a short re-delivery
period, a temporary home with a file keychain, the computer enrolled, the headless agent, and
signed fake command-line agents that count the SIGTERMs they receive.

Paths come from the environment CTest gives: MORNIX_EXECUTABLE, DEVSERVICE_BINARY,
MORNIX_CODESIGN_TOOL, MORNIX_FIXTURE_SLEEPER, MORNIX_DEV_PKI_DIR."""

import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time

AGENT = os.environ.get("MORNIX_EXECUTABLE", "")
SERVICE = os.environ.get("DEVSERVICE_BINARY", "")
CODESIGN = os.environ.get("MORNIX_CODESIGN_TOOL", "")
SLEEPER = os.environ.get("MORNIX_FIXTURE_SLEEPER", "")
PKI = os.environ.get("MORNIX_DEV_PKI_DIR", "")

# Every POST the agent may make: an acknowledgement (the id as one segment) or an inventory report.
ALLOWED_POST = re.compile(r"^/api/desktop/commands/[A-Za-z0-9._~%-]+/ack$|^/api/desktop/agent-instances/report$")


def wait_for(predicate, timeout=30.0, step=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("%s not met within %.0f s" % (what, timeout))
        time.sleep(step)


class World:
    def __init__(self, redelivery_ms=1500):
        self.dir = tempfile.mkdtemp(prefix="mornix-delivery-")
        self.state = os.path.join(self.dir, "state")
        os.makedirs(self.state)
        self.env = dict(os.environ)
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"):
            self.env.pop(key, None)
        for key, sub in (("HOME", "home"), ("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                         ("XDG_CACHE_HOME", "cache"), ("TMPDIR", "tmp")):
            path = os.path.join(self.dir, sub)
            os.makedirs(path)
            self.env[key] = path
        self.env["VELTRO_KEYCHAIN"] = "file"
        self.processes = []
        self.known = set()
        self.agent = None
        self.service_log_path = os.path.join(self.dir, "service.log")
        self.service_log = open(self.service_log_path, "wb")
        self.service = subprocess.Popen([SERVICE, "serve", "--state", self.state, "--redelivery-ms", str(redelivery_ms),
                                         "--cert", os.path.join(PKI, "localhost.pem"),
                                         "--key", os.path.join(PKI, "localhost.key")],
                                        env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self.service_log)
        line = self.service.stdout.readline().decode()
        if not line.startswith("listening on"):
            self.close()
            raise RuntimeError("the reference service did not start: %r" % line)
        token = self.admin("--json", "token", "issue")
        enroll = subprocess.run([AGENT, "--desktop-enroll-stdin"], input=token.encode(), env=self.env,
                                capture_output=True, timeout=60)
        if enroll.returncode != 0:
            self.close()
            raise RuntimeError("enrollment failed: %r" % enroll.stderr)
        self.device = json.loads(self.admin("--json", "devices", "list"))["devices"][-1]["id"]
        self.enrollment_posts = len(self.posts())  # the registration, before the agent runs
        self.start_agent()

    # --- processes --------------------------------------------------------------------------
    def start_agent(self):
        self.agent = subprocess.Popen([AGENT, "--desktop-managed"], env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(self.agent)
        return self.agent

    def kill_agent(self):
        self.agent.send_signal(signal.SIGKILL)
        self.agent.wait(10)

    def stop_agent(self):
        self.agent.terminate()
        self.agent.wait(20)

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
                process.wait()
        if self.service.poll() is None:
            self.service.terminate()
            self.service.wait(20)
        self.service.stdout.close()
        self.service_log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def cli(self, ignore_term=False):
        """A signed fake Claude Code CLI; returns (process, path of its SIGTERM record)."""
        path = os.path.join(self.dir, "claude")
        if not os.path.exists(path):
            shutil.copy(SLEEPER, path)
            subprocess.run([CODESIGN, "--cert", os.path.join(PKI, "team-Q6L2SF6YDW.pem"),
                            "--key", os.path.join(PKI, "team-Q6L2SF6YDW.key"),
                            "--identifier", "com.anthropic.claude-code", path], check=True, capture_output=True)
        record = os.path.join(self.dir, "signals-%d" % len(self.processes))
        args = [path, "--record", record] + (["--ignore-term"] if ignore_term else [])
        process = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        self.processes.append(process)
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
    def admin(self, *args):
        result = subprocess.run([SERVICE, "admin", "--state", self.state] + list(args), capture_output=True,
                                env=self.env, timeout=30)
        if result.returncode != 0:
            raise RuntimeError("admin %s: %s" % (args, result.stderr.decode()))
        return result.stdout.decode().strip()

    def fault(self, *args):
        self.admin("fault", *args)

    def db(self):
        return sqlite3.connect(os.path.join(self.state, "devservice.sqlite3"), timeout=10)

    def new_instance(self):
        """The local instance id of the CLI started last, once the agent reported it (CLIs are
        started one at a time, so it is the one id not seen before)."""
        def fresh():
            with self.db() as db:
                row = db.execute("SELECT instances FROM inventory_reports WHERE device_id = ? ORDER BY seq DESC "
                                 "LIMIT 1", (self.device,)).fetchone()
            ids = [i["local_instance_id"] for i in json.loads(row[0])] if row else []
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
        with open(self.service_log_path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
        return [line.split(" ")[1] for line in lines if line.startswith("POST ")]

    def agent_posts(self):
        """Targets of the POSTs the running agent made (after the enrollment)."""
        return self.posts()[self.enrollment_posts:]

    def posts_to(self, target):
        return self.posts().count(target)

    # --- agent ------------------------------------------------------------------------------
    def log(self):
        try:
            with open(os.path.join(self.env["XDG_DATA_HOME"], "VeltroMornix/Logs/mornix-log.md")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, needle, count=1, timeout=30):
        return wait_for(lambda: self.log().count(needle) >= count, timeout=timeout, what="log %r" % needle)
