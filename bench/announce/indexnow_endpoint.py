#!/usr/bin/env python3
"""A loopback IndexNow endpoint over https, which counts what it is sent.

  indexnow_endpoint.py [--port N] [--static DIR] [--dir TMP]

It makes a throwaway CA and a server certificate for 127.0.0.1 and localhost
with the openssl program, prints

  CA /path/to/ca.pem
  PORT n
  STATIC m          (with --static: DIR served over plain http)

and then answers, over HTTP/1.1 with keep-alive, one thread a connection:

  GET  /indexnow?url=U&key=K            200, one request and one URL
  POST /indexnow  {"host","key","keyLocation","urlList"}
                                         200, one request, len(urlList) URLs
  GET  /stats                            the counts as JSON (not counted):
                                         requests, urls, gets, posts, refused,
                                         and connections that carried a submission
  GET  /stats?reset=1                    the counts, then sets them to zero

A request without a key, or a body that is not the JSON above, is answered
400 and counted as refused, so a client that sends something else is seen.
On SIGTERM or SIGINT it prints the counts as a JSON line and leaves.
"""

import argparse
import http.server
import json
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import urllib.parse

# What a body may weigh: the protocol's 10,000 URLs of up to 2,048 bytes.
MAX_BODY_BYTES = 10000 * 2100


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.requests = 0
        self.urls = 0
        self.gets = 0
        self.posts = 0
        self.refused = 0
        self.connections = 0

    def snapshot(self, reset=False):
        with self.lock:
            shot = {"requests": self.requests, "urls": self.urls, "gets": self.gets, "posts": self.posts,
                    "refused": self.refused, "connections": self.connections}
            if reset:
                self.reset()
            return shot


COUNTS = Counts()


def make_certificates(folder):
    """A CA and a server certificate it signed, EC keys for cheap handshakes."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=folder, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    run("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "ca.key")
    run("req", "-x509", "-new", "-key", "ca.key", "-sha256", "-days", "2", "-subj", "/CN=Bench loopback CA",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
        "-out", "ca.pem")
    run("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "server.key")
    run("req", "-new", "-key", "server.key", "-subj", "/CN=127.0.0.1", "-out", "server.csr")
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                  "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
        "-sha256", "-extfile", "server.ext", "-out", "server.pem")
    return os.path.join(folder, "ca.pem"), os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")


class EndpointHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        self.request.do_handshake()  # put off by the accepting loop
        super().setup()
        self.carried = False

    def count(self, urls, method):
        """One submission; a connection is counted at its first one, so
        that the /stats requests are not."""
        with COUNTS.lock:
            COUNTS.requests += 1
            COUNTS.urls += urls
            if method == "GET":
                COUNTS.gets += 1
            else:
                COUNTS.posts += 1
            if not self.carried:
                COUNTS.connections += 1
        self.carried = True

    def log_message(self, format, *args):  # the counts are the log
        pass

    def answer(self, code, body=b"", kind="text/plain"):
        self.send_response(code)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)

    def refuse(self, why):
        with COUNTS.lock:
            COUNTS.refused += 1
        self.answer(400, why.encode() + b"\n")

    def do_GET(self):
        parts = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(parts.query)
        if parts.path == "/stats":
            self.answer(200, json.dumps(COUNTS.snapshot("reset" in query)).encode(), "application/json")
            return
        if parts.path != "/indexnow":
            self.answer(404)
            return
        if not query.get("url") or not query.get("key"):
            self.refuse("url and key are both needed")
            return
        self.count(1, "GET")
        self.answer(200)

    def do_POST(self):
        if urllib.parse.urlsplit(self.path).path != "/indexnow":
            self.answer(404)
            return
        try:
            length = int(self.headers.get("Content-Length", "-1"))
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_BODY_BYTES:
            self.close_connection = True
            self.refuse("a Content-Length of at most %d bytes is needed" % MAX_BODY_BYTES)
            return
        try:
            body = json.loads(self.rfile.read(length))
            urls = body["urlList"]
            if not isinstance(urls, list) or not body.get("key") or not body.get("host"):
                raise ValueError
        except (ValueError, KeyError, TypeError):
            self.refuse("the body must be JSON with host, key and urlList")
            return
        self.count(len(urls), "POST")
        self.answer(200)


class TLSServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 512

    def __init__(self, address, context):
        super().__init__(address, EndpointHandler)
        self.context = context

    def get_request(self):
        sock, peer = self.socket.accept()
        # Answers are written in more than one TLS record (the ticket after
        # the handshake, headers and body): without this, Nagle's algorithm
        # holds each later one for the client's delayed acknowledgement.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The handshake runs in the connection's thread, so that one slow
        # client does not hold up the accepting loop.
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), peer

    def handle_error(self, request, client_address):  # a client that hangs up is not news
        pass


class StaticServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def static_handler(folder):
    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=folder, **kwargs)

        def log_message(self, format, *args):
            pass

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--static", help="a folder to serve over plain http as well")
    parser.add_argument("--dir", help="where the certificates go (default: a new temporary folder)")
    args = parser.parse_args()

    folder = args.dir or tempfile.mkdtemp(prefix="indexnow-endpoint-")
    os.makedirs(folder, exist_ok=True)
    ca, cert, key = make_certificates(folder)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = TLSServer(("127.0.0.1", args.port), context)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("CA %s" % ca)
    print("PORT %d" % server.server_address[1])
    if args.static:
        static = StaticServer(("127.0.0.1", 0), static_handler(os.path.abspath(args.static)))
        threading.Thread(target=static.serve_forever, daemon=True).start()
        print("STATIC %d" % static.server_address[1])
    sys.stdout.flush()

    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    done.wait()
    print(json.dumps(COUNTS.snapshot()))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
