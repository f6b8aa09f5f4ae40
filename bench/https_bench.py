#!/usr/bin/env python3
"""One-shot https calls: `rpcset --url https://127.0.0.1:PORT/RPC2 --cacert CA boot ...`
beside `curl` posting the same bytes with the same CA file, taking turns in one run,
to a TLS server on 127.0.0.1 in another process. The server answers only the body
that rpcset sends, so both must post the same call to succeed.

  https_bench.py RPCSET [RUNS]     (bench/https.sh builds rpcset and runs this)
"""
import os
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from http.server import BaseHTTPRequestHandler, HTTPServer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import peers  # noqa: E402  (the tests' certificates: a CA and a server certificate it signed)

WARM_UP_ROUNDS = 10
MAC, PROC = "00:11:22:33:44:55", "pxelinux.0"
BODY = (f'<?xml version="1.0"?>\r\n<methodCall><methodName>SetBOOT</methodName>\r\n<params>'
        f"<param><value>{PROC}</value></param><param><value>{MAC}</value></param>"
        "</params></methodCall>\r\n").encode()
REPLY = (b'<?xml version="1.0"?>\r\n<methodResponse><params><param><value><i4>0</i4></value>'
         b"</param></params></methodResponse>\r\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The reply would otherwise wait behind the session tickets for the client's
    # delayed acknowledgement.
    disable_nagle_algorithm = True

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        ok = body == BODY and self.path == "/RPC2"
        reply = REPLY if ok else b"not the expected call\n"
        # One write, one TLS record.
        self.wfile.write(b"HTTP/1.1 %s\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n%s"
                         % (b"200 OK" if ok else b"400 Bad Request", len(reply), reply))

    def log_message(self, *args):
        pass


def serve(d):
    server = HTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(d, "server.pem"), os.path.join(d, "server.key"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


def main(rpcset, runs):
    curl = shutil.which("curl")
    if curl is None:
        sys.exit("https_bench: curl is not installed")
    with tempfile.TemporaryDirectory() as d:
        peers.make_certificates(d)
        ca = os.path.join(d, "ca.pem")
        body_file = os.path.join(d, "body.xml")
        with open(body_file, "wb") as f:
            f.write(BODY)
        server = subprocess.Popen([sys.executable, __file__, "serve", d], stdout=subprocess.PIPE, text=True)
        try:
            url = f"https://127.0.0.1:{server.stdout.readline().strip()}/RPC2"
            programs = {
                "rpcset --url https://... --cacert CA": [rpcset, "--fail", "--url", url, "--cacert", ca,
                                                          "boot", MAC, PROC],
                "curl --cacert CA (the same POST)": [curl, "--fail", "--silent", "--show-error", "--cacert", ca,
                                                     "-H", "Content-Type: text/xml", "--data-binary",
                                                     "@" + body_file, "-o", os.devnull, url],
            }
            times = {label: [] for label in programs}
            labels = list(programs)
            for round_ in range(-WARM_UP_ROUNDS, runs):
                # Each round starts with the other program, so that neither always follows the same one.
                for label in labels[round_ % 2:] + labels[:round_ % 2]:
                    start = time.perf_counter()
                    subprocess.run(programs[label], check=True, stdout=subprocess.DEVNULL)
                    if round_ >= 0:
                        times[label].append((time.perf_counter() - start) * 1e3)
        finally:
            server.kill()
            server.wait()
    print(f"One SetBOOT call over https to a Python TLS server on 127.0.0.1 (TLS 1.3, P-256),\n"
          f"{runs} runs of each process in turn after {WARM_UP_ROUNDS} untimed rounds.\n")
    print("| Process | Median | p25-p75 |\n|---|---:|---:|")
    medians = []
    for label, ms in times.items():
        q = statistics.quantiles(ms, n=4)
        medians.append(statistics.median(ms))
        print(f"| {label} | {medians[-1]:.2f} ms | {q[0]:.2f}-{q[2]:.2f} ms |")
    met = medians[0] <= medians[1]
    print(f"\nrpcset no slower than curl: {'yes' if met else 'NO'} ({medians[0] / medians[1]:.2f}x)")
    return 0 if met else 1


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(sys.argv[2])
    else:
        sys.exit(main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 100))
