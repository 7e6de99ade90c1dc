"""The notice to the person at the computer when an administrator's command closed AI clients:
the real agent (managed presentation) against the real reference service, on a private session
bus with the recording notification server, stopping a real signed fake Claude Code. Beside it,
the update notification keeps its own category, store entries and answers."""

import json
import os
import signal
import stat
import subprocess
import unittest
import uuid

from agent_world import World, wait_for

SERVER = "org.freedesktop.Notifications"
CONTROL = "/ai/veltro/test/NotificationServer"
NOTICE_BODY = "Your workspace administrator closed Claude Code."


class NoticeWorld(World):
    """The agent world with a session bus and the recording notification server on it."""

    def start_agent(self, *arguments):
        if "DBUS_SESSION_BUS_ADDRESS" not in self.env:
            bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE)
            self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
            server = self.spawn([os.path.join(self.build.dir, "tests/support/recording-notification-server")],
                                stdout=subprocess.PIPE)
            assert server.stdout.readline() == b"ready\n"
        return super().start_agent(*arguments)

    def control(self, method, *arguments):
        result = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=" + SERVER, CONTROL,
                                 "ai.veltro.test.NotificationServer." + method] + list(arguments),
                                env=self.env, capture_output=True, timeout=30, check=True)
        return result.stdout.decode().strip()

    def shown(self):
        return json.loads(self.control("State"))

    def notifies(self, summary=None):
        return [e for e in self.shown()["history"] if e["event"] == "notify" and summary in (None, e["summary"])]

    def status(self):
        result = self.agent_mode("--update-notification-status")
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)


class ClientsClosedNoticeTests(unittest.TestCase):
    def setUp(self):
        self.world = NoticeWorld()
        self.addCleanup(self.world.close)
        wait_for(lambda: self.world.agent.poll() is None and self.world.log().count("agent inventory reported"),
                 timeout=30, what="the agent's first report")

    def stop_cli(self):
        w = self.world
        cli, _ = w.cli()
        instance = w.new_instance()
        command_id = w.send_instance_command(instance)
        self.assertEqual(w.wait_outcome(command_id)[0][0], "executed")
        self.assertEqual(cli.wait(10), 0)
        return command_id, instance

    def test_a_stop_is_told_once_and_nothing_else_is(self):
        w = self.world
        command_id, instance = self.stop_cli()
        notice = wait_for(lambda: w.notifies("VeltroMornix"), what="the notice")[0]
        self.assertEqual((notice["summary"], notice["body"]), ("VeltroMornix", NOTICE_BODY))
        self.assertEqual(notice["actions"], [])  # no buttons; managed: a click only dismisses it
        self.assertEqual(notice["sender_pid"], w.agent.pid)

        # Answered from the journal, nothing running, failed, ignored: no notice for any of them.
        target = "/api/desktop/commands/%s/ack" % command_id
        w.redeliver(command_id)
        wait_for(lambda: w.posts_to(target) == 3, what="the outcome sent again")
        codex = "codex-" + uuid.uuid4().hex
        w.send_codex(codex)
        self.assertEqual(w.wait_outcome(codex)[0][0], "executed")
        gone = w.send_instance_command(instance)
        self.assertEqual(w.wait_outcome(gone)[0][0], "failed")
        ignored = "ignored-" + uuid.uuid4().hex
        w.send_raw({"id": ignored, "protocol_version": "two"})
        self.assertEqual(w.wait_outcome(ignored)[0][0], "ignored")
        # Commands and notices go in order: the next stop's notice comes after any of theirs.
        w.control("Dismiss", "uint32:%d" % notice["id"])
        self.stop_cli()
        wait_for(lambda: len(w.notifies()) == 2, what="the second notice")
        self.assertEqual([n["body"] for n in w.notifies()], [NOTICE_BODY, NOTICE_BODY])
        # The update notification's view of the centre: its category only, none of the notices.
        self.assertEqual(w.status(), {"actions": ["Update now", "Update later"], "authorization": 2, "delivered": 0,
                                      "pending": 0, "reminder_seconds": 0})

    def test_the_update_notification_is_untouched_beside_it(self):
        w = self.world
        updates = os.path.join(w.env["HOME"], "Library/Application Support/Veltro/Updates")
        os.makedirs(updates, mode=0o700)
        for level in ("Library", "Library/Application Support", "Library/Application Support/Veltro"):
            os.chmod(os.path.join(w.env["HOME"], level), 0o700)
        os.chmod(updates, 0o700)
        choice = os.path.join(updates, "update-choice.json")
        with open(choice, "w") as f:
            json.dump({"version": "1.2.3", "action": "pending"}, f)
        os.chmod(choice, stat.S_IRUSR | stat.S_IWUSR)

        self.assertEqual(w.agent_mode("--notify-update", "1.2.3").returncode, 0)
        update = wait_for(lambda: w.notifies("A new Veltro update is available"), what="the update")[0]
        self.assertEqual(update["actions"], ["now", "Update now", "later", "Update later"])
        self.stop_cli()
        notice = wait_for(lambda: w.notifies("VeltroMornix"), what="the notice")[0]
        self.assertEqual(notice["body"], NOTICE_BODY)
        # Both are shown; the update's entry, category and counts are as before.
        self.assertEqual(sorted(s["id"] for s in w.shown()["open"]), sorted([update["id"], notice["id"]]))
        self.assertEqual(w.status(), {"actions": ["Update now", "Update later"], "authorization": 2,
                                      "delivered": 1, "pending": 0, "reminder_seconds": 0})

        # The waiter that posted it is gone: the agent takes the answer and handles it as ever.
        os.kill(update["sender_pid"], signal.SIGKILL)
        w.control("Press", "uint32:%d" % update["id"], "string:later")
        wait_for(lambda: w.status()["pending"] == 1, what="the reminder")
        self.assertEqual(w.status()["reminder_seconds"], 21600)
        with open(choice) as f:
            self.assertEqual(json.load(f)["action"], "later")
        self.assertIn(notice["id"], [s["id"] for s in w.shown()["open"]])  # the notice stays


if __name__ == "__main__":
    unittest.main()
