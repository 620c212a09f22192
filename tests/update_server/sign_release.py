#!/usr/bin/env python3
"""Signs a module for the update tests as a release is signed: the message

    murmelon-update-v1\\n<deliverable>\\n<build>\\n<module size>\\n<module SHA-256 hex>\\n

signed with Ed25519 by the openssl command line tool. Writes the signature as 128
lower-case hex digits to --out (whole, then renamed: a caller may be polling for it)."""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--key", required=True, help="Ed25519 private key (PEM)")
    parser.add_argument("--module", required=True)
    parser.add_argument("--deliverable", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.module, "rb") as file:
        module = file.read()
    message = "murmelon-update-v1\n%s\n%s\n%d\n%s\n" % (
        args.deliverable, args.build, len(module), hashlib.sha256(module).hexdigest())
    with tempfile.NamedTemporaryFile(delete=False) as file:
        file.write(message.encode("ascii"))
    try:
        signature = subprocess.run(
            ["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", args.key, "-in", file.name],
            check=True, capture_output=True, timeout=30).stdout
    finally:
        os.unlink(file.name)
    if len(signature) != 64:
        sys.exit("sign_release: openssl gave %d bytes, not 64" % len(signature))
    with open(args.out + ".tmp", "w") as out:
        out.write(signature.hex())
    os.replace(args.out + ".tmp", args.out)


if __name__ == "__main__":
    main()
