"""A loopback IndexNow endpoint that only counts, for the delivery benchmark.

Usage: indexnow_peer.py

Listens on 127.0.0.1 with a free port, prints "PORT <n>", and answers:
  GET  /indexnow?url=..&key=..   200 when both are given, else 400;
  POST /indexnow                 200 for {"host","key","urlList"} JSON with a
                                 non-empty urlList, else 400;
  GET  /stats                    the counts so far as JSON (not counted);
  POST /reset                    zero the counts (not counted).
Every connection carries one request (HTTP/1.0), as many endpoints answer.
The counts: requests by method, URLs received (GET urls plus every urlList
entry), distinct URLs, refusals, and this process's own CPU seconds, so
that a run can tell how much of its wall time the peer took.
"""

import http.server
import json
import socketserver
import sys
import threading
import time
import urllib.parse


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    # A burst of connections must wait in the backlog, not be refused.
    request_queue_size = 1024


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.gets = 0
        self.posts = 0
        self.urls = 0
        self.refused = 0
        self.distinct = set()
        self.cpu_start = time.process_time()

    def stats(self):
        with self.lock:
            return {"get": self.gets, "post": self.posts, "requests": self.gets + self.posts, "urls": self.urls,
                    "distinct_urls": len(self.distinct), "refused": self.refused,
                    "cpu_s": round(time.process_time() - self.cpu_start, 3)}


def main():
    counts = Counts()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, format, *params):
            pass

        def answer(self, status, body=b"", content_type="text/plain"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            path, _, query = self.path.partition("?")
            if path == "/stats":
                return self.answer(200, json.dumps(counts.stats()).encode(), "application/json")
            fields = urllib.parse.parse_qs(query)
            url, key = fields.get("url", [""])[0], fields.get("key", [""])[0]
            with counts.lock:
                counts.gets += 1
                if path != "/indexnow" or not url or not key:
                    counts.refused += 1
                else:
                    counts.urls += 1
                    counts.distinct.add(url)
            self.answer(200 if path == "/indexnow" and url and key else 400)

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            if self.path == "/reset":
                with counts.lock:
                    counts.reset()
                return self.answer(200)
            try:
                fields = json.loads(body)
                urls = fields["urlList"]
                good = self.path == "/indexnow" and bool(fields["host"]) and bool(fields["key"]) and bool(urls)
            except (ValueError, KeyError, TypeError):
                urls, good = [], False
            with counts.lock:
                counts.posts += 1
                if good:
                    counts.urls += len(urls)
                    counts.distinct.update(urls)
                else:
                    counts.refused += 1
            self.answer(200 if good else 400)

    server = Server(("127.0.0.1", 0), Handler)
    print("PORT", server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
