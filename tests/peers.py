#!/usr/bin/env python3
"""Peers of the client's tests, each printing its port once it is ready: "tls DIR [OPTIONS]"
serves XML-RPC over Python's ssl with certificates made in DIR, "supervisord DIR" runs
supervisord (user "user", password "p@ss:word"), "echo -" echoes on a thread a connection."""
import contextlib, os, socket, socketserver, ssl, subprocess, sys
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

REPLY = (b"<?xml version='1.0'?>\n<methodResponse><params><param><value><int>7</int>"
         b"</value></param></params></methodResponse>\n")


def make_certificates(d):
    local = "DNS:localhost,IP:127.0.0.1"
    names = [("ca", "DNS:ca"), ("self", local), ("server", local), ("other", "DNS:x.invalid")]
    for name, san in names + [("client", "DNS:client")]:  # the CA and "self" sign themselves, the others are the CA's
        signer = ["-CA", "ca.pem", "-CAkey", "ca.key"] if name not in ("ca", "self") else []
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", name + ".key",
                        "-subj", "/CN=" + name, "-days", "2", "-addext", "subjectAltName=" + san,
                        "-out", name + ".pem"] + signer, check=True, capture_output=True, cwd=d)


class Handler(SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps the connection, unlike the default

    def do_POST(self):
        server = self.server
        if self.path in ("/clean", "/cut", "/long") or server.drop == "request":
            server.drop = None
            self.rfile.read(int(self.headers["Content-Length"]))
            self.close_connection = True
            if self.path == "/RPC2":
                return
            if self.path == "/long":  # a header far beyond the client's limit
                with contextlib.suppress(OSError):
                    self.connection.sendall(b"HTTP/1.1 200 OK\r\nX: " + b"x" * (1 << 20))
                return
            self.connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + REPLY)
            # Python's own close sends no close_notify: /cut is that close.
            if self.path == "/clean":
                with contextlib.suppress(OSError):
                    self.connection.unwrap()
            return
        super().do_POST()
        if server.drop == "reply":  # the connection ends after this reply
            server.drop, self.close_connection = None, True


class TlsServer(SimpleXMLRPCServer):
    def __init__(self, context, close_after_handshake):
        super().__init__(("127.0.0.1", 0), Handler, logRequests=False)
        self.context = context
        self.close_after_handshake = close_after_handshake
        self.connections = self.handshakes = 0
        self.names = []  # the name each handshake's SNI gave, "" for none
        self.drop = None  # "request": the next request's connection ends without a reply
        self.register_function(lambda *v: v, "echo")
        self.register_function(lambda: f"{self.connections} connections, {self.handshakes} "
                               "handshakes, SNI: " + " ".join(self.names), "stats")
        self.register_function(lambda how: setattr(self, "drop", how) or True, "drop")

    def get_request(self):
        sock, address = self.socket.accept()
        self.connections += 1
        sock.settimeout(2)
        tls = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        try:
            tls.do_handshake()
        except OSError:
            # The request is taken in before the close, which would otherwise reset the
            # connection before the client reads the alert.
            with contextlib.suppress(OSError):
                while socket.socket.recv(tls, 65536):
                    pass
            tls.close()
            raise
        self.handshakes += 1
        if self.close_after_handshake:  # without reading the request
            raise OSError(tls.close())
        return tls, address


def serve_tls(d, args):
    if not os.path.exists(os.path.join(d, "self.pem")):
        make_certificates(d)
    name = args[args.index("--cert") + 1] if "--cert" in args else "server"
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(os.path.join(d, name + ".pem"), os.path.join(d, name + ".key"))
    if "--client-ca" in args:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(os.path.join(d, "ca.pem"))
    server = TlsServer(context, "--close-after-handshake" in args)
    context.sni_callback = lambda tls, name, context: server.names.append(name or "")
    print(server.server_address[1], flush=True)
    server.serve_forever()


def serve_supervisord(d, _):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = os.path.join(d, "supervisord.conf")
    with open(config, "w") as f:
        f.write(f"[unix_http_server]\nfile={d}/supervisor.sock\n[inet_http_server]\n"
                f"port=127.0.0.1:{port}\nusername=user\npassword=p@ss:word\n[supervisord]\n"
                f"logfile={d}/supervisord.log\npidfile={d}/supervisord.pid\nchildlogdir={d}\n"
                "[rpcinterface:supervisor]\nsupervisor.rpcinterface_factory = "
                "supervisor.rpcinterface:make_main_rpcinterface\n")
    print(port, flush=True)
    for fd in (1, 2):
        os.dup2(os.open(os.devnull, os.O_WRONLY), fd)
    os.execvp("supervisord", ["supervisord", "-n", "-c", config])


class EchoServer(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
    daemon_threads = True


def serve_echo(_, __):
    server = EchoServer(("127.0.0.1", 0), Handler, logRequests=False)
    server.drop = None
    server.register_function(lambda v: v, "echo")
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    serve = {"tls": serve_tls, "supervisord": serve_supervisord, "echo": serve_echo}[sys.argv[1]]
    serve(sys.argv[2], sys.argv[3:])
