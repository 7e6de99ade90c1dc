"""Integration tests of veltro-devservice: a real server process over real TLS, requests built
independently (devservice_client), every refusal provoked by sending the wrong thing."""

import base64
import http.client
import json
import os
import shutil
import tempfile
import threading
import time
import unittest
import uuid
from urllib.parse import parse_qs, urlencode, urlsplit

import devservice_client as dc

CLIENT_ID = "5d2c8e41-9a7b-4c36-b0f2-7e18a4d96c05"
REDIRECT_URI = "veltro-mornix://oauth/callback"
NEXT = "/api/desktop/commands/next?command_protocol_version=2&timeout_ms=0"
REGISTER = "/api/desktop/devices/register"
CLAIMS = "/api/v1/device-claims"
FORM = {"Content-Type": "application/x-www-form-urlencoded"}

ds = None
keys_dir = None


def setUpModule():
    global ds, keys_dir
    ds = dc.Devservice().start()
    keys_dir = tempfile.mkdtemp(prefix="devservice-keys-")


def tearDownModule():
    ds.cleanup()
    shutil.rmtree(keys_dir, ignore_errors=True)


def new_device(serial=None):
    serial = serial or "SER-" + uuid.uuid4().hex[:8]
    return dc.register_device(ds, dc.DeviceKey(keys_dir), serial=serial, hardware_uuid="UUID-" + serial)


class RefusalAssertions(unittest.TestCase):
    def assertRefused(self, reply, status, error=None, case=None):
        self.assertEqual(reply.status, status, (case, reply))
        self.assertTrue(reply.headers.get("content-type", "").startswith("application/json"), (case, reply))
        body = reply.json()
        self.assertIn("error", body, case)
        if error:
            self.assertEqual(body["error"], error, (case, body))
        return body


class SignInTests(RefusalAssertions):
    def authorize(self, **overrides):
        verifier = "v" * 20 + uuid.uuid4().hex + "-._~AZ"
        params = {"response_type": "code", "client_id": CLIENT_ID, "redirect_uri": REDIRECT_URI,
                  "state": "mornix_" + str(uuid.uuid4()), "code_challenge": dc.pkce_challenge(verifier),
                  "code_challenge_method": "S256", "scope": "mcp:tools", "provider": "github"}
        params.update(overrides)
        params = {k: v for k, v in params.items() if v is not None}
        return ds.request("GET", "/authorize/external?" + urlencode(params)), params, verifier

    def token(self, fields, headers=None):
        return ds.request("POST", "/token", urlencode(fields), dict(FORM, **(headers or {})))

    def code_fields(self):
        reply, _, verifier = self.authorize()
        code = parse_qs(urlsplit(reply.headers["location"]).query)["code"][0]
        return {"grant_type": "authorization_code", "client_id": CLIENT_ID, "code": code,
                "redirect_uri": REDIRECT_URI, "code_verifier": verifier}

    def test_public_config_points_back_at_the_service(self):
        reply = ds.request("GET", "/api/public-config")
        self.assertEqual(reply.status, 200)
        config = reply.json()
        self.assertEqual(config["supabase_url"], ds.origin)
        self.assertTrue(config["supabase_public_key"])

    def test_authorize_redirects_to_the_loopback_with_code_and_state(self):
        reply, params, verifier = self.authorize()
        self.assertEqual(reply.status, 302)
        location = urlsplit(reply.headers["location"])
        self.assertEqual((location.scheme, location.netloc, location.path), ("http", "127.0.0.1:53682", "/oauth/callback"))
        query = parse_qs(location.query)
        self.assertEqual(query["state"], [params["state"]])
        fields = {"grant_type": "authorization_code", "client_id": CLIENT_ID, "code": query["code"][0],
                  "redirect_uri": REDIRECT_URI, "code_verifier": verifier}
        self.assertRefused(self.token(dict(fields, code_verifier="x" * 43)), 400, "invalid_grant")
        mismatch = self.token(dict(fields, redirect_uri="veltro-mornix://other"))
        self.assertIn("redirect_uri does not match previously seen redirect", mismatch.json()["error_description"])
        tokens = self.token(fields)
        self.assertEqual(tokens.status, 200, tokens)
        self.assertEqual(tokens.headers.get("cache-control"), "no-store")
        self.assertEqual(tokens.headers.get("pragma"), "no-cache")
        body = tokens.json()
        self.assertEqual(body["token_type"], "Bearer")
        self.assertEqual(body["expires_in"], 3600)
        # The access token registers a device; the refresh token rotates.
        dc.register_device(ds, dc.DeviceKey(keys_dir), token=body["access_token"])
        refresh = {"grant_type": "refresh_token", "client_id": CLIENT_ID, "refresh_token": body["refresh_token"]}
        renewed = self.token(refresh)
        self.assertEqual(renewed.status, 200, renewed)
        self.assertIn("expires_in", renewed.json())
        self.assertNotEqual(renewed.json()["refresh_token"], body["refresh_token"])
        self.assertRefused(self.token(refresh), 400, "invalid_grant")
        # A code is good once; presenting it again revokes everything issued from it, the
        # rotated refresh token and the access tokens included.
        self.assertRefused(self.token(fields), 400, "invalid_grant")
        rotated = dict(refresh, refresh_token=renewed.json()["refresh_token"])
        self.assertRefused(self.token(rotated), 400, "invalid_grant")
        for token in (body["access_token"], renewed.json()["access_token"]):
            reply = ds.request("POST", REGISTER,
                               {"action": "challenge", "hardware_serial_number": "S", "hardware_uuid": "U"},
                               {"Authorization": "Bearer " + token})
            self.assertRefused(reply, 401)

    def test_authorize_refusals(self):
        for overrides, error in (({"client_id": "someone-else"}, "invalid_client"),
                                 ({"redirect_uri": "https://evil.example/cb"}, None), ({"state": None}, None)):
            self.assertRefused(self.authorize(**overrides)[0], 400, error)
        for overrides, error in (({"code_challenge_method": "plain"}, "invalid_request"),
                                 ({"code_challenge": "short"}, "invalid_request"),
                                 ({"response_type": "token"}, "unsupported_response_type"),
                                 ({"scope": "admin"}, "invalid_scope"),
                                 ({"provider": "myspace"}, "invalid_request")):
            reply, params, _ = self.authorize(**overrides)
            self.assertEqual(reply.status, 302, overrides)
            query = parse_qs(urlsplit(reply.headers["location"]).query)
            self.assertEqual(query["error"], [error], overrides)
            self.assertEqual(query["state"], [params["state"]])
            self.assertNotIn("code", query)

    def test_token_refusals(self):
        fields = self.code_fields()
        self.assertRefused(self.token(dict(fields, client_id="other")), 401, "invalid_client")
        self.assertRefused(self.token(dict(fields, client_secret="s3cret")), 401, "invalid_client")
        basic = "Basic " + base64.b64encode((CLIENT_ID + ":s3cret").encode()).decode()
        self.assertRefused(self.token(fields, {"Authorization": basic}), 401, "invalid_client")
        self.assertRefused(self.token(dict(fields, grant_type="password")), 400, "unsupported_grant_type")
        self.assertRefused(self.token(dict(fields, code_verifier="short")), 400, "invalid_request")
        self.assertRefused(ds.request("POST", "/token", json.dumps(fields)), 400, "invalid_request")
        self.assertRefused(self.token({"grant_type": "refresh_token", "client_id": CLIENT_ID,
                                       "refresh_token": "vrt_unknown"}), 400, "invalid_grant")
        # None of the refusals used the code up.
        self.assertEqual(self.token(fields).status, 200)

    def test_hosted_provider_password_and_refresh(self):
        headers = {"apikey": ds.request("GET", "/api/public-config").json()["supabase_public_key"]}
        good = {"email": "dev@veltro.localhost", "password": "veltro-dev-password"}

        def grant(kind, body, hdrs=headers):
            return ds.request("POST", "/auth/v1/token?grant_type=" + kind, body, hdrs)

        reply = grant("password", good)
        self.assertEqual(reply.status, 200, reply)
        for kind, body, hdrs, status, error in (
                ("password", dict(good, password="nope"), headers, 400, "invalid_grant"),
                ("password", good, {}, 401, "invalid_api_key"), ("password", good, {"apikey": "anon_x"}, 401, None),
                ("magic", good, headers, 400, "unsupported_grant_type"), ("password", "{not json", headers, 400, None)):
            self.assertRefused(grant(kind, body, hdrs), status, error)
        refresh = {"refresh_token": reply.json()["refresh_token"]}
        renewed = grant("refresh_token", refresh)
        self.assertEqual(renewed.status, 200, renewed)
        self.assertRefused(grant("refresh_token", refresh), 400, "invalid_grant")
        dc.register_device(ds, dc.DeviceKey(keys_dir), token=renewed.json()["access_token"])


class RegistrationTests(RefusalAssertions):
    def setUp(self):
        self.key = dc.DeviceKey(keys_dir)
        self.token = ds.admin("token", "issue")["access_token"]
        self.auth = {"Authorization": "Bearer " + self.token}

    def challenge(self, serial="SERIAL-1", hardware_uuid="UUID-1"):
        reply = ds.request("POST", REGISTER,
                           {"action": "challenge", "hardware_serial_number": serial, "hardware_uuid": hardware_uuid},
                           self.auth)
        self.assertEqual(reply.status, 200, reply)
        return reply.json()

    def complete(self, record, auth=None):
        return ds.request("POST", REGISTER, record, auth or self.auth)

    def test_registration_returns_a_working_device(self):
        token_doc = ds.admin("token", "issue")
        self.assertEqual(set(token_doc), {"access_token", "org_id", "project_id"})
        credentials = dc.register_device(ds, self.key, token=token_doc["access_token"])
        self.assertEqual(credentials["device"]["org_id"], token_doc["org_id"])
        self.assertEqual(credentials["device"]["project_id"], token_doc["project_id"])
        self.assertEqual(credentials["device"]["device_name"], "Test Laptop")
        self.assertEqual(ds.device_request(credentials, "GET", NEXT).status, 204)
        listed = [d["id"] for d in ds.admin("devices", "list")["devices"]]
        self.assertIn(credentials["device_id"], listed)

    def test_user_token_is_required(self):
        body = {"action": "challenge", "hardware_serial_number": "S", "hardware_uuid": "U"}
        self.assertRefused(ds.request("POST", REGISTER, body), 401)
        self.assertRefused(ds.request("POST", REGISTER, body,
                                      {"Authorization": "Bearer vat_forged"}), 401)
        record = dc.registration_record(self.key, self.challenge())
        self.assertRefused(self.complete(record, {"Authorization": "Bearer vat_forged"}), 401)

    def test_signature_must_cover_the_register_text(self):
        challenge = self.challenge()
        ts, nonce = str(int(time.time())), str(uuid.uuid4())
        payload = dc.enrollment_payload(self.key)
        wrong_label = ["REGISTRATION", challenge["challenge_id"], challenge["challenge_nonce"], ts, nonce,
                       dc.sha256_hex(dc.canonical_json(payload))]
        record = dc.registration_record(self.key, challenge, payload, ts, nonce, lines=wrong_label)
        self.assertRefused(self.complete(record), 401, "invalid_signature")
        # Signed by another key than the one in the payload.
        other = dc.DeviceKey(keys_dir)
        forged = dc.registration_record(self.key, challenge, payload, ts, nonce)
        forged["registration_signature_base64"] = dc.registration_record(other, challenge, payload, ts, nonce)[
            "registration_signature_base64"]
        self.assertRefused(self.complete(forged), 401, "invalid_signature")
        # Trailing line feed in the signed text.
        good = dc.registration_record(self.key, challenge, payload, ts, nonce)
        tampered = dict(good, registration_signature_base64=self.key.sign(
            "\n".join(["REGISTER", challenge["challenge_id"], challenge["challenge_nonce"], ts, nonce,
                       good["payload_hash_sha256"]]) + "\n"))
        self.assertRefused(self.complete(tampered), 401, "invalid_signature")
        self.assertRefused(self.complete(dict(good, registration_signature_base64="not base64!")), 401)
        # The challenge survived the refusals.
        self.assertEqual(self.complete(good).status, 200)

    def test_payload_hash_and_public_key_are_checked(self):
        challenge = self.challenge()
        record = dc.registration_record(self.key, challenge)
        record["payload"]["device_name"] = "Renamed after hashing"
        self.assertRefused(self.complete(record), 400, "payload_hash_mismatch")
        payload = dc.enrollment_payload(self.key)
        payload["secure_enclave_public_key"] = self.key.public_pem + "\n"
        self.assertRefused(self.complete(dc.registration_record(self.key, challenge, payload)), 400,
                           "invalid_public_key")
        payload = dc.enrollment_payload(self.key)
        del payload["posture"]
        self.assertRefused(self.complete(dc.registration_record(self.key, challenge, payload)), 400)

    def test_fixed_values_are_checked(self):
        for field, value in (("collector", "veltro-other-agent"), ("key_accessibility", "kSecAttrAccessibleAlways")):
            payload = dc.enrollment_payload(self.key)
            payload["agent"][field] = value
            self.assertRefused(self.complete(dc.registration_record(self.key, self.challenge(), payload)), 400,
                               "invalid_payload")
        payload = dc.enrollment_payload(self.key)
        payload["posture"]["sip_enabled"] = "yes"
        body = self.assertRefused(self.complete(dc.registration_record(self.key, self.challenge(), payload)), 400,
                                  "invalid_payload")
        self.assertEqual(body["message"], "payload field must be a boolean: sip_enabled")
        for nonce in (str(uuid.uuid4()).upper(), "not-a-uuid", "{%s}" % uuid.uuid4(), uuid.uuid4().hex):
            self.assertRefused(self.complete(dc.registration_record(self.key, self.challenge(), nonce=nonce)), 400)
        payload = dc.enrollment_payload(self.key)
        payload["agent"]["collector"] = "veltro-mornix-secureenclave-agent"
        self.assertEqual(self.complete(dc.registration_record(self.key, self.challenge(), payload)).status, 200)

    def test_challenge_id_nonce_expiry_and_reuse(self):
        challenge = self.challenge()
        self.assertRefused(self.complete(dc.registration_record(
            self.key, dict(challenge, challenge_nonce="wrong"))), 400, "invalid_challenge")
        self.assertRefused(self.complete(dc.registration_record(
            self.key, dict(challenge, challenge_id=str(uuid.uuid4())))), 400, "invalid_challenge")
        # Another machine's challenge.
        other = self.challenge(serial="OTHER")
        self.assertRefused(self.complete(dc.registration_record(self.key, other)), 400, "invalid_challenge")
        # Issued to another user token is fine (same dev user); expired is not.
        with ds.database() as db:
            db.execute("UPDATE challenges SET expires_at = ? WHERE id = ?", (int(time.time()) - 1, challenge["challenge_id"]))
        self.assertRefused(self.complete(dc.registration_record(self.key, challenge)), 400, "invalid_challenge")
        fresh = self.challenge()
        self.assertEqual(self.complete(dc.registration_record(self.key, fresh)).status, 200)
        self.assertRefused(self.complete(dc.registration_record(self.key, fresh)), 400, "invalid_challenge")

    def test_timestamp_window_and_nonce_replay(self):
        # A few seconds past the 300-second window: the clock may tick between here and the check.
        for skew in (-305, 305):
            record = dc.registration_record(self.key, self.challenge(), timestamp=int(time.time()) + skew)
            self.assertRefused(self.complete(record), 401, "invalid_timestamp")
        nonce = str(uuid.uuid4())
        self.assertEqual(self.complete(dc.registration_record(self.key, self.challenge(), nonce=nonce)).status, 200)
        replay = dc.registration_record(self.key, self.challenge(), nonce=nonce)
        self.assertRefused(self.complete(replay), 401, "replayed_nonce")


def signed(device, method, target, body=b""):
    """Headers signed by the independent client, for requests sent other than as signed."""
    headers = dc.signed_headers(method, target, body, device["device_id"], device["device_secret"])
    headers["Authorization"] = "Bearer " + device["bearer_token"]
    if body:
        headers["Content-Type"] = "application/json"
    return headers


class DeviceAuthenticationTests(RefusalAssertions):
    @classmethod
    def setUpClass(cls):
        cls.device = new_device()

    def test_signed_request_passes(self):
        self.assertEqual(ds.device_request(self.device, "GET", NEXT).status, 204)
        report = {"instances": []}
        self.assertEqual(ds.device_request(self.device, "POST", "/api/desktop/agent-instances/report", report).status, 200)

    def test_signed_path_is_the_target_as_sent(self):
        target = "/api/desktop/%63ommands/next?timeout_ms=0&command_protocol_version=2"
        self.assertEqual(ds.device_request(self.device, "GET", target).status, 204)
        # Signed over the decoded path instead: one signature would stand for two requests.
        headers = signed(self.device, "GET", "/api/desktop/commands/next?timeout_ms=0&command_protocol_version=2")
        self.assertRefused(ds.request("GET", target, headers=headers), 401)

    def test_bearer_token_refusals(self):
        good = dc.signed_headers("GET", NEXT, b"", self.device["device_id"], self.device["device_secret"])
        self.assertRefused(ds.request("GET", NEXT, headers=good), 401)
        forged = dict(self.device, bearer_token="vdt_forged")
        self.assertRefused(ds.device_request(forged, "GET", NEXT), 401)
        other = new_device()
        mixed = dict(self.device, bearer_token=other["bearer_token"])
        self.assertRefused(ds.device_request(mixed, "GET", NEXT), 401)

    def test_signature_header_refusals(self):
        for name in ("x-veltro-device-signature", "x-veltro-signature", "x-veltro-device-ts", "x-veltro-key-id",
                     "x-veltro-nonce", "x-veltro-device-id"):
            self.assertRefused(ds.device_request(self.device, "GET", NEXT, drop_headers=[name]), 401)
        self.assertRefused(ds.device_request(self.device, "GET", NEXT,
                                             extra_headers={"x-veltro-nonce": str(uuid.uuid4())}), 401)
        # Keyed with the raw secret instead of its hash.
        raw_key = self.device["device_secret"].encode()
        self.assertRefused(ds.device_request(self.device, "GET", NEXT, hmac_key=raw_key), 401)
        # Upper-case hex is not the signature format.
        headers = signed(self.device, "GET", NEXT)
        upper = "v1=" + headers["x-veltro-signature"][3:].upper()
        headers.update({"x-veltro-signature": upper, "x-veltro-device-signature": upper})
        self.assertRefused(ds.request("GET", NEXT, headers=headers), 401)

    def test_signature_covers_method_path_query_and_body(self):
        headers = signed(self.device, "GET", NEXT)
        self.assertRefused(ds.request("GET", NEXT.replace("timeout_ms=0", "timeout_ms=1"), headers=headers), 401)
        body = b'{"instances":[]}'
        headers = signed(self.device, "POST", "/api/desktop/agent-instances/report", body)
        self.assertRefused(ds.request("POST", "/api/desktop/agent-instances/report", b'{"instances":[ ]}',
                                      headers=headers), 401)
        self.assertEqual(ds.request("POST", "/api/desktop/agent-instances/report", body, headers=headers).status, 200)

    def test_timestamp_window(self):
        now = int(time.time())
        # A few seconds past the 300-second window: the clock may tick between here and the check.
        for ts in (now - 305, now + 305, "soon", ""):
            self.assertRefused(ds.device_request(self.device, "GET", NEXT, timestamp=ts), 401)
        for ts in (now - 290, now + 290):
            self.assertEqual(ds.device_request(self.device, "GET", NEXT, timestamp=ts).status, 204)

    def test_nonce_replay(self):
        nonce = str(uuid.uuid4())
        self.assertEqual(ds.device_request(self.device, "GET", NEXT, nonce=nonce).status, 204)
        body = self.assertRefused(ds.device_request(self.device, "GET", NEXT, nonce=nonce), 401)
        self.assertIn("nonce", body["message"])


class CommandTests(RefusalAssertions):
    def setUp(self):
        self.device = new_device()

    def poll(self, timeout_ms=0):
        return ds.device_request(self.device, "GET",
                                 "/api/desktop/commands/next?command_protocol_version=2&timeout_ms=%d" % timeout_ms)

    def ack(self, command_id, status, payload=None, message=None, header_key=None, body=None):
        body = body or dc.ack_body(command_id, self.device["device_id"], status, payload, message)
        headers = {"X-Idempotency-Key": header_key or body["idempotency_key"]}
        return ds.device_request(self.device, "POST", "/api/desktop/commands/%s/ack" % command_id, body,
                                 extra_headers=headers)

    def send(self, app="codex"):
        return ds.admin("command", "send", "--device", self.device["device_id"], "--app", app)["command_id"]

    def test_long_poll_wakes_when_admin_sends(self):
        results = {}
        waiter = threading.Thread(target=lambda: results.update(reply=self.poll(timeout_ms=20000)))
        waiter.start()
        time.sleep(0.5)
        sent = self.send("claude")
        waiter.join(30)
        reply = results["reply"]
        # Held until the command came: a poll that ran out would answer 204.
        self.assertEqual(reply.status, 200, reply)
        command = reply.json()["command"]
        self.assertEqual(command["id"], sent)
        self.assertEqual(command["protocol_version"], 1)
        self.assertEqual(command["action"], "terminate_application")
        self.assertEqual(command["app_key"], "claude")
        self.assertEqual(sorted(command["target_bundle_ids"]),
                         ["com.anthropic.claude", "com.anthropic.claudedesktop", "com.anthropic.claudefordesktop"])

    def test_poll_times_out_with_204_and_parses_its_query_strictly(self):
        started = time.monotonic()
        self.assertEqual(self.poll(timeout_ms=300).status, 204)
        self.assertGreaterEqual(time.monotonic() - started, 0.3)
        v2 = "command_protocol_version=2&"
        for query in ("timeout_ms=soon", "timeout_ms=-1", "timeout_ms=1&timeout_ms=2", "command_protocol_version=x",
                      "command_protocol_version=2", "timeout_ms=0", "command_protocol_version=1&timeout_ms=0",
                      "command_protocol_version=3&timeout_ms=0", v2 + "timeout_ms=9223372036854775808",
                      v2 + "timeout_ms=9999999999999999999",
                      "command_protocol_version=18446744073709551618&timeout_ms=0", ""):
            reply = ds.device_request(self.device, "GET", "/api/desktop/commands/next?" + query)
            self.assertRefused(reply, 400, case=query)
        self.assertEqual(self.poll().status, 204)

    def test_commands_by_instance_and_raw(self):
        local_id = "local_" + "ab" * 32
        sent = ds.admin("command", "send", "--device", self.device["device_id"], "--instance", local_id,
                        "--product", "claude-desktop", "--kind", "application", "--app", "claude",
                        "--bundle-id", "com.anthropic.claude")
        command = self.poll().json()["command"]
        self.assertEqual(command["id"], sent["command_id"])
        self.assertEqual((command["protocol_version"], command["action"], command["target_instance_id"],
                          command["product"], command["instance_kind"], command["app_key"],
                          command["target_bundle_ids"]),
                         (2, "terminate_agent_instance", local_id, "claude-desktop", "application", "claude",
                          ["com.anthropic.claude"]))
        self.assertEqual(self.ack(command["id"], "received").status, 200)
        raw = '{"id":"raw-1-%s","protocol_version":7,"action":"dance","app_key":"x","target_bundle_ids":[] }' % uuid.uuid4().hex
        result = ds.admin_run("command", "send", "--device", self.device["device_id"], "--raw", raw)
        self.assertEqual(result.returncode, 0, result.stderr)
        reply = self.poll()
        self.assertEqual(reply.body, b'{"command":' + raw.encode() + b"}")
        self.assertEqual(result.stdout.decode().strip(), json.loads(raw)["id"])

    def test_acknowledgements_are_recorded_and_deduplicated(self):
        command_id = self.send()
        self.assertEqual(self.poll().status, 200)
        first = self.ack(command_id, "received")
        self.assertEqual((first.status, first.json()["duplicate"]), (200, False))
        again = self.ack(command_id, "received")
        self.assertEqual((again.status, again.json()["duplicate"]), (200, True))
        payload = {"app_key": "codex", "all_stopped": True, "requested_bundle_ids": ["com.openai.codex"]}
        self.assertEqual(self.ack(command_id, "executed", payload, "Stopped Codex.").status, 200)
        acks = ds.admin("acks", "list", "--command", command_id)["acks"]
        self.assertEqual([a["status"] for a in acks], ["received", "executed"])
        self.assertEqual(acks[1]["payload"], payload)
        self.assertEqual(acks[1]["message"], "Stopped Codex.")
        self.assertTrue(acks[1]["idempotency_key"].startswith("ack-%s-%s-executed-" % (command_id, self.device["device_id"])))
        self.assertTrue(acks[1]["received_at"].endswith("Z"))
        # Acknowledged commands are not handed out again.
        self.assertEqual(self.poll().status, 204)

    def test_acknowledgement_refusals(self):
        command_id = self.send("chatgpt")
        body = dc.ack_body(command_id, self.device["device_id"], "received")
        self.assertRefused(self.ack(command_id, "received", header_key=body["idempotency_key"] + "0"), 400,
                           "idempotency_key_mismatch")
        no_header = ds.device_request(self.device, "POST", "/api/desktop/commands/%s/ack" % command_id, body)
        self.assertRefused(no_header, 400)
        other_key = dict(body, idempotency_key="ack-%s-%s-executed-0123456789abcdef" % (command_id, self.device["device_id"]))
        self.assertRefused(self.ack(command_id, "received", body=other_key), 400, "invalid_idempotency_key")
        self.assertRefused(self.ack(command_id, "exploded"), 400)
        self.assertRefused(self.ack(str(uuid.uuid4()), "received"), 404)
        # Another device's command is not found for this one.
        other = new_device()
        foreign = ds.admin("command", "send", "--device", other["device_id"], "--app", "codex")["command_id"]
        self.assertRefused(self.ack(foreign, "received"), 404)
        self.assertEqual(self.ack(command_id, "received").status, 200)
        conflicting = dict(body, message="changed")
        self.assertRefused(self.ack(command_id, "received", body=conflicting), 409)
        self.assertEqual(len(ds.admin("acks", "list", "--command", command_id)["acks"]), 1)

    def test_message_limit_counts_user_perceived_characters(self):
        command_id = self.send()
        self.assertRefused(self.ack(command_id, "failed", message="e\u0301" * 4001), 400)
        self.assertEqual(self.ack(command_id, "failed", message="e\u0301" * 4000).status, 200)

    def age(self, command_id):
        with ds.database() as db:
            db.execute("UPDATE commands SET delivered_at = delivered_at - 61000 WHERE id = ?", (command_id,))

    def test_only_an_outcome_ends_a_command_and_it_is_handed_out_three_times_at_most(self):
        command_id = self.send()
        self.assertEqual(self.poll().json()["command"]["id"], command_id)
        self.assertEqual(self.ack(command_id, "received").status, 200)
        self.assertEqual(self.poll().status, 204)  # within the 60 s
        self.age(command_id)
        self.assertEqual(self.poll().json()["command"]["id"], command_id)  # "received" is no outcome
        self.age(command_id)
        self.assertEqual(self.poll().json()["command"]["id"], command_id)
        self.age(command_id)
        self.assertEqual(self.poll().status, 204)  # three times at most
        done = self.send()
        self.assertEqual(self.poll().json()["command"]["id"], done)
        self.assertEqual(self.ack(done, "ignored", message="command could not be decoded").status, 200)
        self.age(done)
        self.assertEqual(self.poll().status, 204)
        # The same outcome sent again (an agent's outbox) is a duplicate and changes nothing.
        again = self.ack(done, "ignored", message="command could not be decoded")
        self.assertEqual((again.status, again.json()["duplicate"]), (200, True))
        self.age(done)
        self.assertEqual(self.poll().status, 204)

    def test_a_closed_long_poll_does_not_take_the_next_command(self):
        target = "/api/desktop/commands/next?command_protocol_version=2&timeout_ms=20000"
        headers = signed(self.device, "GET", target)
        gone = http.client.HTTPSConnection("localhost", ds.port, context=ds.context, timeout=30)
        gone.request("GET", target, headers=headers)
        time.sleep(0.5)  # the request waits on the service
        gone.close()     # the client goes away, as a killed agent's does
        time.sleep(0.3)
        command_id = self.send()
        # The abandoned poll did not take the command with it: the next poll gets it.
        reply = self.poll(timeout_ms=5000)
        self.assertEqual(reply.status, 200, reply)
        self.assertEqual(reply.json()["command"]["id"], command_id)

    def test_hostile_command_ids_are_acknowledged_by_their_exact_id(self):
        for hostile, segment in (("../../agent-instances/report", "..%2F..%2Fagent-instances%2Freport"),
                                 ("../../../../../../etc/passwd", "..%2F..%2F..%2F..%2F..%2F..%2Fetc%2Fpasswd"),
                                 ("x?y=1#z", "x%3Fy%3D1%23z"), ("%2e%2e", "%252e%252e")):
            raw = json.dumps({"id": hostile, "protocol_version": 1, "action": "terminate_application",
                              "app_key": "codex", "target_bundle_ids": ["com.openai.codex"]})
            self.assertEqual(ds.admin_run("command", "send", "--device", self.device["device_id"], "--raw", raw).returncode, 0)
            self.assertEqual(self.poll().json()["command"]["id"], hostile)
            body = dc.ack_body(hostile, self.device["device_id"], "received")
            headers = {"X-Idempotency-Key": body["idempotency_key"]}
            # The raw id as path segments is another endpoint, never this command's.
            if "/" in hostile:
                loose = ds.device_request(self.device, "POST", "/api/desktop/commands/%s/ack" % hostile, body,
                                          extra_headers=headers)
                self.assertIn(loose.status, (400, 404), loose)
            reply = ds.device_request(self.device, "POST", "/api/desktop/commands/%s/ack" % segment, body,
                                      extra_headers=headers)
            self.assertEqual(reply.status, 200, reply)
            acks = ds.admin("acks", "list", "--command", hostile)["acks"]
            self.assertEqual([a["status"] for a in acks], ["received"])
        for target in ("/api/desktop/commands/./ack", "/api/desktop/commands/%2E%2E/ack", "/api/desktop/commands/%zz/ack"):
            reply = ds.device_request(self.device, "POST", target, {"status": "received"})
            self.assertIn(reply.status, (400, 404), (target, reply))

    def test_concurrent_long_polls_do_not_starve_other_requests(self):
        devices = [new_device() for _ in range(3)] + [self.device]
        replies = {}

        def wait(index, device):
            replies[index] = ds.device_request(device, "GET",
                                               "/api/desktop/commands/next?command_protocol_version=2&timeout_ms=8000")

        waiters = []
        for i in range(24):
            thread = threading.Thread(target=wait, args=(i, devices[i % len(devices)]))
            thread.start()
            waiters.append(thread)
        time.sleep(0.5)
        for _ in range(5):
            self.assertEqual(ds.request("GET", "/api/public-config").status, 200)
        # Answered while every long poll is still held (none has a command, none has run out).
        self.assertEqual(len(replies), 0, "requests waited behind long polls")
        command_id = self.send("claude")
        for thread in waiters:
            thread.join(30)
        statuses = sorted(r.status for r in replies.values())
        self.assertEqual(len(statuses), 24)
        self.assertEqual(statuses.count(200), 1)  # the command goes to exactly one poll
        self.assertEqual(statuses.count(204), 23)
        delivered = [r for r in replies.values() if r.status == 200][0]
        self.assertEqual(delivered.json()["command"]["id"], command_id)

    def test_waiting_polls_are_capped_with_503(self):
        replies = []
        lock = threading.Lock()

        def wait():
            reply = ds.device_request(self.device, "GET",
                                      "/api/desktop/commands/next?command_protocol_version=2&timeout_ms=4000")
            with lock:
                replies.append(reply)

        waiters = [threading.Thread(target=wait) for _ in range(100)]
        for thread in waiters:
            thread.start()
        for thread in waiters:
            thread.join(60)
        statuses = [r.status for r in replies]
        self.assertEqual(len(statuses), 100)
        self.assertEqual(statuses.count(204), 96)
        self.assertEqual(statuses.count(503), 4)
        busy = [r for r in replies if r.status == 503][0]
        self.assertEqual(busy.json()["error"], "busy")
        self.assertEqual(self.poll().status, 204)


class InventoryTests(RefusalAssertions):
    def setUp(self):
        self.device = new_device()

    def report(self, instances):
        return ds.device_request(self.device, "POST", "/api/desktop/agent-instances/report", {"instances": instances})

    def test_reports_are_stored_with_their_time(self):
        instances = [{"local_instance_id": "local_" + "1" * 64, "product": "claude-code", "kind": "process"},
                     {"local_instance_id": "local_" + "2" * 64, "product": "chatgpt", "kind": "application",
                      "bundle_id": "com.openai.chatgpt"}]
        self.assertEqual(self.report(instances[:1]).status, 200)
        self.assertEqual(self.report(instances).status, 200)
        shown = ds.admin("inventory", "show", "--device", self.device["device_id"])["reports"]
        self.assertEqual(len(shown), 1)
        self.assertEqual(shown[0]["instances"], instances)
        self.assertTrue(shown[0]["reported_at"].endswith("Z"))
        text = ds.admin_run("inventory", "show", "--device", self.device["device_id"]).stdout.decode()
        self.assertIn("claude-code", text)
        self.assertIn("2 instance(s)", text)

    def test_malformed_reports_are_refused_naming_the_field(self):
        good = {"local_instance_id": "local_" + "b" * 64, "product": "codex", "kind": "process"}
        for bad in ([dict(good, local_instance_id="local_" + "A" * 64)], [dict(good, local_instance_id="local_123")],
                    [dict(good, product="cursor")], [dict(good, kind="application")],
                    [dict(good, bundle_id="com.openai.codex")], [good] * 33, ["string"]):
            self.assertRefused(self.report(bad), 400, case=bad)
        for body, message in (({"instances": "none"}, "missing or invalid field: instances"),
                              ({"instances": None}, "missing or invalid field: instances"),
                              ({"instances": [dict(good, product=None)]}, "missing or invalid field: product"),
                              ({"instances": [dict(good, kind=7)]}, "missing or invalid field: kind"),
                              ({"instances": [dict(good, bundle_id=5)]}, "invalid field: bundle_id")):
            reply = ds.device_request(self.device, "POST", "/api/desktop/agent-instances/report", body)
            self.assertEqual(self.assertRefused(reply, 400, "invalid_request")["message"], message)
        # An optional field holding null is absent.
        self.assertEqual(self.report([dict(good, bundle_id=None)]).status, 200)


class ClaimTests(RefusalAssertions):
    def setUp(self):
        self.key = dc.DeviceKey(keys_dir)
        self.serial = "CLAIM-" + uuid.uuid4().hex[:8]
        self.uuid = "UUID-" + self.serial

    def challenge(self, invite):
        return self.post({
            "action": "challenge", "invite_code": invite, "human_claim_name": "",
            "hardware_serial_number": self.serial, "hardware_uuid": self.uuid})

    def claim_record(self, challenge, invite, invite_for_hash=None, name="Ada's laptop", key=None):
        key = key or self.key
        payload = dc.enrollment_payload(self.key, self.serial, self.uuid)
        ts, nonce = str(int(time.time())), str(uuid.uuid4())
        payload_hash = dc.sha256_hex(dc.canonical_json(payload))
        invite_hash = dc.sha256_hex(invite_for_hash if invite_for_hash is not None else invite)
        text = "\n".join(["CLAIM", challenge["challenge_id"], challenge["challenge_nonce"], ts, nonce, payload_hash,
                          invite_hash])
        record = {"action": "complete", "challenge_id": challenge["challenge_id"],
                  "challenge_nonce": challenge["challenge_nonce"], "request_timestamp": ts, "request_nonce": nonce,
                  "payload_hash_sha256": payload_hash, "invite_code": invite, "claim_signature_base64": key.sign(text),
                  "payload": payload}
        if name:
            record["human_claim_name"] = name
        return record

    def status(self, claim_id, key=None, serial=None, text_lines=None):
        key = key or self.key
        serial = serial or self.serial
        lines = text_lines or ["CLAIM_STATUS", claim_id, serial, self.uuid]
        return ds.request("POST", "/api/v1/device-claims/status", {
            "claim_request_id": claim_id, "hardware_serial_number": serial, "hardware_uuid": self.uuid,
            "secure_enclave_public_key": key.public_pem, "status_signature_base64": key.sign("\n".join(lines))})

    def post(self, record):
        return ds.request("POST", CLAIMS, record)

    def submit(self):
        invite = ds.admin("invite", "create")["invite_code"]
        challenge = self.challenge("  " + invite.lower() + "\n")  # normalised by the service
        self.assertEqual(challenge.status, 200, challenge)
        reply = self.post(self.claim_record(challenge.json(), invite))
        self.assertEqual(reply.status, 200, reply)
        return invite, reply.json()["claim"]

    def test_claim_status_fault_answers_a_verified_claim_with_the_forced_status(self):
        _, claim = self.submit()
        ds.admin("claims", "approve", claim["id"])
        try:
            # An approval that never comes, approved without credentials, and a status no agent knows.
            for forced in ("PENDING_ADMIN_REVIEW", "APPROVED", "ON_HOLD"):
                ds.admin("fault", "set", "claim-status", "--claim-status", forced)
                # A request that fails verification is refused before the fault is used.
                self.assertRefused(self.status(claim["id"], key=dc.DeviceKey(keys_dir)), 403)
                reply = self.status(claim["id"])
                self.assertEqual(reply.status, 200, reply)
                self.assertEqual(reply.json()["claim"]["status"], forced)
                self.assertNotIn("approved_device_bootstrap", reply.json())
            self.assertIn("approved_device_bootstrap", self.status(claim["id"]).json())
        finally:
            ds.admin("fault", "clear")

    def test_claim_approval_delivers_credentials_once_used(self):
        invite, claim = self.submit()
        self.assertEqual(claim["status"], "PENDING_ADMIN_REVIEW")
        self.assertEqual((claim["hardware_serial_number"], claim["human_claim_name"],
                          claim["requested_device_name"]), (self.serial, "Ada's laptop", "Test Laptop"))
        self.assertEqual(claim["invite_code_hint"], "****" + invite[-4:])
        pending = self.status(claim["id"])
        self.assertEqual(pending.status, 200, pending)
        self.assertEqual(pending.json()["claim"]["status"], "PENDING_ADMIN_REVIEW")
        self.assertNotIn("approved_device_bootstrap", pending.json())
        self.assertIn(claim["id"], [c["id"] for c in ds.admin("claims", "list")["claims"]])

        approved = ds.admin("claims", "approve", claim["id"])
        self.assertEqual(approved["claim"]["status"], "APPROVED")
        status = self.status(claim["id"]).json()
        self.assertEqual(status["claim"]["status"], "APPROVED")
        bootstrap = status["approved_device_bootstrap"]
        self.assertEqual(bootstrap["device"]["id"], approved["device"]["id"])
        self.assertTrue(bootstrap["auth_kind"])
        # Each delivery replaces the previous credentials until the device uses them.
        second = self.status(claim["id"]).json()["approved_device_bootstrap"]
        stale = {"device_id": bootstrap["device"]["id"], "bearer_token": bootstrap["bearer_token"],
                 "device_secret": bootstrap["device_secret"]}
        self.assertRefused(ds.device_request(stale, "GET", NEXT), 401)
        current = dict(stale, bearer_token=second["bearer_token"], device_secret=second["device_secret"])
        self.assertEqual(ds.device_request(current, "GET", NEXT).status, 204)
        after = self.status(claim["id"]).json()
        self.assertEqual(after["claim"]["status"], "APPROVED")
        self.assertNotIn("approved_device_bootstrap", after)
        # Approving twice is an admin error.
        self.assertEqual(ds.admin_run("claims", "approve", claim["id"]).returncode, 1)

    def test_claim_rejection(self):
        _, claim = self.submit()
        self.assertEqual(ds.admin("claims", "reject", claim["id"])["claim"]["status"], "REJECTED")
        status = self.status(claim["id"]).json()
        self.assertEqual(status["claim"]["status"], "REJECTED")
        self.assertNotIn("approved_device_bootstrap", status)

    def test_claim_refusals(self):
        self.assertRefused(self.challenge("NOPE-NOPE-NOPE"), 403, "invalid_invite")
        self.assertRefused(self.post({
            "action": "challenge", "invite_code": "X", "hardware_serial_number": "S", "hardware_uuid": "U"}), 400)
        invite = ds.admin("invite", "create")["invite_code"]
        challenge = self.challenge(invite).json()
        # The invite-code hash must be over the normalised code.
        self.assertRefused(ds.request("POST", CLAIMS,
                                      self.claim_record(challenge, invite, invite_for_hash=invite.lower())),
                           401, "invalid_signature")
        too_long = self.claim_record(challenge, invite, name="n" * 201)
        self.assertRefused(self.post(too_long), 400)
        # The body carries the normalised code.
        self.assertRefused(ds.request("POST", CLAIMS,
                                      self.claim_record(challenge, invite.lower(), invite_for_hash=invite)),
                           400, "invalid_invite")
        other_key = dc.DeviceKey(keys_dir)
        self.assertRefused(ds.request("POST", CLAIMS,
                                      self.claim_record(challenge, invite, key=other_key)), 401, "invalid_signature")
        record = self.claim_record(challenge, invite)
        record["payload_hash_sha256"] = "0" * 64
        self.assertRefused(self.post(record), 400, "payload_hash_mismatch")
        self.assertEqual(self.post(self.claim_record(challenge, invite)).status, 200)
        # The invite is spent; the challenge too.
        self.assertRefused(self.challenge(invite), 403, "invalid_invite")
        self.assertRefused(self.post(self.claim_record(challenge, invite)), 400,
                           "invalid_challenge")
        with ds.database() as db:
            db.execute("UPDATE invites SET expires_at = 0 WHERE code = ?", (ds.admin("invite", "create")["invite_code"],))
            expired = db.execute("SELECT code FROM invites WHERE expires_at = 0").fetchone()[0]
        self.assertRefused(self.challenge(expired), 403, "invalid_invite")

    def test_claim_status_refusals(self):
        _, claim = self.submit()
        self.assertRefused(self.status(claim["id"], text_lines=["CLAIM", claim["id"], self.serial, self.uuid]), 401,
                           "invalid_signature")
        self.assertRefused(self.status(claim["id"], key=dc.DeviceKey(keys_dir)), 403)
        self.assertRefused(self.status(claim["id"], serial="ELSEWHERE"), 403)
        self.assertRefused(self.status(str(uuid.uuid4())), 404)


class LogoutTests(RefusalAssertions):
    def logout(self, credentials, device_id=None, lines=None, key=None):
        device_id = device_id or credentials["device_id"]
        key = key or credentials["key"]
        lines = lines or ["LOGOUT", device_id, credentials["serial"], credentials["uuid"]]
        body = {"device_id": device_id, "hardware_serial_number": credentials["serial"],
                "hardware_uuid": credentials["uuid"], "secure_enclave_public_key": key.public_pem,
                "logout_signature_base64": key.sign("\n".join(lines))}
        body = json.loads(dc.sorted_json(body))
        return ds.device_request(credentials, "POST", "/api/desktop/devices/logout", body)

    def test_logout_removes_the_device(self):
        device = new_device()
        command_id = ds.admin("command", "send", "--device", device["device_id"], "--app", "codex")["command_id"]
        self.assertEqual(self.logout(device).status, 200)
        self.assertNotIn(device["device_id"], [d["id"] for d in ds.admin("devices", "list")["devices"]])
        with ds.database() as db:
            self.assertIsNone(db.execute("SELECT 1 FROM commands WHERE id = ?", (command_id,)).fetchone())
        again = self.assertRefused(self.logout(device), 404)
        self.assertIn("device not found", again["message"].lower())
        self.assertRefused(ds.device_request(device, "GET", NEXT), 401)

    def test_logout_with_the_raw_hardware_identity(self):
        device = dc.register_device(ds, dc.DeviceKey(keys_dir), serial=" PADDED-%s \t" % uuid.uuid4().hex[:6],
                                    hardware_uuid="UUID-PADDED")
        listed = [d for d in ds.admin("devices", "list")["devices"] if d["id"] == device["device_id"]][0]
        self.assertEqual(listed["hardware_serial_number"], device["serial"].strip())
        self.assertEqual(self.logout(device).status, 200)

    def test_logout_refusals(self):
        device = new_device()
        self.assertRefused(self.logout(device, lines=["LOGOUT", device["device_id"], device["serial"]]), 401,
                           "invalid_signature")
        self.assertRefused(self.logout(device, key=dc.DeviceKey(keys_dir)), 403)
        other = new_device()
        self.assertRefused(self.logout(device, device_id=other["device_id"]), 403)
        self.assertRefused(self.logout(dict(device, bearer_token="vdt_forged")), 401)
        self.assertEqual(self.logout(device).status, 200)
        self.assertEqual(self.logout(other).status, 200)


class FaultInjectionTests(RefusalAssertions):
    def tearDown(self):
        ds.admin("fault", "clear")

    def test_status_count_delay_and_malformed(self):
        ds.admin("fault", "set", "public-config", "--status", "503", "--count", "2")
        self.assertRefused(ds.request("GET", "/api/public-config"), 503, "injected_fault")
        self.assertRefused(ds.request("GET", "/api/public-config"), 503)
        self.assertEqual(ds.request("GET", "/api/public-config").status, 200)

        device = new_device()
        ds.admin("fault", "set", "/api/desktop/commands/next", "--malformed")
        reply = ds.device_request(device, "GET", NEXT)
        self.assertEqual(reply.status, 200)
        with self.assertRaises(ValueError):
            json.loads(reply.body)
        self.assertEqual(ds.device_request(device, "GET", NEXT).status, 204)

        ds.admin("fault", "set", "ack", "--delay-ms", "400")
        command_id = ds.admin("command", "send", "--device", device["device_id"], "--app", "codex")["command_id"]
        body = dc.ack_body(command_id, device["device_id"], "received")
        started = time.monotonic()
        reply = ds.device_request(device, "POST", "/api/desktop/commands/%s/ack" % command_id, body,
                                  extra_headers={"X-Idempotency-Key": body["idempotency_key"]})
        self.assertEqual(reply.status, 200)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)

    def test_sign_in_faults(self):
        # The provider's refusal comes back to the callback with the request's state.
        ds.admin("fault", "set", "authorize", "--oauth-error", "access_denied")
        reply, params, _ = SignInTests.authorize(self)
        self.assertEqual(reply.status, 302)
        location = urlsplit(reply.headers["location"])
        self.assertEqual(location.netloc, "127.0.0.1:53682")
        query = parse_qs(location.query)
        self.assertEqual((query["error"], query["state"]), (["access_denied"], [params["state"]]))
        self.assertNotIn("code", query)
        # The next authorization is answered normally.
        reply, _, _ = SignInTests.authorize(self)
        self.assertIn("code", parse_qs(urlsplit(reply.headers["location"]).query))
        # A server detail of the caller's choosing.
        detail = "redirect_uri does not match previously seen redirect URI"
        ds.admin("fault", "set", "token", "--status", "400", "--message", detail)
        body = self.assertRefused(ds.request("POST", "/token", "grant_type=x", FORM), 400)
        self.assertEqual(body["message"], detail)
    def test_a_fault_on_a_post_reads_its_body_first(self):
        # Two requests on one keep-alive connection: the first is answered by the fault; its body
        # must not be taken for the second request.
        device = new_device()
        ds.admin("fault", "set", "inventory", "--status", "500", "--count", "1")
        connection = http.client.HTTPSConnection("localhost", ds.port, context=ds.context, timeout=30)
        statuses = []
        try:
            for _ in range(2):
                body = b'{"instances":[]}'
                headers = signed(device, "POST", "/api/desktop/agent-instances/report", body)
                connection.request("POST", "/api/desktop/agent-instances/report", body=body, headers=headers)
                reply = connection.getresponse()
                reply.read()
                statuses.append(reply.status)
        finally:
            connection.close()
        self.assertEqual(statuses, [500, 200])

    def test_until_cleared_and_admin_refusals(self):
        ds.admin("fault", "set", "token", "--status", "500", "--count", "0")
        for _ in range(3):
            self.assertRefused(ds.request("POST", "/token", "grant_type=x", FORM), 500)
        ds.admin("fault", "clear")
        self.assertRefused(ds.request("POST", "/token", "grant_type=x", FORM), 401, "invalid_client")


class RobustnessTests(RefusalAssertions):
    def test_malformed_requests_get_json_errors(self):
        token = ds.admin("token", "issue")["access_token"]
        auth = {"Authorization": "Bearer " + token}
        register = REGISTER
        self.assertRefused(ds.request("POST", register, "{", auth), 400, "invalid_json")
        self.assertRefused(ds.request("POST", register, "[1,2]", auth), 400, "invalid_json")
        self.assertRefused(ds.request("POST", register, b"\xff\xfe", auth), 400)
        self.assertRefused(ds.request("POST", register, "{}", dict(auth, **{"Content-Type": "text/plain"})), 415)
        self.assertRefused(ds.request("POST", register, {"action": 7}, auth), 400)
        self.assertRefused(ds.request("POST", register, {"action": "dance"}, auth), 400)
        self.assertRefused(ds.request("POST", register, {"action": "challenge", "hardware_serial_number": ["x"],
                                                         "hardware_uuid": "u"}, auth), 400)
        self.assertRefused(ds.request("POST", "/api/v1/device-claims/status", {"claim_request_id": None}), 400)
        self.assertRefused(ds.request("POST", CLAIMS, "x" * (2 * 1024 * 1024)), 413)
        self.assertRefused(ds.request("GET", "/no/such/thing"), 404)
        self.assertRefused(ds.request("POST", "/api/desktop/devices/logout", {"device_id": str(uuid.uuid4()),
                                      "hardware_serial_number": "s", "hardware_uuid": "u",
                                      "secure_enclave_public_key": "k", "logout_signature_base64": "AAAA"}), 404)
        self.assertEqual(ds.request("GET", "/api/public-config").status, 200)
        self.assertIsNone(ds.process.poll())

    def test_admin_failures_exit_1_with_a_message(self):
        for args in (["claims", "approve", str(uuid.uuid4())], ["command", "send", "--device", "nope", "--app", "claude"],
                     ["command", "send", "--device", "x"], ["command", "send", "--device", "x", "--app", "vim"],
                     ["command", "send", "--device", "x", "--raw", "{oops"], ["teleport", "now"],
                     ["inventory", "show", "--device", "nope"], ["fault", "set", "token", "--message", "x"],
                     ["fault", "set", "token", "--oauth-error", "e"],
                     ["fault", "set", "authorize", "--claim-status", "X"],
                     ["fault", "set", "nowhere", "--status", "500"], ["fault", "set", "token"],
                     ["fault", "set", "token", "--status", "99"], ["fault", "set", "token", "--count", "x"]):
            result = ds.admin_run(*args)
            self.assertEqual((result.returncode, result.stdout), (1, b""), args)
            self.assertTrue(result.stderr.strip(), args)


class ProcessTests(unittest.TestCase):
    def test_state_is_private_and_the_port_exclusive(self):
        self.assertEqual(os.stat(ds.state_dir).st_mode & 0o777, 0o700)
        self.assertEqual(os.stat(os.path.join(ds.state_dir, "devservice.sqlite3")).st_mode & 0o777, 0o600)
        with tempfile.TemporaryDirectory(prefix="devservice-second-") as state:
            second = dc.subprocess.run([dc.BINARY, "serve", "--state", state, "--listen", "127.0.0.1:%d" % ds.port],
                                       capture_output=True, timeout=30)
        self.assertEqual(second.returncode, 1)
        self.assertIn(b"cannot listen", second.stderr)
        self.assertEqual(second.stdout, b"")
        bad = dc.subprocess.run([dc.BINARY, "serve", "--listen", "nowhere"], capture_output=True, timeout=30)
        self.assertEqual(bad.returncode, 1)
        self.assertTrue(bad.stderr)

    def test_state_survives_a_restart(self):
        server = dc.Devservice().start()
        try:
            device = dc.register_device(server, dc.DeviceKey(keys_dir))
            command_id = server.admin("command", "send", "--device", device["device_id"], "--app", "claude")["command_id"]
            server.stop()
            # admin works without a running server, on the same state.
            self.assertEqual(len(server.admin("devices", "list")["devices"]), 1)
            server.start()
            reply = server.device_request(device, "GET", NEXT)
            self.assertEqual(reply.json()["command"]["id"], command_id)
        finally:
            server.cleanup()


if __name__ == "__main__":
    unittest.main()
