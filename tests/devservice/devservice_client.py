"""An independent client of veltro-devservice for tests and benchmarks.

Everything whose bytes are fixed is built here with the Python standard library and the
openssl command line, never with the agent's or the service's own code: canonical JSON,
payload hashes, the signed texts (ECDSA P-256 via `openssl dgst`), the request signature
(HMAC-SHA-256 via hmac/hashlib) and PKCE S256.
"""

import base64
import hashlib
import hmac
import http.client
import json
import os
import shutil
import sqlite3
import ssl
import subprocess
import tempfile
import time
import uuid

BINARY = os.environ.get("DEVSERVICE_BINARY", "veltro-devservice")
PKI_DIR = os.environ.get("MORNIX_DEV_PKI_DIR", "")


def canonical_json(value):
    """Sorted keys, no whitespace, solidus bare, non-ASCII unchanged."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def sha256_hex(data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    return hashlib.sha256(data).hexdigest()


def pkce_challenge(verifier):
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    return base64.urlsafe_b64encode(digest).decode("ascii").rstrip("=")


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    def __repr__(self):
        return "Response(%d, %r)" % (self.status, self.body[:300])


class Devservice:
    """A real `veltro-devservice serve` process on an ephemeral port with its own state."""

    def __init__(self, state_dir=None):
        self.own_state = state_dir is None
        self.state_dir = state_dir or tempfile.mkdtemp(prefix="devservice-state-")
        self.log_path = os.path.join(self.state_dir, "server.log")
        self.process = None
        self.port = None
        self.context = ssl.create_default_context(cafile=os.path.join(PKI_DIR, "tls-ca.pem"))

    def start(self):
        self.log = open(self.log_path, "ab")
        self.process = subprocess.Popen(
            [BINARY, "serve", "--state", self.state_dir, "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=self.log)
        line = self.process.stdout.readline().decode().strip()
        if not line.startswith("listening on https://"):
            raise RuntimeError("server did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        if self.process:
            self.process.stdout.close()
            self.log.close()
        self.process = None

    def cleanup(self):
        self.stop()
        if self.own_state:
            shutil.rmtree(self.state_dir, ignore_errors=True)

    @property
    def origin(self):
        return "https://localhost:%d" % self.port

    # --- HTTP ---------------------------------------------------------------------------------
    def request(self, method, target, body=None, headers=None, timeout=30):
        if isinstance(body, (dict, list)):
            body = json.dumps(body, separators=(",", ":")).encode()
        elif isinstance(body, str):
            body = body.encode()
        headers = dict(headers or {})
        if body is not None and "Content-Type" not in headers:
            headers["Content-Type"] = "application/json"
        connection = http.client.HTTPSConnection("localhost", self.port, context=self.context, timeout=timeout)
        try:
            connection.request(method, target, body=body, headers=headers)
            reply = connection.getresponse()
            return Response(reply.status, {k.lower(): v for k, v in reply.getheaders()}, reply.read())
        finally:
            connection.close()

    def device_request(self, credentials, method, target, body=None, **overrides):
        """A device-authenticated request signed like the agent signs it."""
        if isinstance(body, (dict, list)):
            body = json.dumps(body, separators=(",", ":")).encode()
        headers = signed_headers(method, target, body or b"", credentials["device_id"], credentials["device_secret"],
                                 **{k: v for k, v in overrides.items() if k in ("timestamp", "nonce", "hmac_key")})
        headers["Authorization"] = "Bearer " + credentials["bearer_token"]
        headers.update(overrides.get("extra_headers", {}))
        for name in overrides.get("drop_headers", []):
            headers.pop(name, None)
        if body is not None:
            headers["Content-Type"] = "application/json"
        return self.request(method, target, body=body, headers=headers)

    # --- admin --------------------------------------------------------------------------------
    def admin_run(self, *args):
        return subprocess.run([BINARY, "admin", "--state", self.state_dir] + list(args),
                              capture_output=True, timeout=30)

    def admin(self, *args):
        result = self.admin_run("--json", *args)
        if result.returncode != 0:
            raise RuntimeError("admin %s failed: %s" % (" ".join(args), result.stderr.decode()))
        return json.loads(result.stdout)

    def database(self):
        return sqlite3.connect(os.path.join(self.state_dir, "devservice.sqlite3"), timeout=10)


def signed_headers(method, target, body, device_id, secret, timestamp=None, nonce=None, hmac_key=None):
    """The eight request-signature headers over method, the target exactly as sent (path and raw
    query), timestamp, nonce and body hash; the key is the 64 hex characters of SHA-256(secret)."""
    timestamp = str(int(time.time())) if timestamp is None else str(timestamp)
    nonce = nonce or str(uuid.uuid4())
    text = "\n".join([method.upper(), target, timestamp, nonce, sha256_hex(body)])
    key = hmac_key if hmac_key is not None else sha256_hex(secret).encode("ascii")
    signature = "v1=" + hmac.new(key, text.encode("utf-8"), hashlib.sha256).hexdigest()
    return {
        "x-veltro-device-id": device_id, "x-veltro-key-id": device_id,
        "x-veltro-device-ts": timestamp, "x-veltro-ts": timestamp,
        "x-veltro-device-nonce": nonce, "x-veltro-nonce": nonce,
        "x-veltro-device-signature": signature, "x-veltro-signature": signature,
    }


class DeviceKey:
    """A P-256 key held by the openssl command line."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "key-%s.pem" % uuid.uuid4().hex)
        subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-out", self.path], check=True, capture_output=True)
        pem = subprocess.run(["openssl", "pkey", "-in", self.path, "-pubout"], check=True,
                             capture_output=True).stdout.decode()
        self.public_pem = pem.rstrip("\n")  # the agent's export has no final line feed

    def sign(self, text):
        der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.path], input=text.encode("utf-8"),
                             check=True, capture_output=True).stdout
        return base64.b64encode(der).decode("ascii")


def enrollment_payload(key, serial="SERIAL-1", hardware_uuid="UUID-1", name="Test Laptop"):
    return {
        "device_name": name,
        "hardware_serial_number": serial,
        "hardware_uuid": hardware_uuid,
        "secure_enclave_public_key": key.public_pem,
        "posture": {"sip_enabled": True, "sip_raw_status": "System Integrity Protection status: enabled.",
                    # Escapes and non-ASCII that canonical JSON must reproduce byte for byte.
                    "filevault_raw_status": "unknown / \"quoted\"\n\t\u0001 \u00e9 \U0001F600 \\"},
        "agent": {"collector": "veltro-mornix-keychain-agent", "generated_at": "2026-01-31T08:15:00Z",
                  "key_algorithm": "P-256", "signature_algorithm": "ECDSA_SHA256",
                  "key_accessibility": "kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly"},
    }


def registration_record(key, challenge, payload=None, timestamp=None, nonce=None, lines=None):
    payload = payload or enrollment_payload(key)
    timestamp = str(int(time.time())) if timestamp is None else str(timestamp)
    nonce = nonce or str(uuid.uuid4())
    payload_hash = sha256_hex(canonical_json(payload))
    lines = lines or ["REGISTER", challenge["challenge_id"], challenge["challenge_nonce"], timestamp, nonce, payload_hash]
    return {
        "action": "complete",
        "challenge_id": challenge["challenge_id"], "challenge_nonce": challenge["challenge_nonce"],
        "request_timestamp": timestamp, "request_nonce": nonce, "payload_hash_sha256": payload_hash,
        "registration_signature_base64": key.sign("\n".join(lines)), "payload": payload,
    }


def register_device(ds, key, serial="SERIAL-1", hardware_uuid="UUID-1", token=None):
    """Registers a device like the agent does: the challenge carries the cleaned identity
    (trimmed, control characters removed), the signed payload the raw one. Returns credentials
    for device_request."""
    token = token or ds.admin("token", "issue")["access_token"]
    auth = {"Authorization": "Bearer " + token}
    challenge = ds.request("POST", "/api/desktop/devices/register", {
        "action": "challenge", "hardware_serial_number": clean(serial), "hardware_uuid": clean(hardware_uuid)}, auth)
    assert challenge.status == 200, challenge
    payload = enrollment_payload(key, serial, hardware_uuid)
    reply = ds.request("POST", "/api/desktop/devices/register",
                       registration_record(key, challenge.json(), payload), auth)
    assert reply.status == 200, reply
    body = reply.json()
    return {"device_id": body["device"]["id"], "bearer_token": body["device_bearer_token"],
            "device_secret": body["device_secret"], "device": body["device"],
            "serial": serial, "uuid": hardware_uuid, "key": key}


def clean(text, limit=4000):
    return "".join(c for c in text.strip() if ord(c) >= 0x20 and ord(c) != 0x7F)[:limit]


def sorted_json(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


def ack_body(command_id, device_id, status, payload=None, message=None):
    payload = payload if payload is not None else {}
    key = "ack-%s-%s-%s-%s" % (command_id, device_id, status, sha256_hex(sorted_json(payload))[:16])
    return {"status": status, "message": message if message is not None else status, "payload": payload,
            "idempotency_key": key}
