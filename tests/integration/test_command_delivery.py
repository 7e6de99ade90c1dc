"""Every command carried out at most once, its outcome never lost, and no command able to hold up
or hijack the others: the real agent against the real reference service, killed with SIGKILL at
each step, with faults on its acknowledgements, re-deliveries, undecodable envelopes and hostile
ids. Each test ends with the same three checks: nothing was signalled twice, every command has
exactly one outcome at the service, and every request the agent posted went to an
acknowledgement path (or the inventory report)."""

import json
import time
import unittest
import uuid

from agent_world import ALLOWED_POST, World, wait_for


class CommandDeliveryTests(unittest.TestCase):
    def setUp(self):
        self.world = World()
        self.addCleanup(self.world.close)
        wait_for(lambda: self.world.agent.poll() is None and self.world.log().count("agent inventory reported"),
                 timeout=30, what="the agent's first report")

    def assertDelivered(self, commands, records=(), signalled=None):
        """commands: ids; records: SIGTERM records of the CLIs involved (each at most one TERM);
        signalled: the number of records expected to hold exactly one TERM."""
        w = self.world
        for command_id in commands:
            outcomes = w.outcomes(command_id)
            self.assertEqual(len(outcomes), 1, "%s: %s\n%s" % (command_id, outcomes, w.log()))
        counts = [w.terms(r) for r in records]
        self.assertTrue(all(c <= 1 for c in counts), counts)
        if signalled is not None:
            self.assertEqual(sum(counts), signalled, counts)
        stray = [t for t in w.agent_posts() if not ALLOWED_POST.match(t)]
        self.assertEqual(stray, [])

    # --- the protocol 2 path ----------------------------------------------------------------
    def test_instance_command_end_to_end(self):
        w = self.world
        cli, record = w.cli()
        instance = w.new_instance()
        command_id = w.send_instance_command(instance)
        status, message, payload, key = w.wait_outcome(command_id)[0]
        self.assertEqual((status, message), ("executed", "Agent instance termination confirmed."))
        self.assertEqual(json.loads(payload), {"instance_id": instance, "product": "claude-code", "kind": "process",
                                               "all_stopped": True})
        self.assertEqual([a[0] for a in w.acks(command_id)], ["received", "executed"])
        self.assertEqual(cli.wait(10), 0)
        self.assertEqual(w.posts_to("/api/desktop/commands/%s/ack" % command_id), 2)
        self.assertDelivered([command_id], [record], signalled=1)

    # --- kill -9 at each step ---------------------------------------------------------------
    def test_killed_after_received_the_command_is_carried_out_after_the_restart(self):
        w = self.world
        cli, record = w.cli()
        instance = w.new_instance()
        w.fault("set", "ack", "--delay-ms", "4000", "--count", "1")  # holds the "received" answer
        command_id = w.send_instance_command(instance)
        w.wait_log("received " + command_id[:8])
        time.sleep(0.5)
        w.kill_agent()
        self.assertEqual(w.terms(record), 0)  # nothing was signalled before the kill
        w.start_agent()
        w.wait_outcome(command_id, timeout=40)
        self.assertEqual(w.outcomes(command_id)[0][0], "executed")
        self.assertEqual(cli.wait(10), 0)
        self.assertDelivered([command_id], [record], signalled=1)

    def test_killed_after_the_signal_the_command_is_reported_interrupted_never_repeated(self):
        w = self.world
        cli, record = w.cli(ignore_term=True)
        instance = w.new_instance()
        command_id = w.send_instance_command(instance)
        wait_for(lambda: w.terms(record) == 1, what="the SIGTERM")
        w.kill_agent()  # within the 1.5 s grace: no SIGKILL was sent
        w.start_agent()
        status, message, payload, _ = w.wait_outcome(command_id, timeout=40)[0]
        self.assertEqual((status, message), ("failed", "interrupted by agent restart"))
        self.assertTrue(json.loads(payload)["interrupted_by_agent_restart"])
        time.sleep(1)
        self.assertIsNone(cli.poll(), "the CLI was signalled again after the restart")
        self.assertDelivered([command_id], [record], signalled=1)

    def test_killed_with_the_outcome_recorded_but_not_sent_the_outbox_delivers_it(self):
        w = self.world
        cli, record = w.cli()
        instance = w.new_instance()
        w.fault("set", "ack", "--status", "503", "--count", "0")  # every acknowledgement fails
        command_id = w.send_instance_command(instance)
        self.assertEqual(cli.wait(20), 0)
        w.wait_log("connection retry")  # the outcome could not be sent
        w.kill_agent()
        self.assertEqual(w.outcomes(command_id), [])
        w.fault("clear")
        w.start_agent()
        status, _, payload, key = w.wait_outcome(command_id, timeout=40)[0]
        self.assertEqual(status, "executed")
        self.assertTrue(json.loads(payload)["all_stopped"])
        self.assertDelivered([command_id], [record], signalled=1)

    # --- a 500 on each acknowledgement ------------------------------------------------------
    def test_a_500_on_the_received_acknowledgement(self):
        w = self.world
        cli, record = w.cli()
        instance = w.new_instance()
        w.fault("set", "ack", "--status", "500", "--count", "1")
        command_id = w.send_instance_command(instance)
        self.assertEqual(w.wait_outcome(command_id)[0][0], "executed")
        self.assertEqual(cli.wait(10), 0)
        self.assertDelivered([command_id], [record], signalled=1)

    def test_a_500_on_the_outcome_acknowledgement_is_sent_again_with_the_same_key(self):
        w = self.world
        cli, record = w.cli(ignore_term=True)  # stopped by SIGKILL after the grace period
        instance = w.new_instance()
        command_id = w.send_instance_command(instance)
        wait_for(lambda: w.acks(command_id), what="the received acknowledgement")
        w.fault("set", "ack", "--status", "500", "--count", "1")
        status, message, _, key = w.wait_outcome(command_id, timeout=40)[0]
        self.assertEqual((status, message), ("executed", "Agent instance termination confirmed."))
        target = "/api/desktop/commands/%s/ack" % command_id
        # received, the refused outcome, the same outcome again (and once more if the service
        # handed the command out again before it arrived)
        self.assertGreaterEqual(w.posts_to(target), 3)
        self.assertEqual(cli.wait(10), -9)
        self.assertDelivered([command_id], [record], signalled=1)

    # --- re-delivery ------------------------------------------------------------------------
    def test_redelivered_after_a_restart_and_after_300_commands_it_is_never_carried_out_again(self):
        w = self.world
        cli, record = w.cli()
        instance = w.new_instance()
        command_id = w.send_instance_command(instance)
        first = w.wait_outcome(command_id)[0]
        self.assertEqual(cli.wait(10), 0)
        target = "/api/desktop/commands/%s/ack" % command_id

        # After a restart: the same outcome goes back with the same key, nothing else happens.
        w.stop_agent()
        w.start_agent()
        w.redeliver(command_id)
        wait_for(lambda: w.posts_to(target) == 3, what="the outcome sent again")
        wait_for(lambda: w.deliveries(command_id) == 1)

        # After 300 other commands, more than any in-memory memory of recent ids.
        others = ["bulk-%03d-%s" % (i, uuid.uuid4().hex[:8]) for i in range(300)]
        with w.db() as db:
            now = int(time.time() * 1000)
            for other in others:
                body = json.dumps({"id": other, "protocol_version": 1, "action": "terminate_application",
                                   "app_key": "codex", "target_bundle_ids": ["com.openai.codex"]})
                db.execute("INSERT INTO commands (id, device_id, body, created_at) VALUES (?, ?, ?, ?)",
                           (other, w.device, body, now))
        wait_for(lambda: all(w.outcomes(o) for o in others[-5:]), timeout=120, what="300 outcomes")
        w.redeliver(command_id)
        wait_for(lambda: w.posts_to(target) == 4, what="the outcome sent once more")
        self.assertEqual(w.outcomes(command_id), [first])
        self.assertDelivered([command_id] + others, [record], signalled=1)

    # --- undecodable envelopes --------------------------------------------------------------
    def test_undecodable_envelopes_do_not_hold_up_a_valid_command(self):
        w = self.world
        w.stop_agent()  # queue everything before the agent polls
        poison = ["poison-%d-%s" % (i, uuid.uuid4().hex[:6]) for i in range(8)]
        for i, command_id in enumerate(poison):
            broken = {"id": command_id, "protocol_version": "two"} if i % 2 else {"id": command_id, "action": 7}
            w.send_raw(broken)
        valid = "valid-" + uuid.uuid4().hex
        w.send_codex(valid)
        queued = time.monotonic()
        w.start_agent()
        w.wait_outcome(valid, timeout=30)
        elapsed = time.monotonic() - queued
        for command_id in poison:
            acks = w.acks(command_id)
            self.assertEqual([(a[0], a[1]) for a in acks],
                             [("received", "received"), ("ignored", "command could not be decoded")])
        self.assertEqual(w.outcomes(valid)[0][0], "executed")
        self.assertNotIn("connection retry", w.log())
        # Back-off would have cost 1 + 2 + 4 + ... seconds; the valid command waited for none.
        self.assertLess(elapsed, 10, w.log())
        self.assertDelivered(poison + [valid])

    # --- hostile ids ------------------------------------------------------------------------
    def test_hostile_ids_stay_on_the_acknowledgement_path(self):
        w = self.world
        hostile = ["../../agent-instances/report", "../../../../../../etc/passwd", "x?admin=1#y", "%2e%2e%2f",
                   "\u00e9/\u2028 ;=", "a" * 256]
        for command_id in hostile:
            w.send_codex(command_id)
        for command_id in hostile:
            w.wait_outcome(command_id)
            self.assertEqual([a[0] for a in w.acks(command_id)], ["received", "executed"])
        # Ids that are never acknowledged: a poll error each, and nothing is sent for them. (Once
        # each was handed out, the service is told to stop offering it, so the test need not sit
        # out the back-off of all three deliveries.)
        refused = ["..", "crlf\r\nX-Injected: 1"]
        for command_id in refused:
            w.send_codex(command_id)
        wait_for(lambda: all(w.deliveries(c) >= 1 for c in refused), timeout=60, what="the refused ids handed out")
        w.wait_log("connection retry")
        with w.db() as db:
            db.executemany("UPDATE commands SET delivery_count = 3 WHERE id = ?", [(c,) for c in refused])
        after = "after-" + uuid.uuid4().hex
        w.send_codex(after)
        w.wait_outcome(after, timeout=120)
        for command_id in refused:
            self.assertEqual(w.acks(command_id), [])
        self.assertIsNone(w.agent.poll())
        self.assertDelivered(hostile + [after])
        with open(w.service_log_path, "rb") as f:
            self.assertNotIn(b"X-Injected", f.read())


if __name__ == "__main__":
    unittest.main()
