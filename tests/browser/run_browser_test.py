#!/usr/bin/env python3
"""End-to-end test of the token host with a real browser.

A headless Chromium or Firefox loads the demo extension and opens a test page
served here on 127.0.0.1. The page sends requests through the extension, which
starts the token host by native messaging against the software token; the page
posts what it got back. The host runs under frame_recorder.py, which logs every
frame the browser received.

Exit status: 0 passed, 1 failed, 77 skipped (the browser cannot run here).
"""
import argparse
import base64
import ctypes
import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from verify_signed_data import signed_data_parts  # noqa: E402

SKIPPED = 77
PIECE_SIZE = 1047552           # the host's piece of a long signing result
BROWSER_MESSAGE_LIMIT = 1048576  # what browsers accept from a host in one frame
LARGE_FILE_SIZE = 2500000
CHROME_EXTENSION_ID = "mcbdpadjgapfofhdbloaelgnfgjlihgl"
FIREFOX_EXTENSION_ID = "token-host-demo@example.com"
HOST_VERSION = "1.0.21.1015"
RSA_DN = "CN=Demo RSA User,O=Demo Bank,C=CN"
SM2_DN = "CN=Demo SM2 User,O=Demo Bank,C=CN"
TRANSACTION_XML = "<T><Amount>100.00</Amount><Payee>Demo Shop</Payee></T>"

BROWSERS = {
    "chromium": {"package": "chromium", "command": "chromium"},
    "firefox": {"package": "firefox-esr", "command": "firefox-esr"},
}

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Skip(Exception):
    pass


def log(text):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), text), flush=True)


class SetupFailed(Exception):
    pass


def run_checked(command, env=None):
    result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise SetupFailed("%s exited with %d:\n%s" % (" ".join(command), result.returncode,
                                                     result.stdout.decode(errors="replace")))


# ---------------------------------------------------------------- browsers

def ensure_browser(kind):
    """Path of the browser's command, installing its Debian package if missing."""
    wanted = BROWSERS[kind]
    found = shutil.which(wanted["command"])
    if found:
        return found
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        raise Skip("%s is not installed and cannot be installed here (needs root and apt-get)" % wanted["package"])
    log("installing %s" % wanted["package"])
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    apt = ["apt-get", "-o", "DPkg::Lock::Timeout=300", "-qq"]
    for step in (["update"], ["install", "-y", "--no-install-recommends", wanted["package"]]):
        result = subprocess.run(apt + step, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=900)
        if result.returncode != 0:
            raise Skip("apt-get %s failed:\n%s" % (" ".join(step), result.stdout.decode(errors="replace")[-2000:]))
    found = shutil.which(wanted["command"])
    if not found:
        raise Skip("%s installed but %s not found" % (wanted["package"], wanted["command"]))
    return found


def die_with_parent():
    """Runs in the browser's child process: it is killed if this test dies."""
    PR_SET_PDEATHSIG = 1
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except OSError:
        pass
    os.setsid()


def chromium_command(browser, run, url):
    extension = os.path.join(run.work, "extension")
    shutil.copytree(os.path.join(SOURCE_DIR, "demo", "extension"), extension,
                    ignore=shutil.ignore_patterns("manifest.firefox.json"))
    return [browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-quic", "--no-default-browser-check", "--disable-dev-shm-usage",
            "--user-data-dir=" + run.chromium_user_data_dir(),
            "--disable-features=DisableLoadExtensionCommandLineSwitch",
            "--load-extension=" + extension, "--disable-extensions-except=" + extension,
            url]


FIREFOX_PREFS = {
    "xpinstall.signatures.required": False,
    "extensions.autoDisableScopes": 0,
    "extensions.enabledScopes": 15,
    "extensions.startupScanScopes": 15,
    "extensions.update.enabled": False,
    "extensions.getAddons.cache.enabled": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "startup.homepage_welcome_url": "",
    "browser.aboutwelcome.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.disabledForTesting": True,
    "app.normandy.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "services.settings.server": "http://127.0.0.1:9/",
    "browser.tabs.remote.autostart": True,
}


def firefox_command(browser, run, url):
    profile = os.path.join(run.work, "firefox-profile")
    extensions = os.path.join(profile, "extensions")
    os.makedirs(extensions)
    with open(os.path.join(profile, "user.js"), "w") as prefs:
        for name, value in FIREFOX_PREFS.items():
            prefs.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))
    # An unpacked add-on in the profile's extensions folder, named by its id,
    # is picked up at startup; with signatures not required it stays enabled.
    source = os.path.join(SOURCE_DIR, "demo", "extension")
    with zipfile.ZipFile(os.path.join(extensions, FIREFOX_EXTENSION_ID + ".xpi"), "w") as xpi:
        xpi.write(os.path.join(source, "manifest.firefox.json"), "manifest.json")
        for name in ("background.js", "content.js"):
            xpi.write(os.path.join(source, name), name)
    return [browser, "--headless", "--no-remote", "--profile", profile, url]


# ---------------------------------------------------------------- test page server

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, config):
        super().__init__(("127.0.0.1", 0), Handler)
        self.config = config
        self.results = None
        self.done = threading.Event()
        self.page_loaded = threading.Event()
        self.roots = {"/demo/": os.path.join(SOURCE_DIR, "demo", "page"),
                      "/test/": os.path.join(SOURCE_DIR, "tests", "browser", "page")}


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send_body(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/config":
            self.send_body(200, json.dumps(self.server.config).encode(), "application/json")
            return
        for prefix, root in self.server.roots.items():
            if not self.path.startswith(prefix):
                continue
            name = self.path[len(prefix):]
            # Only plain file names of the two page folders are served.
            if name and "/" not in name and not name.startswith(".") and os.path.isfile(os.path.join(root, name)):
                with open(os.path.join(root, name), "rb") as page_file:
                    body = page_file.read()
                kind = "text/html" if name.endswith(".html") else "text/javascript"
                if name.endswith(".html"):
                    self.server.page_loaded.set()
                self.send_body(200, body, kind + "; charset=utf-8")
                return
        self.send_body(404, b"not found", "text/plain")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.path == "/log":
            log("page: %s" % json.loads(body).get("text"))
        elif self.path == "/results":
            self.server.results = json.loads(body)
            self.server.done.set()
        else:
            self.send_body(404, b"not found", "text/plain")
            return
        self.send_body(200, b"{}", "application/json")


# ---------------------------------------------------------------- one run

class Run:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="token-host-%s-" % args.browser)
        self.home = os.path.join(self.work, "home")
        self.token_dir = os.path.join(self.work, "token")
        self.frames_log = os.path.join(self.work, "frames.log")
        self.browser_log = os.path.join(self.work, "browser.log")
        self.large_file = os.path.join(self.work, "large-file.bin")
        self.browser = None
        self.server = None
        os.makedirs(self.home)

    def chromium_user_data_dir(self):
        return os.path.join(self.home, ".config", "chromium")

    def environment(self):
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("XDG_", "DISPLAY", "WAYLAND", "DBUS_SESSION"))}
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_CACHE_HOME=os.path.join(self.home, ".cache"), MOZ_HEADLESS="1",
                   TOKEN_HOST_MODULE=self.args.module, SOFTTOKEN_DIR=self.token_dir)
        return env

    def prepare_token(self):
        tool = self.launched(self.args.tool) + ["--dir", self.token_dir]
        run_checked(tool + ["demo"])
        # The holder cancels the first PIN prompt: the "cancelled" case uses it.
        run_checked(tool + ["queue", "cancel@login"])
        with open(self.large_file, "wb") as large:
            large.write(os.urandom(LARGE_FILE_SIZE))

    def launched(self, program):
        """The command line that runs one of the build's programs."""
        return ([self.args.launcher] if self.args.launcher else []) + [program]

    def register_host(self):
        """The browser starts a wrapper that runs the host under the recorder."""
        wrapper = os.path.join(self.work, "token-host-recorded")
        recorder = os.path.join(SOURCE_DIR, "tests", "browser", "frame_recorder.py")
        with open(wrapper, "w") as script:
            script.write("#!/bin/sh\n")
            script.write("TOKEN_HOST_MODULE='%s' SOFTTOKEN_DIR='%s'\n" % (self.args.module, self.token_dir))
            script.write("export TOKEN_HOST_MODULE SOFTTOKEN_DIR\n")
            host = " ".join("'%s'" % part for part in self.launched(self.args.host))
            script.write("exec '%s' '%s' '%s' %s \"$@\"\n" % (sys.executable, recorder, self.frames_log, host))
        os.chmod(wrapper, 0o755)
        browser = "chromium" if self.args.browser == "chromium" else "firefox"
        run_checked(["sh", os.path.join(SOURCE_DIR, "packaging", "install-user.sh"), "--host", wrapper,
                     "--browser", browser], env=self.environment())

    def cases(self):
        sign = {"HashName": "SHA256", "KeyMsg": "Amount 100.00", "FilePath": ""}
        xml = TRANSACTION_XML
        return [
            {"name": "version", "command": "GetVersion", "members": {}},
            {"name": "cert-dn", "command": "GMGetCertDN", "members": {}},
            {"name": "no-such-signer", "command": "GMUsbKeySign",
             "members": dict(sign, DeSignerDN="CN=Nobody,O=Demo Bank,C=CN", XmlMsg=xml)},
            {"name": "cancelled", "command": "GMUsbKeySign", "members": dict(sign, DeSignerDN=RSA_DN, XmlMsg=xml)},
            {"name": "sign-rsa", "command": "GMUsbKeySign", "members": dict(sign, DeSignerDN=RSA_DN, XmlMsg=xml)},
            {"name": "sign-sm2", "command": "GMUsbKeySign",
             "members": dict(sign, DeSignerDN=SM2_DN, HashName="SM3", XmlMsg=xml)},
            {"name": "sign-large-file", "command": "GMUsbKeySign",
             "members": dict(sign, DeSignerDN=RSA_DN, XmlMsg=xml, FilePath=self.large_file)},
        ]

    def start_server(self):
        config = {"cases": self.cases(), "replyTimeoutMs": 90000, "extensionWaitMs": 20000}
        self.server = Server(config)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return "http://127.0.0.1:%d/test/e2e.html" % self.server.server_address[1]

    def launch_browser(self, url):
        browser = ensure_browser(self.args.browser)
        build = chromium_command if self.args.browser == "chromium" else firefox_command
        command = build(browser, self, url)
        log("starting: %s" % " ".join(command))
        self.browser_output = open(self.browser_log, "wb")
        self.browser = subprocess.Popen(command, env=self.environment(), stdin=subprocess.DEVNULL,
                                        stdout=self.browser_output, stderr=subprocess.STDOUT,
                                        preexec_fn=die_with_parent)

    def wait_for_results(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.server.done.wait(1):
                return self.server.results
            if self.browser.poll() is not None and not self.server.done.is_set():
                break
        if not self.server.page_loaded.is_set():
            raise Skip("%s never loaded the test page (%s)\n%s" % (
                self.args.browser, "it exited with status %s" % self.browser.returncode
                if self.browser.poll() is not None else "timed out", self.browser_log_tail()))
        return {"error": "no results within %d s; browser %s" % (
            timeout, "exited with %s" % self.browser.returncode if self.browser.poll() is not None else "still running")}

    def browser_log_tail(self, lines=30):
        """The browser's last words, without its complaints about the missing session bus."""
        try:
            with open(self.browser_log, "rb") as output:
                text = output.read().decode(errors="replace")
        except OSError:
            return ""
        kept = [line for line in text.splitlines() if line.strip() and "dbus" not in line.lower()]
        return "\n".join(kept[-lines:])

    def stop_browser(self):
        if self.browser is None:
            return
        if self.browser.poll() is None:
            try:
                os.killpg(self.browser.pid, signal.SIGTERM)
                self.browser.wait(10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        # Whatever is left of the browser's process group (renderers, helpers)
        # goes too, even when its first process has already exited.
        try:
            os.killpg(self.browser.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.browser.wait()
        self.browser_output.close()

    def close(self):
        self.stop_browser()
        if self.server is not None:
            self.server.shutdown()
            self.server.server_close()
        if self.args.keep:
            log("kept %s" % self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def wait_for_host_exit(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            entries = self.frames()
            starts = sum(1 for entry in entries if entry.get("event") == "start")
            if starts == sum(1 for entry in entries if entry.get("event") == "exit"):
                return True
            time.sleep(0.2)
        return False

    def frames(self):
        try:
            with open(self.frames_log) as frames:
                return [json.loads(line) for line in frames if line.strip()]
        except OSError:
            return []


# ---------------------------------------------------------------- checks

def openssl(*args, data=None):
    result = subprocess.run(["openssl"] + list(args), input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return result.returncode, result.stdout, result.stderr.decode(errors="replace")


class Checker:
    def __init__(self, run):
        self.run = run
        self.failures = []

    def expect(self, condition, text):
        if not condition:
            self.failures.append(text)
        return condition

    def signed_data(self, name, entry):
        if not self.expect(isinstance(entry.get("text"), str) and entry["text"], "%s: no signed data: %r" % (
                name, entry.get("text"))):
            return None
        try:
            return base64.b64decode(entry["text"], validate=True)
        except ValueError as error:
            self.expect(False, "%s: text is not Base64: %s" % (name, error))
            return None

    def verified_sm2_content(self, name, der):
        """OpenSSL's CMS cannot verify SM2: check the signature by hand with the
        certificate's key, SM3 and the default signer ID."""
        try:
            content, certificate, signature, _sm2 = signed_data_parts(der)
        except (ValueError, IndexError) as error:
            self.expect(False, "%s: unexpected SignedData layout: %s" % (name, error))
            return None
        paths = {part: os.path.join(self.run.work, "%s.%s" % (name, part)) for part in ("content", "sig", "pem")}
        for part, data in (("content", content), ("sig", signature)):
            with open(paths[part], "wb") as output:
                output.write(data)
        status, key, errors = openssl("x509", "-inform", "DER", "-pubkey", "-noout", data=certificate)
        if not self.expect(status == 0, "%s: signer certificate unreadable: %s" % (name, errors.strip())):
            return None
        with open(paths["pem"], "wb") as output:
            output.write(key)
        status, _, errors = openssl("dgst", "-sm3", "-verify", paths["pem"], "-sigopt", "distid:1234567812345678",
                                    "-signature", paths["sig"], paths["content"])
        self.expect(status == 0, "%s: SM2 signature does not verify: %s" % (name, errors.strip()))
        return content if status == 0 else None

    def verified_content(self, name, der):
        """Verifies the SignedData's signature with its own certificate."""
        path = os.path.join(self.run.work, name + ".p7s")
        with open(path, "wb") as signed:
            signed.write(der)
        status, content, errors = openssl("cms", "-verify", "-inform", "DER", "-in", path, "-noverify", "-binary")
        self.expect(status == 0, "%s: openssl cms -verify failed: %s" % (name, errors.strip()))
        return content if status == 0 else None

    def signer_subject(self, name, der):
        status, text, errors = openssl("pkcs7", "-inform", "DER", "-print_certs", "-noout", data=der)
        self.expect(status == 0, "%s: not PKCS#7: %s" % (name, errors.strip()))
        return text.decode(errors="replace")

    def check_sign(self, name, entry, xml, common_name, pieces_at_least=1, file_path=None):
        der = self.signed_data(name, entry)
        if der is None:
            return
        pieces = entry.get("pieces", [])
        self.expect(len(pieces) >= pieces_at_least, "%s: %d piece(s), expected at least %d" % (
            name, len(pieces), pieces_at_least))
        self.expect(all(size == PIECE_SIZE for size in pieces[:-1]),
                    "%s: a non-final piece is not %d characters: %s" % (name, PIECE_SIZE, pieces))
        self.expect(common_name in self.signer_subject(name, der),
                    "%s: the certificate in the signed data is not %s's" % (name, common_name))
        if "RSA" in common_name:
            content = self.verified_content(name, der)
        else:
            content = self.verified_sm2_content(name, der)
        if content is None:
            return
        self.expect(xml.encode() in content, "%s: the transaction text is not in the signed content" % name)
        if file_path:
            with open(file_path, "rb") as signed_file:
                encoded = base64.b64encode(signed_file.read())
            self.expect(encoded in content, "%s: the file's Base64 is not in the signed content" % name)

    def check_results(self, results):
        by_name = {entry.get("name"): entry for entry in results}
        for case in self.run.server.config["cases"]:
            entry = by_name.get(case["name"])
            if not self.expect(entry is not None, "%s: no result" % case["name"]):
                continue
            if not self.expect("error" not in entry, "%s: %s" % (case["name"], entry.get("error"))):
                continue
            self.expect(entry.get("cmd") == case["command"] and entry.get("lastData") is True,
                        "%s: bad envelope %r" % (case["name"], {k: entry.get(k) for k in ("cmd", "lastData")}))

        def get(name):
            entry = by_name.get(name)
            return entry if entry and "error" not in entry else None

        if get("version"):
            self.expect(get("version")["text"] == HOST_VERSION, "version: %r" % get("version")["text"])
        if get("cert-dn"):
            dns = get("cert-dn")["text"]
            self.expect(isinstance(dns, str) and sorted(dns.split("||")) == sorted([RSA_DN, SM2_DN]),
                        "cert-dn: %r" % dns)
        if get("no-such-signer"):
            self.expect(get("no-such-signer")["text"] == -304, "no-such-signer: %r" % get("no-such-signer")["text"])
        if get("cancelled"):
            self.expect(get("cancelled")["text"] == -100, "cancelled: %r" % get("cancelled")["text"])
        xml = TRANSACTION_XML
        if get("sign-rsa"):
            self.check_sign("sign-rsa", get("sign-rsa"), xml, "Demo RSA User")
        if get("sign-sm2"):
            self.check_sign("sign-sm2", get("sign-sm2"), xml, "Demo SM2 User")
        if get("sign-large-file"):
            self.check_sign("sign-large-file", get("sign-large-file"), xml, "Demo RSA User",
                            pieces_at_least=3, file_path=self.run.large_file)

    def check_frames(self, frames, expected_replies, browser):
        starts = [f for f in frames if f.get("event") == "start"]
        replies = [f for f in frames if f.get("event") == "frame"]
        exits = [f for f in frames if f.get("event") == "exit"]
        self.expect(len(starts) == 1, "the browser started the host %d times, expected once" % len(starts))
        # What each browser tells its host about the caller: Chromium the
        # extension's origin, Firefox the manifest's path and the add-on's id.
        for start in starts:
            argv = start["argv"]
            if browser == "chromium":
                self.expect(argv[:1] == ["chrome-extension://%s/" % CHROME_EXTENSION_ID],
                            "unexpected host arguments %s" % argv)
            else:
                self.expect(len(argv) == 2 and argv[1] == FIREFOX_EXTENSION_ID, "unexpected host arguments %s" % argv)
        for frame in replies:
            self.expect("error" not in frame, "host wrote something that is not a frame: %s" % frame.get("error"))
            self.expect(frame.get("length", 0) <= BROWSER_MESSAGE_LIMIT,
                        "a reply of %d bytes exceeds the browsers' limit" % frame.get("length", 0))
            self.expect(frame.get("endsWithNewline") is True, "a reply does not end with a newline")
        self.expect(len(replies) == expected_replies, "the host wrote %d frames, the page received %d replies" % (
            len(replies), expected_replies))
        for exit_entry in exits:
            self.expect(exit_entry["status"] == 0, "the host exited with status %s" % exit_entry["status"])
        return max((frame.get("length", 0) for frame in replies), default=0)


# ---------------------------------------------------------------- main

def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--browser", choices=sorted(BROWSERS), required=True)
    parser.add_argument("--host", required=True, help="the token host binary")
    parser.add_argument("--module", required=True, help="the software token module")
    parser.add_argument("--tool", required=True, help="the software token's tool")
    parser.add_argument("--launcher", default="", help="runs the host and the tool (an emulator), if given")
    parser.add_argument("--timeout", type=int, default=300, help="seconds to wait for the page's results")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    # The browser starts the host from a folder of its own choosing.
    for name in ("host", "module", "tool"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    return args


def run_test(args):
    for path in (args.host, args.module, args.tool):
        if not os.path.isfile(path):
            log("FAIL: missing %s" % path)
            return 1
    run = Run(args)
    # CTest or a user may stop us: leave no browser behind.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda number, _frame: sys.exit(128 + number))
    try:
        run.prepare_token()
        run.register_host()
        url = run.start_server()
        run.launch_browser(url)
        started = time.monotonic()
        results = run.wait_for_results(args.timeout)
        elapsed = time.monotonic() - started
        checker = Checker(run)
        checker.expect(run.wait_for_host_exit(20), "the host did not exit after the page went away")
        run.stop_browser()
        if "error" in results:
            checker.expect(False, results["error"])
        else:
            checker.check_results(results["results"])
            expected = sum(max(1, len(entry.get("pieces", []))) for entry in results["results"]
                           if "error" not in entry)
            largest = checker.check_frames(run.frames(), expected, args.browser)
            log("browser: %s" % results.get("userAgent"))
            for entry in results["results"]:
                log("  %-16s %6d ms  %s" % (entry["name"], entry.get("ms", 0), entry.get("error") or (
                    "%d piece(s)" % len(entry["pieces"]) if entry.get("pieces") else repr(entry.get("text")))))
            log("largest frame from the host: %d bytes (limit %d)" % (largest, BROWSER_MESSAGE_LIMIT))
            starts = [f for f in run.frames() if f.get("event") == "start"]
            if starts:
                log("host arguments from the browser: %s" % starts[0]["argv"])
        log("browser run took %.1f s" % elapsed)
        if checker.failures:
            for failure in checker.failures:
                log("FAIL: %s" % failure)
            log("browser output (end):\n%s" % run.browser_log_tail())
            return 1
        log("PASS: %s" % args.browser)
        return 0
    except Skip as reason:
        log("SKIPPED: %s" % reason)
        return SKIPPED
    except SetupFailed as reason:
        log("FAIL: setting up: %s" % reason)
        return 1
    finally:
        run.close()


if __name__ == "__main__":
    sys.exit(run_test(parse_args()))
