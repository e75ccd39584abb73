"""A ping service for run tests: Python's own XML-RPC server, threaded.

Usage: ping_peer.py [--delay MS] [--record FILE] [--hold FILE]

Listens on 127.0.0.1 with a free port, prints "PORT <n>" on a line of its
own, and answers weblogUpdates.ping on every path until it is terminated:
  a path containing "refuse"  flerror set, message "Refused: <path>";
  /script/<name>              the scripted answer <name> of SCRIPTS below,
                              whatever the request;
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
SCRIPT_PREFIX = "/script/"
# Seconds a "silent" answer keeps the connection without a byte.
SILENCE = 600


def method_response(message, flerror=0, declaration=b'<?xml version="1.0"?>'):
    return (declaration + b"<methodResponse><params><param><value><struct>"
            b"<member><name>flerror</name><value><boolean>%d</boolean></value></member>"
            b"<member><name>message</name><value>%s</value></member>"
            b"</struct></value></param></params></methodResponse>" % (flerror, message))


# name: (status, extra header lines, body); None for no answer at all.
SCRIPTS = {
    "fault": (200, [], b'<?xml version="1.0"?><methodResponse><fault><value><struct>'
              b"<member><name>faultCode</name><value><int>4</int></value></member>"
              b"<member><name>faultString</name><value>Too many pings</value></member>"
              b"</struct></value></fault></methodResponse>"),
    "xhtml": (200, [], b'<?xml version="1.0" encoding="utf-8"?>'
              b'<html xmlns="http://www.w3.org/1999/xhtml"><head><title>Parked</title></head>'
              b"<body><p>This domain is parked.</p></body></html>"),
    "us-ascii": (200, [], method_response(b"Thanks, in ASCII.",
                                          declaration=b'<?xml version="1.0" encoding="us-ascii"?>')),
    # 93h and 94h are the curly double quotes in windows-1252.
    "windows-1252": (200, [], method_response(b"Thanks for the \x93ping\x94.",
                                              declaration=b'<?xml version="1.0" encoding="windows-1252"?>')),
    # A message that tries to pass for more log lines and a summary, with a
    # NEL and a CSI (U+0085, U+009B) that terminals act on.
    "forged": (200, [], method_response(
        b"Thanks&#13;\nhttp://forged/ URL:http://forged.example Code:200 Th:1 Answer:Thanks for the ping."
        b"&#13;\nSuccess: 999 Error: 0\xc2\x85\xc2\x9b")),
    # Not XML: the body comes back whole, raw line ends, an escape sequence,
    # a quote, a comma and a byte that is not UTF-8 included.
    "forged-text": (200, ["Content-Type: text/plain"],
                    b'oops, "no"\r\nhttp://forged/ URL:http://forged.example Code:200 Th:1 Answer:Thanks\xff\n'
                    b"Success: 999 Error: 0\x1b[2J\n"),
    "busy": (503, ["Retry-After: 120"], b"<html><body>Try later</body></html>"),
    "silent": None,
}


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

        def do_POST(self):
            if not self.path.startswith(SCRIPT_PREFIX):
                return super().do_POST()
            length = int(self.headers.get("Content-Length") or 0)
            request = self.rfile.read(length)
            if args.record:
                with record_lock, open(args.record, "a", encoding="utf-8") as out:
                    out.write("%s %d\n" % (self.path, len(request)))
            script = SCRIPTS[self.path[len(SCRIPT_PREFIX):]]
            if script is None:
                time.sleep(SILENCE)
                return
            status, headers, body = script
            self.send_response(status)
            if not any(h.lower().startswith("content-type:") for h in headers):
                self.send_header("Content-Type", "text/xml")
            for header in headers:
                name, value = header.split(":", 1)
                self.send_header(name, value.strip())
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.close_connection = True

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
