#!/usr/bin/env python3
"""The built rpcset run as a user runs it, against servers on 127.0.0.1 started
here, and consumers built against an install. tool_test.py TEST --rpcset=... ..."""
import argparse, ctypes, glob, os, re, select, shlex, signal, socket, subprocess, sys, tempfile
import threading, unittest, xmlrpc.client

HOST, TIMEOUT = "127.0.0.1", 20  # every run, read and wait ends by this bound
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = None


def die_with_parent():  # a helper process ends with the test that started it
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)


def rpcset(*words, binary=None):
    return subprocess.run([binary or ARGS.rpcset, *words], capture_output=True, timeout=TIMEOUT)


def reply(body):
    return b"HTTP/1.1 200 OK\r\nContent-length: %d\r\n\r\n%s" % (len(body), body.encode())


def request(port, method, params):
    body = (f'<?xml version="1.0"?>\r\n<methodCall><methodName>{method}</methodName>\r\n<params>'
            + "".join(f"<param><value>{p}</value></param>" for p in params) + "</params></methodCall>\r\n")
    return (f"POST /RPC2 HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: {HOST}:{port}\r\n"
            f"Content-Type: text/xml\r\nContent-length: {len(body)}\r\n\r\n{body}").encode()


class RawServer(threading.Thread):
    """Records each request and answers it with `answer`, or closes without a word."""

    def __init__(self, test, answer):
        super().__init__(daemon=True)
        self.answer, self.requests = answer, []
        self.listener = socket.create_server((HOST, 0))
        self.port = self.listener.getsockname()[1]
        self.start()
        test.addCleanup(self.listener.close)

    def run(self):
        while True:
            try:
                conn = self.listener.accept()[0]
            except OSError:
                return
            with conn:
                conn.settimeout(TIMEOUT)
                data = b""
                while b"</methodCall>\r\n" not in data and (chunk := conn.recv(65536)):
                    data += chunk
                self.requests.append(data)
                if self.answer:
                    conn.sendall(self.answer)


def demo_server(test):
    server = subprocess.Popen([sys.executable, "-u", os.path.join(ROOT, "examples", "provision_server.py"), "0"],
                              stdout=subprocess.PIPE, text=True, preexec_fn=die_with_parent)
    test.addCleanup(server.wait, TIMEOUT)
    test.addCleanup(server.kill)

    def line():
        assert select.select([server.stdout], [], [], TIMEOUT)[0], "the demo server said nothing"
        return server.stdout.readline()
    return re.fullmatch(r"listening on 127\.0\.0\.1 port (\d+)\n", line()).group(1), line


class Rpcset(unittest.TestCase):
    def assert_quiet_success(self, result):
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))

    def test_CommandLine(self):
        general, boot, dhcp = ("usage %s SRV_IP SRV_PORT " + w for w in
                               ("[boot|dhcp] ...\n", "boot MAC_INFO PROC_INFO\n", "dhcp MAC_INFO PS_NUM IP_INFO\n"))
        server = RawServer(self, reply("<methodResponse><params><param><value>0</value></param></params>"
                                       "</methodResponse>"))
        port = str(server.port)
        for words, usage in [([], general), ([HOST, port], general), ([HOST, port, "boot", "00:11"], boot),
                             ([HOST, port, "dhcp", "00:11", "2"], dhcp), ([HOST, port, "Boot", "m", "p", "i"], ""),
                             ([HOST, port, "dhcp1", "m", "p", "i"], ""), ([HOST, port, "", "m", "p", "i"], "")]:
            result = rpcset(*words)
            self.assertEqual(result.stdout, (usage % ARGS.rpcset if usage else "").encode(), words)
            self.assertEqual((result.stderr, result.returncode), (b"", 255 if usage else 0))
        for text in ["%dabc", "  %d", "+%d", "\t+%d:80"]:
            self.assert_quiet_success(rpcset(HOST, text % server.port, "boot", "00:11", "pxe"))
        self.assertEqual(server.requests, [request(server.port, "SetBOOT", ["pxe", "00:11"])] * 4)

    def test_RequestBytes(self):
        server = RawServer(self, reply(xmlrpc.client.dumps(xmlrpc.client.Fault(4, "no"), methodresponse=True)))
        for words, method, params in [
                (["boot", "beta", "alpha"], "SetBOOT", ["alpha", "beta"]),
                (["dhcp", "00:11", "2", "10.0.0.9", "extra"], "SetDHCP", ["2", "00:11", "10.0.0.9"]),
                (["boot", "", ""], "SetBOOT", ["", ""]),
                (["boot", "a&b <c>", "'q' \"d\""], "SetBOOT", ["&apos;q&apos; &quot;d&quot;", "a&amp;b &lt;c&gt;"])]:
            del server.requests[:]
            self.assert_quiet_success(rpcset(HOST, str(server.port), *words))  # a fault reply prints nothing
            self.assertEqual(server.requests, [request(server.port, method, params)])

    def test_DemoServer(self):
        port, line = demo_server(self)
        for words, received in [
                (["boot", "00:11", "pxe", "extra"], "SetBOOT proc_info='pxe' mac_info='00:11'"),
                (["dhcp", " a & b ", "2", "<ip>"], "SetDHCP ps_num='2' mac_info=' a & b ' ip_info='<ip>'")]:
            self.assert_quiet_success(rpcset(HOST, port, *words))
            self.assertEqual(line(), received + "\n")

    def test_Failure(self):
        with socket.socket() as bound:  # bound, not listening: refuses, and holds its port
            bound.bind((HOST, 0))
            result = rpcset(HOST, str(bound.getsockname()[1]), "boot", "00:11", "pxe")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, b"", b"Error in XmlRpcClient::writeRequest: write error (error 111).\n"))
        server = RawServer(self, None)
        result = rpcset(HOST, str(server.port), "boot", "00:11", "pxe")
        self.assertEqual((result.returncode, result.stdout), (0, b""))
        self.assertRegex(result.stderr.decode(), r"\AError in XmlRpcClient::readHeader: "
                         r"error while reading header \(error \d+\) on fd \d+\.\n\Z")
        self.assertEqual(server.requests, [request(server.port, "SetBOOT", ["pxe", "00:11"])] * 2)


class Install(unittest.TestCase):
    def run_step(self, *cmd, **kwargs):
        return subprocess.run(cmd, check=True, timeout=300, capture_output=True, text=True, **kwargs).stdout

    def test_Consumers(self):
        with tempfile.TemporaryDirectory() as tmp:
            prefix, consumer = os.path.join(tmp, "prefix"), os.path.join(ROOT, "tests", "install")
            self.run_step(ARGS.cmake, "--install", ARGS.build_dir, "--prefix", prefix)
            for path in ["bin/rpcset", "share/man/man1/rpcset.1", "include/corvane/XmlRpc.h", "include/corvane/base64.h"]:
                self.assertTrue(os.path.exists(os.path.join(prefix, path)), path)
            flags = [f"-DCMAKE_CXX_FLAGS={ARGS.cxx_flags}", f"-DCMAKE_EXE_LINKER_FLAGS={ARGS.linker_flags}"]
            self.run_step(ARGS.cmake, "-S", consumer, "-B", tmp + "/by-cmake", "-G", "Ninja", *flags,
                          f"-DCMAKE_PREFIX_PATH={prefix}", f"-DCMAKE_CXX_COMPILER={ARGS.cxx}")
            self.run_step(ARGS.cmake, "--build", tmp + "/by-cmake")
            env = dict(os.environ, PKG_CONFIG_PATH=glob.glob(prefix + "/lib*/pkgconfig")[0])
            pc = self.run_step("pkg-config", "--cflags", "--libs", "corvane", env=env).split()
            self.run_step(ARGS.cxx, "-std=c++17", *shlex.split(ARGS.cxx_flags), consumer + "/consumer.cpp",
                          "-o", tmp + "/by-pkgconfig", *pc, *shlex.split(ARGS.linker_flags))
            port, line = demo_server(self)
            for program in [tmp + "/by-cmake/consumer", tmp + "/by-pkgconfig"]:
                self.assertEqual(self.run_step(program, HOST, port), "result 0\n")
                self.assertEqual(line(), "SetBOOT proc_info='pxe' mac_info='00:11:22:33:44:55'\n")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for flag in ["rpcset", "cmake", "build-dir", "source-dir", "cxx", "cxx-flags", "linker-flags"]:
        parser.add_argument("--" + flag, default="")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *[t.replace(".", ".test_") for t in rest]])
