"""A private world for measuring the real agent: the reference service on localhost:8443 with
its own state, a temporary home with a file keychain, the computer enrolled, and the managed
agent running headless. Used by agent_command_latency.py and agent_idle.py."""

import json
import os
import shutil
import sqlite3
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("MORNIX_BUILD_DIR", os.path.join(ROOT, "build/dev"))
AGENT = os.path.join(BUILD, "VeltroMornix.app/Contents/MacOS/VeltroMornix")
SERVICE = os.path.join(BUILD, "tools/devservice/veltro-devservice")
CODESIGN = os.path.join(BUILD, "tools/codesign/veltro-codesign")
SLEEPER = os.path.join(BUILD, "tests/support/mornix-fixture-sleeper")
TRAY_HOST = os.path.join(BUILD, "tests/support/status-notifier-host")


class World:
    """tray: the agent runs as on a desktop, with its tray icon shown by a status-notifier host
    on a private session bus and an Xvfb display, instead of --desktop-managed."""

    def __init__(self, tray=False):
        self.tray = tray

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="mornix-bench-")
        self.state = os.path.join(self.dir, "state")
        self.env = dict(os.environ)
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(key, None)
        for key, sub in (("HOME", "home"), ("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                         ("XDG_CACHE_HOME", "cache"), ("TMPDIR", "tmp")):
            path = os.path.join(self.dir, sub)
            os.makedirs(path)
            self.env[key] = path
        self.env["VELTRO_KEYCHAIN"] = "file"
        os.makedirs(self.state)
        self.processes = []
        self.service = self._spawn([SERVICE, "serve", "--state", self.state], stdout=subprocess.PIPE)
        line = self.service.stdout.readline().decode()
        assert line.startswith("listening on"), line
        token = self.admin("--json", "token", "issue")
        enroll = subprocess.run([AGENT, "--desktop-enroll-stdin"], input=token.encode(), env=self.env,
                                capture_output=True)
        assert enroll.returncode == 0, enroll.stderr
        self.device = json.loads(self.admin("--json", "devices", "list"))["devices"][-1]["id"]
        if self.tray:
            self._start_desktop()
            self.agent = self._spawn([AGENT, "--standalone-menu-bar"])
            line = self.tray_host.stdout.readline().decode()
            assert line.startswith("item "), "the agent's tray icon never registered: %r" % line
        else:
            self.agent = self._spawn([AGENT, "--desktop-managed"])
        return self

    def _start_desktop(self):
        bus = self._spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        display = self._spawn(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24"],
                              stdout=subprocess.PIPE)
        self.env["DISPLAY"] = ":" + display.stdout.readline().decode().strip()
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.tray_host = self._spawn([TRAY_HOST], stdout=subprocess.PIPE)
        assert self.tray_host.stdout.readline().decode().strip() == "ready"

    def __exit__(self, *exc):
        for process in reversed(self.processes):
            process.kill()
            process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def _spawn(self, argv, **kwargs):
        process = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL,
                                   stdout=kwargs.pop("stdout", subprocess.DEVNULL), stderr=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def admin(self, *args):
        result = subprocess.run([SERVICE, "admin", "--state", self.state] + list(args), capture_output=True, env=self.env)
        assert result.returncode == 0, result.stderr
        return result.stdout.decode().strip()

    def db(self):
        return sqlite3.connect(os.path.join(self.state, "devservice.sqlite3"), timeout=5)

    def signed_claude_code(self):
        path = os.path.join(self.dir, "claude")
        if not os.path.exists(path):
            shutil.copy(SLEEPER, path)
            subprocess.run([CODESIGN, "--cert", os.path.join(BUILD, "pki/team-Q6L2SF6YDW.pem"),
                            "--key", os.path.join(BUILD, "pki/team-Q6L2SF6YDW.key"),
                            "--identifier", "com.anthropic.claude-code", path], check=True, capture_output=True)
        return path

    def start(self, argv):
        return self._spawn(argv)

    def inventory(self):
        """The instances of the device's newest inventory report; None before the first."""
        with self.db() as db:
            row = db.execute("SELECT instances FROM inventory_reports WHERE device_id = ? ORDER BY seq DESC LIMIT 1",
                             (self.device,)).fetchone()
        return json.loads(row[0]) if row else None

    def wait_for(self, predicate, timeout=30.0, step=0.1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(step)
        raise TimeoutError("condition not met in %.0f s" % timeout)
