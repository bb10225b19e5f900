"""Tests of what the packaging installs: the system manifests written by
`cmake --install`, the per-user script, and the Debian package.

Environment (set by CTest): TOKEN_HOST_SOURCE_DIR, TOKEN_HOST_BUILD_DIR,
CMAKE_COMMAND, CPACK_COMMAND.
"""
import base64
import hashlib
import json
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.environ.get("TOKEN_HOST_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("TOKEN_HOST_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CPACK = os.environ.get("CPACK_COMMAND", "cpack")
INSTALL_USER = os.path.join(SOURCE_DIR, "packaging", "install-user.sh")

HOST_NAME = "com.tokenhost.native"
MANIFEST = HOST_NAME + ".json"
DEMO_CHROME_ID = "mcbdpadjgapfofhdbloaelgnfgjlihgl"
DEMO_FIREFOX_ID = "token-host-demo@example.com"
MAN_PAGE = "share/man/man1/token-host.1.gz"
SYSTEM_DIRS = {
    "chrome": "etc/opt/chrome/native-messaging-hosts",
    "chromium": "etc/chromium/native-messaging-hosts",
    "firefox": "usr/lib/mozilla/native-messaging-hosts",
}


# Debian's names for the ELF machines the host is built for.
DEBIAN_ARCHITECTURES = {0x3E: "amd64", 0xB7: "arm64"}
ELF_SYMBOL_TABLE = 2


def elf_machine(elf):
    return int.from_bytes(elf[18:20], "little")


def elf_section_types(elf):
    """The type of every section of a 64-bit little-endian ELF file."""
    offset = int.from_bytes(elf[0x28:0x30], "little")
    size = int.from_bytes(elf[0x3A:0x3C], "little")
    count = int.from_bytes(elf[0x3C:0x3E], "little")
    return [int.from_bytes(elf[offset + i * size + 4:offset + i * size + 8], "little") for i in range(count)]


def chrome_extension_id(public_key_base64):
    """The id Chromium gives an extension whose manifest pins this key."""
    digest = hashlib.sha256(base64.b64decode(public_key_base64)).hexdigest()[:32]
    return "".join(chr(ord("a") + int(digit, 16)) for digit in digest)


def read_json(path):
    with open(path) as manifest:
        return json.load(manifest)


class ManifestAssertions:
    def assertChromiumManifest(self, path, host_path, ids):
        self.assertEqual(read_json(path), {
            "name": HOST_NAME,
            "description": "Token host: signs bank transactions with the USB security key",
            "path": host_path,
            "type": "stdio",
            "allowed_origins": ["chrome-extension://%s/" % extension_id for extension_id in ids],
        })

    def assertFirefoxManifest(self, path, host_path, ids):
        manifest = read_json(path)
        self.assertEqual(manifest["name"], HOST_NAME)
        self.assertEqual(manifest["path"], host_path)
        self.assertEqual(manifest["type"], "stdio")
        self.assertEqual(manifest["allowed_extensions"], ids)
        self.assertNotIn("allowed_origins", manifest)


class InstallTree(ManifestAssertions, unittest.TestCase):
    """`cmake --install` with a prefix, into a DESTDIR."""

    PREFIX = "/opt/token host"  # a space must survive into the JSON

    @classmethod
    def setUpClass(cls):
        cls.destdir = tempfile.mkdtemp(prefix="token-host-install-")
        env = dict(os.environ, DESTDIR=cls.destdir)
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.PREFIX], env=env, check=True,
                       stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.destdir, ignore_errors=True)

    def staged(self, path):
        return os.path.join(self.destdir, path.lstrip("/"))

    def test_manifests_name_the_installed_host(self):
        host = self.PREFIX + "/libexec/token-host/token-host"
        self.assertTrue(os.access(self.staged(host), os.X_OK))
        self.assertTrue(os.path.isfile(self.staged(self.PREFIX + "/" + MAN_PAGE)))
        for browser in ("chrome", "chromium"):
            self.assertChromiumManifest(self.staged(os.path.join(SYSTEM_DIRS[browser], MANIFEST)), host,
                                        [DEMO_CHROME_ID])
        self.assertFirefoxManifest(self.staged(os.path.join(SYSTEM_DIRS["firefox"], MANIFEST)), host,
                                   [DEMO_FIREFOX_ID])

    def test_device_layer_sits_beside_the_host(self):
        # The host loads it from its own folder when a command needs the key.
        self.assertTrue(os.path.isfile(self.staged(self.PREFIX + "/libexec/token-host/token-host-device.so")))

    def test_install_manifest_lists_the_browser_manifests(self):
        # `xargs rm < install_manifest.txt` is the documented uninstall.
        with open(os.path.join(BUILD_DIR, "install_manifest.txt")) as listing:
            installed = listing.read().split("\n")
        for folder in SYSTEM_DIRS.values():
            self.assertIn("/%s/%s" % (folder, MANIFEST), installed)

    def test_manifests_are_world_readable(self):
        for folder in SYSTEM_DIRS.values():
            mode = os.stat(self.staged(os.path.join(folder, MANIFEST))).st_mode
            self.assertTrue(mode & stat.S_IROTH)

    def test_demo_extensions_carry_the_allowed_ids(self):
        demo = self.staged(self.PREFIX + "/share/token-host/demo")
        chromium = read_json(os.path.join(demo, "extension-chromium", "manifest.json"))
        self.assertEqual(chrome_extension_id(chromium["key"]), DEMO_CHROME_ID)
        self.assertEqual(chromium["manifest_version"], 3)
        firefox = read_json(os.path.join(demo, "extension-firefox", "manifest.json"))
        self.assertEqual(firefox["browser_specific_settings"]["gecko"]["id"], DEMO_FIREFOX_ID)
        for manifest in (chromium, firefox):
            self.assertIn("nativeMessaging", manifest["permissions"])
        for folder in ("extension-chromium", "extension-firefox"):
            for script in ("background.js", "content.js"):
                self.assertTrue(os.path.isfile(os.path.join(demo, folder, script)))

    def test_demo_extension_talks_to_the_installed_host_name(self):
        with open(os.path.join(SOURCE_DIR, "demo", "extension", "background.js")) as background:
            self.assertIn('"%s"' % HOST_NAME, background.read())

    def test_user_script_finds_the_installed_host(self):
        home = tempfile.mkdtemp(prefix="token-host-home-")
        try:
            script = self.staged(self.PREFIX + "/share/token-host/install-user.sh")
            env = {"HOME": home, "PATH": os.environ["PATH"]}
            subprocess.run(["sh", script, "--browser", "firefox"], env=env, check=True, stdout=subprocess.DEVNULL)
            manifest = read_json(os.path.join(home, ".mozilla", "native-messaging-hosts", MANIFEST))
            self.assertEqual(manifest["path"], self.staged(self.PREFIX + "/libexec/token-host/token-host"))
        finally:
            shutil.rmtree(home, ignore_errors=True)


class ConfigureOptions(ManifestAssertions, unittest.TestCase):
    """The extension ids and manifest folders chosen when configuring."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="token-host-configure-")

    def tearDown(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def configure(self, *options):
        """Configures a fresh build folder (a failed run leaves its values cached)."""
        self.build = tempfile.mkdtemp(dir=self.scratch)
        return subprocess.run([CMAKE, "-S", SOURCE_DIR, "-B", self.build,
                               "-DTOKEN_HOST_BUILD_TESTS=OFF"] + list(options),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)

    def test_lists_every_configured_id_and_skips_emptied_folders(self):
        chrome_ids = [DEMO_CHROME_ID, "abcdefghijklmnopabcdefghijklmnop"]
        firefox_ids = ["bank@bank.example", "{12345678-9abc-def0-1234-56789abcdef0}"]
        result = self.configure("-DTOKEN_HOST_CHROME_EXTENSION_IDS=" + ";".join(chrome_ids),
                                "-DTOKEN_HOST_FIREFOX_EXTENSION_IDS=" + ";".join(firefox_ids),
                                "-DTOKEN_HOST_CHROME_MANIFEST_DIR=")
        self.assertEqual(result.returncode, 0, result.stdout)
        stage = os.path.join(self.scratch, "stage")
        subprocess.run([CMAKE, "--install", self.build, "--component", "manifests",
                        "--prefix", "/usr"], env=dict(os.environ, DESTDIR=stage), check=True,
                       stdout=subprocess.DEVNULL)
        host = "/usr/libexec/token-host/token-host"
        self.assertChromiumManifest(os.path.join(stage, SYSTEM_DIRS["chromium"], MANIFEST), host, chrome_ids)
        self.assertFirefoxManifest(os.path.join(stage, SYSTEM_DIRS["firefox"], MANIFEST), host, firefox_ids)
        self.assertFalse(os.path.exists(os.path.join(stage, SYSTEM_DIRS["chrome"])))

    def test_refuses_malformed_ids(self):
        for option in ("-DTOKEN_HOST_CHROME_EXTENSION_IDS=notanid",
                       "-DTOKEN_HOST_CHROME_EXTENSION_IDS=abcdefghijklmnopabcdefghijklmnoq\\\"",
                       "-DTOKEN_HOST_CHROME_EXTENSION_IDS=",
                       "-DTOKEN_HOST_FIREFOX_EXTENSION_IDS=bank\\\"@x",
                       "-DTOKEN_HOST_FIREFOX_EXTENSION_IDS={1234}"):
            with self.subTest(option=option):
                result = self.configure(option)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("extension id", result.stdout)

    def test_refuses_build_paths_unfit_for_the_program(self):
        for option in ("-DTOKEN_HOST_MODULE_PATH=lib/module.so",
                       '-DTOKEN_HOST_CHOOSER_PATH=/usr/bin/cho"oser'):  # would end the C string
            with self.subTest(option=option):
                result = self.configure(option)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("must be an absolute path", result.stdout)


class UserScript(ManifestAssertions, unittest.TestCase):
    """packaging/install-user.sh against a scratch HOME."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="token-host-home-")
        self.host = os.path.join(self.home, "bin", "token-host")
        os.makedirs(os.path.dirname(self.host))
        with open(self.host, "w") as host:
            host.write("#!/bin/sh\n")
        os.chmod(self.host, 0o755)
        self.places = {
            "chrome": os.path.join(self.home, ".config", "google-chrome", "NativeMessagingHosts", MANIFEST),
            "chromium": os.path.join(self.home, ".config", "chromium", "NativeMessagingHosts", MANIFEST),
            "firefox": os.path.join(self.home, ".mozilla", "native-messaging-hosts", MANIFEST),
        }

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def run_script(self, *args):
        env = {"HOME": self.home, "PATH": os.environ["PATH"]}
        return subprocess.run(["sh", INSTALL_USER] + list(args), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)

    def assertNothingWritten(self):
        for place in self.places.values():
            self.assertFalse(os.path.exists(place), place)

    def test_registers_with_every_browser_by_default(self):
        result = self.run_script("--host", self.host)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertChromiumManifest(self.places["chrome"], self.host, [DEMO_CHROME_ID])
        self.assertChromiumManifest(self.places["chromium"], self.host, [DEMO_CHROME_ID])
        self.assertFirefoxManifest(self.places["firefox"], self.host, [DEMO_FIREFOX_ID])

    def test_lists_every_given_extension(self):
        second_chrome = "abcdefghijklmnopabcdefghijklmnop"
        guid = "{12345678-9abc-def0-1234-56789abcdef0}"
        result = self.run_script("--host", self.host, "--chrome-id", DEMO_CHROME_ID, "--chrome-id", second_chrome,
                                 "--firefox-id", "bank@example.org", "--firefox-id", guid)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertChromiumManifest(self.places["chromium"], self.host, [DEMO_CHROME_ID, second_chrome])
        self.assertFirefoxManifest(self.places["firefox"], self.host, ["bank@example.org", guid])

    def test_honours_xdg_config_home_for_chromium_browsers(self):
        config = os.path.join(self.home, "elsewhere")
        env = {"HOME": self.home, "XDG_CONFIG_HOME": config, "PATH": os.environ["PATH"]}
        subprocess.run(["sh", INSTALL_USER, "--host", self.host, "--browser", "chromium"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        self.assertTrue(os.path.isfile(os.path.join(config, "chromium", "NativeMessagingHosts", MANIFEST)))

    def test_rewrites_an_existing_manifest(self):
        self.run_script("--host", self.host, "--browser", "firefox")
        self.run_script("--host", self.host, "--browser", "firefox", "--firefox-id", "bank@example.org")
        self.assertFirefoxManifest(self.places["firefox"], self.host, ["bank@example.org"])
        leftovers = [name for name in os.listdir(os.path.dirname(self.places["firefox"])) if name != MANIFEST]
        self.assertEqual(leftovers, [])

    def test_uninstall_removes_only_our_manifests(self):
        self.run_script("--host", self.host)
        other = os.path.join(os.path.dirname(self.places["chromium"]), "org.other.host.json")
        with open(other, "w") as manifest:
            manifest.write("{}")
        result = self.run_script("--uninstall")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNothingWritten()
        self.assertTrue(os.path.exists(other))
        self.assertEqual(self.run_script("--uninstall").returncode, 0)

    def test_refuses_bad_input_and_writes_nothing(self):
        not_executable = os.path.join(self.home, "plain-file")
        open(not_executable, "w").close()
        quoted = os.path.join(self.home, 'a"b')
        shutil.copy(self.host, quoted)
        cases = [
            ["--host", "bin/token-host"],                           # relative
            ["--host", not_executable],
            ["--host", os.path.join(self.home, "missing")],
            ["--host", quoted],                                      # would break the JSON
            ["--host", self.host, "--chrome-id", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"],
            ["--host", self.host, "--chrome-id", "abcdefghijklmnopabcdefghijklmno"],  # 31 letters
            ["--host", self.host, "--chrome-id", 'abcdefghijklmnopabcdefghijklmnop", "x'],
            ["--host", self.host, "--firefox-id", "no-at-sign"],
            ["--host", self.host, "--firefox-id", 'a@b"c'],
            ["--host", self.host, "--browser", "opera"],
            ["--host"],
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assertNotEqual(self.run_script(*args).returncode, 0)
                self.assertNothingWritten()


class DebianPackage(unittest.TestCase):
    """The package built by `cpack -G DEB` from the build folder."""

    @classmethod
    def setUpClass(cls):
        if not shutil.which("dpkg-deb"):
            raise unittest.SkipTest("dpkg-deb is not available")
        cls.output = tempfile.mkdtemp(prefix="token-host-deb-")
        subprocess.run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                        "-B", cls.output], check=True, stdout=subprocess.DEVNULL)
        debs = [name for name in os.listdir(cls.output) if name.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.output, debs[0])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.output, ignore_errors=True)

    def dpkg_deb(self, option, *fields):
        return subprocess.run(["dpkg-deb", option, self.deb] + list(fields), check=True,
                              stdout=subprocess.PIPE).stdout

    def member(self, path):
        tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", self.deb], check=True, stdout=subprocess.PIPE).stdout
        return subprocess.run(["tar", "-xO", "./" + path], input=tar, check=True, stdout=subprocess.PIPE).stdout

    def test_control_fields(self):
        self.assertEqual(self.dpkg_deb("-f", "Package").decode().strip(), "token-host")
        depends = [item.strip() for item in self.dpkg_deb("-f", "Depends").decode().split(",")]
        self.assertEqual(sorted(depends), ["libjsoncpp25", "libssl3"])

    def test_architecture_is_the_one_the_host_was_built_for(self):
        host = self.member("usr/libexec/token-host/token-host")
        self.assertEqual(host[:6], b"\x7fELF\x02\x01")
        self.assertEqual(self.dpkg_deb("-f", "Architecture").decode().strip(),
                         DEBIAN_ARCHITECTURES.get(elf_machine(host), "unknown"))

    def test_host_is_stripped(self):
        host = self.member("usr/libexec/token-host/token-host")
        self.assertNotIn(ELF_SYMBOL_TABLE, elf_section_types(host))

    def test_contents(self):
        listing = [line.split()[-1] for line in self.dpkg_deb("-c").decode().splitlines()]
        for path in ["./usr/libexec/token-host/token-host", "./usr/share/token-host/install-user.sh",
                     "./usr/share/token-host/demo/page/index.html", "./usr/" + MAN_PAGE] + \
                    ["./%s/%s" % (folder, MANIFEST) for folder in SYSTEM_DIRS.values()]:
            self.assertIn(path, listing)
        self.assertFalse([path for path in listing if path.startswith("./usr/local")])

    def test_manifests_name_the_packaged_host(self):
        for folder in SYSTEM_DIRS.values():
            manifest = json.loads(self.member("%s/%s" % (folder, MANIFEST)))
            self.assertEqual(manifest["path"], "/usr/libexec/token-host/token-host")

    def test_manifests_under_etc_are_conffiles(self):
        ctrl = subprocess.run(["dpkg-deb", "--ctrl-tarfile", self.deb], check=True, stdout=subprocess.PIPE).stdout
        conffiles = subprocess.run(["tar", "-xO", "./conffiles"], input=ctrl, check=True,
                                   stdout=subprocess.PIPE).stdout.decode().split()
        self.assertEqual(sorted(conffiles), sorted("/%s/%s" % (SYSTEM_DIRS[browser], MANIFEST)
                                                   for browser in ("chrome", "chromium")))


if __name__ == "__main__":
    unittest.main()
