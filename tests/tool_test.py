#!/usr/bin/env python3
"""The built rpcset run as a user runs it, against servers on 127.0.0.1 started here,
and consumers built against an install. tool_test.py CLASS.TEST --rpcset=... ..."""
import argparse, base64, contextlib, ctypes, glob, os, pathlib, pty, re, select, shlex, signal, socket, ssl, subprocess
import sys, tempfile, threading, time, tty, unittest
import peers

HOST, TIMEOUT = "127.0.0.1", 20  # every run, read and wait ends by then
ROOT, ARGS = os.path.dirname(os.path.dirname(os.path.abspath(__file__))), None


def rpcset(*words, **kwargs):
    """Leading NAME=VALUE words go to the environment, which otherwise has no RPCSET_PASSWORD."""
    n = next((i for i, word in enumerate(words) if not re.fullmatch(r"[A-Z_]+=.*", word)), len(words))
    env = {k: v for k, v in os.environ.items() if k != "RPCSET_PASSWORD"} | dict(w.split("=", 1) for w in words[:n])
    return subprocess.run([ARGS.rpcset, *words[n:]], capture_output=True, timeout=TIMEOUT, env=env, **kwargs)


def request(port, method, params, path="/RPC2", credentials=None):
    """What rpcset sends to `port`, or to a Unix socket when `port` is its path."""
    body = (f'<?xml version="1.0"?>\r\n<methodCall><methodName>{method}</methodName>\r\n<params>'
            + "".join(f"<param><value>{p}</value></param>" for p in params) + "</params></methodCall>\r\n")
    host = "localhost" if isinstance(port, str) else f"{HOST}:{port}"
    auth = f"Authorization: Basic {base64.b64encode(credentials.encode()).decode()}\r\n" if credentials else ""
    return (f"POST {path} HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: {host}\r\n{auth}"
            f"Content-Type: text/xml\r\nContent-length: {len(body)}\r\n\r\n{body}").encode()


def serve(test, answer, tls=None, unix=None):
    """Records each request on a kept connection and answers it with `answer` (or `answer(request)`): None
    leaves it unanswered, b"" closes the connection without a word; over TLS with the server context `tls`,
    or on the Unix socket `unix`. Its port (or socket path), requests and connections."""
    listener, requests, connections = socket.socket(socket.AF_UNIX) if unix else socket.create_server((HOST, 0)), [], []
    if unix: listener.bind(unix), listener.listen()
    test.addCleanup(listener.close)

    def run():
        with contextlib.suppress(OSError):  # the test closed the listener
            while (conn := next(iter(select.select([listener], [], [], TIMEOUT)[0]), None)):
                conn = conn.accept()[0]
                conn.settimeout(TIMEOUT)
                with contextlib.suppress(OSError), (tls.wrap_socket(conn, server_side=True) if tls else conn) as c:
                    connections.append(c)  # a handshake that fails ends only its connection
                    while request := c.recv(65536):
                        while not request.endswith(b"</methodCall>\r\n") and (more := c.recv(65536)):
                            request += more
                        requests.append(request)
                        reply = answer(request) if callable(answer) else answer
                        if reply == b"":
                            break
                        c.sendall(reply or b"")
    threading.Thread(target=run, daemon=True).start()
    return unix or listener.getsockname()[1], requests, connections


def certificates(test):
    """peers.py's certificates in a new directory, "both.pem" the client's certificate and key in one file; the
    directory, and the server context of a certificate, which with `client` asks for a certificate of the CA's."""
    peers.make_certificates(d := test.enterContext(tempfile.TemporaryDirectory()))
    pathlib.Path(d, "both.pem").write_text("".join(pathlib.Path(d, f).read_text() for f in ["client.pem", "client.key"]))

    def context(name, client=False):
        c = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        c.load_cert_chain(f"{d}/{name}.pem", f"{d}/{name}.key")
        if client: c.verify_mode, _ = ssl.CERT_REQUIRED, c.load_verify_locations(f"{d}/ca.pem")
        return c
    return d, context


def response(inner):
    body = b"<methodResponse>%s</methodResponse>" % inner
    return b"HTTP/1.1 200 OK\r\nContent-length: %d\r\n\r\n%s" % (len(body), body)


def fault(string_value):
    return response(b"<fault><value><struct><member><name>faultCode</name><value><int>4</int></value></member>"
                    b"<member><name>faultString</name><value>%s</value></member></struct></value></fault>" % string_value)


OK, TIME_LIMIT = response(b"<params><param><value>0</value></param></params>"), "0.3"
FAULT, FAULT_LINE = fault(b"no\nsuch\tMAC \x1b\x7f\\ \xc3\xa9"), r"fault 4: no\nsuch\tMAC \x1b\x7f\\ é"
USAGE = "usage: " + "".join(f"rpcset [OPTION...] {form}\n" for form in [
    "SRV_IP SRV_PORT boot MAC_INFO PROC_INFO", "SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO", "--batch SRV_IP SRV_PORT < calls",
    "--url URL boot MAC_INFO PROC_INFO", "--url URL dhcp MAC_INFO PS_NUM IP_INFO", "--url URL --batch < calls"])
BOOT, SENT = ["boot", "m", "p"], [("SetBOOT", ["p", "m"])]  # a call on the command line, and what it sends
SECRETS = [b"S3CRET", *(base64.b64encode(c) for c in [b"eve:S3CRET", b"bob:pw:S3CRET"])]  # shown by no output
TLS_ERROR = r"Error in XmlRpcClient::\w+: TLS error \(certificate verify failed: %s\)\.\n"
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
        """Each row: the server, the words after the program name ({h} and {p} its host and port or socket,
        {d} the certificates' directory), the exit status, standard output, standard error (a pattern), and
        the calls received. No output shows a password or an Authorization value."""
        d, tls = certificates(self)
        servers = {"fault": serve(self, response(b"<fault><value><int>4</int></value></fault>")),
                   "silent": serve(self, b""),  # closes each connection without a word
                   "ok": serve(self, OK), "faulting": serve(self, FAULT), "mute": serve(self, None),
                   "unix": serve(self, OK, unix=d + "/rpc.sock"), "tls": serve(self, OK, tls("server")),
                   "self-signed": serve(self, OK, tls("self")), "x.invalid": serve(self, OK, tls("other")),
                   "client-ca": serve(self, OK, tls("server", client=True))}
        self.addCleanup((refusing := socket.socket()).close)  # bound, not listening: it refuses, and holds its port
        refusing.bind((HOST, 0)), servers.update(refusing=(refusing.getsockname()[1], [], []))
        usage = "usage %s SRV_IP SRV_PORT " % ARGS.rpcset
        reset = r"Error in XmlRpcClient::readHeader: error while reading header \(error \d+\) on fd \d+\.\n"
        refused = r"Error in XmlRpcClient::writeRequest: write error \(error 111\)\.\n"
        HP, SENT_P = ["{h}", "{p}", *BOOT], [(*SENT[0], "/p")]  # the call to SRV_IP SRV_PORT; what it sends to /p
        sent, body = request(servers["ok"][0], "SetBOOT", ["p", "m"]).decode(), OK.partition(b"\r\n\r\n")[2].decode()
        shown = (f"rpcset: request, {len(sent)} bytes:\n" + "".join(f"> {line}\n" for line in sent.replace("\r", r"\r").split(
            "\n")[:-1]) + f"rpcset: response body, {len(body)} bytes:\n< {body}\n")
        help = rpcset("--help").stdout.decode()  # the usage, then every option
        self.assertTrue(help.startswith(USAGE) and all(option in help for option in "-f, --fail|-t, --timeout SECONDS|-v, "
            "--verbose|-b, --batch|-h, --help|-V, --version|--url URL|-u, --user USER|RPCSET_PASSWORD|--cacert FILE|--cert "
            "FILE|--key FILE|-k, --insecure|--no-progress".split("|")))
        https, ok = ["--url", "https://{h}:{p}/p", "--cacert", "{d}/ca.pem"], {"h": HOST, "p": servers["ok"][0], "d": d}
        usage_errors = [(["{h}", "{p}"], "too few words"), (["{h}", "{p}", "boot", "m"], "boot needs MAC_INFO PROC_INFO"),
                        (["{h}", "{p}", "dhcp", "m", "2"], "dhcp needs MAC_INFO PS_NUM IP_INFO"),
                        (["{h}", "{p}", "Boot", "m", "p"], "unknown operation Boot"),
                        (["{h}", "{p}", *BOOT, "x"], "extra word x"), (["-b", "{h}", "{p}", "boot"], "extra word boot"),
                        *[(["{h}", port, *BOOT], "bad port " + port) for port in ["0", "65536", "+80", "8O", ""]],
                        *[(["-t", limit, "{h}", "{p}", *BOOT], "bad time limit " + limit)
                          for limit in ["0", "0.0", ".5", "5.", "1e3", "-1", "x"]],
                        (["--timeout=", "{h}", "{p}"], "bad time limit "), (["-t"], "option -t needs SECONDS"),
                        *[([option, "{h}", "{p}", *BOOT], "unknown option " + option)
                          for option in ["-x", "-fv", "--fail=1", "--tim", "-", "--no-progress=1", "-k1"]],
                        (["--url", "ftp://{h}", *BOOT], "bad URL: it does not begin with http://, https:// or unix://"),
                        (["--url=https://{h}:0", "--batch"], 'bad URL: the port is not a number from 1 to 65535 ("0")'),
                        (["--url", "http://{h}:{p}", "{h}", "{p}", *BOOT], "SRV_IP SRV_PORT with --url"),
                        (["--url", "http://{h}:{p}", "boot", "m"], "boot needs MAC_INFO PROC_INFO"),
                        (["--url", "http://{h}:{p}", "--batch", "{h}"], "extra word {h}"),
                        (["--url=http://{h}:{p}"], "too few words"), (["--url"], "option --url needs URL"),
                        (["--cacert", "{d}/ca.pem", "--url", "http://eve:S3CRET@{h}:{p}/x", *BOOT],
                         "--cacert needs an https URL, not http://{h}:{p}/x"),
                        (["-k", *HP], "-k needs an https URL, not http://{h}:{p}/RPC2"),
                        (["--url", "unix:///s", "--insecure", *BOOT], "--insecure needs an https URL, not unix:///s"),
                        (["--cacert=", "{h}", "{p}"], "option --cacert needs FILE"), (["--cert"], "option --cert needs FILE"),
                        (["--key", "{d}/client.key", *https, *BOOT], "--key needs --cert"),
                        *[([*tls, *https[:2], *BOOT], "cannot load the " + why) for tls, why in [
                            (["--cacert", "{d}/client.key"], "CA file {d}/client.key (no certificate or crl found)"),
                            (["--cert", "{d}/client.pem"], "private key {d}/client.pem (unsupported)"),
                            (["--cert={d}/client.pem", "--key={d}/server.key"],
                             "private key {d}/server.key (key values mismatch)")]],
                        (["-u", "bob", *HP], "-u needs the password in RPCSET_PASSWORD, which is not set")]
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
                ("refusing", HP, 0, "", refused, []), ("silent", HP, 0, "", reset, SENT * 2),
                # With options: an exit status that tells under --fail, a time limit, the traffic shown.
                ("ok", ["-f", *HP], 0, "", "", SENT), ("ok", ["-v", *HP], 0, "", re.escape(shown), SENT),
                ("faulting", ["--fail", "--", "{h}", "{p}", "dhcp", "m", "2", "i"], 2, "",
                 re.escape("rpcset: " + FAULT_LINE + "\n"), [("SetDHCP", ["2", "m", "i"])]),
                ("faulting", ["--timeout=9", *HP], 0, "", re.escape("rpcset: " + FAULT_LINE + "\n"), SENT),
                ("fault", ["-f", *HP], 1, "", "rpcset: fault reply without an int faultCode and a string faultString\n", SENT),
                ("refusing", ["-f", *HP], 1, "", refused, []),
                ("mute", ["-f", "-t", TIME_LIMIT, *HP], 1, "", re.escape(LIMIT_ERROR), SENT),
                ("mute", ["--timeout", TIME_LIMIT, *HP], 0, "", re.escape(LIMIT_ERROR), SENT),
                ("ok", ["-V"], 0, "rpcset 0.7.0\n", "", []), ("ok", ["--version", "-x"], 0, "rpcset 0.7.0\n", "", []),
                ("ok", ["-f", "-h", "{h}"], 0, help, "", []),
                # Other URLs, credentials and TLS: each call is the bytes the options say, over TLS or a Unix socket.
                ("unix", ["-f", "--url", "unix://{p}", *BOOT], 0, "", "", SENT),
                ("tls", ["-f", *https, "dhcp", "m", "2", "i"], 0, "", "", [("SetDHCP", ["2", "m", "i"], "/p")]),
                ("tls", ["-f", "--url=HTTPS://{h}:{p}", "--cacert={d}/ca.pem", "--cert", "{d}/both.pem", *BOOT], 0, "", "", SENT),
                ("client-ca", ["-f", *https, "--cert", "{d}/client.pem", "--key", "{d}/client.key", *BOOT], 0, "", "", SENT_P),
                ("client-ca", ["-f", *https, *BOOT], 1, "", r".+\n", []),  # the server refuses the client
                # A certificate that does not verify: self-signed, not trusted, made out to another name or address.
                *[(server, ["-f", "--url", url, *ca, *BOOT], 1, "", TLS_ERROR % why, []) for server, url, ca, why in [
                    ("self-signed", https[1], https[2:], "self-signed certificate"),
                    ("tls", "https://{h}:{p}", [], "unable to get local issuer certificate"),
                    ("x.invalid", "https://localhost:{p}", https[2:], "hostname mismatch"),
                    ("x.invalid", https[1], https[2:], "IP address mismatch")]],
                ("x.invalid", ["-f", *https, "-k", *BOOT], 0, "", "", SENT_P),
                ("tls", ["-v", *https, *BOOT], 0, "", r"rpcset: request.*\n(> .*\n)+rpcset: response.*\n< .*\n", SENT_P),
                ("self-signed", ["-f", "--insecure", "--url", "https://{h}:{p}", *BOOT], 0, "", "", SENT),
                ("ok", ["RPCSET_PASSWORD=pw:S3CRET", "-f", "--user", "bob", *HP], 0, "", "",
                 [(*SENT[0], "/RPC2", "bob:pw:S3CRET")]),
                ("ok", ["RPCSET_PASSWORD=", "-u", "bob", "--url", "http://eve:S3CRET@{h}:{p}/x", *BOOT], 0, "", "",
                 [(*SENT[0], "/x", "bob:")]),
                ("ok", ["-v", "--url", "http://eve:S3CRET@{h}:{p}", *BOOT], 0, "",
                 r"(.*\n)*> Authorization: Basic \(hidden\)\\r\n(.*\n)*", [(*SENT[0], "/RPC2", "eve:S3CRET")]),
                *[("ok", ["-t", "1", "{h}", port, *BOOT], 0, "", r"(.*\n)*", []) for port in ["1", "65535"]],
                *[("ok", [flag, *words], 64, "", re.escape(f"rpcset: {reason.format(**ok)}\n{USAGE}"), [])
                  for words, reason in usage_errors for flag in ["-f", "--verbose"]]]:
            port, requests, _ = servers[server]
            del requests[:]
            result = rpcset(*(word.format(h=HOST, p=port, d=d) for word in words))
            self.assertEqual((result.returncode, result.stdout.decode()), (status, out), words)
            self.assertRegex(result.stderr.decode(), r"\A" + err + r"\Z")
            self.assertFalse([s for s in SECRETS if s in result.stdout + result.stderr], words)
            for _ in range(100):  # a request the server has not taken in yet, after a time limit
                if len(requests) >= len(calls):
                    break
                time.sleep(0.05)
            self.assertEqual(requests, [request(port, *call) for call in calls])

    def test_Batch(self):
        """Good lines, skipped lines, bad lines, faults and a failure, on one kept connection until a call
        times out; with --fail the exit status is the worst of the lines."""
        answers = {b">fault<": FAULT, b">mute<": None, b">badfault<": fault(b"<int>5</int>")}
        port, requests, connections = serve(self, lambda request: next(
            (answer for mac, answer in answers.items() if mac in request), OK))

        def batch(flags, lines):
            return rpcset(*flags, "-t", TIME_LIMIT, "--batch", HOST, str(port), input="\n".join(lines).encode())
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
        d, tls = certificates(self)  # over https: one connection, one handshake, for the whole batch
        port, requests, connections = serve(self, OK, tls("server"))
        result = rpcset("-f", "--url", f"https://{HOST}:{port}", "--cacert", d + "/ca.pem", "-b", input=b"boot a b\n" * 3)
        self.assertEqual((result.returncode, result.stderr, len(requests), len(connections)), (0, b"", 3, 1))

    def test_Progress(self):
        """On a terminal a batch keeps one progress line, redrawn as calls end and erased before every other
        line and at the end; --no-progress and a standard error that is no terminal have none."""
        port = serve(self, lambda request: time.sleep(0.15) or (  # longer than the redraw interval: each call redraws
            FAULT if b">fault<" in request else None if b">mute<" in request else OK))[0]
        draw = r"\rrpcset: (\d+) lines read, (\d+) calls, (\d+) failures, [\d.]+ calls/s\x1b\[K"
        for flags, draws in [([], [("1", "1", "0"), ("2", "2", "1"), ("5", "3", "3"), ("6", "4", "3")]),
                             (["--no-progress"], [])]:
            master, slave = pty.openpty()
            tty.setraw(slave)
            with subprocess.Popen([ARGS.rpcset, *flags, "-v", "-t", TIME_LIMIT, "-b", HOST, str(port)], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=slave) as process:
                os.close(slave), process.stdin.write(b"boot a b\nboot fault p\n#\nx\nboot mute p\nboot c d\n")
                process.stdin.close()
                out = b""
                with contextlib.suppress(OSError):  # EIO: the terminal's last writer has closed it
                    while select.select([master], [], [], TIMEOUT)[0] and (more := os.read(master, 65536)):
                        out += more
                os.close(master)
            # Every run of drawings is erased before any other line and at the end.
            self.assertRegex(text := out.decode(), r"\A((%s)+\r\x1b\[K|[^\r\x1b]*\n)*\Z" % draw)
            self.assertEqual(re.findall(draw, text), draws)
            lines = re.sub(draw + r"|\r\x1b\[K", "", text).splitlines()  # -v's lines: 4 requests and 3 bodies
            self.assertEqual(([line for line in lines if not re.match(r"[<>] |rpcset: re", line)], len(lines) > 7 * 2), ([
                "rpcset: line 2: " + FAULT_LINE, "rpcset: line 4: unknown operation x", LIMIT_ERROR[:-1],
                "rpcset: line 5: call failed"], True))


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
