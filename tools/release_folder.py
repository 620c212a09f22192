#!/usr/bin/env python3
"""Writes one flavour's release folder, unsigned, as the update service reads it
(server/README.md), for the demo, the benchmarks and the scenarios:

    python3 tools/release_folder.py RELEASES --build N --module FILE
                                    [--version LABEL] [--news-file FILE]

makes RELEASES/w7 (builds ending in 1) or RELEASES/xp (in 2) with murmelon_update's own
writer (server/ on PYTHONPATH). release.ini and the answer file are written whole, then
renamed: a caller may poll for release.ini.
"""

import argparse
import os
import sys

from murmelon_update.release import FLAVOURS, write_release


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("releases")
    parser.add_argument("--build", type=int, required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--version", default="dev")
    parser.add_argument("--news-file")
    args = parser.parse_args()
    suffix = str(args.build)[-1]
    if suffix not in FLAVOURS:
        sys.exit(f"release_folder: build {args.build} ends in neither 1 (w7) nor 2 (xp)")
    news = None
    if args.news_file:
        with open(args.news_file, "rb") as file:
            news = file.read()
    with open(args.module, "rb") as file:
        module = file.read()
    write_release(os.path.join(args.releases, FLAVOURS[suffix][0]), args.build, module, args.version, news)


if __name__ == "__main__":
    main()
