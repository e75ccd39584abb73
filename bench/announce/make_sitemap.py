#!/usr/bin/env python3
"""Writes the sitemaps the announcement benchmarks read.

The same URLs, in the same order, go into every file the program writes, so
that a ledger filled from the baseline and a run over the sitemap see the
same pages. The URLs whose lastmod moved are chosen by a fixed seed: two runs
with the same arguments write the same files, apart from the dates, which are
counted back from now.

  make_sitemap.py --out sitemap.xml [--baseline old.xml] [--count 50000]
                  [--fresh-share 0.01] [--big big.xml]

--out       the sitemap in which a share of the pages changed within the last day
--baseline  the same pages, every one at its old date: what a ledger remembers
--big       the --out sitemap padded to about 50 MB with image extension
            elements, the size at which sitemaps stop being accepted
"""

import argparse
import datetime
import random
import sys

# The padded variant: 50,000 entries in about 50 MB, under the 50 MiB a
# sitemap may hold.
BIG_ENTRY_BYTES = 1100
SEED = 20261209
WORDS = ("announce", "quiet", "harbour", "lantern", "orchard", "granite", "meadow", "copper", "willow",
         "signal", "thistle", "ember", "canyon", "beacon", "saffron", "juniper", "marble", "falcon")
SECTIONS = 40

HEADER = ('<?xml version="1.0" encoding="UTF-8"?>\n'
          '<urlset xmlns="http://www.sitemaps.org/schemas/sitemap/0.9"{extra}>\n')
IMAGE_NS = ' xmlns:image="http://www.google.com/schemas/sitemap-image/1.1"'
FOOTER = '</urlset>\n'


def page_url(index, rng):
    """A readable URL of a blog-like site, 100 to 120 characters long."""
    slug = []
    while sum(len(w) + 1 for w in slug) < 50:
        slug.append(rng.choice(WORDS))
    return "https://bench.example/section-%d/post-%05d-%s" % (index % SECTIONS + 1, index, "-".join(slug))


def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S+00:00")


def entry(url, lastmod):
    return "<url><loc>%s</loc><lastmod>%s</lastmod><changefreq>monthly</changefreq><priority>0.5</priority></url>\n" % (
        url, lastmod)


def big_entry(url, lastmod, index):
    body = "<url><loc>%s</loc><lastmod>%s</lastmod>" % (url, lastmod)
    images = []
    n = 0
    while len(body) + sum(len(i) for i in images) < BIG_ENTRY_BYTES - 120:
        images.append("<image:image><image:loc>https://bench.example/images/%05d/picture-%d-%s.jpg"
                      "</image:loc></image:image>" % (index, n, WORDS[n % len(WORDS)]))
        n += 1
    return body + "".join(images) + "</url>\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True)
    parser.add_argument("--baseline")
    parser.add_argument("--big")
    parser.add_argument("--count", type=int, default=50000)
    parser.add_argument("--fresh-share", type=float, default=0.01)
    args = parser.parse_args()
    if args.count < 1 or not 0.0 <= args.fresh_share <= 1.0:
        parser.error("--count must be at least 1 and --fresh-share within 0 to 1")

    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    rng = random.Random(SEED)
    fresh = set(rng.sample(range(args.count), round(args.count * args.fresh_share)))
    outputs = [(open(args.out, "w", encoding="utf-8"), "plain", False)]
    if args.baseline:
        outputs.append((open(args.baseline, "w", encoding="utf-8"), "plain", True))
    if args.big:
        outputs.append((open(args.big, "w", encoding="utf-8"), "big", False))
    for out, shape, _ in outputs:
        out.write(HEADER.format(extra=IMAGE_NS if shape == "big" else ""))
    for index in range(args.count):
        url = page_url(index, rng)
        # Months old: 60 to 300 days, the same for a page in every file.
        old = now - datetime.timedelta(days=60 + index % 240, seconds=index % 86400)
        # Within the last day, well inside a one-day maximum age.
        new = now - datetime.timedelta(minutes=5 + index % (20 * 60))
        for out, shape, baseline in outputs:
            lastmod = iso(new if index in fresh and not baseline else old)
            out.write(entry(url, lastmod) if shape == "plain" else big_entry(url, lastmod, index))
    for out, _, _ in outputs:
        out.write(FOOTER)
        out.close()
    print("%d URLs, %d changed within the last day" % (args.count, len(fresh)), file=sys.stderr)


if __name__ == "__main__":
    main()
