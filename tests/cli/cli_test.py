"""End-to-end tests of corvandel-ping against Python's XML-RPC server.

Usage: cli_test.py PATH_TO_CORVANDEL_PING
"""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = None
PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "engine", "ping_peer.py")
PATIENCE = 60  # seconds; only a hang comes near it


class Peer:
    """ping_peer.py in a process of its own, recording the calls it gets."""

    def __init__(self, directory, delay_ms=0):
        self.record = os.path.join(directory, "calls-%d.txt" % id(self))
        self.process = subprocess.Popen(
            [sys.executable, PEER, "--record", self.record, "--delay", str(delay_ms)],
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        assert line.startswith("PORT "), line
        self.port = int(line.split()[1])

    def calls(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as f:
            return f.read().splitlines()

    def close(self):
        self.process.terminate()
        self.process.wait(PATIENCE)
        self.process.stdout.close()


class CliTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.peers = []

    def tearDown(self):
        for peer in self.peers:
            peer.close()
        self.directory.cleanup()

    def peer(self, delay_ms=0):
        peer = Peer(self.directory.name, delay_ms)
        self.peers.append(peer)
        return peer

    def write(self, name, data):
        path = os.path.join(self.directory.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run_program(self, *args):
        return subprocess.run([PROGRAM, *args], capture_output=True, timeout=PATIENCE)

    def test_one_worker_prints_every_call_in_table_order(self):
        peer = self.peer()
        base = "127.0.0.1:%d" % peer.port
        services = self.write("services.txt", (
            "%s/RPC2\r\n\r\nabcd\n"
            "http://%s/refuse\r"
            "127.0.0.1:1/closed\n" % (base, base)).encode())
        sites = self.write("sites.txt", b"blog.example\r\nhttp://news.example/\r\n\x00ignored.example\r\n")
        result = self.run_program("--services", services, "--sites", sites, "--threads", "1")
        lines = []
        for site in ("http://blog.example", "http://news.example/"):
            lines += [
                "%s/RPC2 URL:%s Code:200 Th:1 Answer:Thanks for the ping." % (base, site),
                "http://%s/refuse URL:%s Code:200 Th:1 Answer:Refused: /refuse" % (base, site),
                "127.0.0.1:1/closed URL:%s Code:0 Th:1 Answer:?" % site,
            ]
        expected = "\n".join(lines + ["Success: 2 Error: 4"]) + "\n"
        self.assertEqual(result.stdout.decode(), expected)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(sorted(peer.calls()), sorted([
            "/RPC2 http://blog.example", "/refuse http://blog.example",
            "/RPC2 http://news.example/", "/refuse http://news.example/"]))

    def test_many_workers_call_each_service_once_per_site(self):
        peer = self.peer()
        paths = ["/rpc%d" % i for i in range(40)]
        services = self.write("services.txt", "".join(
            "127.0.0.1:%d%s\n" % (peer.port, path) for path in paths).encode())
        sites = self.write("sites.txt", b"one.example\ntwo.example\nthree.example\n")
        result = self.run_program("--services=" + services, "--sites=" + sites, "--threads=14")
        self.assertEqual(result.returncode, 0, result.stderr)
        out = result.stdout.decode().splitlines()
        self.assertEqual(out[-1], "Success: 120 Error: 0")
        self.assertEqual(len(out), 121)
        expected = sorted("%s http://%s.example" % (path, site)
                          for site in ("one", "two", "three") for path in paths)
        self.assertEqual(sorted(peer.calls()), expected)
        # The sites follow one another: no line of a site after the next one began.
        order = [line.split(" URL:")[1].split(" ")[0] for line in out[:-1]]
        self.assertEqual(order, sorted(order, key=["http://one.example", "http://two.example",
                                                   "http://three.example"].index))

    def test_interrupt_lets_calls_under_way_finish_and_print(self):
        peer = self.peer(delay_ms=1500)
        services = self.write("services.txt", "".join(
            "127.0.0.1:%d/rpc%d\n" % (peer.port, i) for i in range(6)).encode())
        sites = self.write("sites.txt", b"blog.example\nnews.example\n")
        process = subprocess.Popen([PROGRAM, "--services", services, "--sites", sites, "--threads", "2"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + PATIENCE
        while len(peer.calls()) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(len(peer.calls()), 2)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=PATIENCE)
        lines = out.decode().splitlines()
        self.assertEqual(len(lines), 3, out)
        self.assertEqual(lines[-1], "Success: 2 Error: 0")
        self.assertIn(b"stopping", err)
        self.assertEqual(process.returncode, 0)
        self.assertEqual(len(peer.calls()), 2)

    def test_bad_usage_and_unreadable_files_exit_with_2(self):
        good = self.write("good.txt", b"rpc.example/ping\n")
        empty = self.write("empty.txt", b"")
        missing = os.path.join(self.directory.name, "missing.txt")
        cases = [
            ([], "services file is missing"),
            (["--services", good], "sites file is missing"),
            (["--services", good, "--sites"], "needs a value"),
            (["--services", good, "--sites", good, "--threads", "0"], "--threads takes a number from 1 to 14"),
            (["--services", good, "--sites", good, "--threads", "15"], "--threads takes a number"),
            (["--services", good, "--sites", good, "--threads", "3x"], "--threads takes a number"),
            (["--services", good, "--sites", good, "--verbose"], "unknown option '--verbose'"),
            (["--services", good, "--sites", good, "extra"], "unexpected argument 'extra'"),
            (["--services", missing, "--sites", good], "cannot read the services file"),
            (["--services", good, "--sites", missing], "cannot read the sites file"),
            (["--services", empty, "--sites", good], "lists no services"),
            (["--services", good, "--sites", empty], "lists no sites"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = self.run_program(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(message, result.stderr.decode())
                self.assertEqual(result.stdout, b"")

    def test_help_describes_the_program(self):
        result = self.run_program("--help")
        self.assertEqual(result.returncode, 0)
        text = result.stdout.decode()
        for part in ("Usage: corvandel-ping --services FILE --sites FILE [--threads N]",
                     "Exit status", "Ctrl-C"):
            self.assertIn(part, text)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
