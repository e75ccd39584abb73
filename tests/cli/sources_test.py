"""corvandel-ping with sitemaps, feeds and a ledger, against local peers:
a site host, the XML-RPC peer, and an IndexNow endpoint with a WebSub hub.

Usage: sources_test.py PATH_TO_CORVANDEL_PING
"""

import gzip
import http.server
import json
import os
import signal
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import cli_test
from cli_test import ANNOUNCE_PEER, PATIENCE, Peer, clean_environment

PROGRAM = None


class SiteHost:
    """Serves the files of a dict, path -> (body, content type, extra headers), and counts requests."""

    def __init__(self):
        self.files = {}
        self.redirects = {}  # path -> (status, Location)
        self.requests = []
        host = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                host.requests.append(self.path)
                if self.path in host.redirects:
                    status, location = host.redirects[self.path]
                    self.send_response(status)
                    self.send_header("Location", location)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                body, kind, headers = host.files.get(self.path, (b"not here", "text/plain", {}))
                self.send_response(200 if self.path in host.files else 404)
                self.send_header("Content-Type", kind)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.base = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def urlset(pages):
    entries = "".join("<url><loc>%s</loc>%s<image:image><image:loc>%s.png</image:loc></image:image></url>"
                      % (loc, "<lastmod>%s</lastmod>" % mod if mod else "", loc) for loc, mod in pages)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<urlset xmlns="http://www.sitemaps.org/schemas/sitemap/0.9" '
            'xmlns:image="http://www.google.com/schemas/sitemap-image/1.1">%s</urlset>' % entries).encode()


def rss(items):
    entries = "".join("<item><title>t</title><link>%s</link><pubDate>%s</pubDate></item>" % item for item in items)
    return ('<?xml version="1.0"?><rss version="2.0"><channel><title>Blog</title><link>x</link>%s</channel></rss>'
            % entries).encode()


class SourcesTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.host = SiteHost()
        self.ping = Peer(self.directory.name)
        self.record = os.path.join(self.directory.name, "announce.txt")
        self.announce = subprocess.Popen([sys.executable, ANNOUNCE_PEER, "--record", self.record],
                                         stdout=subprocess.PIPE, text=True)
        line = self.announce.stdout.readline()
        self.endpoint = "http://127.0.0.1:%d" % int(line.split()[1])
        self.ledger = os.path.join(self.directory.name, "ledger.sqlite3")
        self.rpc = "127.0.0.1:%d/RPC2" % self.ping.port
        self.indexnow = "indexnow:%s/indexnow?key=held-key-1" % self.endpoint
        self.hub = "websub:%s/hub" % self.endpoint
        self.services = self.write("services.txt", "\n".join([self.rpc, self.indexnow, self.hub]) + "\n")

    def tearDown(self):
        self.host.close()
        self.ping.close()
        self.announce.terminate()
        self.announce.wait(PATIENCE)
        self.announce.stdout.close()
        self.directory.cleanup()

    def write(self, name, text):
        path = os.path.join(self.directory.name, name)
        with open(path, "wb") as f:
            f.write(text.encode() if isinstance(text, str) else text)
        return path

    def announced(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as f:
            return sorted(f.read().splitlines())

    def run_program(self, *args, services=None, ledger=True):
        command = [PROGRAM, "--services", services or self.services, "--format", "jsonl", *args]
        if ledger:
            command += ["--ledger", self.ledger]
        result = subprocess.run(command, capture_output=True, timeout=PATIENCE, env=clean_environment())
        lines = [json.loads(line) for line in result.stdout.decode().splitlines()]
        return result, lines

    def history(self, *args):
        result = subprocess.run([PROGRAM, "history", "--ledger", self.ledger, "--format", "jsonl", *args],
                                capture_output=True, timeout=PATIENCE, env=clean_environment())
        self.assertEqual(result.returncode, 0, result.stderr)
        return [json.loads(line) for line in result.stdout.decode().splitlines()]

    def publish(self, pages, items):
        packed = gzip.compress(urlset(pages))
        self.host.files["/sitemap.xml.gz"] = (packed, "application/gzip", {})
        self.host.files["/feed.xml"] = (gzip.compress(rss(items)), "application/rss+xml", {"Content-Encoding": "gzip"})

    def test_only_what_changed_is_announced_and_history_lists_every_call(self):
        site = self.host.base
        a, b, c, d = (site + path for path in ("/a", "/b", "/posts/c", "/posts/d"))
        self.publish([(a, "2026-01-01"), (b, None)], [(c, "Mon, 02 Feb 2026 10:00:00 GMT")])
        sources = ["--sitemap", site + "/sitemap.xml.gz", "--feed", site + "/feed.xml"]

        def bulk(*urls):
            return "POST /indexnow 127.0.0.1 held-key-1 - %d %s" % (len(urls), urls[0])
        feed = site + "/feed.xml"
        topic = feed.replace(":", "%3A").replace("/", "%2F")
        hub = "POST /hub hub.mode=publish&hub.url=%s&hub.topic=%s" % (topic, topic)

        # The first run: every page to the endpoint in one bulk submission, the
        # site once, the feed to the hub.
        result, lines = self.run_program(*sources)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.announced(), sorted([bulk(a, b, c), hub]))
        self.assertEqual(self.ping.calls(), ["/RPC2 %s/" % site])
        rpc = [r for r in lines if r.get("kind") == "xmlrpc"]
        self.assertEqual((rpc[0]["site"], rpc[0]["urls"]), (site + "/", 4))
        self.assertEqual(lines[-1]["unchanged"], 0)

        # Nothing changed: nobody is called.
        result, lines = self.run_program(*sources)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(lines), 1)
        self.assertEqual((lines[0]["success"], lines[0]["unchanged"]), (0, 5))
        self.assertEqual(len(self.announced()), 2)

        # a's lastmod moves and the feed gains d: those, their site and the feed go.
        self.publish([(a, "2026-03-01T10:00:00+01:00"), (b, None)],
                     [(c, "Mon, 02 Feb 2026 10:00:00 GMT"), (d, "Tue, 03 Mar 2026 10:00:00 +0000")])
        result, lines = self.run_program(*sources)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.announced(), sorted([bulk(a, b, c), hub, bulk(a, d), hub]))
        self.assertEqual(self.ping.calls(), ["/RPC2 %s/" % site] * 2)
        self.assertEqual(lines[-1]["unchanged"], 2)

        calls = self.history()
        self.assertEqual(len(calls), 3 + 3)
        self.assertEqual([c["run"] for c in calls], sorted(c["run"] for c in calls))
        self.assertEqual([(c["site"], c["urls"]) for c in calls if c["kind"] == "indexnow"],
                         [(site + "/", [a, b, c]), (site + "/", [a, d])])
        self.assertEqual(sorted(calls[-1]), sorted(["type", "run", "service", "kind", "site", "urls", "success",
                                                     "code", "answer", "reason", "started", "elapsed_ms"]))
        self.assertEqual(len(self.history("--service", "websub:")), 2)
        self.assertEqual(len(self.history("--since", "1h")), 6)

    def test_dry_run_contacts_no_service_and_writes_nothing(self):
        site = self.host.base
        self.publish([(site + "/a", "2026-01-01")], [])
        result, lines = self.run_program("--sitemap", site + "/sitemap.xml.gz", "--dry-run")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([(r["type"], r["kind"], r["site"], r["urls"]) for r in lines[:-1]], [
            ("plan", "xmlrpc", site + "/", [site + "/a"]),
            ("plan", "indexnow", site + "/a", [site + "/a"]),
        ])
        self.assertTrue(lines[-1]["dry_run"])
        self.assertEqual((self.announced(), self.ping.calls()), ([], []))
        self.assertFalse(os.path.exists(self.ledger))

    def test_unreadable_sources_stop_the_run_before_any_call(self):
        site = self.host.base
        laughs = (b'<?xml version="1.0"?><!DOCTYPE urlset [<!ENTITY a "aaaaaaaaaa">'
                  b'<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]><urlset><url><loc>&b;</loc></url></urlset>')
        index = (b'<?xml version="1.0"?><sitemapindex xmlns="http://www.sitemaps.org/schemas/sitemap/0.9">'
                 b'<sitemap><loc>%s/index.xml</loc></sitemap></sitemapindex>' % site.encode())
        self.host.files.update({
            "/page.html": (b"<!DOCTYPE html><html><body>hi</body></html>", "text/html; charset=utf-8", {}),
            "/laughs.xml": (laughs, "application/xml", {}),
            "/index.xml": (index, "application/xml", {}),
            "/sitemap.xml": (urlset([(site + "/a", None)]), "application/xml", {}),
            "/fake.gz": (b"\x1f\x8b\x08\x00 not really gzip", "application/gzip", {}),
        })
        cases = [
            (["--sitemap", site + "/page.html"], "HTML page"),
            (["--sitemap", site + "/laughs.xml"], "laughs.xml"),
            (["--sitemap", site + "/index.xml"], "names itself"),
            (["--sitemap", site + "/missing.xml"], "404"),
            (["--sitemap", site + "/fake.gz"], "gzip"),
            (["--feed", site + "/sitemap.xml"], "not an RSS or Atom feed"),
            (["--sitemap", site + "/sitemap.xml", "--feed", os.path.join(self.directory.name, "none.xml")],
             "No such file"),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                result, lines = self.run_program(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(lines, [])
                err = result.stderr.decode()
                self.assertIn("cannot read the ", err)
                self.assertIn(reason, err)
        self.assertEqual((self.announced(), self.ping.calls()), ([], []))
        self.assertFalse(os.path.exists(self.ledger))

    def test_sources_behind_redirects(self):
        site = self.host.base
        self.host.files["/real/sitemap.xml"] = (urlset([(site + "/a", "2026-01-01")]), "application/xml", {})
        self.host.redirects.update({
            "/sitemap.xml": (301, site + "/moved/sitemap.xml"),
            "/moved/sitemap.xml": (308, "../real/sitemap.xml"),
            "/loop.xml": (302, "/loop2.xml"), "/loop2.xml": (307, site + "/loop.xml"),
            "/file.xml": (301, "file:///etc/passwd"),
            "/nowhere.xml": (303, ""),
        })
        result, lines = self.run_program("--sitemap", site + "/sitemap.xml", "--dry-run")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([r["site"] for r in lines[:-1]], [site + "/", site + "/a"])
        for path, reason in (("/loop.xml", "in a loop"), ("/file.xml", "not an http or https URL"),
                             ("/nowhere.xml", "without saying where")):
            with self.subTest(path=path):
                result, lines = self.run_program("--sitemap", site + path, "--dry-run")
                self.assertEqual(result.returncode, 2)
                self.assertIn(reason, result.stderr.decode())
        chain = {"/c%d" % i: (301, "/c%d" % (i + 1)) for i in range(11)}
        self.host.redirects.update(chain)
        result, _ = self.run_program("--sitemap", site + "/c0", "--dry-run")
        self.assertIn("more than 10 times", result.stderr.decode())

    def test_ledger_refusals_and_two_runs_at_once(self):
        sites = self.write("sites.txt", "".join("site%d.example\n" % i for i in range(20)))
        services = self.write("rpc.txt", self.rpc + "\n")
        garbage = b"this is not a database\n" * 100
        with open(self.ledger, "wb") as f:
            f.write(garbage)
        result, lines = self.run_program("--sites", sites, services=services)
        self.assertEqual(result.returncode, 2)
        self.assertIn(self.ledger, result.stderr.decode())
        self.assertEqual((lines, self.ping.calls()), ([], []))
        with open(self.ledger, "rb") as f:
            self.assertEqual(f.read(), garbage)
        os.remove(self.ledger)

        command = [PROGRAM, "--services", services, "--sites", sites, "--ledger", self.ledger, "--threads", "4"]
        runs = [subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=clean_environment())
                for _ in range(3)]
        for run in runs:
            _, err = run.communicate(timeout=PATIENCE)
            self.assertEqual(run.returncode, 0, err)
        calls = self.history()
        self.assertEqual(len(calls), 60)
        self.assertEqual(len({c["run"] for c in calls}), 3)

    def test_min_interval_holds_back_what_was_just_announced(self):
        sites = self.write("sites.txt", "blog.example\nnews.example\n")
        services = self.write("rpc.txt", self.rpc + "\n")
        result, _ = self.run_program("--sites", sites, "--min-interval", "1h", services=services)
        self.assertEqual(result.returncode, 0, result.stderr)
        result, lines = self.run_program("--sites", sites, "--min-interval", "1h", services=services)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((lines[-1]["success"], lines[-1]["unchanged"]), (0, 2))
        # Without the interval a site list goes every time.
        result, lines = self.run_program("--sites", sites, services=services)
        self.assertEqual(lines[-1]["success"], 2)
        self.assertEqual(len(self.ping.calls()), 4)

    def test_a_killed_run_keeps_every_finished_call(self):
        release = os.path.join(self.directory.name, "release")
        held = Peer(self.directory.name, hold=release)
        try:
            services = self.write("two.txt", "%s\n127.0.0.1:%d/held\n" % (self.rpc, held.port))
            sites = self.write("sites.txt", "blog.example\n")
            command = [PROGRAM, "--services", services, "--sites", sites, "--ledger", self.ledger, "--threads", "1"]
            process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=clean_environment())
            deadline = time.monotonic() + PATIENCE
            while not held.calls() and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertEqual(len(held.calls()), 1)
            process.send_signal(signal.SIGKILL)
            process.communicate(timeout=PATIENCE)
            calls = self.history()
            self.assertEqual([(c["service"], c["success"]) for c in calls], [(self.rpc, True)])
            # The next run, told to leave out what was just announced, makes only the call that was lost.
            open(release, "w").close()
            result, lines = self.run_program("--sites", sites, "--min-interval", "1h", services=services)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual([r["service"] for r in lines[:-1]], ["127.0.0.1:%d/held" % held.port])
            self.assertEqual(len(self.ping.calls()), 1)
        finally:
            held.close()


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    cli_test.PROGRAM = PROGRAM
    unittest.main()
