#!/usr/bin/env python3
"""corvandel-ping and the npm peer submit the changed pages of one sitemap to
one loopback IndexNow endpoint, round after round, each timed by
/usr/bin/time (wall seconds, peak KiB).

  compare_submit.py [--rounds 5] [--ping build/release/cli/corvandel-ping]
                    [--work /tmp/corvandel-announce-bench] [--count 50000]
                    [--fresh-share 0.01] [--threads N]

Both read the sitemap over plain http from the endpoint's static server (the
peer takes URLs only) and submit over https, trusting the endpoint's
throwaway CA (--cacert for corvandel-ping, NODE_EXTRA_CA_CERTS for the peer).

The peer picks the changed pages by their lastmod (sitemap-fetch --max-age
P1D), then submits the list it wrote (submit-urls). corvandel-ping picks them
with its ledger: the fair equivalent is a ledger that holds every page at its
old date, made once by a run over the baseline sitemap (every page old) and
copied afresh before each round, so each timed run sees the same state and
finds the same pages changed. Only the run over the changed sitemap is timed.

Each round runs the peer's two steps, then corvandel-ping. The endpoint's
counts are taken before and after each, so the requests and URLs it saw are
each program's own. corvandel-ping is also timed as a dry run (fetching,
reading and planning, no call), which shows what the calls cost. Medians and the ratios Corvandel / peer are printed at the
end and written, with every round, to WORK/results.json.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import urllib.request
import ssl

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PEERS = "/work/bench-peers"
PEER_PACKAGE = "indexnow-submit"
KEY = "5f3c9a1e7b2d4c6e8a0b1d3f5e7c9a2b"
SITE_HOST = "bench.example"
MAX_AGE = "P1D"


def peer_program():
    program = os.path.join(PEERS, "node_modules", ".bin", PEER_PACKAGE)
    if not os.path.exists(program):
        os.makedirs(PEERS, exist_ok=True)
        subprocess.run(["npm", "install", "--prefix", PEERS, PEER_PACKAGE], check=True,
                       stdout=subprocess.DEVNULL)
    return program


class Endpoint:
    def __init__(self, work, static):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "indexnow_endpoint.py"), "--static", static, "--dir",
             os.path.join(work, "tls")], stdout=subprocess.PIPE, text=True)
        found = {}
        while len(found) < 3:
            line = self.process.stdout.readline()
            if not line:
                raise SystemExit("the endpoint stopped before it said where it listens")
            name, _, value = line.strip().partition(" ")
            found[name] = value
        self.ca = found["CA"]
        self.port = int(found["PORT"])
        self.static = int(found["STATIC"])
        self.context = ssl.create_default_context(cafile=self.ca)

    def stats(self, reset=True):
        url = "https://127.0.0.1:%d/stats%s" % (self.port, "?reset=1" if reset else "")
        with urllib.request.urlopen(url, context=self.context) as answer:
            return json.loads(answer.read())

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def timed(command, env=None, stdout=subprocess.DEVNULL, timing_file="/tmp/corvandel-bench-time"):
    """Runs command under /usr/bin/time; (wall seconds, peak KiB, exit code)."""
    result = subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", timing_file, *command], env=env, stdout=stdout,
                            stderr=subprocess.PIPE, text=True)
    with open(timing_file) as times:
        last = [line for line in times.read().splitlines() if line.strip()][-1]
    wall, peak = last.split()
    if result.returncode != 0:
        sys.stderr.write(result.stderr[-2000:])
        raise SystemExit("%s ended with %d" % (command[0], result.returncode))
    return float(wall), int(peak), result.stderr


def copy_ledger(source, target):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(target + suffix):
            os.remove(target + suffix)
        if os.path.exists(source + suffix):
            shutil.copyfile(source + suffix, target + suffix)


def ping_command(args, endpoint, services, sitemap, ledger):
    command = [args.ping, "--services", services, "--cacert", endpoint.ca, "--sitemap",
               "http://127.0.0.1:%d/%s" % (endpoint.static, sitemap), "--ledger", ledger, "--format", "jsonl",
               "--quiet"]
    if args.threads:
        command += ["--threads", str(args.threads)]
    return command


def median(rows, key):
    return statistics.median(row[key] for row in rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--ping", default=os.path.join(REPO, "build", "release", "cli", "corvandel-ping"))
    parser.add_argument("--work", default="/tmp/corvandel-announce-bench")
    parser.add_argument("--count", type=int, default=50000)
    parser.add_argument("--fresh-share", type=float, default=0.01)
    parser.add_argument("--threads", type=int, help="corvandel-ping's --threads (default: its own)")
    args = parser.parse_args()
    if not os.access(args.ping, os.X_OK):
        raise SystemExit("no corvandel-ping at %s: build it (Release) or give --ping" % args.ping)
    peer = peer_program()

    work = os.path.abspath(args.work)
    site = os.path.join(work, "site")
    os.makedirs(site, exist_ok=True)
    subprocess.run([sys.executable, os.path.join(HERE, "make_sitemap.py"), "--out", os.path.join(site, "sitemap.xml"),
                    "--baseline", os.path.join(site, "baseline.xml"), "--count", str(args.count), "--fresh-share",
                    str(args.fresh_share)], check=True)
    endpoint = Endpoint(work, site)
    try:
        services = os.path.join(work, "services.txt")
        with open(services, "w") as out:
            out.write("indexnow:https://127.0.0.1:%d/indexnow?key=%s\n" % (endpoint.port, KEY))
        peer_env = dict(os.environ, NODE_EXTRA_CA_CERTS=endpoint.ca)

        # The ledger every round starts from: every page announced at its old date.
        baseline = os.path.join(work, "baseline.db")
        copy_ledger("/nonexistent", baseline)
        endpoint.stats()
        wall, peak, _ = timed(ping_command(args, endpoint, services, "baseline.xml", baseline))
        seen = endpoint.stats()
        print("ledger prepared: %d URLs in %d requests, %.2f s, %d KiB" % (seen["urls"], seen["requests"], wall, peak),
              file=sys.stderr)

        rounds = []
        urls_file = os.path.join(work, "peer-urls.txt")
        for number in range(1, args.rounds + 1):
            row = {"round": number}
            endpoint.stats()
            fetch_wall, fetch_peak, _ = timed(
                [peer, "sitemap-fetch", "http://127.0.0.1:%d/sitemap.xml" % endpoint.static, "--max-age", MAX_AGE,
                 "-o", urls_file], env=peer_env)
            submit_wall, submit_peak, _ = timed(
                [peer, "submit-urls", urls_file, "--engine", "127.0.0.1:%d" % endpoint.port, "--host", SITE_HOST,
                 "--key", KEY], env=peer_env)
            seen = endpoint.stats()
            row.update(peer_fetch_s=fetch_wall, peer_submit_s=submit_wall, peer_s=fetch_wall + submit_wall,
                       peer_kib=max(fetch_peak, submit_peak), peer_requests=seen["requests"], peer_urls=seen["urls"],
                       peer_refused=seen["refused"])

            ledger = os.path.join(work, "round.db")
            copy_ledger(baseline, ledger)
            endpoint.stats()
            with open(os.path.join(work, "ping-round.jsonl"), "w") as out:
                wall, peak, _ = timed(ping_command(args, endpoint, services, "sitemap.xml", ledger), stdout=out)
            seen = endpoint.stats()
            # The same run as a dry run: fetching, reading and planning
            # without a call, the share of the run that is not the calls.
            copy_ledger(baseline, ledger)
            plan_wall, plan_peak, _ = timed(ping_command(args, endpoint, services, "sitemap.xml", ledger) +
                                            ["--dry-run"])
            row.update(ping_plan_s=plan_wall, ping_plan_kib=plan_peak)
            row.update(ping_s=wall, ping_kib=peak, ping_requests=seen["requests"], ping_urls=seen["urls"],
                       ping_connections=seen["connections"], ping_refused=seen["refused"])
            rounds.append(row)
            print("round %d: peer %.2f s (fetch %.2f + submit %.2f) %d KiB, %d requests %d URLs; "
                  "corvandel-ping %.2f s %d KiB, %d requests %d URLs on %d connections" %
                  (number, row["peer_s"], fetch_wall, submit_wall, row["peer_kib"], row["peer_requests"],
                   row["peer_urls"], wall, peak, row["ping_requests"], row["ping_urls"], row["ping_connections"]),
                  flush=True)
    finally:
        endpoint.stop()

    summary = {key: median(rounds, key) for key in rounds[0] if key != "round"}
    summary["wall_ratio"] = summary["ping_s"] / summary["peer_s"]
    summary["peak_ratio"] = summary["ping_kib"] / summary["peer_kib"]
    with open(os.path.join(work, "results.json"), "w") as out:
        json.dump({"rounds": rounds, "medians": summary}, out, indent=2)
    print()
    print("medians of %d rounds, %d URLs of which %d changed:" % (len(rounds), args.count,
                                                                   round(args.count * args.fresh_share)))
    print("  peer (sitemap-fetch + submit-urls): %8.2f s %9d KiB  %d requests, %d URLs" %
          (summary["peer_s"], summary["peer_kib"], summary["peer_requests"], summary["peer_urls"]))
    print("    of which sitemap-fetch            %8.2f s, submit-urls %.2f s" %
          (summary["peer_fetch_s"], summary["peer_submit_s"]))
    print("  corvandel-ping:                     %8.2f s %9d KiB  %d requests, %d URLs, %d connections" %
          (summary["ping_s"], summary["ping_kib"], summary["ping_requests"], summary["ping_urls"],
           summary["ping_connections"]))
    print("    of which reading and planning    %8.2f s %9d KiB  (the same run with --dry-run)" %
          (summary["ping_plan_s"], summary["ping_plan_kib"]))
    print("  Corvandel / peer: wall %.3fx (peer %.1fx the time), peak memory %.3fx" %
          (summary["wall_ratio"], 1 / summary["wall_ratio"] if summary["wall_ratio"] else float("inf"),
           summary["peak_ratio"]))


if __name__ == "__main__":
    main()
