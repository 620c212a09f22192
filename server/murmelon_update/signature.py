"""Ed25519 signatures of releases through the openssl command (the service links nothing
but Python's standard library). What is signed and read passes through descriptors of
files in memory, never through the temporary folder."""

import base64
import os
import subprocess

from . import files

ED25519_PUBLIC_DER_PREFIX = bytes.fromhex("302a300506032b6570032100")
OPENSSL_SECONDS = 30


class SignatureError(Exception):
    pass


def public_key_pem(public_hex):
    der = ED25519_PUBLIC_DER_PREFIX + bytes.fromhex(public_hex)
    return b"-----BEGIN PUBLIC KEY-----\n" + base64.b64encode(der) + b"\n-----END PUBLIC KEY-----\n"


def openssl(arguments, inputs, what):
    """(exit status, output) of openssl with each of inputs ({name: bytes}) put where
    arguments say "{name}" (as /dev/fd/N)."""
    fds = {}
    try:
        for name, data in inputs.items():
            fds[name] = files.memory_file(name, data)
        named = {"{" + name + "}": f"/dev/fd/{fd}" for name, fd in fds.items()}
        command = ["openssl", *(named.get(argument, argument) for argument in arguments)]
        result = subprocess.run(command, pass_fds=list(fds.values()), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=OPENSSL_SECONDS)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise SignatureError(f"cannot run openssl to {what}: {error}") from None
    finally:
        for fd in fds.values():
            os.close(fd)
    return result.returncode, result.stdout, result.stderr.decode("utf-8", "replace").strip()


def verify(public_hex, message, signature_hex):
    """True when the signature verifies under the key."""
    status, _, _ = openssl(["pkeyutl", "-verify", "-pubin", "-inkey", "{key}", "-rawin", "-in", "{message}",
                            "-sigfile", "{signature}"],
                           {"key": public_key_pem(public_hex), "message": message,
                            "signature": bytes.fromhex(signature_hex)}, "check the signature")
    return status == 0


def public_key_hex(key_path):
    """The public half of an Ed25519 private key file (PEM), as 64 hex digits."""
    if not key_path or not os.path.isfile(key_path):
        raise SignatureError("a signing key is needed: --key FILE (make one with "
                             "`openssl genpkey -algorithm ed25519 -out key.pem`; keep it out of the repository)")
    status, der, said = openssl(["pkey", "-in", key_path, "-pubout", "-outform", "DER"], {}, "read the key")
    if status != 0 or len(der) != 44 or not der.startswith(ED25519_PUBLIC_DER_PREFIX):
        raise SignatureError(f"{key_path} is not an Ed25519 private key ({said or 'openssl said nothing'})")
    return der[-32:].hex()


def sign(key_path, message):
    """The signature of message by the key file, as 128 hex digits."""
    status, signature, said = openssl(["pkeyutl", "-sign", "-rawin", "-inkey", key_path, "-in", "{message}"],
                                      {"message": message}, "sign")
    if status != 0 or len(signature) != 64:
        raise SignatureError(f"openssl gave no Ed25519 signature: {said or f'{len(signature)} bytes'}")
    return signature.hex()
