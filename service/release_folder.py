#!/usr/bin/env python3
"""Writes one flavour's release folder as the update service reads it (README.md in this
folder): the module, its news, release.ini, and the answer file that nginx sends.

Everything that lays out a release (packaging, publishing, the demo, the benchmarks, the
tests) writes it here, so the format has one writer beside its one reader (update_app.py).

    python3 service/release_folder.py RELEASES --build N --module FILE
                                      [--version LABEL] [--news-file FILE]

makes RELEASES/w7 (builds ending in 1) or RELEASES/xp (in 2), unsigned. release.ini and the
answer file are written whole, then renamed: a caller may poll for release.ini.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import update_app  # noqa: E402  (beside this script)

FLAVOURS = update_app.FLAVOURS


def write_whole(path, data):
    with open(path + ".tmp", "wb") as file:
        file.write(data)
    os.replace(path + ".tmp", path)


def write_release(folder, build, module, version, news=None, *, suffix=None, signature=None,
                  public_key=None, fields=None):
    """The flavour folder `folder` for `build`: module bytes, news text (None: no news file),
    the signature and key when signed. `fields` adds or replaces release.ini lines as
    they are (tests write broken releases through it). Returns the folder."""
    suffix = suffix or str(build)[-1]
    deliverable = FLAVOURS.get(suffix, ("", "Murmelon"))[1]
    ini = {"build": str(build), "suffix": suffix, "version": version, "module": deliverable + ".asi"}
    if news is not None:
        ini["news"] = "news.txt"
    if signature or public_key:
        ini.update(deliverable=deliverable, public_key=public_key or "", signature=signature or "")
    ini.update(fields or {})
    os.makedirs(folder, exist_ok=True)
    write_whole(os.path.join(folder, ini["module"]), module)
    if news is not None:
        write_whole(os.path.join(folder, "news.txt"), news.encode("utf-8") if isinstance(news, str) else news)
    write_whole(os.path.join(folder, "release.ini"),
                ("[release]\n" + "".join(f"{k} = {v}\n" for k, v in ini.items())).encode("utf-8"))
    write_answer(folder)
    return folder


def write_answer(folder):
    """The whole update answer of the folder's release, which nginx sends from disk; none
    for a folder the service would refuse (the service serves nothing from it anyway)."""
    path = os.path.join(folder, update_app.ANSWER_FILE)
    if os.path.lexists(path):
        os.remove(path)
    try:
        release = update_app.Release(folder)
    except (update_app.ReleaseError, OSError):
        return
    write_whole(path, release.answer_head + release.module)


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
