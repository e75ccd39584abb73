#!/usr/bin/env python3
"""Bulk IndexNow submission against one GET per URL, 100,000 URLs of one host.

Usage: bulk_vs_get.py [--binary PATH] [--urls N] [--get-per-service N,...]

Both runs go to one loopback endpoint (indexnow_peer.py) with --no-ledger:
  bulk  --sitemap of two sitemap files of N/2 URLs each: the pages of one
        site, which an indexnow line sends as POSTs of up to 10,000 URLs;
  get   --sites of a list of the same N URLs, one site a line, each sent as
        one GET; once for each --per-service value given (the default 2,
        and 10, which lets every one of the 10 workers call the endpoint).
For each run: the requests and URLs the endpoint saw, corvandel-ping's wall
time, user+sys CPU and peak memory (/usr/bin/time), and the endpoint's own
CPU; then the ratios of get to bulk.
"""

import argparse
import json
import os
import sys
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import delivery_common as common  # noqa: E402

HOST = "http://www.example.com"
KEY = "0123456789abcdef0123456789abcdef"  # 32 hex digits
SITEMAP_HALVES = 2


def page(number):
    return "%s/articles/%06d.html" % (HOST, number)


def write_inputs(workdir, count):
    sitemaps = []
    half = count // SITEMAP_HALVES
    for part in range(SITEMAP_HALVES):
        first = part * half
        last = count if part == SITEMAP_HALVES - 1 else first + half
        path = os.path.join(workdir, "sitemap-%d.xml" % part)
        with open(path, "w") as out:
            out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                      '<urlset xmlns="http://www.sitemaps.org/schemas/sitemap/0.9">\n')
            for number in range(first, last):
                out.write("<url><loc>%s</loc></url>\n" % page(number))
            out.write("</urlset>\n")
        sitemaps.append(path)
    sites = os.path.join(workdir, "sites.txt")
    with open(sites, "w") as out:
        for number in range(count):
            out.write(page(number) + "\n")
    return sitemaps, sites


def peer_call(port, method, path):
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), method=method,
                                     data=b"" if method == "POST" else None)
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.read()


def measure(binary, args, port, workdir, label):
    peer_call(port, "POST", "/reset")
    timed = common.run_timed(binary, args, workdir)
    seen = json.loads(peer_call(port, "GET", "/stats"))
    summary = timed.summary
    print("%-22s requests %7d  urls %7d (distinct %7d)  calls ok %7s err %s  wall %7.2f s  cpu %6.2f s "
          "(user %.2f sys %.2f)  peak %6.1f MiB  endpoint cpu %6.2f s"
          % (label, seen["requests"], seen["urls"], seen["distinct_urls"], summary.get("success"),
             summary.get("error"), timed.wall, timed.cpu, timed.user, timed.system, timed.peak_kib / 1024.0,
             seen["cpu_s"]), flush=True)
    if timed.exit_code != 0 or seen["refused"]:
        print("  warning: exit %d, %d requests refused by the endpoint" % (timed.exit_code, seen["refused"]))
    return timed, seen


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary")
    parser.add_argument("--urls", type=int, default=100000)
    parser.add_argument("--get-per-service", default="2,10",
                        help="--per-service values for the GET runs, comma-separated")
    args = parser.parse_args()
    binary = common.find_binary(args.binary)
    workdir = common.scratch("corvandel-bulk-")
    peer = common.Peer([os.path.join(common.HERE, "indexnow_peer.py")])
    try:
        sitemaps, sites = write_inputs(workdir, args.urls)
        services = os.path.join(workdir, "services.txt")
        with open(services, "w") as out:
            out.write("indexnow:http://127.0.0.1:%d/indexnow?key=%s\n" % (peer.port, KEY))
        print("machine: %s" % common.load_note())
        print("%d URLs of one host, one indexnow line, --threads 10" % args.urls, flush=True)
        bulk_args = ["--services", services, "--no-ledger", "--threads", "10"]
        for sitemap in sitemaps:
            bulk_args += ["--sitemap", sitemap]
        bulk, bulk_seen = measure(binary, bulk_args, peer.port, workdir, "bulk (sitemaps)")
        gets = []
        for per_service in [int(x) for x in args.get_per_service.split(",") if x]:
            get_args = ["--services", services, "--sites", sites, "--no-ledger", "--threads", "10",
                        "--per-service", str(per_service)]
            gets.append((per_service, measure(binary, get_args, peer.port, workdir,
                                              "get (--per-service %d)" % per_service)))
        for per_service, (timed, seen) in gets:
            print("ratios get(--per-service %d)/bulk: requests %.0fx, wall %.1fx, cpu %.1fx, endpoint cpu %.1fx"
                  % (per_service, seen["requests"] / max(bulk_seen["requests"], 1), timed.wall / max(bulk.wall, 0.01),
                     timed.cpu / max(bulk.cpu, 0.01), seen["cpu_s"] / max(bulk_seen["cpu_s"], 0.01)))
        print("machine after: %s" % common.load_note())
    finally:
        peer.stop()
        common.remove(workdir)


if __name__ == "__main__":
    sys.exit(main())
