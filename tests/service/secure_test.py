"""The service secured, against the real binary on loopback: HTTPS and WSS
with a certificate chain of the test's own CA (made here with openssl), the
pair read again at SIGHUP, pairs and key files refused, TLS handshakes that
never end; the read token on every read route, the dashboard's login in
headless chromium; allow_from against a client on another loopback address;
the dashboard behind nginx terminating TLS."""
import base64
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time
import unittest
import urllib.request

import websocket

sys.path.insert(0, os.path.dirname(__file__))
from service_harness import TOOLS, Workspace, free_port, next_event, wait_for  # noqa: E402

READ, WRITE = "read-t0ken", "write-t0ken"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class TestCa:
    """A root CA, an intermediate CA under it, and server pairs issued by the
    intermediate for 127.0.0.1 and localhost. Clients trust the root alone,
    so a server that does not send its whole chain is not verified."""

    def __init__(self, directory):
        self.dir = os.path.join(directory, "ca")
        os.makedirs(self.dir)
        d = self.dir
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                "-subj", "/CN=orva test root", "-keyout", "root.key", "-out", "root.pem",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign", cwd=d)
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=orva test issuing",
                "-keyout", "issuing.key", "-out", "issuing.csr", cwd=d)
        with open(os.path.join(d, "issuing.ext"), "w") as f:
            f.write("basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign\n")
        openssl("x509", "-req", "-in", "issuing.csr", "-CA", "root.pem", "-CAkey", "root.key", "-CAcreateserial",
                "-days", "2", "-extfile", "issuing.ext", "-out", "issuing.pem", cwd=d)
        self.root = os.path.join(d, "root.pem")

    def server_pair(self, name):
        """(chain file, key file, SPKI pin) of a server certificate called `name`."""
        d = self.dir
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-keyout", name + ".key",
                "-out", name + ".csr", cwd=d)
        with open(os.path.join(d, name + ".ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n")
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "issuing.pem", "-CAkey", "issuing.key", "-CAcreateserial",
                "-days", "2", "-extfile", name + ".ext", "-out", name + ".crt", cwd=d)
        chain = os.path.join(d, name + "-chain.pem")
        with open(chain, "w") as out:
            for part in (name + ".crt", "issuing.pem"):
                with open(os.path.join(d, part)) as f:
                    out.write(f.read())
        key = os.path.join(d, name + ".key")
        os.chmod(key, 0o600)
        der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "der"], check=True,
                             capture_output=True).stdout
        digest = subprocess.run(["openssl", "dgst", "-sha256", "-binary"], input=der, check=True,
                                capture_output=True).stdout
        return chain, key, base64.b64encode(digest).decode()

    def context(self):
        return ssl.create_default_context(cafile=self.root)


def peer_name(port, context):
    """The common name of the certificate a fresh connection is given."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            subject = dict(x[0] for x in tls.getpeercert()["subject"])
            return subject["commonName"], tls.version()


def closed_within(sock, seconds):
    """Reads until the peer closes; what it sent, or None if it stayed open."""
    sock.settimeout(seconds)
    got = b""
    try:
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                return got
            got += chunk
    except socket.timeout:
        return None
    except ConnectionResetError:
        return got


class Tls(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.ca = TestCa(self.ws.dir)
        self.cert = os.path.join(self.ws.dir, "service.pem")
        self.key = os.path.join(self.ws.dir, "service.key")
        chain, key, _ = self.ca.server_pair("first")
        shutil.copy(chain, self.cert)
        shutil.copy(key, self.key)
        os.chmod(self.key, 0o600)
        self.bay = self.ws.simulator("bay1", "--weight", "12.5")

    def tearDown(self):
        self.ws.close()

    def config(self, extra=""):
        return (f"[service]\nlisten = 127.0.0.1:0\ntls_cert = {self.cert}\ntls_key = {self.key}\n"
                f"header_timeout_ms = 1000\nidle_timeout_ms = 60000\n{extra}"
                f"[bay-1]\nport = {self.bay.link}\n")

    def start(self, extra=""):
        return self.ws.service(self.config(extra), ssl_context=self.ca.context())

    def test_https_and_wss_verified_against_the_test_ca(self):
        service = self.start()
        self.assertTrue(service.base.startswith("https://"))
        wait_for(lambda: "on https://127.0.0.1:%d/" % service.port in service.log(), 10)
        status, _, scales = service.request("/api/scales")
        self.assertEqual((status, scales[0]["id"]), (200, "bay-1"))
        name, version = peer_name(service.port, self.ca.context())
        self.assertEqual(name, "first")
        self.assertIn(version, ("TLSv1.2", "TLSv1.3"))
        # Nothing below TLS 1.2 is spoken.
        old = self.ca.context()
        old.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
        old.maximum_version = ssl.TLSVersion.TLSv1_1
        old.set_ciphers("ALL:@SECLEVEL=0")
        with self.assertRaises((ssl.SSLError, ConnectionResetError)):
            peer_name(service.port, old)
        # The event stream over TLS: wss:// with the same trust.
        live = websocket.create_connection("wss://127.0.0.1:%d/api/live" % service.port, timeout=10,
                                           sslopt={"ca_certs": self.ca.root},
                                           origin="https://127.0.0.1:%d" % service.port)
        event = next_event(live)
        self.assertEqual(event["scale"], "bay-1")
        live.close()

    def test_plain_http_and_clients_that_never_finish_the_handshake(self):
        service = self.start()
        # Plain HTTP to the TLS port: no HTTP answer, the connection closed.
        plain = socket.create_connection(("127.0.0.1", service.port), timeout=10)
        plain.sendall(b"GET /api/scales HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        got = closed_within(plain, 10)
        self.assertIsNotNone(got, "the connection stayed open")
        self.assertNotIn(b"HTTP/", got)
        self.assertNotIn(b"bay-1", got)
        plain.close()
        # A client that opens TCP and never starts TLS, and one that stops in
        # the middle of its handshake: closed by the header timeout (1 s),
        # far before the idle timeout (60 s).
        silent = socket.create_connection(("127.0.0.1", service.port), timeout=10)
        stalled = socket.create_connection(("127.0.0.1", service.port), timeout=10)
        stalled.sendall(hello_bytes(self.ca))
        self.assertIsNotNone(closed_within(silent, 15), "a client that never started TLS was not closed")
        self.assertIsNotNone(closed_within(stalled, 15), "a client stalled in its handshake was not closed")
        silent.close()
        stalled.close()
        # The service goes on.
        self.assertEqual(service.request("/api/scales")[0], 200)

    def test_a_rotated_pair_serves_the_next_connection_and_a_broken_one_is_refused(self):
        service = self.start()
        self.assertEqual(peer_name(service.port, self.ca.context())[0], "first")
        kept = http.client.HTTPSConnection("127.0.0.1", service.port, timeout=10, context=self.ca.context())
        kept.request("GET", "/api/scales")
        self.assertEqual(kept.getresponse().read()[:1], b"[")
        chain, key, _ = self.ca.server_pair("second")
        shutil.copy(chain, self.cert)
        shutil.copy(key, self.key)
        service.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "reload: TLS with the certificate of second" in service.log(), 10)
        self.assertEqual(peer_name(service.port, self.ca.context())[0], "second")
        # The open connection keeps its own.
        kept.request("GET", "/api/scales")
        self.assertEqual(kept.getresponse().status, 200)
        kept.close()
        # Broken pairs at a reload: refused with the reason, the pair in force stays.
        other_chain, other_key, _ = self.ca.server_pair("third")
        cases = [
            ("a key that is not the certificate's", lambda: shutil.copy(other_key, self.key), "is not the one of the certificate"),
            ("a certificate file that is not PEM", lambda: write(self.cert, "not a certificate\n"),
             "holds no PEM certificate"),
            ("a key readable by others", lambda: (shutil.copy(key, self.key), os.chmod(self.key, 0o644)), "mode 0644"),
        ]
        for label, damage, reason in cases:
            with self.subTest(label):
                shutil.copy(chain, self.cert)
                shutil.copy(key, self.key)
                os.chmod(self.key, 0o600)
                damage()
                before = service.log().count("the TLS pair is refused")
                service.process.send_signal(signal.SIGHUP)
                wait_for(lambda: service.log().count("the TLS pair is refused") > before, 10)
                self.assertIn(reason, service.log())
                self.assertEqual(peer_name(service.port, self.ca.context())[0], "second")
                self.assertEqual(service.request("/api/scales")[0], 200)

    def test_a_wss_client_that_stops_reading_is_dropped(self):
        # Over TLS what waits for a client is mostly encrypted bytes, which
        # the 1 MiB limit must count too, or a client that never reads holds
        # memory without bound. A hundred simulated terminals give a steady
        # stream of events.
        service = self.ws.service(
            f"[service]\nlisten = 127.0.0.1:0\ntls_cert = {self.cert}\ntls_key = {self.key}\n",
            extra=["--simulate", "100"], ssl_context=self.ca.context())
        reader = websocket.create_connection("wss://127.0.0.1:%d/api/live" % service.port, timeout=10,
                                             sslopt={"ca_certs": self.ca.root})
        raw = socket.socket()
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        raw.connect(("127.0.0.1", service.port))
        stuck = self.ca.context().wrap_socket(raw, server_hostname="127.0.0.1")
        stuck.sendall(b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        end = time.monotonic() + 50
        while "orva_websocket_dropped_total 1" not in service.request("/metrics")[2]:
            self.assertLess(time.monotonic(), end, "the stuck client was never dropped")
            for _ in range(5):  # the reader keeps up meanwhile (a message per 100 ms)
                reader.recv()
        self.assertIn("dropped WebSocket client 127.0.0.1: it stopped reading", service.log())
        self.assertIn("orva_websocket_clients 1\n", service.request("/metrics")[2])
        reader.close()
        stuck.close()

    def test_pairs_that_cannot_be_used_stop_the_start(self):
        good_chain, good_key, _ = self.ca.server_pair("good")
        _, other_key, _ = self.ca.server_pair("other")
        not_pem = os.path.join(self.ws.dir, "not.pem")
        with open(not_pem, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n")
        encrypted = os.path.join(self.ws.dir, "encrypted.key")
        openssl("pkey", "-in", good_key, "-aes256", "-passout", "pass:secret", "-out", encrypted, cwd=self.ws.dir)
        os.chmod(encrypted, 0o600)
        cases = [
            # (what, cert, key, key mode, the line at fault, reason)
            ("key readable by everyone", good_chain, good_key, 0o644, 4, "group or others may access this private key (mode 0644)"),
            ("key readable by the group", good_chain, good_key, 0o640, 4, "(mode 0640)"),
            ("key of another certificate", good_chain, other_key, 0o600, 4, "is not the one of the certificate"),
            ("key with a passphrase", good_chain, encrypted, 0o600, 4, "protected by a passphrase"),
            ("key is a folder", good_chain, self.ws.dir, None, 4, "is not a regular file"),
            ("no certificate file", "/nonexistent/cert.pem", good_key, 0o600, 3, "cannot read: No such file"),
            ("certificate not PEM", not_pem, good_key, 0o600, 3, "holds no PEM certificate"),
            ("key in the certificate's place", good_key, good_key, 0o600, 3, "holds no PEM certificate"),
        ]
        for what, cert, key, mode, line, reason in cases:
            with self.subTest(what):
                if mode is not None:
                    os.chmod(key, mode)
                config = os.path.join(self.ws.dir, "refused.ini")
                with open(config, "w") as f:
                    f.write(f"[service]\nlisten = 127.0.0.1:0\ntls_cert = {cert}\ntls_key = {key}\n")
                run = subprocess.run([os.path.join(TOOLS, "orva-service"), "--config", config], capture_output=True,
                                     text=True, timeout=30)
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertEqual(run.stdout, "")  # never said it listens
                self.assertIn("%s:%d: tls_" % (config, line), run.stderr)
                self.assertIn(reason, run.stderr)
                if mode is not None:
                    os.chmod(key, 0o600)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def hello_bytes(ca):
    """The first flight of a real TLS client: a ClientHello, then nothing."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    client = ca.context().wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")
    try:
        client.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def ws_connect(port, header=(), cookie=None):
    return websocket.create_connection("ws://127.0.0.1:%d/api/live" % port, timeout=10, header=list(header), cookie=cookie)


class ReadToken(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.bay = self.ws.simulator("bay1", "--weight", "12.5")
        self.service = self.ws.service(
            f"[service]\nlisten = 127.0.0.1:0\ntoken = {WRITE}\nread_token = {READ}\n[bay-1]\nport = {self.bay.link}\n")

    def tearDown(self):
        self.ws.close()

    def test_every_read_needs_the_read_or_the_write_token(self):
        s = self.service
        routes = ["/api/scales", "/api/scales/bay-1", "/api/scales/bay-1/properties",
                  "/api/scales/bay-1/stable?timeout_ms=0", "/api/scales/nope", "/metrics", "/api/live"]
        for path in routes:
            for method in ("GET", "HEAD"):
                with self.subTest(path=path, method=method):
                    status, head, _ = s.request(path, method=method)
                    self.assertEqual(status, 401)
                    self.assertTrue(head["WWW-Authenticate"].startswith("Bearer"))
                    for token in (READ, WRITE):
                        status, _, _ = s.request(path, method=method, headers={"Authorization": "Bearer " + token})
                        self.assertNotEqual(status, 401)
                    status, head, _ = s.request(path, method=method, headers={"Authorization": "Bearer wrong"})
                    self.assertEqual(status, 401)
                    self.assertIn('error="invalid_token"', head["WWW-Authenticate"])
                    # A token in a query string is never taken.
                    sep = "&" if "?" in path else "?"
                    for key in ("token", "access_token", "read_token"):
                        self.assertEqual(s.request(path + sep + key + "=" + READ, method=method)[0], 401)
        # The dashboard's own files need nothing: its login is there.
        for path in ("/", "/dashboard.js", "/dashboard.css"):
            self.assertEqual(s.request(path)[0], 200)
        # The read token cannot write.
        status, _, _ = s.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 60},
                                 {"Authorization": "Bearer " + READ, "Content-Type": "application/json"})
        self.assertEqual(status, 401)
        self.assertIn("refused a read of /api/scales from 127.0.0.1: no token", s.log())

    def test_the_event_stream_takes_the_header_or_the_login_cookie(self):
        port = self.service.port
        for header in ([], ["Authorization: Bearer wrong"]):
            with self.subTest(header=header):
                with self.assertRaises(websocket.WebSocketBadStatusException) as refused:
                    ws_connect(port, header)
                self.assertEqual(refused.exception.status_code, 401)
        for token in (READ, WRITE):
            live = ws_connect(port, ["Authorization: Bearer " + token])
            self.assertEqual(next_event(live)["scale"], "bay-1")
            live.close()
        # The dashboard's login: POST /api/login with the token sets the cookie.
        status, head, _ = self.service.request("/api/login", "POST", headers={"Authorization": "Bearer wrong"})
        self.assertEqual(status, 401)
        status, head, _ = self.service.request("/api/login", "POST", headers={"Authorization": "Bearer " + WRITE})
        self.assertEqual(status, 204)
        cookie = head["Set-Cookie"]
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/"):
            self.assertIn(attribute, cookie)
        self.assertNotIn("Secure", cookie)  # plain HTTP: a Secure cookie would not come back
        pair = cookie.split(";")[0]
        self.assertNotIn(WRITE, pair)  # a digest, not the token
        self.assertEqual(self.service.request("/api/scales", headers={"Cookie": "other=1; " + pair})[0], 200)
        live = ws_connect(port, cookie=pair)
        self.assertEqual(next_event(live)["scale"], "bay-1")
        live.close()
        # A cookie lets reads through, never writes; a forged one nothing.
        status, _, _ = self.service.request("/api/scales/bay-1/properties", "PUT", {"MinFixVes": 60},
                                            {"Cookie": pair, "Content-Type": "application/json"})
        self.assertEqual(status, 401)
        self.assertEqual(self.service.request("/api/scales", headers={"Cookie": "orva_read=" + "0" * 64})[0], 401)
        # Logging out clears it.
        status, head, _ = self.service.request("/api/login", "DELETE")
        self.assertEqual(status, 204)
        self.assertIn("Max-Age=0", head["Set-Cookie"])


class AllowFrom(unittest.TestCase):
    def test_a_client_from_another_address_is_closed_unread(self):
        ws = Workspace()
        self.addCleanup(ws.close)
        bay = ws.simulator("bay1", "--weight", "12.5")
        service = ws.service(f"[service]\nlisten = 127.0.0.1:0\nallow_from = 127.0.0.1, ::1\n[bay-1]\nport = {bay.link}\n")

        def from_address(source):
            s = socket.socket()
            s.bind((source, 0))
            s.settimeout(10)
            s.connect(("127.0.0.1", service.port))
            return s

        for kind, request in (("HTTP", b"GET /api/scales HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
                              ("WebSocket", b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                            b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                            b"Sec-WebSocket-Version: 13\r\n\r\n")):
            with self.subTest(kind):
                refused = from_address("127.0.0.2")
                try:
                    refused.sendall(request)
                except (BrokenPipeError, ConnectionResetError):
                    pass
                self.assertEqual(closed_within(refused, 10), b"")  # not a byte of an answer
                refused.close()
                served = from_address("127.0.0.1")
                served.sendall(request)
                self.assertTrue(served.recv(4096).startswith(b"HTTP/1.1 "))
                served.close()
        metrics = service.request("/metrics")[2]
        self.assertRegex(metrics, r"\norva_http_not_allowed_total 2\n")
        log = service.log()
        # Named the first time, the second folded into a later count.
        self.assertEqual(log.count("turned away a connection from 127.0.0.2: its address is not in allow_from"), 1)
        self.assertIn("clients allowed from 127.0.0.1, ::1", log)
        # A reload changes the list at once: now 127.0.0.2 alone.
        with open(service.config, "w") as f:
            f.write(f"[service]\nlisten = 127.0.0.1:0\nallow_from = 127.0.0.2/32\n[bay-1]\nport = {bay.link}\n")
        service.process.send_signal(signal.SIGHUP)
        wait_for(lambda: "clients now allowed from 127.0.0.2" in service.log(), 10)
        now_served = from_address("127.0.0.2")
        now_served.sendall(b"GET /api/scales HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.assertTrue(now_served.recv(4096).startswith(b"HTTP/1.1 200"))
        now_served.close()
        refused = from_address("127.0.0.1")
        self.assertEqual(closed_within(refused, 10), b"")
        refused.close()


class NGINX_CONF:
    text = """
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        location / {{
            proxy_pass http://127.0.0.1:{upstream};
            proxy_http_version 1.1;
            proxy_set_header Host $http_host;
            proxy_set_header Upgrade $http_upgrade;
            proxy_set_header Connection $connection_upgrade;
            proxy_set_header X-Forwarded-Proto $scheme;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
        }}
    }}
    map $http_upgrade $connection_upgrade {{ default upgrade; '' close; }}
}}
"""


@unittest.skipUnless(shutil.which("nginx") or os.path.exists("/usr/sbin/nginx"), "nginx is not installed")
class BehindAProxy(unittest.TestCase):
    """The dashboard's page and its WebSocket through nginx terminating TLS:
    the page's origin is https://, which the service believes only from the
    proxy it was told of."""

    def setUp(self):
        self.ws = Workspace()
        self.ca = TestCa(self.ws.dir)
        self.chain, self.key, _ = self.ca.server_pair("proxy")
        self.bay = self.ws.simulator("bay1", "--weight", "12.5")

    def tearDown(self):
        self.ws.close()

    def proxy(self, upstream):
        port = free_port()
        conf = os.path.join(self.ws.dir, "nginx-%d.conf" % port)
        with open(conf, "w") as f:
            f.write(NGINX_CONF.text.format(dir=self.ws.dir, port=port, cert=self.chain, key=self.key, upstream=upstream))
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        process = subprocess.Popen([nginx, "-c", conf, "-p", self.ws.dir], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (process.terminate(), process.wait(10)))

        def up():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return False
        wait_for(up, 10)
        return port

    def live_through(self, port):
        return websocket.create_connection("wss://127.0.0.1:%d/api/live" % port, timeout=10,
                                           sslopt={"ca_certs": self.ca.root}, origin="https://127.0.0.1:%d" % port)

    def test_the_dashboard_origin_is_https_behind_a_trusted_proxy_only(self):
        base = f"[service]\nlisten = 127.0.0.1:0\n{{extra}}[bay-1]\nport = {self.bay.link}\n"
        cases = [("no proxy named", "", False), ("the proxy named", "trusted_proxy = 127.0.0.1\n", True),
                 ("another proxy named", "trusted_proxy = 192.0.2.1\n", False)]
        for label, extra, served in cases:
            with self.subTest(label):
                service = self.ws.service(base.replace("{extra}", extra))
                port = self.proxy(service.port)
                if served:
                    live = self.live_through(port)
                    self.assertEqual(next_event(live)["scale"], "bay-1")
                    live.close()
                else:
                    with self.assertRaises(websocket.WebSocketBadStatusException) as refused:
                        self.live_through(port)
                    self.assertEqual(refused.exception.status_code, 403)
                    # The refusal names the origin the first time.
                    self.assertIn('origin "https://127.0.0.1:%d" for host "127.0.0.1:%d" is not allowed' % (port, port),
                                  service.log())
                service.stop()


class DashboardOverHttps(unittest.TestCase):
    def test_the_dashboard_logs_in_once_and_streams(self):
        from dashboard_test import Browser
        ws = Workspace()
        self.addCleanup(ws.close)
        ca = TestCa(ws.dir)
        chain, key, pin = ca.server_pair("dashboard")
        bay = ws.simulator("bay1", "--weight", "12.5")
        service = ws.service(f"[service]\nlisten = 127.0.0.1:0\nread_token = {READ}\ntls_cert = {chain}\n"
                             f"tls_key = {key}\n[bay-1]\nport = {bay.link}\n", ssl_context=ca.context())
        # The browser trusts the test's server key (its SPKI), as it would the site's CA.
        browser = Browser(["--ignore-certificate-errors-spki-list=" + pin])
        self.addCleanup(browser.close)
        browser.open(service.base + "/")
        shown = lambda: browser.evaluate("!document.getElementById('login').hidden")  # noqa: E731
        wait_for(shown, 15)
        browser.evaluate("document.getElementById('token').value = 'wrong';"
                         "document.getElementById('login').requestSubmit()")
        wait_for(lambda: browser.evaluate("document.getElementById('login-error').textContent") == "wrong token", 10)
        browser.evaluate("document.getElementById('token').value = %s;"
                         "document.getElementById('login').requestSubmit()" % json.dumps(READ))
        link = lambda: browser.evaluate("document.getElementById('link').textContent")  # noqa: E731
        wait_for(lambda: link() == "live", 15)
        wait_for(lambda: (browser.panel("bay-1") or {}).get("weight") == "12.5", 10)
        # The cookie is out of the page's reach, and marked Secure over HTTPS.
        self.assertEqual(browser.evaluate("document.cookie"), "")
        cookies = browser.call("Network.getAllCookies")["cookies"]
        ours = [c for c in cookies if c["name"] == "orva_read"]
        self.assertEqual(len(ours), 1)
        self.assertTrue(ours[0]["httpOnly"] and ours[0]["secure"])
        self.assertEqual(ours[0]["sameSite"], "Strict")
        # It keeps streaming: a new weight arrives without another login.
        bay.command("weight 40.5")
        wait_for(lambda: (browser.panel("bay-1") or {}).get("weight") == "40.5", 10)
        self.assertFalse(shown())


if __name__ == "__main__":
    unittest.main()
