#!/usr/bin/env python3
"""One queue of calls against the ideal: 100 sites x 10 XML-RPC services.

Usage: queue_vs_ideal.py [--binary PATH] [--sites N] [--services N]
                         [--delay MS] [--threads N] [--repeat N] [--one-peer]

Each service is a tests/engine/ping_peer.py answering after --delay ms, one
process per service (or, with --one-peer, one process serving every service
as its own path, after checking that it answers them concurrently). With
--threads workers and every call taking the delay, no schedule can beat
    ideal = sites x services x delay / threads
(5 s for the defaults). corvandel-ping's wall time, the median of --repeat
runs, is set against it with --per-service 2 (the default) and 1.

Two further figures say where any excess goes:
  call floor   the calls' own mean duration (elapsed_ms in the records) x
               calls / threads: what the run would take if the queue lost
               nothing between calls;
  reference    the same calls made by a plain 10-thread Python client, which
               measures what the peers themselves allow.
"""

import argparse
import os
import statistics
import sys
import threading
import time
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import delivery_common as common  # noqa: E402

PING_PEER = os.path.join(common.ROOT, "tests", "engine", "ping_peer.py")


def start_peers(count, delay, one_peer):
    """The peers and the service URL of each service."""
    if one_peer:
        peer = common.Peer([PING_PEER, "--delay", str(delay)])
        return [peer], ["http://127.0.0.1:%d/service-%02d" % (peer.port, n) for n in range(count)]
    peers = [common.Peer([PING_PEER, "--delay", str(delay)]) for _ in range(count)]
    return peers, ["http://127.0.0.1:%d/RPC2" % peer.port for peer in peers]


def ping(url, site):
    return xmlrpc.client.ServerProxy(url).weblogUpdates.ping(site, site)


def timed_threads(threads):
    """Seconds from starting the threads to the end of the last one."""
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.monotonic() - started


def concurrent_seconds(urls, delay):
    """How long len(urls) simultaneous pings take; about one delay when
    the peers answer them concurrently."""
    return timed_threads([threading.Thread(target=ping, args=(url, "http://check.example/")) for url in urls])


def reference_seconds(urls, sites, workers):
    """The same calls, site by site, from a plain pool of Python threads."""
    work = [(url, site) for site in sites for url in urls]
    lock = threading.Lock()
    position = [0]

    def worker():
        while True:
            with lock:
                if position[0] >= len(work):
                    return
                url, site = work[position[0]]
                position[0] += 1
            ping(url, site)

    return timed_threads([threading.Thread(target=worker) for _ in range(workers)])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary")
    parser.add_argument("--sites", type=int, default=100)
    parser.add_argument("--services", type=int, default=10)
    parser.add_argument("--delay", type=int, default=50, help="each answer's delay, ms")
    parser.add_argument("--threads", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--one-peer", action="store_true")
    parser.add_argument("--no-reference", action="store_true")
    args = parser.parse_args()
    binary = common.find_binary(args.binary)
    workdir = common.scratch("corvandel-queue-")
    peers, urls = start_peers(args.services, args.delay, args.one_peer)
    try:
        sites = ["http://site-%03d.example/" % n for n in range(args.sites)]
        services_file = os.path.join(workdir, "services.txt")
        sites_file = os.path.join(workdir, "sites.txt")
        with open(services_file, "w") as out:
            out.write("".join(url + "\n" for url in urls))
        with open(sites_file, "w") as out:
            out.write("".join(site + "\n" for site in sites))
        calls = args.sites * args.services
        ideal = calls * args.delay / 1000.0 / args.threads
        print("machine: %s" % common.load_note())
        print("%d sites x %d services, answers after %d ms, --threads %d, %s: ideal %.2f s"
              % (args.sites, args.services, args.delay, args.threads,
                 "one peer, a path per service" if args.one_peer else "one peer process per service", ideal))
        together = concurrent_seconds(urls, args.delay)
        print("peer check: %d simultaneous pings, one per service, took %.0f ms (%s)"
              % (len(urls), together * 1000, "concurrent" if together < 3 * args.delay / 1000.0 else "SERIALISED"),
              flush=True)
        if not args.no_reference:
            reference = reference_seconds(urls, sites, args.threads)
            print("reference: a %d-thread Python client, the same %d calls: %.2f s (%.3fx ideal)"
                  % (args.threads, calls, reference, reference / ideal), flush=True)
        for per_service in (2, 1):
            walls, floors = [], []
            for _ in range(args.repeat):
                timed = common.run_timed(binary, ["--services", services_file, "--sites", sites_file, "--no-ledger",
                                                  "--threads", str(args.threads), "--per-service", str(per_service)],
                                         workdir)
                ok = timed.summary.get("success")
                if timed.exit_code != 0 or ok != calls:
                    print("  warning: exit %d, %s of %d calls succeeded" % (timed.exit_code, ok, calls))
                mean_call = statistics.mean(c["elapsed_ms"] for c in timed.calls) / 1000.0
                walls.append(timed)
                floors.append(mean_call * calls / args.threads)
                print("  --per-service %d: wall %.2f s  cpu %.2f s (user %.2f sys %.2f)  mean call %.1f ms  "
                      "call floor %.2f s" % (per_service, timed.wall, timed.cpu, timed.user, timed.system,
                                             mean_call * 1000, floors[-1]), flush=True)
            wall = common.median([t.wall for t in walls])
            print("--per-service %d: median wall %.2f s = %.3fx ideal (%.2f s); median call floor %.2f s = %.3fx; "
                  "median cpu %.2f s" % (per_service, wall, wall / ideal, ideal, common.median(floors),
                                         common.median(floors) / ideal, common.median([t.cpu for t in walls])),
                  flush=True)
        print("machine after: %s" % common.load_note())
    finally:
        for peer in peers:
            peer.stop()
        common.remove(workdir)


if __name__ == "__main__":
    sys.exit(main())
