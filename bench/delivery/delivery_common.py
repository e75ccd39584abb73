"""What both delivery benchmarks share: finding corvandel-ping, starting a
local peer, and running the program under /usr/bin/time.

Figures come from one machine's loopback and are meant to be compared with
each other, never with a number written down elsewhere.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DEFAULT_BINARY = os.path.join(ROOT, "build", "release", "cli", "corvandel-ping")
TIME = "/usr/bin/time"
# wall seconds, user seconds, system seconds, peak resident KiB
TIME_FORMAT = "TIMED %e %U %S %M"


def find_binary(given):
    path = given or os.environ.get("CORVANDEL_PING") or DEFAULT_BINARY
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        sys.exit("no corvandel-ping at %s: build the Release tree first (see README.md) or give --binary" % path)
    if not os.access(TIME, os.X_OK):
        sys.exit("%s is needed for the CPU figures (Debian package 'time')" % TIME)
    return path


class Peer:
    """A local server script that prints "PORT <n>" once it listens."""

    def __init__(self, argv):
        self.process = subprocess.Popen([sys.executable] + argv, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().split()
        if len(line) != 2 or line[0] != "PORT":
            self.stop()
            sys.exit("the peer %s did not say its port" % " ".join(argv))
        self.port = int(line[1])

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Timed:
    """One run of corvandel-ping: wall, CPU, peak memory, and its summary."""

    def __init__(self, wall, user, system, peak_kib, summary, calls, exit_code):
        self.wall, self.user, self.system, self.peak_kib = wall, user, system, peak_kib
        self.summary, self.calls, self.exit_code = summary, calls, exit_code

    @property
    def cpu(self):
        return self.user + self.system


def run_timed(binary, args, workdir):
    """Runs binary with args and --format jsonl; the call records are kept
    in a file, so that writing them costs what it costs a real user."""
    out_path = os.path.join(workdir, "calls.jsonl")
    err_path = os.path.join(workdir, "stderr.txt")
    with open(out_path, "w") as out, open(err_path, "w") as err:
        code = subprocess.call([TIME, "-f", TIME_FORMAT, binary, "--format", "jsonl", "--quiet"] + args,
                               stdout=out, stderr=err)
    timed = None
    with open(err_path) as err:
        for line in err:
            if line.startswith("TIMED "):
                timed = [float(x) for x in line.split()[1:]]
    if timed is None:
        sys.exit("no figures from %s; its standard error:\n%s" % (TIME, open(err_path).read()[-2000:]))
    summary, calls = None, []
    with open(out_path) as out:
        for line in out:
            record = json.loads(line)
            if record.get("type") == "summary":
                summary = record
            else:
                calls.append(record)
    if summary is None:
        sys.exit("corvandel-ping wrote no summary (exit %d); its standard error:\n%s"
                 % (code, open(err_path).read()[-2000:]))
    return Timed(timed[0], timed[1], timed[2], int(timed[3]), summary, calls, code)


def median(values):
    return statistics.median(values)


def load_note():
    """The machine's load, which bounds every figure on a shared host."""
    try:
        one, five, _ = os.getloadavg()
        return "%d CPUs, load average %.2f (1 min) %.2f (5 min)" % (os.cpu_count() or 0, one, five)
    except OSError:
        return "%d CPUs" % (os.cpu_count() or 0)


def scratch(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def remove(path):
    shutil.rmtree(path, ignore_errors=True)


def now():
    return time.monotonic()
