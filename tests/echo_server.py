#!/usr/bin/env python3
"""The interoperability peer of the client tests: Python's own XML-RPC server.

Listens on 127.0.0.1 on a free port, prints that port on a line of its own, and
answers the method `echo` with its argument. Python's standard library only.
"""

import sys
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer


class QuietHandler(SimpleXMLRPCRequestHandler):
    def log_message(self, format, *args):
        pass


def main():
    server = SimpleXMLRPCServer(("127.0.0.1", 0), requestHandler=QuietHandler,
                                logRequests=False)
    server.register_function(lambda value: value, "echo")
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
