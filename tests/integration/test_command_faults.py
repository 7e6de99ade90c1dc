"""Commands under faults of the agent's own machine and refusals by the service: the real agent
against the real reference service, with signed fake CLIs that count their SIGTERMs.

- A command journal that cannot be used (another user's directory, a FIFO in place of the file,
  a full file system) never stops a command; the log says so once, with the reason, and the
  journal is taken up again by itself once the fault is gone. A directory left at 0755 is made
  private and used.
- A 4xx on the "received" acknowledgement: nothing is signalled. A 401 there: the command runs
  when the service hands it out again."""

import json
import os
import shutil
import subprocess
import time
import unittest

from agent_world import World, wait_for

NOBODY = 65534
MEMORY_ONLY = "command journal kept in memory only: "
DURABLE_AGAIN = "command journal durable again: "


class CommandFaultTests(unittest.TestCase):
    def setUp(self):
        self.world = World()
        self.addCleanup(self.world.close)
        wait_for(lambda: self.world.agent.poll() is None and self.world.log().count("agent inventory reported"),
                 timeout=30, what="the agent's first report")
        self.commands = os.path.join(self.world.env["XDG_DATA_HOME"], "VeltroMornix/Commands")
        self.journal = os.path.join(self.commands, "journal")

    # --- helpers ----------------------------------------------------------------------------
    def restart_with(self, fault):
        """Stops the agent, applies `fault` to the journal's place, starts the agent again."""
        w = self.world
        w.stop_agent()
        fault()
        w.start_agent()
        wait_for(lambda: w.log().count("app started build=") >= 2, what="the restarted agent")

    def stop_cli(self):
        """A CLI stopped by a command; the command id once its outcome arrived."""
        w = self.world
        cli, record = w.cli()
        command_id = w.send_instance_command(w.new_instance())
        status, message, _, _ = w.wait_outcome(command_id)[0]
        self.assertEqual((status, message), ("executed", "Agent instance termination confirmed."), w.log())
        self.assertEqual(cli.wait(10), 0)  # the sleeper exits 0 on SIGTERM
        self.assertEqual(w.terms(record), 1)
        return command_id

    def journaled(self, command_id):
        """The journal file's records of one id (the file read as it is on disk)."""
        with open(self.journal, "rb") as f:
            records = [json.loads(line.split(b" ", 1)[1]) for line in f.read().splitlines() if b" " in line]
        return [r for r in records if r.get("id") == command_id]

    def assertRecoveredWith(self, *command_ids):
        """The next command finds the journal durable again, which then holds every command."""
        w = self.world
        after = "after-%d" % time.monotonic_ns()
        w.send_codex(after)
        w.wait_outcome(after)
        w.wait_log(DURABLE_AGAIN)
        self.assertEqual(w.log().count(DURABLE_AGAIN), 1)
        for command_id in command_ids + (after,):
            self.assertTrue(any("outcome" in r for r in self.journaled(command_id)), command_id)

    # --- the journal ------------------------------------------------------------------------
    def test_a_0755_journal_directory_is_made_private_and_the_stop_is_journaled(self):
        self.restart_with(lambda: os.chmod(self.commands, 0o755))
        command_id = self.stop_cli()
        log = self.world.log()
        self.assertIn("Commands is open to group or others (mode 0755); made private", log)
        self.assertNotIn(MEMORY_ONLY, log)
        self.assertEqual(os.stat(self.commands).st_mode & 0o7777, 0o700)
        self.assertTrue(self.journaled(command_id))
        print("\n--- log with a 0755 journal directory ---\n" + log, flush=True)

    def test_a_foreign_journal_directory_is_refused_commands_still_run_once(self):
        w = self.world
        try:
            self.restart_with(lambda: os.chown(self.commands, NOBODY, NOBODY))
        except PermissionError:
            self.skipTest("giving a directory to another user needs root (CI runs the tests as root)")
        w.wait_log(MEMORY_ONLY + self.commands + " is owned by another user")
        command_id = self.stop_cli()
        # Handed out again in the same process: the same outcome, with its key; nothing signalled.
        first = w.outcomes(command_id)
        target = "/api/desktop/commands/%s/ack" % command_id
        w.redeliver(command_id)
        wait_for(lambda: w.posts_to(target) == 3, what="the outcome sent again")
        self.assertEqual(w.outcomes(command_id), first)
        self.assertEqual(w.log().count(MEMORY_ONLY), 1)  # once, not per command or step
        self.assertEqual(os.stat(self.commands).st_uid, NOBODY)  # refused, not taken over
        os.chown(self.commands, os.getuid(), os.getgid())
        self.assertRecoveredWith(command_id)
        print("\n--- log with a foreign journal directory ---\n" + w.log(), flush=True)

    def test_a_fifo_in_place_of_the_journal_is_refused_without_blocking(self):
        w = self.world

        def plant():
            os.remove(self.journal)
            os.mkfifo(self.journal, 0o600)
        self.restart_with(plant)
        w.wait_log(MEMORY_ONLY + self.journal + " is a FIFO")
        command_id = self.stop_cli()
        self.assertTrue(os.path.exists(self.journal) and not os.path.isfile(self.journal))
        os.remove(self.journal)
        self.assertRecoveredWith(command_id)

    def test_a_full_file_system(self):
        w = self.world
        filler = os.path.join(self.commands, "filler")

        def fill():
            os.remove(self.journal)
            mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0700", "tmpfs", self.commands],
                                     capture_output=True)
            if mounted.returncode != 0:
                self.skipTest("mounting a small tmpfs is not permitted here: %s" % mounted.stderr.decode().strip())
            self.addCleanup(subprocess.run, ["umount", "-l", self.commands], capture_output=True)
            fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
            try:
                while os.write(fd, b"f" * 4096) > 0:
                    pass
            except OSError:
                pass  # full
            finally:
                os.close(fd)
        self.restart_with(fill)
        command_id = self.stop_cli()
        w.wait_log(MEMORY_ONLY + "cannot write the journal: No space left on device")
        os.remove(filler)
        self.assertRecoveredWith(command_id)

    # --- the service's answer to "received" -------------------------------------------------
    def test_a_4xx_on_received_signals_nothing(self):
        w = self.world
        for status in ("409", "404"):
            with self.subTest(status=status):
                cli, record = w.cli()
                w.fault("set", "ack", "--status", status, "--ack-status", "received", "--count", "0")
                command_id = w.send_instance_command(w.new_instance())
                # Refused at each of the service's three deliveries; never carried out.
                wait_for(lambda: w.log().count("refused " + command_id[:8]) >= 3, timeout=60,
                         what="three refusals")
                self.assertEqual(w.deliveries(command_id), 3)
                self.assertEqual(w.terms(record), 0)
                self.assertIsNone(cli.poll())
                self.assertEqual(w.acks(command_id), [])
                self.assertNotIn("executed " + command_id[:8], w.log())
                self.assertTrue(any(r.get("refused") for r in self.journaled(command_id)))
                self.assertFalse(any("intent" in r for r in self.journaled(command_id)))
                w.fault("clear")
                cli.kill()
                cli.wait()
        print("\n--- log with a 409 and a 404 on received ---\n" + w.log(), flush=True)

    def test_a_401_on_received_runs_the_command_when_it_comes_again(self):
        w = self.world
        cli, record = w.cli()
        w.fault("set", "ack", "--status", "401", "--ack-status", "received", "--count", "1")
        command_id = w.send_instance_command(w.new_instance())
        status, _, _, _ = w.wait_outcome(command_id, timeout=60)[0]
        self.assertEqual(status, "executed")
        self.assertEqual(cli.wait(10), 0)
        self.assertEqual(w.terms(record), 1)
        self.assertEqual([a[0] for a in w.acks(command_id)], ["received", "executed"])
        self.assertEqual(w.deliveries(command_id), 2)
        w.wait_log("executed " + command_id[:8])
        log = w.log()
        # Refused credentials first (these cannot refresh), then the stop, once.
        self.assertIn("authentication required", log)
        self.assertLess(log.index("authentication required"), log.index("executed " + command_id[:8]), log)
        self.assertEqual(log.count("executed " + command_id[:8]), 1)


if __name__ == "__main__":
    unittest.main()
