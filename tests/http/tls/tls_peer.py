"""Peers for the secure-transport tests, each in a process of its own.

Usage:
  tls_peer.py certs DIR
      makes a throwaway CA and server certificates in DIR with the openssl
      command-line tool (see make_certificates) and exits.
  tls_peer.py MODE [--cert FILE --key FILE] [--record FILE] [--target PORT] [--port PORT]
      listens on 127.0.0.1 with a free port (or --port), prints "PORT <n>" on
      a line of its own and serves until it is terminated:
        xmlrpc  weblogUpdates.ping over TLS (HTTP/1.1, keep-alive allowed),
                thanking for the ping, or on a path containing "big" with a
                200,000-byte message; every call appends "<connection> <path> <param> <param>" to
                the record file, connections numbered from 1;
                TLS 1.3 sessions are resumable through tickets;
        tls10   the same, but offering TLS 1.0 only;
        tls12   the same, but offering TLS 1.2 only (sessions resumable
                through tickets);
        silent  accepts, reads the client's first bytes, prints "HELLO" and
                never answers;
        close   accepts, reads the client's first bytes and closes;
        proxy   an HTTP proxy: records the head of every request in the
                record file; answers CONNECT with 200 and relays the tunnel
                to 127.0.0.1:--target (whatever host the request named) or,
                without --target, to the host named; passes any other
                request on, unchanged, to the host of its absolute URL.
"""

import argparse
import os
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import warnings
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

THANKS = "Thanks for the ping."
# Spans many TLS records: reads must cross record boundaries.
BIG_MESSAGE = "0123456789abcdef" * 12500
DAYS = "2"  # certificates live for the test run only


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(directory):
    """ca.pem/ca.key: the CA the tests trust. Server certificates signed by it:
    good.pem (localhost, 127.0.0.1, ::1), other.pem (other.example only),
    expired.pem (localhost, 127.0.0.1, already expired); each with its .key. And
    selfsigned.pem (localhost), signed by its own key."""
    os.makedirs(directory, exist_ok=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Corvandel Test CA",
            "-days", DAYS, "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    leaves = {
        "good": ("DNS:localhost,IP:127.0.0.1,IP:::1", DAYS),
        "other": ("DNS:other.example", DAYS),
        "expired": ("DNS:localhost,IP:127.0.0.1", "-1"),
    }
    for name, (names, days) in leaves.items():
        openssl("req", "-new", *ec, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name,
                cwd=directory)
        with open(os.path.join(directory, name + ".ext"), "w") as ext:
            ext.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n" % names)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", name + ".pem", "-days", days, "-extfile", name + ".ext", cwd=directory)
    openssl("req", "-x509", *ec, "-keyout", "selfsigned.key", "-out", "selfsigned.pem", "-subj", "/CN=selfsigned",
            "-days", DAYS, "-addext", "subjectAltName=DNS:localhost", cwd=directory)


class ThreadingServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve_xmlrpc(args, tls10, tls12):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    if tls12:
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    if tls10:
        warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.0 is the point here
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    lock = threading.Lock()
    counter = [0]

    class Handler(SimpleXMLRPCRequestHandler):
        rpc_paths = ()  # every path
        protocol_version = "HTTP/1.1"

        def setup(self):
            super().setup()
            with lock:
                counter[0] += 1
                self.connection_number = counter[0]

        def log_message(self, format, *params):
            pass

        def _dispatch(self, method, params):
            if method != "weblogUpdates.ping":
                raise Exception("method %r is not supported" % method)
            if args.record:
                with lock, open(args.record, "a", encoding="utf-8") as out:
                    out.write("%d %s %s\n" % (self.connection_number, self.path, " ".join(map(str, params))))
            if "big" in self.path:
                return {"flerror": False, "message": BIG_MESSAGE}
            return {"flerror": False, "message": THANKS}

    class Server(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
        daemon_threads = True

        def get_request(self):
            connection, address = self.socket.accept()
            # The handshake runs on the connection's own thread, on first read.
            return context.wrap_socket(connection, server_side=True, do_handshake_on_connect=False), address

        def handle_error(self, request, client_address):
            pass  # failed handshakes are what several tests are about

    server = Server(("127.0.0.1", args.port), requestHandler=Handler, logRequests=False, allow_none=True)
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


def serve_raw(mode):
    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            if not self.request.recv(4096):
                return
            if mode == "close":
                return
            print("HELLO", flush=True)
            while self.request.recv(4096):
                pass

    server = ThreadingServer(("127.0.0.1", 0), Handler)
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


def relay(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def serve_proxy(args):
    lock = threading.Lock()

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            head = b""
            while b"\r\n\r\n" not in head:
                data = self.request.recv(4096)
                if not data:
                    return
                head += data
            head, rest = head.split(b"\r\n\r\n", 1)
            if args.record:
                with lock, open(args.record, "ab") as out:
                    out.write(head.replace(b"\r\n", b"\n") + b"\n\n")
            target = head.split(b"\r\n", 1)[0].split(b" ")[1].decode()
            if head.startswith(b"CONNECT "):
                host, port = target.rsplit(":", 1)
                upstream = socket.create_connection(
                    ("127.0.0.1", args.target) if args.target else (host.strip("[]"), int(port)))
                self.request.sendall(b"HTTP/1.0 200 Connection established\r\nProxy-Agent: test\r\n\r\n")
                if rest:
                    upstream.sendall(rest)
            else:
                authority = target.split("://", 1)[1].split("/", 1)[0]
                host, port = authority.rsplit(":", 1)
                upstream = socket.create_connection((host.strip("[]"), int(port)))
                upstream.sendall(head + b"\r\n\r\n" + rest)
            back = threading.Thread(target=relay, args=(upstream, self.request), daemon=True)
            back.start()
            relay(self.request, upstream)
            back.join()
            upstream.close()

    server = ThreadingServer(("127.0.0.1", 0), Handler)
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "certs":
        make_certificates(sys.argv[2])
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["xmlrpc", "tls10", "tls12", "silent", "close", "proxy"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--record")
    parser.add_argument("--target", type=int)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    try:
        if args.mode in ("xmlrpc", "tls10", "tls12"):
            serve_xmlrpc(args, tls10=args.mode == "tls10", tls12=args.mode == "tls12")
        elif args.mode == "proxy":
            serve_proxy(args)
        else:
            serve_raw(args.mode)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
