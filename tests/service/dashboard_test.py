"""The dashboard in a real headless browser (Debian's chromium), driven over
its DevTools protocol in real time: the panels show the simulated terminals'
weights and lamp colours, a silent terminal turns grey and "offline", and the
page reconnects by itself when the service restarts. The screenshot is kept
in ORVA_SCREENSHOT_DIR."""
import base64
import itertools
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import websocket

sys.path.insert(0, os.path.dirname(__file__))
from service_harness import Workspace, free_port, wait_for  # noqa: E402

GREEN, RED, WHITE = "rgb(0, 255, 0)", "rgb(255, 0, 0)", "rgb(255, 255, 255)"


class Browser:
    def __init__(self, extra=()):
        self.profile = tempfile.mkdtemp(prefix="orva-chromium-")
        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + self.profile, "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
             "--window-size=1720,640", *extra, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        end = time.monotonic() + 20
        buffered = b""
        while time.monotonic() < end:
            ready, _, _ = select.select([self.process.stderr], [], [], 0.5)
            if ready:
                chunk = os.read(self.process.stderr.fileno(), 4096)
                if not chunk:
                    break
                buffered += chunk
                match = re.search(rb"DevTools listening on ws://127\.0\.0\.1:(\d+)/", buffered)
                if match:
                    self.port = int(match.group(1))
                    break
        else:
            self.close()
            raise AssertionError("chromium did not start")
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%d/json/list" % self.port, timeout=5))
        page = next(t for t in targets if t["type"] == "page")
        self.devtools = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=10, suppress_origin=True)
        self.ids = itertools.count(1)

    def call(self, method, **params):
        key = next(self.ids)
        self.devtools.send(json.dumps({"id": key, "method": method, "params": params}))
        while True:
            message = json.loads(self.devtools.recv())
            if message.get("id") == key:
                if "error" in message:
                    raise AssertionError("%s: %s" % (method, message["error"]))
                return message["result"]

    def open(self, url, width=1720, height=640):
        # The page's own size, whatever the headless window keeps for itself.
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                  mobile=width < 600)
        self.call("Page.navigate", url=url)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    def panel(self, scale):
        """What the page shows for one scale."""
        return self.evaluate("""(() => {
            const root = document.querySelector('[data-scale="%s"]');
            if (!root) return null;
            const lamps = {};
            root.querySelectorAll('[data-lamp]').forEach(l => { lamps[l.dataset.lamp] = getComputedStyle(l).backgroundColor; });
            return { offline: root.classList.contains('offline'), state: root.querySelector('.state').textContent,
                     weight: root.querySelector('.weight').textContent, unit: root.querySelector('.unit').textContent,
                     kind: root.querySelector('.caption').textContent, lamps,
                     reason: root.querySelector('.reason').textContent,
                     reasonShown: getComputedStyle(root.querySelector('.reason')).display !== 'none',
                     grey: getComputedStyle(root.querySelector('.panel')).filter,
                     modbus: (m => m && !m.hidden ? m.textContent : null)(root.querySelector('.modbus')) };
        })()""" % scale)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.devtools.close()
        except Exception:
            pass
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class Dashboard(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.browser = None

    def tearDown(self):
        if self.browser:
            self.browser.close()
        self.ws.close()

    def test_live_panels_offline_and_reconnect(self):
        loaded = self.ws.simulator("bay1", "--weight", "12.5")
        empty = self.ws.simulator("bay2", "--weight", "0")
        orva2 = self.ws.simulator("bay3", "--format", "orva2", "--decimals", "2", "--weight", "20.75")
        port = free_port()
        config = (f"[service]\nlisten = 127.0.0.1:{port}\n"
                  f"[loading-bay]\nport = {loaded.link}\n[empty_scale]\nport = {empty.link}\n"
                  f"[orva2]\nport = {orva2.link}\nDecPoint = 2\n")
        service = self.ws.service(config)
        self.browser = Browser()
        self.browser.open(service.base + "/")

        def shows(scale, **expected):
            def check():
                p = self.browser.panel(scale)
                return p if p and all(p.get(k) == v for k, v in expected.items()) else None
            return check

        # A settled load: the weight, unit and kind, three green stability lamps, Ok lit.
        p = wait_for(shows("loading-bay", weight="12.5", offline=False), 10)
        p = wait_for(lambda: (lambda q: q if q["lamps"]["Shape1-2"] == GREEN else None)(self.browser.panel("loading-bay")), 10)
        self.assertEqual((p["unit"], p["kind"], p["state"]), ("kg", "ORVA-1", "online"))
        self.assertEqual([p["lamps"]["Shape1-%d" % i] for i in range(3)], [GREEN] * 3)
        self.assertEqual([p["lamps"]["Shape2-%d" % i] for i in range(4)], [WHITE, GREEN, WHITE, WHITE])
        self.assertIsNone(p["modbus"], "no Modbus unit shown while the service serves no Modbus")
        # An empty scale: ">0<" lit, never settled (below MinFixVes), stability lamps red.
        p = wait_for(shows("empty_scale", weight="0", offline=False), 10)
        self.assertEqual([p["lamps"]["Shape2-%d" % i] for i in range(4)], [GREEN, WHITE, WHITE, WHITE])
        self.assertEqual([p["lamps"]["Shape1-%d" % i] for i in range(3)], [RED] * 3)
        wait_for(shows("orva2", weight="20.75", kind="ORVA-2"), 10)
        out = os.environ.get("ORVA_SCREENSHOT_DIR")
        if out:
            os.makedirs(out, exist_ok=True)
            self.browser.screenshot(os.path.join(out, "dashboard.png"))

        # Unplugged: grey and "offline" once it has not answered for 2 s.
        empty.command("unplug")
        p = wait_for(shows("empty_scale", offline=True, state="offline"), 8)
        self.assertIn("grayscale", p["grey"])
        self.assertEqual(p["weight"], "xxxx")
        self.assertFalse(self.browser.panel("loading-bay")["offline"])
        if out:
            self.browser.screenshot(os.path.join(out, "dashboard-offline.png"))

        # The service restarts: the page notices, then reconnects by itself.
        service.stop()
        wait_for(lambda: "unreachable" in self.browser.evaluate("document.getElementById('link').textContent"), 8)
        wait_for(shows("loading-bay", offline=True), 5)
        self.ws.service(config)
        wait_for(lambda: self.browser.evaluate("document.getElementById('link').textContent") == "live", 10)
        wait_for(shows("loading-bay", weight="12.5", offline=False), 10)

    def test_a_narrow_screen_shows_everything_and_why_a_scale_is_offline(self):
        loaded = self.ws.simulator("bay1", "--weight", "1234.5")
        absent = os.path.join(self.ws.dir, "ttyUSB9")
        config = (f"[service]\nlisten = 127.0.0.1:0\n[modbus]\nlisten = 127.0.0.1:{free_port()}\n"
                  f"[loading-bay-with-a-long-name]\nport = {loaded.link}\n[yard]\nport = {absent}\nmodbus_unit = 7\n")
        service = self.ws.service(config)
        self.browser = Browser()
        self.browser.open(service.base + "/", width=360, height=780)

        def shows(scale, **expected):
            def check():
                p = self.browser.panel(scale)
                return p if p and all(p.get(k) == v for k, v in expected.items()) else None
            return check

        wait_for(shows("loading-bay-with-a-long-name", weight="1234.5", offline=False), 10)
        p = wait_for(shows("yard", offline=True, reasonShown=True), 10)
        self.assertTrue(p["reason"].startswith("no such device"), p["reason"])
        # Each scale's Modbus unit, the one a PLC reads it at.
        self.assertEqual(p["modbus"], "Modbus unit 7")
        self.assertEqual(self.browser.panel("loading-bay-with-a-long-name")["modbus"], "Modbus unit 1")
        # Nothing wider than the screen, nothing cut: every panel, label and
        # display lies inside the page and inside its own box.
        overflow = self.browser.evaluate("""(() => {
            const out = [];
            if (innerWidth !== 360) out.push('laid out ' + innerWidth + ' px wide');
            if (document.documentElement.scrollWidth > innerWidth) out.push('page ' + document.documentElement.scrollWidth);
            document.querySelectorAll('.scale, .scale .state, .scale .id, .scale .port, .scale .modbus, .display, .reason').forEach(e => {
                const r = e.getBoundingClientRect();
                if (getComputedStyle(e).display === 'none') return;
                if (r.left < 0 || r.right > innerWidth) out.push(e.className + ' at ' + r.left + '..' + r.right);
                if (e.scrollWidth > e.clientWidth + 1) out.push(e.className + ' cut: ' + e.scrollWidth + ' > ' + e.clientWidth);
            });
            return out;
        })()""")
        self.assertEqual(overflow, [])
        out = os.environ.get("ORVA_SCREENSHOT_DIR")
        if out:
            os.makedirs(out, exist_ok=True)
            self.browser.screenshot(os.path.join(out, "dashboard-360.png"))
        # A reload moves a scale to another unit: the page follows.
        with open(service.config, "w") as f:
            f.write(config.replace("modbus_unit = 7", "modbus_unit = 3"))
        service.process.send_signal(signal.SIGHUP)
        wait_for(shows("yard", modbus="Modbus unit 3"), 10)


if __name__ == "__main__":
    unittest.main()
