#!/usr/bin/env python3
"""The built rpcset run as a user runs it, against servers on 127.0.0.1 started here,
and consumers built against an install. tool_test.py CLASS.TEST --rpcset=... ..."""
import argparse, contextlib, ctypes, glob, os, pathlib, re, select, shlex, signal, socket, subprocess, sys, tempfile
import threading, time, unittest

HOST, TIMEOUT = "127.0.0.1", 20  # every run, read and wait ends by then
ROOT, ARGS = os.path.dirname(os.path.dirname(os.path.abspath(__file__))), None


def rpcset(*words):
    return subprocess.run([ARGS.rpcset, *words], capture_output=True, timeout=TIMEOUT)


def request(port, method, params):
    body = (f'<?xml version="1.0"?>\r\n<methodCall><methodName>{method}</methodName>\r\n<params>'
            + "".join(f"<param><value>{p}</value></param>" for p in params) + "</params></methodCall>\r\n")
    return (f"POST /RPC2 HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: {HOST}:{port}\r\n"
            f"Content-Type: text/xml\r\nContent-length: {len(body)}\r\n\r\n{body}").encode()


def serve(test, answer):
    """Records each request on a kept connection and answers it with `answer` (or `answer(request)`): None
    leaves it unanswered, b"" closes the connection without a word. Its port, requests and connections."""
    listener, requests, connections = socket.create_server((HOST, 0)), [], []
    test.addCleanup(listener.close)

    def run():
        with contextlib.suppress(OSError):  # the test closed the listener
            while (conn := next(iter(select.select([listener], [], [], TIMEOUT)[0]), None)):
                connections.append(conn.accept()[0])
                with connections[-1] as c:
                    while request := c.recv(65536):
                        while not request.endswith(b"</methodCall>\r\n") and (more := c.recv(65536)):
                            request += more
                        requests.append(request)
                        reply = answer(request) if callable(answer) else answer
                        if reply == b"":
                            break
                        c.sendall(reply or b"")
    threading.Thread(target=run, daemon=True).start()
    return listener.getsockname()[1], requests, connections


def response(inner):
    body = b"<methodResponse>%s</methodResponse>" % inner
    return b"HTTP/1.1 200 OK\r\nContent-length: %d\r\n\r\n%s" % (len(body), body)


def fault(string_value):
    return response(b"<fault><value><struct><member><name>faultCode</name><value><int>4</int></value></member>"
                    b"<member><name>faultString</name><value>%s</value></member></struct></value></fault>" % string_value)


OK, TIME_LIMIT = response(b"<params><param><value>0</value></param></params>"), "0.3"
FAULT, FAULT_LINE = fault(b"no\nsuch\tMAC \x1b\x7f\\ \xc3\xa9"), r"fault 4: no\nsuch\tMAC \x1b\x7f\\ é"
USAGE = ("rpcset [OPTION...] SRV_IP SRV_PORT boot MAC_INFO PROC_INFO\nrpcset [OPTION...] SRV_IP SRV_PORT dhcp MAC_INFO "
         "PS_NUM IP_INFO\nrpcset [OPTION...] --batch SRV_IP SRV_PORT < calls\n")
LIMIT_ERROR = f"Error in XmlRpcClient::execute: no response within the time limit ({TIME_LIMIT} s).\n"


def demo_server(test):
    """The demo provisioning server, which dies with this process; its port and its next line."""
    server = subprocess.Popen([sys.executable, "-u", ROOT + "/examples/provision_server.py", "0"], text=True,
                              stdout=subprocess.PIPE, preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
    test.addCleanup(server.wait, TIMEOUT), test.addCleanup(server.kill)

    def line():
        return server.stdout.readline() if select.select([server.stdout], [], [], TIMEOUT)[0] else ""
    return re.fullmatch(r"listening on 127\.0\.0\.1 port (\d+)\n", line()).group(1), line


class Rpcset(unittest.TestCase):
    def test_CommandLines(self):
        """Each row: the server, the words after the program name ({h} and {p} its host and port),
        the exit status, standard output, standard error (a pattern), and the calls received."""
        servers = {"fault": serve(self, response(b"<fault><value><int>4</int></value></fault>")),
                   "silent": serve(self, b""),  # closes each connection without a word
                   "ok": serve(self, OK), "faulting": serve(self, FAULT), "mute": serve(self, None)}
        refusing = socket.socket()  # bound, not listening: it refuses, and holds its port
        self.addCleanup(refusing.close)
        refusing.bind((HOST, 0))
        servers["refusing"] = refusing.getsockname()[1], [], []
        usage = "usage %s SRV_IP SRV_PORT " % ARGS.rpcset
        reset = r"Error in XmlRpcClient::readHeader: error while reading header \(error \d+\) on fd \d+\.\n"
        sent, body = request(servers["ok"][0], "SetBOOT", ["p", "m"]).decode(), OK.partition(b"\r\n\r\n")[2].decode()
        shown = (f"rpcset: request, {len(sent)} bytes:\n" + "".join(f"> {line}\n" for line in sent.replace("\r", r"\r").split(
            "\n")[:-1]) + f"rpcset: response body, {len(body)} bytes:\n< {body}\n")
        help = rpcset("--help").stdout.decode()  # the usage, then every option
        self.assertTrue(help.startswith(USAGE) and all(option in help for option in [
            "-f, --fail", "-t, --timeout SECONDS", "-v, --verbose", "-b, --batch", "-h, --help", "-V, --version"]))
        usage_errors = [(["{h}", "{p}"], "too few words"), (["{h}", "{p}", "boot", "m"], "boot needs MAC_INFO PROC_INFO"),
                        (["{h}", "{p}", "dhcp", "m", "2"], "dhcp needs MAC_INFO PS_NUM IP_INFO"),
                        (["{h}", "{p}", "Boot", "m", "p"], "unknown operation Boot"),
                        (["{h}", "{p}", "boot", "m", "p", "x"], "extra word x"), (["-b", "{h}", "{p}", "boot"], "extra word boot"),
                        *[(["{h}", port, "boot", "m", "p"], "bad port " + port) for port in ["0", "65536", "+80", "8O", ""]],
                        *[(["-t", limit, "{h}", "{p}", "boot", "m", "p"], "bad time limit " + limit)
                          for limit in ["0", "0.0", ".5", "5.", "1e3", "-1", "x"]],
                        (["--timeout=", "{h}", "{p}"], "bad time limit "), (["-t"], "option -t needs SECONDS"),
                        *[([option, "{h}", "{p}", "boot", "m", "p"], "unknown option " + option)
                          for option in ["-x", "-fv", "--fail=1", "--tim", "-"]]]
        for server, words, status, out, err, calls in [
                ("fault", [], 255, usage + "[boot|dhcp] ...\n", "", []),
                ("fault", ["{h}", "{p}"], 255, usage + "[boot|dhcp] ...\n", "", []),
                ("fault", ["{h}", "{p}", "boot", "m"], 255, usage + "boot MAC_INFO PROC_INFO\n", "", []),
                ("fault", ["{h}", "{p}", "dhcp", "m", "2"], 255, usage + "dhcp MAC_INFO PS_NUM IP_INFO\n", "", []),
                ("fault", ["{h}", "{p}", "Boot", "m", "p", "i"], 0, "", "", []),
                ("fault", ["{h}", "{p}", "dhcp1", "m", "p", "i"], 0, "", "", []),
                ("fault", ["{h}", "{p}abc", "boot", "beta", "alpha"], 0, "", "", [("SetBOOT", ["alpha", "beta"])]),
                ("fault", ["{h}", "  +{p}", "dhcp", "00:11", "2", "10.0.0.9", "extra"], 0, "", "",
                 [("SetDHCP", ["2", "00:11", "10.0.0.9"])]),
                ("fault", ["{h}", "{p}", "boot", "a&b <c>", ""], 0, "", "", [("SetBOOT", ["", "a&amp;b &lt;c&gt;"])]),
                ("refusing", ["{h}", "{p}", "boot", "m", "p"], 0, "",
                 r"Error in XmlRpcClient::writeRequest: write error \(error 111\)\.\n", []),
                ("silent", ["{h}", "{p}", "boot", "m", "p"], 0, "", reset, [("SetBOOT", ["p", "m"])] * 2),
                # With options: an exit status that tells under --fail, a time limit, the traffic shown.
                ("ok", ["-f", "{h}", "{p}", "boot", "m", "p"], 0, "", "", [("SetBOOT", ["p", "m"])]),
                ("ok", ["-v", "{h}", "{p}", "boot", "m", "p"], 0, "", re.escape(shown), [("SetBOOT", ["p", "m"])]),
                ("faulting", ["--fail", "--", "{h}", "{p}", "dhcp", "m", "2", "i"], 2, "",
                 re.escape("rpcset: " + FAULT_LINE + "\n"), [("SetDHCP", ["2", "m", "i"])]),
                ("faulting", ["--timeout=9", "{h}", "{p}", "boot", "m", "p"], 0, "", re.escape("rpcset: " + FAULT_LINE + "\n"),
                 [("SetBOOT", ["p", "m"])]),
                ("fault", ["-f", "{h}", "{p}", "boot", "m", "p"], 1, "",
                 "rpcset: fault reply without an int faultCode and a string faultString\n", [("SetBOOT", ["p", "m"])]),
                ("refusing", ["-f", "{h}", "{p}", "boot", "m", "p"], 1, "",
                 r"Error in XmlRpcClient::writeRequest: write error \(error 111\)\.\n", []),
                ("mute", ["-f", "-t", TIME_LIMIT, "{h}", "{p}", "boot", "m", "p"], 1, "", re.escape(LIMIT_ERROR),
                 [("SetBOOT", ["p", "m"])]),
                ("mute", ["--timeout", TIME_LIMIT, "{h}", "{p}", "boot", "m", "p"], 0, "", re.escape(LIMIT_ERROR),
                 [("SetBOOT", ["p", "m"])]),
                ("ok", ["-V"], 0, "rpcset 0.7.0\n", "", []), ("ok", ["--version", "-x"], 0, "rpcset 0.7.0\n", "", []),
                ("ok", ["-f", "-h", "{h}"], 0, help, "", []),
                *[("ok", ["-t", "1", "{h}", port, "boot", "m", "p"], 0, "", r"(.*\n)*", []) for port in ["1", "65535"]],
                *[("ok", [flag, *words], 64, "", re.escape(f"rpcset: {reason}\n{USAGE}"), [])
                  for words, reason in usage_errors for flag in ["-f", "--verbose"]]]:
            port, requests, _ = servers[server]
            del requests[:]
            result = rpcset(*(word.format(h=HOST, p=port) for word in words))
            self.assertEqual((result.returncode, result.stdout.decode()), (status, out), words)
            self.assertRegex(result.stderr.decode(), r"\A" + err + r"\Z")
            for _ in range(100):  # a request the server has not taken in yet, after a time limit
                if len(requests) >= len(calls):
                    break
                time.sleep(0.05)
            self.assertEqual(requests, [request(port, method, params) for method, params in calls])

    def test_Batch(self):
        """Good lines, skipped lines, bad lines, faults and a failure, on one kept connection until a call
        times out; with --fail the exit status is the worst of the lines."""
        answers = {b">fault<": FAULT, b">mute<": None, b">badfault<": fault(b"<int>5</int>")}
        port, requests, connections = serve(self, lambda request: next(
            (answer for mac, answer in answers.items() if mac in request), OK))

        def batch(flags, lines):
            return subprocess.run([ARGS.rpcset, *flags, "-t", TIME_LIMIT, "--batch", HOST, str(port)],
                                  input="\n".join(lines).encode(), capture_output=True, timeout=TIMEOUT)
        result = batch(["-f"], ["boot a b", "", " \t ", "# boot c d", "dhcp m 2", "boot fault p", "boot mute p",
                                "boot m p extra", " #x", "dhcp c\t3  d", "boot e f\r", "boot badfault p"])
        self.assertEqual((result.returncode, result.stdout, result.stderr.decode().splitlines()), (64, b"", [
            "rpcset: line 5: dhcp needs MAC_INFO PS_NUM IP_INFO", "rpcset: line 6: " + FAULT_LINE, LIMIT_ERROR[:-1],
            "rpcset: line 7: call failed", "rpcset: line 8: extra word extra", "rpcset: line 9: unknown operation #x",
            r"rpcset: line 11: control character in f\r",
            "rpcset: line 12: fault reply without an int faultCode and a string faultString"]))
        self.assertEqual((requests, len(connections)), ([request(port, method, params) for method, params in [
            ("SetBOOT", ["b", "a"]), ("SetBOOT", ["p", "fault"]), ("SetBOOT", ["p", "mute"]), ("SetDHCP", ["3", "c", "d"]),
            ("SetBOOT", ["p", "badfault"])]], 2))
        for flags, lines, status in [(["-f"], ["boot fault p", "boot mute p"], 2), (["--fail"], ["boot mute p", "boot a b"], 1),
                                     (["-f"], ["boot a b", ""], 0), ([], ["boot x", "boot fault p", "boot mute p"], 0)]:
            self.assertEqual(batch(flags, lines).returncode, status, lines)


class Install(unittest.TestCase):
    def run_step(self, *cmd, **kwargs):
        return subprocess.run(cmd, check=True, timeout=300, capture_output=True, text=True, **kwargs).stdout

    def check_install(self, root, prefix, files):
        """The files are there, corvane.pc holds `prefix`; what is built against root + prefix calls the demo server."""
        prefix, installed = root + prefix, prefix
        for path in files:
            self.assertTrue(os.path.exists(os.path.join(prefix, path)), path)
        build, consumer = prefix + "/../consumer", ROOT + "/tests/install"
        self.run_step(ARGS.cmake, "-S", consumer, "-B", build, "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={prefix}",
                      f"-DCMAKE_CXX_COMPILER={ARGS.cxx}", f"-DCMAKE_CXX_FLAGS={ARGS.cxx_flags}",
                      f"-DCMAKE_EXE_LINKER_FLAGS={ARGS.linker_flags}")
        self.run_step(ARGS.cmake, "--build", build)
        [pc] = glob.glob(prefix + "/lib/**/corvane.pc", recursive=True)
        self.assertIn(f"prefix={installed}\n", pathlib.Path(pc).read_text())
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.dirname(pc), PKG_CONFIG_SYSROOT_DIR=root)
        self.run_step(ARGS.cxx, "-std=c++17", *shlex.split(ARGS.cxx_flags), consumer + "/consumer.cpp", "-o",
                      build + "/by-pkgconfig", *self.run_step("pkg-config", "--cflags", "--libs", "corvane",
                                                              env=env).split(), *shlex.split(ARGS.linker_flags))
        port, line = demo_server(self)
        for program in [build + "/consumer", build + "/by-pkgconfig"]:
            self.assertEqual(self.run_step(program, HOST, port) + line(),
                             "corvane 0.7.0 result 0\nSetBOOT proc_info='pxe' mac_info='00:11:22:33:44:55'\n")
        for host in [HOST, "localhost"]:
            self.assertEqual(self.run_step(prefix + "/bin/rpcset", host, port, "dhcp", "m", "2", "i") + line(),
                             "SetDHCP ps_num='2' mac_info='m' ip_info='i'\n")

    def test_Consumers(self):
        with tempfile.TemporaryDirectory() as tmp:
            self.run_step(ARGS.cmake, "--install", ARGS.build_dir, "--prefix", tmp + "/prefix")
            self.check_install("", tmp + "/prefix", ["share/man/man1/rpcset.1", "include/corvane/XmlRpc.h",
                                                     "include/corvane/base64.h"])

    def test_Packages(self):
        """The Debian packages, unpacked with dpkg-deb: rpcset depends on libc6 and the dlopen()ed libssl3."""
        debs = [glob.glob(f"{ARGS.build_dir}/{name}_0.7.0_*.deb") for name in ("rpcset", "libcorvane-dev")]
        self.assertEqual([len(found) for found in debs], [1, 1])
        self.assertRegex(self.run_step("dpkg-deb", "-f", debs[0][0], "Depends"), r"\Alibssl3 \| libssl3t64, libc6 \([^,]*\)\n\Z")
        with tempfile.TemporaryDirectory() as tmp:
            for [deb] in debs:
                self.run_step("dpkg-deb", "-x", deb, tmp)
            self.check_install(tmp, "/usr", ["share/man/man1/rpcset.1.gz", "share/bash-completion/completions/rpcset",
                                             "share/doc/rpcset/copyright", "share/doc/libcorvane-dev/copyright",
                                             "include/corvane/XmlRpc.h"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for flag in ["rpcset", "cmake", "build-dir", "cxx", "cxx-flags", "linker-flags"]:
        parser.add_argument("--" + flag, default="")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest])
