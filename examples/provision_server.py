#!/usr/bin/env python3
"""A small XML-RPC provisioning server for trying rpcset.

Listens on 127.0.0.1 at the port given on the command line (0 picks a free
one), prints the port it listens on, then prints every call it receives and
answers each with 0. Python's standard library only.

    python3 examples/provision_server.py 8080
"""

import argparse
import sys
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer


class QuietHandler(SimpleXMLRPCRequestHandler):
    def log_message(self, format, *args):
        pass


def report(line):
    print(line, flush=True)


def SetBOOT(proc_info, mac_info):
    report(f"SetBOOT proc_info={proc_info!r} mac_info={mac_info!r}")
    return 0


def SetDHCP(ps_num, mac_info, ip_info):
    report(f"SetDHCP ps_num={ps_num!r} mac_info={mac_info!r} ip_info={ip_info!r}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int, help="TCP port on 127.0.0.1, 0 for a free one")
    args = parser.parse_args()

    server = SimpleXMLRPCServer(("127.0.0.1", args.port), requestHandler=QuietHandler,
                                logRequests=False, allow_none=True)
    server.register_function(SetBOOT)
    server.register_function(SetDHCP)
    report(f"listening on 127.0.0.1 port {server.server_address[1]}")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
