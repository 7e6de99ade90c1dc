"""The Debian package built from the dev build: its contents and metadata, the installed agent
run from an unpacked root, and the verdicts of the Debian and freedesktop validators.

Paths come from the environment CTest gives: MORNIX_BUILD_DIR (the configured and built tree),
MORNIX_CODESIGN_TOOL, MORNIX_DEV_PKI_DIR, MORNIX_MAKE_FAKE_AGENT."""

import glob
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("MORNIX_BUILD_DIR", "")
CODESIGN = os.environ.get("MORNIX_CODESIGN_TOOL", "")
PKI = os.environ.get("MORNIX_DEV_PKI_DIR", "")
MAKE_FAKE_AGENT = os.environ.get("MORNIX_MAKE_FAKE_AGENT", "")

PACKAGE = "veltro-mornix"
APP_ID = "ai.veltro.mornix"
BUNDLE = "/opt/VeltroMornix/VeltroMornix.app"
EXECUTABLE = BUNDLE + "/Contents/MacOS/VeltroMornix"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
MAINTAINER_SCRIPTS = ("preinst", "postinst", "prerm", "postrm", "config")


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def switches(text):
    return set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text))


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="mornix-package-")
        out = os.path.join(cls.dir, "out")
        built = run(["cpack", "-G", "DEB", "-B", out, "--config", os.path.join(BUILD, "CPackConfig.cmake")], cwd=BUILD)
        if built.returncode != 0:
            raise AssertionError("cpack failed:\n%s\n%s" % (built.stdout, built.stderr))
        debs = glob.glob(os.path.join(out, "*.deb"))
        if len(debs) != 1:
            raise AssertionError("expected one .deb, found %r" % debs)
        cls.deb = debs[0]
        cls.root = os.path.join(cls.dir, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        cls.control = os.path.join(cls.dir, "control")
        subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control], check=True)
        cls.env = dict(os.environ)
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
            cls.env.pop(key, None)
        for key, sub in (("HOME", "home"), ("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                         ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp")):
            path = os.path.join(cls.dir, sub)
            os.makedirs(path, mode=0o700)
            cls.env[key] = path
        cls.env["VELTRO_KEYCHAIN"] = "file"
        cls.env["QT_QPA_PLATFORM"] = "offscreen"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def installed(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def command(self):
        """The installed /usr/bin command, as a link of the same name into the unpacked root (its
        own target is absolute and names the real /opt)."""
        link = os.path.join(self.dir, "bin", PACKAGE)
        if not os.path.islink(link):
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink(self.installed(os.readlink(self.installed("/usr/bin/" + PACKAGE))), link)
        return link

    def run_installed(self, *args):
        result = run([self.command(), *args], env=self.env, timeout=60)
        self.assertEqual(result.returncode, 0, "%s failed: %s" % (args, result.stderr))
        return result.stdout

    def test_control_fields_and_no_maintainer_scripts(self):
        fields = run(["dpkg-deb", "-f", self.deb, "Package", "Version", "Architecture", "Depends"]).stdout
        self.assertIn("Package: " + PACKAGE, fields)
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        self.assertIn("Architecture: " + arch, fields)
        depends = re.search(r"^Depends: (.*)$", fields, re.M)
        self.assertIsNotNone(depends, "no Depends field: shlibdeps did not run")
        # Computed from the bundle's executable and modules: the C library and the Qt and crypto
        # libraries the executable links, libsecret, the TSS stack and libxcb from the modules.
        for library_package in ("libc6", "libqt6core6", "libssl3", "libsecret-1-0", "libplist", "libtss2-esys",
                                "libxcb1"):
            self.assertIn(library_package, depends.group(1))
        present = set(os.listdir(self.control))
        self.assertFalse(present & set(MAINTAINER_SCRIPTS), "maintainer scripts: %s" % (present & set(MAINTAINER_SCRIPTS)))

    def test_layout(self):
        link = self.installed("/usr/bin/" + PACKAGE)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(os.readlink(link), EXECUTABLE)
        self.assertTrue(os.access(self.installed(EXECUTABLE), os.X_OK))
        for path in ("/usr/share/applications/%s.desktop" % APP_ID, "/usr/share/metainfo/%s.metainfo.xml" % APP_ID,
                     "/usr/share/man/man1/%s.1.gz" % PACKAGE, "/usr/share/doc/%s/copyright" % PACKAGE,
                     "/usr/share/doc/%s/changelog.gz" % PACKAGE,
                     "/usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID):
            self.assertTrue(os.path.isfile(self.installed(path)), path)
        # Every PNG is in the folder of its own size.
        for size in ICON_SIZES:
            path = self.installed("/usr/share/icons/hicolor/%dx%d/apps/%s.png" % (size, size, APP_ID))
            with open(path, "rb") as f:
                header = f.read(24)
            self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n", path)
            self.assertEqual(struct.unpack(">II", header[16:24]), (size, size), path)

    def test_installed_bundle_is_sealed_and_carries_no_build_paths(self):
        bundle = self.installed(BUNDLE)
        verified = run([CODESIGN, "--verify", "--anchors", os.path.join(PKI, "codesign-anchor.pem"), bundle])
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        # A library search path into the build tree would load the build's modules, or none.
        for folder, _, files in os.walk(bundle):
            for name in files:
                path = os.path.join(folder, name)
                if os.path.islink(path) or not is_elf(path):
                    continue
                dynamic = run(["readelf", "-d", path]).stdout
                for entries in re.findall(r"\((?:RPATH|RUNPATH)\).*\[(.*)\]", dynamic):
                    for entry in entries.split(":"):
                        self.assertTrue(entry.startswith("$ORIGIN"), "%s searches %s" % (path, entry))

    def test_installed_command_modes(self):
        bridge = json.loads(self.run_installed("--desktop-bridge-version"))
        self.assertEqual(bridge["protocol_version"], 1)
        status = json.loads(self.run_installed("--desktop-control-status"))
        self.assertIs(status["enrolled"], False)
        # A genuine signed client is recognised by the installed agent's compiled-in trust: one
        # more Claude Code process is listed while it runs.
        def claude_code_processes():
            listed = json.loads(self.run_installed("--print-agent-instances"))
            return [i for i in listed if i.get("product") == "claude-code" and i.get("kind") == "process"]

        fake_dir = os.path.join(self.dir, "fake")
        made = run([MAKE_FAKE_AGENT, "--build", BUILD, "claude-code", fake_dir])
        self.assertEqual(made.returncode, 0, made.stderr)
        before = claude_code_processes()
        client = subprocess.Popen([made.stdout.strip()], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            during = claude_code_processes()
        finally:
            client.terminate()
            client.wait(timeout=10)
        self.assertEqual(len(during), len(before) + 1, during)

    def test_manual_page_lists_every_switch(self):
        helped = self.run_installed("--help")
        unpacked = run(["gzip", "-dc", self.installed("/usr/share/man/man1/%s.1.gz" % PACKAGE)]).stdout
        page = unpacked.replace("\\-", "-").replace("\\fB", "").replace("\\fR", "")
        self.assertGreater(len(switches(helped)), 10)
        self.assertEqual(switches(page), switches(helped))

    def test_validators(self):
        desktop = run(["desktop-file-validate", self.installed("/usr/share/applications/%s.desktop" % APP_ID)])
        self.assertEqual((desktop.returncode, desktop.stdout.strip()), (0, ""), desktop.stdout)
        metainfo = run(["appstreamcli", "validate", "--no-net", "--explain",
                        self.installed("/usr/share/metainfo/%s.metainfo.xml" % APP_ID)])
        self.assertEqual(metainfo.returncode, 0, metainfo.stdout + metainfo.stderr)
        lint = run(["lintian", "--fail-on", "error", self.deb])
        errors = [line for line in lint.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], lint.stdout)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)


if __name__ == "__main__":
    unittest.main()
