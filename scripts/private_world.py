"""A private world for running the real agent: a temporary (or kept) home with its own XDG
directories and TMPDIR, the file keychain, the local reference service with its own state on the
dev build's address localhost:8443, this computer enrolled with a dev token, and the agent.
Nothing of the developer's own keychain, settings or agent is touched.

Shared by scripts/run, scripts/demo, the agent benchmarks (bench/agent_bench_env.py) and the
end-to-end tests (tests/integration/agent_world.py); standard library only.

    python3 scripts/private_world.py run [--build-dir DIR]
        what scripts/run does once the build is ready: the world under DIR/run, kept across runs,
        the managed agent headless, its log followed until Ctrl-C."""

import argparse
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Build:
    """The programs of one build tree (default: $MORNIX_BUILD_DIR, else build/dev)."""

    def __init__(self, directory=None):
        self.dir = os.path.abspath(directory or os.environ.get("MORNIX_BUILD_DIR") or os.path.join(ROOT, "build/dev"))
        self.agent = os.path.join(self.dir, "VeltroMornix.app/Contents/MacOS/VeltroMornix")
        self.service = os.path.join(self.dir, "tools/devservice/veltro-devservice")
        self.codesign = os.path.join(self.dir, "tools/codesign/veltro-codesign")
        self.sleeper = os.path.join(self.dir, "tests/support/mornix-fixture-sleeper")
        self.tray_host = os.path.join(self.dir, "tests/support/status-notifier-host")
        self.pki = os.path.join(self.dir, "pki")

    def missing(self):
        """The programs a world needs that are not built."""
        return [p for p in (self.agent, self.service, self.codesign, self.sleeper) if not os.access(p, os.X_OK)]


def exit_on_termination():
    """SIGTERM and SIGHUP end the program through SystemExit, so that its world is closed (and
    no agent or service is left behind) as on Ctrl-C."""
    def leave(number, frame):
        raise SystemExit(128 + number)
    signal.signal(signal.SIGTERM, leave)
    signal.signal(signal.SIGHUP, leave)


def wait_for(predicate, timeout=30.0, step=0.05, what="condition"):
    """The predicate's first true value; AssertionError when none came in time."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("%s not met within %.0f s" % (what, timeout))
        time.sleep(step)


class World:
    """directory: kept (scripts/run); None: a fresh temporary directory, removed by close().
    unset: environment variables the world's programs must not inherit."""

    UNSET = ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")

    def __init__(self, build=None, directory=None, unset=UNSET):
        self.build = build or Build()
        self.kept = directory is not None
        self.dir = os.path.abspath(directory) if directory else tempfile.mkdtemp(prefix="mornix-world-")
        self.state = os.path.join(self.dir, "service")
        self.service_log_path = os.path.join(self.dir, "service.log")
        home = os.path.join(self.dir, "home")
        self.env = {k: v for k, v in os.environ.items() if k not in unset}
        self.env.update(HOME=home, XDG_DATA_HOME=os.path.join(home, ".local/share"),
                        XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_CACHE_HOME=os.path.join(home, ".cache"),
                        TMPDIR=os.path.join(self.dir, "tmp"), VELTRO_KEYCHAIN="file")
        for key in ("HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "TMPDIR"):
            os.makedirs(self.env[key], exist_ok=True)
        os.makedirs(self.state, exist_ok=True)
        os.chmod(self.dir, 0o700)
        os.chmod(home, 0o700)
        self.processes = []
        self.service = None
        self.agent = None
        self.device = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Kills every process the world started (newest first); removes a temporary world."""
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            process.wait()
            if process.stdout:
                process.stdout.close()
        self.processes = []
        if not self.kept:
            shutil.rmtree(self.dir, ignore_errors=True)

    # --- processes ------------------------------------------------------------------------
    def spawn(self, argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL):
        process = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
        self.processes.append(process)
        return process

    def start_service(self, *arguments):
        """`veltro-devservice serve` on the world's state, its request log in service.log;
        returns once it listens. RuntimeError (with the log) when it did not start."""
        with open(self.service_log_path, "ab") as log:
            self.service = self.spawn([self.build.service, "serve", "--state", self.state] + list(arguments),
                                      stdout=subprocess.PIPE, stderr=log)
        line = self.service.stdout.readline().decode()
        if not line.startswith("listening on"):
            raise RuntimeError("the reference service did not start: %s%s" % (line, self.service_log()))
        return line.strip()

    def service_log(self):
        try:
            with open(self.service_log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def agent_mode(self, *arguments, input=None):
        """Runs the agent in a command-line mode to completion."""
        return subprocess.run([self.build.agent] + list(arguments), input=input, env=self.env,
                              capture_output=True, timeout=60)

    def enrolled(self):
        """What --desktop-control-status answers about enrollment; None when it failed."""
        status = self.agent_mode("--desktop-control-status")
        return json.loads(status.stdout).get("enrolled") if status.returncode == 0 else None

    def enroll(self):
        """Enrolls this computer through --desktop-enroll-stdin with a dev token; the device id."""
        token = self.admin("--json", "token", "issue")
        result = self.agent_mode("--desktop-enroll-stdin", input=token.encode())
        if result.returncode != 0:
            raise RuntimeError("enrollment failed: %s" % result.stderr.decode("utf-8", "replace"))
        return self.registered_device()

    def registered_device(self):
        """The id of the newest device the service registered."""
        self.device = json.loads(self.admin("--json", "devices", "list"))["devices"][-1]["id"]
        return self.device

    def start_agent(self, *arguments):
        self.agent = self.spawn([self.build.agent] + list(arguments or ("--desktop-managed",)))
        return self.agent

    def signed_claude_code(self):
        """The fixture sleeper as a Claude Code CLI signed with the dev PKI's Anthropic team."""
        path = os.path.join(self.dir, "claude")
        if not os.path.exists(path):
            shutil.copy(self.build.sleeper, path)
            subprocess.run([self.build.codesign, "--cert", os.path.join(self.build.pki, "team-Q6L2SF6YDW.pem"),
                            "--key", os.path.join(self.build.pki, "team-Q6L2SF6YDW.key"),
                            "--identifier", "com.anthropic.claude-code", path], check=True, capture_output=True)
        return path

    # --- service --------------------------------------------------------------------------
    def admin(self, *arguments):
        """`veltro-devservice admin` on the world's state; its output. RuntimeError on failure."""
        result = subprocess.run([self.build.service, "admin", "--state", self.state] + list(arguments),
                                capture_output=True, env=self.env, timeout=30)
        if result.returncode != 0:
            raise RuntimeError("admin %s: %s" % (" ".join(arguments), result.stderr.decode("utf-8", "replace")))
        return result.stdout.decode().strip()

    def db(self):
        return sqlite3.connect(os.path.join(self.state, "devservice.sqlite3"), timeout=10)

    def inventory(self):
        """The instances of the device's newest inventory report; None before the first."""
        with self.db() as db:
            row = db.execute("SELECT instances FROM inventory_reports WHERE device_id = ? ORDER BY seq DESC LIMIT 1",
                             (self.device,)).fetchone()
        return json.loads(row[0]) if row else None

    # --- agent ----------------------------------------------------------------------------
    def log_path(self):
        return os.path.join(self.env["XDG_DATA_HOME"], "VeltroMornix/Logs/mornix-log.md")

    def log(self):
        try:
            with open(self.log_path()) as f:
                return f.read()
        except FileNotFoundError:
            return ""


def run(build):
    """The interactive session of scripts/run (inside its private session bus); its exit code."""
    exit_on_termination()
    world = World(build, directory=os.path.join(build.dir, "run"))
    try:
        try:
            world.start_service()
        except RuntimeError:
            print("veltro-devservice did not start (is port 8443 in use?):", file=sys.stderr)
            print(world.service_log(), file=sys.stderr, end="")
            return 1
        if world.enrolled() is False:
            print("Enrolling this computer with a dev token ...", flush=True)
            world.enroll()
        device = world.registered_device()
        agent = world.start_agent("--desktop-managed")
        ds = "%s admin --state %s" % (build.service, world.state)
        print("""
VeltroMornix runs headless against https://localhost:8443 (device {device}).
In another terminal, try:

  ds="{ds}"
  $ds command send --device {device} --app claude        # protocol 1: quit the Claude apps
  $ds inventory show                                     # running agent clients, with their instance ids
  $ds command send --device {device} --instance LOCAL_ID --product claude-code --kind process --app claude
  $ds acks list                                          # received, then executed / failed / ignored
  $ds fault set commands-next --status 503 --count 3     # watch the agent back off and recover

Log: {log}   (Ctrl-C stops the agent and the service)
""".format(device=device, ds=ds, log=world.log_path()), flush=True)
        try:
            wait_for(lambda: os.path.exists(world.log_path()), timeout=10, step=0.2)
        except AssertionError:
            pass
        world.processes.append(subprocess.Popen(["tail", "-n", "+1", "-F", world.log_path()], stdin=subprocess.DEVNULL))
        return agent.wait()
    except KeyboardInterrupt:
        return 0
    except RuntimeError as error:
        print(error, file=sys.stderr)
        return 1
    finally:
        subprocess.run([build.agent, "--desktop-stop-managed"], env=world.env, capture_output=True)
        time.sleep(0.5)
        world.close()


def main():
    parser = argparse.ArgumentParser(description="A private world for the real agent.")
    parser.add_argument("command", choices=["run"])
    parser.add_argument("--build-dir", default=None)
    args = parser.parse_args()
    return run(Build(args.build_dir))


if __name__ == "__main__":
    sys.exit(main())
