#!/usr/bin/env python3
"""The HTTP side door of the real daemon on the demo cluster.

  side_door_test.py probes  BUILD SOURCE   metrics, health and bad requests
  side_door_test.py browser BUILD SOURCE   the status page in headless Chromium

The browser part exits 77 (skipped) with its reason when Selenium or the
browser cannot start. Every wait is for a condition, with a deadline.
"""

import base64
import glob
import http.client
import os
import selectors
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = SOURCE = None
SKIPPED = 77


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Demo:
    """scripts/start-demo in a scratch directory, with the side door open."""

    def __init__(self, http_listen, extra_env=None):
        self.dir = tempfile.mkdtemp(prefix="rs-http-")
        self.port = free_port()
        self.http_port = int(http_listen.rsplit(":", 1)[1])
        env = dict(os.environ)
        for name in ("RS_DRIVER", "RS_DRIVER_ARG", "ZOR_CLUSTER_FILE", "RS_SERVER"):
            env.pop(name, None)
        env.update({"RS_DEMO_DIR": os.path.join(self.dir, "var"),
                    "REPOSITORY_SERVICE_PORT": str(self.port),
                    "RS_HTTP_LISTEN": http_listen})
        env.update(extra_env or {})
        self.env = env
        self.process = subprocess.Popen(
            [os.path.join(SOURCE, "scripts", "start-demo"), BUILD], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        self.output = self._read_until("has started and accepts requests", deadline=120)
        conf = os.path.join(self.dir, "var", "conf")
        with open(os.path.join(conf, "admin.password")) as f:
            self.admin_password = f.read().strip()
        self.cluster_file = os.path.join(conf, "cluster.toml")

    def _read_until(self, text, deadline):
        output = b""
        selector = selectors.DefaultSelector()
        selector.register(self.process.stdout, selectors.EVENT_READ)
        end = time.monotonic() + deadline
        while text.encode() not in output:
            left = end - time.monotonic()
            if left <= 0 or self.process.poll() is not None and not selector.select(0):
                raise AssertionError("the daemon did not start:\n" + output.decode(errors="replace"))
            if selector.select(left):
                chunk = os.read(self.process.stdout.fileno(), 65536)
                if not chunk and self.process.poll() is not None:
                    raise AssertionError("the daemon ended:\n" + output.decode(errors="replace"))
                output += chunk
        return output.decode(errors="replace")

    def add_user(self, name, password):
        subprocess.run([os.path.join(BUILD, "bin", "rspasswd"), "-f",
                        os.path.join(self.dir, "var", "conf", "passwd"), name],
                       input=password + "\n", text=True, check=True, capture_output=True)

    def rsadmin(self, *args, check=True):
        env = dict(self.env)
        env.update({"RS_SERVER": "127.0.0.1:%d" % self.port, "RS_USER": "admin",
                    "RS_CONSUMER": "/apps/demo", "RS_PASSWORD": self.admin_password,
                    "ZOR_CLUSTER_FILE": self.cluster_file})
        done = subprocess.run([os.path.join(BUILD, "bin", "rsadmin")] + list(args), env=env,
                              capture_output=True, text=True, timeout=300)
        if check and done.returncode != 0:
            raise AssertionError("rsadmin %s: %s%s" % (" ".join(args), done.stdout, done.stderr))
        return done

    def stop(self):
        if self.process.poll() is None:
            self.rsadmin("shutdown", check=False)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, 9)
                self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def request(port, method="GET", path="/", headers=None, tls=False):
    """(status, body) of one request to the side door."""
    if tls:
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=30, context=context)
    else:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, answer.read().decode(errors="replace")
    finally:
        connection.close()


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()}


class Probes(unittest.TestCase):
    """Metrics, health and bad requests on a loopback side door."""

    @classmethod
    def setUpClass(cls):
        cls.demo = Demo("127.0.0.1:%d" % free_port())

    @classmethod
    def tearDownClass(cls):
        cls.demo.stop()

    def metrics(self):
        from prometheus_client.parser import text_string_to_metric_families
        status, body = request(self.demo.http_port, path="/metrics")
        self.assertEqual(status, 200)
        samples = {}
        for family in text_string_to_metric_families(body):
            for sample in family.samples:
                samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
        return samples

    def test_metrics_parse_and_move_with_requests(self):
        version = ("rs_requests_total", (("code", "0x00000000"), ("operation", "getRSVersion")))
        before = self.metrics()
        for _ in range(3):
            self.demo.rsadmin("version")
        after = self.metrics()
        self.assertEqual(after.get(version, 0) - before.get(version, 0), 3)
        for counter in ("rs_received_bytes_total", "rs_sent_bytes_total"):
            self.assertGreater(after[(counter, ())], before[(counter, ())], counter)
        self.assertGreaterEqual(after[("rs_connections_accepted_total", ())]
                                - before[("rs_connections_accepted_total", ())], 3)
        self.assertGreater(after[("rs_resident_memory_bytes", ())], 0)
        # A listed index stays parsed, and its records built, in the caches the gauges show.
        self.demo.rsadmin("module", "add", "probe-tool", os.path.join(SOURCE, "examples", "hello", "hello.sh"))
        self.demo.rsadmin("module", "list")
        listed = self.metrics()
        for gauge in ("rs_index_cache_bytes", "rs_list_cache_bytes"):
            self.assertGreater(listed[(gauge, ())], 0, gauge)
        refused = ("rs_requests_total", (("code", "0xD0014C35"), ("operation", "getPackageStatus")))
        self.demo.rsadmin("package", "status", "no-such-package", check=False)
        self.assertEqual(self.metrics().get(refused, 0) - after.get(refused, 0), 1)
        body = request(self.demo.http_port, path="/metrics")[1]
        for name in ("no-such-package", "admin", "/apps/demo"):
            self.assertNotIn(name, body)

    def test_bad_requests_get_4xx_and_the_service_serves_on(self):
        rows = [
            ("unknown path", "GET", "/nothing-here", {}, 404),
            ("path outside the tree", "GET", "/../../etc/passwd", {}, 404),
            ("POST", "POST", "/", {"Content-Length": "0"}, 405),
            ("PUT", "PUT", "/metrics", {"Content-Length": "0"}, 405),
            ("DELETE", "DELETE", "/api/status", {}, 405),
            ("huge header", "GET", "/healthz", {"X-Filler": "a" * 70000}, 400),
            ("huge URI", "GET", "/" + "a" * 20000, {}, 414),
        ]
        for what, method, path, headers, expected in rows:
            with self.subTest(what):
                status, _ = request(self.demo.http_port, method, path, headers)
                self.assertGreaterEqual(status, 400)
                self.assertLess(status, 500)
                self.assertEqual(status, expected)
        for path in ("/healthz", "/readyz"):
            self.assertEqual(request(self.demo.http_port, path=path)[0], 200)
        self.demo.rsadmin("version")


class TlsLogon(unittest.TestCase):
    """Off loopback: TLS, and Basic logon through the service's security plug-in."""

    @classmethod
    def setUpClass(cls):
        # A side door on every address, so with TLS and logon; the RPC side on TLS too.
        cls.pki = tempfile.mkdtemp(prefix="rs-http-pki-")
        cert, key = os.path.join(cls.pki, "cert.pem"), os.path.join(cls.pki, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert], check=True, capture_output=True)
        cls.demo = Demo("0.0.0.0:%d" % free_port(), {
            "RS_DRIVER": "TCPIPv4SSL", "RS_DRIVER_ARG": "SSL[CERTIFICATE=%s,PRIVATE_KEY=%s]" % (cert, key)})
        cls.demo.env["RS_DRIVER_ARG"] = "SSL[]"  # the tools do not need the key
        cls.demo.add_user("nobody", "nobody-pass-1")

    @classmethod
    def tearDownClass(cls):
        cls.demo.stop()
        shutil.rmtree(cls.pki, ignore_errors=True)

    def test_logon_is_required_and_checked(self):
        port = self.demo.http_port
        rows = [
            ("no credential", {}, 401),
            ("wrong password", basic("admin", "wrong"), 401),
            ("unknown user", basic("ghost", "nobody-pass-1"), 401),
            ("not Basic", {"Authorization": "Bearer abc"}, 401),
            ("malformed", {"Authorization": "Basic ###"}, 401),
            ("admin", basic("admin", self.demo.admin_password), 200),
        ]
        for what, headers, expected in rows:
            with self.subTest(what):
                self.assertEqual(request(port, path="/metrics", headers=headers, tls=True)[0], expected)
        self.assertEqual(request(port, path="/healthz", tls=True)[0], 200)
        # A user without roles sees nothing of the consumer the admin sees.
        self.demo.rsadmin("module", "add", "hello-tool", os.path.join(SOURCE, "examples", "hello", "hello.sh"))
        for user, password, sees in (("admin", self.demo.admin_password, True), ("nobody", "nobody-pass-1", False)):
            status, body = request(port, path="/api/status", headers=basic(user, password), tls=True)
            self.assertEqual(status, 200, user)
            for name in ("/apps/demo", "hello-tool"):
                self.assertEqual(name in body, sees, user + " " + name)
        with self.assertRaises((ConnectionError, http.client.HTTPException, ssl.SSLError)):
            request(port, path="/healthz")  # plain HTTP is not spoken there
        self.demo.rsadmin("version")
        logs = glob.glob(os.path.join(self.demo.dir, "var", "**", "*.log"), recursive=True)
        self.assertTrue(logs)
        for log in logs:
            with open(log, errors="replace") as text:
                self.assertNotIn(self.demo.admin_password, text.read(), log)


def browser():
    """A headless Chromium under Selenium, or the reason there is none."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as error:
        return None, "Selenium is not installed (%s)" % error
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--ignore-certificate-errors"):
        options.add_argument(argument)
    try:
        return webdriver.Chrome(service=Service(driver_path), options=options), None
    except Exception as error:  # any failure to start is a reason to skip, not a fault
        return None, "headless Chromium cannot start: %s" % str(error).splitlines()[0]


class Page(unittest.TestCase):
    """The status page in a real browser."""

    driver = None

    @classmethod
    def setUpClass(cls):
        cls.driver, reason = browser()
        if cls.driver is None:
            raise unittest.SkipTest(reason)
        cls.driver.set_page_load_timeout(60)

    @classmethod
    def tearDownClass(cls):
        if cls.driver:
            cls.driver.quit()

    def wait_for(self, condition, what, seconds=300):
        from selenium.common.exceptions import StaleElementReferenceException
        from selenium.webdriver.support.ui import WebDriverWait
        WebDriverWait(self.driver, seconds, ignored_exceptions=[StaleElementReferenceException]).until(
            lambda d: condition(), message=what)

    def states(self, package):
        from selenium.webdriver.common.by import By
        return {cell.get_attribute("data-host"): cell.get_attribute("data-state")
                for cell in self.driver.find_elements(By.CSS_SELECTOR, '.host[data-package="%s"]' % package)}

    def test_grid_turns_installed_without_a_reload(self):
        demo = Demo("127.0.0.1:%d" % free_port())
        try:
            self.driver.get("http://127.0.0.1:%d/" % demo.http_port)
            self.wait_for(lambda: "updated" in self.driver.find_element("id", "updated").text,
                          "the page shows its first status")
            self.driver.execute_script("window.sameDocument = true;")
            archive = os.path.join(demo.dir, "hello.tar.gz")
            subprocess.run(["tar", "-czf", archive, "-C", os.path.join(SOURCE, "examples", "hello"), "."],
                           check=True)
            demo.rsadmin("package", "add", "hello", archive)
            demo.rsadmin("package", "install", "hello", "--group", "LinuxNodes")
            self.wait_for(lambda: self.states("hello") == {"node1": "INSTALLED", "node2": "INSTALLED"},
                          "both hosts of LinuxNodes INSTALLED on the page")
            self.assertTrue(self.driver.execute_script("return window.sameDocument === true;"),
                            "the page was not reloaded")
            cell = self.driver.find_element("css selector", '.host[data-host="node1"]')
            self.assertIn("state-INSTALLED", cell.get_attribute("class"))
        finally:
            demo.stop()


def main():
    global BUILD, SOURCE
    part, BUILD, SOURCE = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    cases = {"probes": [Probes, TlsLogon], "browser": [Page]}[part]
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in cases)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.skipped and len(result.skipped) >= result.testsRun:
        print("SKIPPED: " + result.skipped[0][1])
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
