"""The attack suite over TLS: the same attacks of attack_test.py, their
bytes sent inside TLS to a service with tls_cert and tls_key (a pair of the
test's own CA), so every limit of the plain listener is shown to hold behind
the TLS layer as well. Only the connections change: raw sockets are wrapped
in TLS, the harness's requests go over HTTPS."""
import atexit
import http.client
import os
import shutil
import socket
import sys
import tempfile
import unittest

import websocket

sys.path.insert(0, os.path.dirname(__file__))
import attack_test as plain  # noqa: E402
import service_harness  # noqa: E402
from secure_test import TestCa  # noqa: E402

_folder = tempfile.mkdtemp(prefix="orva-attack-tls-")
atexit.register(shutil.rmtree, _folder, True)
_ca = TestCa(_folder)
CERT, KEY, _ = _ca.server_pair("attack")
CONTEXT = _ca.context()

_plain_config = plain.config
_plain_service = service_harness.Workspace.service


def tls_config(bay, orva2, extra=""):
    return _plain_config(bay, orva2, extra).replace("[service]\n", f"[service]\ntls_cert = {CERT}\ntls_key = {KEY}\n", 1)


def tls_connect(service, timeout=5):
    sock = socket.create_connection(("127.0.0.1", service.port), timeout=timeout)
    return plain.Client(CONTEXT.wrap_socket(sock, server_hostname="127.0.0.1"))


def tls_service(self, config_text, extra=(), directory=None, **options):
    options.setdefault("ssl_context", CONTEXT)
    return _plain_service(self, config_text, extra, directory, **options)


class _HttpsConnection(http.client.HTTPSConnection):
    """http.client's connection as the attacks use it, over TLS."""

    def __init__(self, host, port=None, **options):
        options.setdefault("context", CONTEXT)
        super().__init__(host, port, **options)


_plain_websocket = websocket.create_connection


def tls_websocket(url, **options):
    if url.startswith("ws://"):
        url = "wss://" + url[len("ws://"):]
    options.setdefault("sslopt", {"ca_certs": _ca.root})
    return _plain_websocket(url, **options)


plain.http.client.HTTPConnection = _HttpsConnection
websocket.create_connection = tls_websocket
plain.config = tls_config
plain.connect = tls_connect
service_harness.Workspace.service = tls_service


class Bodies(plain.Bodies):
    pass


class Timeouts(plain.Timeouts):
    pass


class WebSockets(plain.WebSockets):
    pass


class Hosts(plain.Hosts):
    pass


class AllowedHosts(plain.AllowedHosts):
    pass


class Answers(plain.Answers):
    pass


class KeepAlive(plain.KeepAlive):
    pass


class Connections(plain.Connections):
    # Over TLS a client over its address's share is closed with no answer
    # (a plain 503 would read as a broken handshake): the plain suite has it.
    test_one_address_holds_at_most_its_share = None


class WebSocketPings(plain.WebSocketPings):
    pass


class WebSocketHeartbeats(plain.WebSocketHeartbeats):
    pass


class Masks(plain.Masks):
    pass


class Handshakes(plain.Handshakes):
    pass


class ParkedWaits(plain.ParkedWaits):
    pass


class EarlyRefusals(plain.EarlyRefusals):
    pass


if __name__ == "__main__":
    unittest.main()
