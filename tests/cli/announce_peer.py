"""An IndexNow endpoint, a key-file host and a WebSub hub in one local server.

Usage: announce_peer.py --record FILE

Listens on 127.0.0.1 with a free port and prints "PORT <n>". It answers as
the protocols' documentation says:
  GET /indexnow?url=..&key=..[&keyLocation=..], and the same at /limited/indexnow
      400 without url or key, and for the key WORDY with a JSON message;
      403 unless the key is one of KEYS; 422 when the url's host is
      other.example (it does not belong to the key's host); 429 with
      Retry-After for the key BUSY; otherwise 202 when a keyLocation is
      given (the key is checked later), else 200.
  GET /<key>.txt   the key file of every key in KEYS; 404 for others.
  POST /hub        a form with hub.mode=publish and hub.url or hub.topic:
                   204; anything else 400 with a line of text.
  POST /topic-hub  the same, but hub.topic is required: a hub that reads
                   only the topic.
  POST /flaky-hub  the same, but 503 without Retry-After to the first
                   publication of each hub.url: a hub that fails once.
  POST /indexnow   a bulk submission as JSON: 400 unless it is one, 403 for
                   an unknown key, else 202 with a keyLocation and 200 without.
Every request appends "<method> <path and query> <body>" to FILE.
"""

import argparse
import json
import http.server
import socketserver
import sys
import threading
import urllib.parse

HELD = "held-key-1"
BUSY = "busy-key-1"
WORDY = "wordy-key-1"
KEYS = {HELD, BUSY, WORDY}


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    args = parser.parse_args()
    lock = threading.Lock()
    published = set()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, format, *params):
            pass

        def record(self, body=b""):
            with lock, open(args.record, "a", encoding="utf-8") as out:
                out.write("%s %s %s\n" % (self.command, self.path, body.decode("utf-8", "replace")))

        def answer(self, status, text=b"", headers=(), content_type="text/plain"):
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(text)))
            self.end_headers()
            self.wfile.write(text)

        def bulk(self, body):
            """A bulk submission: recorded as "POST /indexnow <host> <key> <keyLocation> <n> <first url>"."""
            try:
                fields = json.loads(body)
                urls, key = fields["urlList"], fields["key"]
            except (ValueError, KeyError, TypeError):
                self.record(body)
                return self.answer(400, b'{"message":"not the JSON of a submission"}')
            self.record(("%s %s %s %d %s" % (fields.get("host"), key, fields.get("keyLocation", "-"), len(urls),
                                              urls[0] if urls else "-")).encode())
            if self.headers.get("Content-Type") != "application/json; charset=utf-8" or not urls:
                return self.answer(400)
            if key not in KEYS:
                return self.answer(403)
            return self.answer(202 if "keyLocation" in fields else 200)

        def do_GET(self):
            self.record()
            path, _, query = self.path.partition("?")
            if path in ("/indexnow", "/limited/indexnow"):
                fields = urllib.parse.parse_qs(query)
                url, key = fields.get("url", [""])[0], fields.get("key", [""])[0]
                if not url or not key:
                    return self.answer(400)
                if key == WORDY:
                    return self.answer(400, b'{"code":"InvalidRequestParameters","message":"Invalid request parameters"}',
                                       content_type="application/json")
                if key not in KEYS:
                    return self.answer(403)
                if urllib.parse.urlsplit(url).hostname == "other.example":
                    return self.answer(422)
                if key == BUSY:
                    return self.answer(429, headers=[("Retry-After", "60")])
                return self.answer(202 if "keyLocation" in fields else 200)
            key = path[1:-len(".txt")] if path.endswith(".txt") else ""
            if key in KEYS:
                return self.answer(200, key.encode() + b"\n")
            return self.answer(404, b"no such file")

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            if self.path == "/indexnow":
                return self.bulk(body)
            self.record(body)
            fields = urllib.parse.parse_qs(body.decode("utf-8", "replace"))
            if self.path == "/topic-hub" and not fields.get("hub.topic"):
                return self.answer(400, b"hub.topic is required\r\n")
            if self.path == "/flaky-hub":
                with lock:
                    first = body not in published
                    published.add(body)
                if first:
                    return self.answer(503, b"try again\r\n")
            if (self.path not in ("/hub", "/topic-hub", "/flaky-hub") or fields.get("hub.mode") != ["publish"]
                    or not (fields.get("hub.url") or fields.get("hub.topic"))
                    or self.headers.get("Content-Type") != "application/x-www-form-urlencoded"):
                return self.answer(400, b"hub.mode must be publish, with a hub.url or hub.topic\r\n")
            return self.answer(204)

    server = Server(("127.0.0.1", 0), Handler)
    print("PORT", server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
