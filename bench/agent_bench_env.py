"""The private world (scripts/private_world.py) for measuring the real agent: the reference
service on localhost:8443, the computer enrolled, and the managed agent running headless, or,
with tray=True, as on a desktop with its tray icon shown by a status-notifier host on a private
session bus and an Xvfb display. Used by agent_command_latency.py, agent_command_throughput.py
and agent_idle.py."""

import os
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))
import private_world  # noqa: E402


class World(private_world.World):
    def __init__(self, tray=False):
        super().__init__()
        self.tray = tray

    def __enter__(self):
        try:
            self.start_service()
            self.enroll()
            if self.tray:
                self._start_desktop()
                self.start_agent("--standalone-menu-bar")
                line = self.tray_host.stdout.readline().decode()
                assert line.startswith("item "), "the agent's tray icon never registered: %r" % line
            else:
                self.start_agent("--desktop-managed")
        except BaseException:
            self.close()
            raise
        return self

    def _start_desktop(self):
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        display = self.spawn(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24"],
                             stdout=subprocess.PIPE)
        self.env["DISPLAY"] = ":" + display.stdout.readline().decode().strip()
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.tray_host = self.spawn([self.build.tray_host], stdout=subprocess.PIPE)
        assert self.tray_host.stdout.readline().decode().strip() == "ready"

    def start(self, argv):
        return self.spawn(argv)

    def wait_for(self, predicate, timeout=30.0, step=0.1):
        return private_world.wait_for(predicate, timeout=timeout, step=step)


def rss_kib(pid):
    """Resident set size of a process, in KiB (0 once it is gone)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0
