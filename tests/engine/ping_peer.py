"""A ping service for run tests: Python's own XML-RPC server, threaded.

Usage: ping_peer.py [--delay MS] [--record FILE] [--hold FILE]

Listens on 127.0.0.1 with a free port, prints "PORT <n>" on a line of its
own, and answers weblogUpdates.ping on every path until it is terminated:
  a path containing "refuse"  flerror set, message "Refused: <path>";
  any other path              flerror clear, message "Thanks for the ping.".
Each answer waits MS milliseconds first, and with --hold until the FILE
named exists, so that a test decides when calls end. With --record, every call appends
one line "<path> <first parameter>" to FILE as it arrives, so that a test
can count the calls each service received for each site.
"""

import argparse
import os
import socketserver
import sys
import threading
import time
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

THANKS = "Thanks for the ping."


class Server(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
    daemon_threads = True
    request_queue_size = 256


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay", type=int, default=0)
    parser.add_argument("--record")
    parser.add_argument("--hold")
    args = parser.parse_args()
    record_lock = threading.Lock()

    class Handler(SimpleXMLRPCRequestHandler):
        rpc_paths = ()  # every path

        def log_message(self, format, *params):
            pass

        def _dispatch(self, method, params):
            if method != "weblogUpdates.ping":
                raise Exception("method %r is not supported" % method)
            site = params[0] if params else ""
            if args.record:
                with record_lock, open(args.record, "a", encoding="utf-8") as out:
                    out.write("%s %s\n" % (self.path, site))
            if args.delay:
                time.sleep(args.delay / 1000.0)
            while args.hold and not os.path.exists(args.hold):
                time.sleep(0.01)
            if "refuse" in self.path:
                return {"flerror": True, "message": "Refused: " + self.path}
            return {"flerror": False, "message": THANKS}

    server = Server(("127.0.0.1", 0), requestHandler=Handler, logRequests=False, allow_none=True)
    print("PORT", server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
