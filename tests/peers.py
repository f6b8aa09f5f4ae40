#!/usr/bin/env python3
"""Servers for the client's tests; each prints its port on a line once it is ready.

  peers.py tls DIR [--cert server|self|other] [--client-ca] [--close-after-handshake]
      Python's XML-RPC server behind Python's ssl, TLS 1.2 or 1.3, with a
      certificate authority and certificates made in DIR (once). Methods: echo,
      stats ([connections, handshakes, the SNI names]) and dropNext (the next request's
      connection is closed without a reply). POSTs to /clean and /cut are
      answered with a body that only the connection's end delimits, ended with
      and without close_notify.
  peers.py supervisord DIR
      supervisord on DIR/supervisor.sock and on 127.0.0.1:PORT with the user
      "user" and the password "p@ss:word".
"""
import os
import socket
import ssl
import subprocess
import sys
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

REPLY = (b"<?xml version='1.0'?>\n<methodResponse><params><param><value><int>7</int>"
         b"</value></param></params></methodResponse>\n")


def make_certificates(d):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=d)

    def key(name):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", name + ".key")

    key("ca")
    openssl("req", "-x509", "-new", "-key", "ca.key", "-subj", "/CN=Corvane Test CA",
            "-days", "2", "-out", "ca.pem")
    names = {"server": "DNS:localhost,IP:127.0.0.1", "other": "DNS:other.invalid",
             "client": "DNS:client"}
    for serial, (name, san) in enumerate(names.items(), 1):
        key(name)
        openssl("req", "-new", "-key", name + ".key", "-subj", "/CN=" + name, "-out", name + ".csr")
        with open(os.path.join(d, name + ".ext"), "w") as ext:
            ext.write("subjectAltName=" + san + "\n")
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-set_serial", str(serial), "-days", "2", "-extfile", name + ".ext",
                "-out", name + ".pem")
    key("self")
    openssl("req", "-x509", "-new", "-key", "self.key", "-subj", "/CN=localhost", "-days", "2",
            "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-out", "self.pem")


class Handler(SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps the connection, unlike the default

    def do_POST(self):
        server = self.server
        if self.path in ("/clean", "/cut") or server.drop_next:
            server.drop_next = False
            self.rfile.read(int(self.headers["Content-Length"]))
            self.close_connection = True
            if self.path == "/RPC2":
                return
            self.connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + REPLY)
            # Python's own close sends no close_notify: /cut is that close.
            if self.path == "/clean":
                try:
                    self.connection.unwrap()
                except OSError:
                    pass
            return
        super().do_POST()

    def log_message(self, *args):
        pass


class TlsServer(SimpleXMLRPCServer):
    def __init__(self, context, close_after_handshake):
        super().__init__(("127.0.0.1", 0), Handler, logRequests=False)
        self.context = context
        self.close_after_handshake = close_after_handshake
        self.connections = self.handshakes = 0
        self.names = []  # the name each handshake's SNI gave, "" for none
        self.drop_next = False
        self.register_function(lambda *v: v, "echo")
        self.register_function(lambda: [self.connections, self.handshakes, self.names], "stats")
        self.register_function(lambda: setattr(self, "drop_next", True) or True, "dropNext")

    def get_request(self):
        sock, address = self.socket.accept()
        self.connections += 1
        sock.settimeout(2)
        tls = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        try:
            tls.do_handshake()
        except OSError:
            # The client's request is taken in before the close, which would
            # otherwise reset the connection before the alert is read.
            try:
                while socket.socket.recv(tls, 65536):
                    pass
            except OSError:
                pass
            tls.close()
            raise
        self.handshakes += 1
        if self.close_after_handshake:
            tls.close()
            raise OSError("closed after the handshake")
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


def serve_supervisord(d):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = os.path.join(d, "supervisord.conf")
    with open(config, "w") as f:
        f.write(f"""[unix_http_server]
file={d}/supervisor.sock
[inet_http_server]
port=127.0.0.1:{port}
username=user
password=p@ss:word
[supervisord]
logfile={d}/supervisord.log
pidfile={d}/supervisord.pid
childlogdir={d}
[rpcinterface:supervisor]
supervisor.rpcinterface_factory = supervisor.rpcinterface:make_main_rpcinterface
""")
    print(port, flush=True)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    os.execvp("supervisord", ["supervisord", "-n", "-c", config])


if __name__ == "__main__":
    if sys.argv[1] == "tls":
        serve_tls(sys.argv[2], sys.argv[3:])
    else:
        serve_supervisord(sys.argv[2])
