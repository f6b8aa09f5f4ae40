#!/usr/bin/env python3
"""Runs the built rpcset as a user does, against servers on 127.0.0.1 started
here: the demo provisioning server and a raw server that records each request.

    rpcset_test.py --rpcset PATH [unittest arguments]
"""

import argparse
import os
import queue
import re
import socket
import subprocess
import sys
import threading
import unittest
import xmlrpc.client

HOST = "127.0.0.1"
TIMEOUT = 20  # seconds; bounds every run, read and wait so that no test can hang
DEMO_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples",
                           "provision_server.py")
RPCSET = None  # set from the command line


def rpcset(*words):
    return subprocess.run([RPCSET, *words], capture_output=True, timeout=TIMEOUT)


def http_reply(body):
    body = body.encode()
    return b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-length: %d\r\n\r\n%s" % (
        len(body), body)


OK_REPLY = http_reply(xmlrpc.client.dumps((0,), methodresponse=True))
FAULT_REPLY = http_reply(xmlrpc.client.dumps(xmlrpc.client.Fault(4, "no such machine"),
                                             methodresponse=True))


def expected_request(port, method, encoded_params):
    body = (f'<?xml version="1.0"?>\r\n<methodCall><methodName>{method}</methodName>\r\n<params>'
            + "".join(f"<param><value>{p}</value></param>" for p in encoded_params)
            + "</params></methodCall>\r\n")
    return (f"POST /RPC2 HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: {HOST}:{port}\r\n"
            f"Content-Type: text/xml\r\nContent-length: {len(body)}\r\n\r\n{body}").encode()


class RawServer:
    """Accepts connections one at a time, records each request, and answers it with
    `reply`, or closes the connection without a word when `reply` is None."""

    def __init__(self, reply):
        self.reply = reply
        self.requests = []
        self._stop = threading.Event()
        self._listener = socket.create_server((HOST, 0))
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def close(self):
        self._stop.set()
        self._thread.join(TIMEOUT)
        self._listener.close()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except TimeoutError:
                continue
            with conn:
                conn.settimeout(TIMEOUT)
                self.requests.append(self._read_request(conn))
                if self.reply is not None:
                    conn.sendall(self.reply)

    @staticmethod
    def _read_request(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return data
            data += chunk
        length = re.search(rb"Content-length: (\d+)", data)
        body_start = data.index(b"\r\n\r\n") + 4
        while length and len(data) - body_start < int(length.group(1)):
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        return data


class CommandLineTest(unittest.TestCase):
    def assert_nothing_sent(self, listener):
        listener.setblocking(False)
        with self.assertRaises(BlockingIOError, msg="rpcset connected to the server"):
            listener.accept()

    def test_short_command_lines_print_their_usage_and_send_nothing(self):
        general = "usage %s SRV_IP SRV_PORT [boot|dhcp] ...\n"
        boot = "usage %s SRV_IP SRV_PORT boot MAC_INFO PROC_INFO\n"
        dhcp = "usage %s SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO\n"
        cases = [([], general), (["HOST", "PORT"], general), (["HOST", "PORT", "boot"], boot),
                 (["HOST", "PORT", "boot", "00:11"], boot),
                 (["HOST", "PORT", "dhcp", "00:11", "2"], dhcp)]
        for words, usage in cases:
            with self.subTest(words=words), socket.create_server((HOST, 0)) as listener:
                port = str(listener.getsockname()[1])
                words = [{"HOST": HOST, "PORT": port}.get(w, w) for w in words]
                result = rpcset(*words)
                self.assertEqual(result.stdout, (usage % RPCSET).encode())
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.returncode, 255)
                self.assert_nothing_sent(listener)

    def test_other_operation_words_do_nothing_and_exit_0(self):
        for word in ["Boot", "boot1", "DHCP", "dhcp ", ""]:
            with self.subTest(word=word), socket.create_server((HOST, 0)) as listener:
                port = str(listener.getsockname()[1])
                result = rpcset(HOST, port, word, "00:11", "2", "10.0.0.9")
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
                self.assert_nothing_sent(listener)

    def test_port_text_is_read_up_to_its_first_non_digit(self):
        server = RawServer(OK_REPLY)
        self.addCleanup(server.close)
        for text in ["%dabc", "  %d", "+%d", "\t+%d:80"]:
            with self.subTest(port_text=text):
                del server.requests[:]
                result = rpcset(HOST, text % server.port, "boot", "00:11", "pxe")
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
                self.assertEqual(len(server.requests), 1)
                self.assertIn(b"\r\nHost: %s:%d\r\n" % (HOST.encode(), server.port),
                              server.requests[0])


class RequestBytesTest(unittest.TestCase):
    def test_each_call_sends_exactly_these_bytes(self):
        server = RawServer(OK_REPLY)
        self.addCleanup(server.close)
        cases = [
            (["boot", "beta", "alpha"], "SetBOOT", ["alpha", "beta"]),
            (["boot", "00:11", "pxe"], "SetBOOT", ["pxe", "00:11"]),
            (["dhcp", "00:11", "2", "10.0.0.9", "extra"], "SetDHCP", ["2", "00:11", "10.0.0.9"]),
            (["boot", "", ""], "SetBOOT", ["", ""]),
            (["boot", "a&b <c>", "'q' \"d\""], "SetBOOT",
             ["&apos;q&apos; &quot;d&quot;", "a&amp;b &lt;c&gt;"]),
        ]
        for words, method, params in cases:
            with self.subTest(words=words):
                del server.requests[:]
                result = rpcset(HOST, str(server.port), *words)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
                self.assertEqual(server.requests, [expected_request(server.port, method, params)])
        # The body of the first case, counted by hand.
        self.assertIn(b"Content-length: 170\r\n", expected_request(1, "SetBOOT", ["alpha", "beta"]))


class DemoServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = subprocess.Popen([sys.executable, "-u", DEMO_SERVER, "0"],
                                      stdout=subprocess.PIPE, text=True)
        # A reader thread lets every wait for a line have a time limit.
        cls.lines = queue.Queue()

        def read_lines():
            for line in cls.server.stdout:
                cls.lines.put(line)

        reader = threading.Thread(target=read_lines)
        cls.addClassCleanup(cls.server.stdout.close)
        cls.addClassCleanup(reader.join, TIMEOUT)
        cls.addClassCleanup(cls.server.wait, TIMEOUT)
        cls.addClassCleanup(cls.server.kill)
        reader.start()
        started = cls.lines.get(timeout=TIMEOUT)
        cls.port = re.fullmatch(r"listening on 127\.0\.0\.1 port (\d+)\n", started).group(1)

    def test_operands_arrive_intact_in_the_servers_parameter_order(self):
        cases = [
            (["boot", "00:11", "pxe", "extra"], "SetBOOT proc_info='pxe' mac_info='00:11'"),
            (["dhcp", "00:11", "2", "10.0.0.9", "extra"],
             "SetDHCP ps_num='2' mac_info='00:11' ip_info='10.0.0.9'"),
            (["boot", " a & b ", "<pxe image>"],
             "SetBOOT proc_info='<pxe image>' mac_info=' a & b '"),
            (["dhcp", "", "", ""], "SetDHCP ps_num='' mac_info='' ip_info=''"),
        ]
        for words, received in cases:
            with self.subTest(words=words):
                result = rpcset(HOST, self.port, *words)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
                self.assertEqual(self.lines.get(timeout=TIMEOUT), received + "\n")


class FailureTest(unittest.TestCase):
    def test_refused_port_gives_one_error_line_and_exit_0(self):
        # A bound socket that does not listen refuses, and keeps its port from being reused.
        with socket.socket() as bound:
            bound.bind((HOST, 0))
            result = rpcset(HOST, str(bound.getsockname()[1]), "boot", "00:11", "pxe")
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.stderr,
                         b"Error in XmlRpcClient::writeRequest: write error (error 111).\n")
        self.assertEqual(result.returncode, 0)

    def test_fault_reply_prints_nothing_and_exits_0(self):
        server = RawServer(FAULT_REPLY)
        self.addCleanup(server.close)
        result = rpcset(HOST, str(server.port), "dhcp", "00:11", "2", "10.0.0.9")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        self.assertEqual(len(server.requests), 1)

    def test_server_closing_without_a_reply_twice_gives_one_error_line(self):
        server = RawServer(None)
        self.addCleanup(server.close)
        result = rpcset(HOST, str(server.port), "boot", "00:11", "pxe")
        self.assertEqual(result.stdout, b"")
        self.assertRegex(result.stderr.decode(), r"\AError in XmlRpcClient::readHeader: "
                         r"error while reading header \([^\n]*\) on fd \d+\.\n\Z")
        self.assertEqual(result.returncode, 0)
        # The first attempt and the one retry carry the same request.
        self.assertEqual(server.requests, [expected_request(server.port, "SetBOOT",
                                                            ["pxe", "00:11"])] * 2)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--rpcset", required=True)
    known, rest = parser.parse_known_args()
    RPCSET = known.rpcset
    unittest.main(argv=[sys.argv[0], *rest])
