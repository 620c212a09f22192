#!/usr/bin/env python3
"""Writes the seed corpus of the update answer fuzz target into seeds/.

Each seed: [flags][n][n little-endian 16-bit piece lengths][stream]; flags bit 0 makes
the search case-sensitive (no engine library), bit 1 runs the whole exchange, bit 2 with a
release key built in. A piece
length of 0 is a receive that timed out. Run again after changing a seed here.
"""
import hashlib
import os
import struct

HEAD = b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n"
MODULE = b"MZ\x90\x00\x03\x00\x00\x00\x04\x00\x00\x00\xff\xffPE\x00\x00" + bytes(range(256)) * 4
DIGEST = hashlib.md5(MODULE).hexdigest().encode()


SIGNED = b"BUILD:51091SIGNATURE:" + b"0123456789abcdef" * 8


def offer(save=b"Murmelon_W_7_D.asi.new", digest=DIGEST, news=b"\xd0\x9d\xd0\xbe\xd0\xb2\xd0\xbe\xd0\xb5.\r\n",
          version=b"1.1 (Sep 02 2013)", module=MODULE, keys=(b"SAVETO:", b"MD5:", b"WHATNEW:", b"VERSION:", b"DATA:"),
          signed=b""):
    s, m, w, v, d = keys
    return HEAD + signed + s + save + m + digest + w + news + v + version + d + module


def seed(stream, cuts=(), case_sensitive=False, exchange=False, keyed=False):
    """cuts: offsets in stream where a piece ends; None stands for a timed-out receive."""
    lengths, last = [], 0
    for cut in cuts:
        if cut is None:
            lengths.append(0)
        else:
            lengths.append(cut - last)
            last = cut
    flags = (1 if case_sensitive else 0) | (2 if exchange else 0) | (4 if keyed else 0)
    return bytes([flags, len(lengths)]) + b"".join(struct.pack("<H", n) for n in lengths) + stream


def at(stream, text, delta=0):
    return stream.index(text) + delta


full = offer()
SEEDS = {
    "empty": b"",
    "latest": seed(HEAD + b"LATEST_VERSION"),
    "future_lower_case": seed(HEAD + b"future_version"),
    "error_in_reason_phrase": seed(b"HTTP/1.0 500 Internal Server Error\r\n\r\n"),
    "latest_split_in_three": seed(HEAD + b"LATEST_VERSION", cuts=(len(HEAD) + 3, len(HEAD) + 9)),
    "update_data_split": seed(full, cuts=(at(full, b"DATA:", 2), at(full, b"DATA:", 5) + 10)),
    "update_every_key_split": seed(full, cuts=tuple(at(full, k, 3) for k in (b"SAVETO:", b"MD5:", b"WHATNEW:", b"VERSION:", b"DATA:"))),
    "exchange_verified": seed(full, cuts=(at(full, b"DATA:", 2),), exchange=True),
    "exchange_upper_case_digest": seed(offer(digest=DIGEST.upper()), exchange=True),
    "exchange_digest_then_blank": seed(offer(digest=DIGEST + b"\r\n"), exchange=True),
    "exchange_download_timed_out": seed(full, cuts=(at(full, b"DATA:", 40), None), exchange=True),
    "exchange_answer_timed_out": seed(HEAD + b"LATEST_VERSION", cuts=(10, None), exchange=True),
    "missing_version": seed(offer(keys=(b"SAVETO:", b"MD5:", b"WHATNEW:", b"VERSIO:", b"DATA:"))),
    "missing_saveto": seed(offer(keys=(b"SAVE:", b"MD5:", b"WHATNEW:", b"VERSION:", b"DATA:")), exchange=True),
    "content_md5_header_first": seed(b"HTTP/1.0 200 OK\r\nContent-MD5: abc\r\n\r\n" + offer()[len(HEAD):]),
    "keys_in_mixed_case": seed(offer(keys=(b"SaveTo:", b"Md5:", b"WhatNew:", b"Version:", b"Data:")), exchange=True),
    "lower_case_keys_without_engine": seed(offer(keys=(b"saveto:", b"md5:", b"whatnew:", b"version:", b"data:")), case_sensitive=True),
    "zero_byte_before_verdict": seed(HEAD + b"\x00LATEST_VERSION", exchange=True),
    "zero_bytes_in_values": seed(offer(news=b"a\x00b", version=b"\x00"), exchange=True),
    # Two large pieces rather than receive-sized ones: each piece tests the whole answer.
    "huge_news_past_cap": seed(offer(news=b"n" * 70000), cuts=(65535, 71000)),
    "huge_save_name": seed(offer(save=b"a" * 300), exchange=True),
    "save_name_leaves_folder": seed(offer(save=b"..\\hw.dll"), exchange=True),
    "save_name_device": seed(offer(save=b"NUL.asi"), exchange=True),
    "save_name_staging": seed(offer(save=b"STUFFTATA.BTZ"), exchange=True),
    "save_name_stream": seed(offer(save=b"x.asi:zone"), exchange=True),
    "empty_values": seed(offer(save=b"", digest=b"", news=b"", version=b"", module=b"")),
    "data_only": seed(b"DATA:" + MODULE, exchange=True),
    "verdict_inside_news": seed(offer(news=b"see latest_version"), exchange=True),
    "signed_offer": seed(offer(signed=SIGNED), cuts=(at(offer(signed=SIGNED), b"SIGNATURE:", 4),)),
    "signed_offer_keys_after_saveto": seed(offer(save=b"m.new" + SIGNED), exchange=True),
    "build_without_signature": seed(offer(signed=b"Build:51091")),
    "exchange_keyed_signed_offer": seed(offer(signed=SIGNED), exchange=True, keyed=True),
    "exchange_keyed_unsigned_offer": seed(offer(), exchange=True, keyed=True),
}

if __name__ == "__main__":
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as file:
            file.write(data)
    print(f"{len(SEEDS)} seeds in {folder}")
