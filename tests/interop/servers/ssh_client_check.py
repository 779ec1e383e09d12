#!/usr/bin/python3
"""Logs in to an SSH server on 127.0.0.1 and opens SFTP, to prove a test server works without
the client under test. Prints what it saw, one "KEY value" per line:

  HOSTKEY <algorithm> <md5 hex without MD5:>
  NEGOTIATED cipher=<c> mac=<m> compression=<z>
  AUTH-OK
  WRITE OK               (--write-bytes: the file written over SFTP read back the same)
  LIST <name>            (one per entry of --list, sorted)

Exit status 0 on success, 1 when authentication is refused, 2 on any other failure. Every step
is bounded by --timeout.
"""

import argparse
import asyncio
import os
import sys
import warnings

warnings.simplefilter("ignore")

import asyncssh  # noqa: E402


def names(text):
    return [n for n in text.split(",") if n] if text else ()


class Client(asyncssh.SSHClient):
    def __init__(self, answers):
        self.answers = answers
        self.kbdint_tried = False

    def kbdint_auth_requested(self):
        # One round only: a refused answer is the result, not a reason to ask again.
        if self.kbdint_tried:
            return None
        self.kbdint_tried = True
        return ""

    def kbdint_challenge_received(self, name, instructions, lang, prompts):
        if not prompts:
            return []
        return list(self.answers[:len(prompts)])


async def run(a):
    options = dict(
        host="127.0.0.1",
        port=a.port,
        username=a.username,
        known_hosts=None,
        agent_path=None,
        client_keys=[a.key] if a.key else None,
        password=a.password or None,
        preferred_auth=a.method,
        client_factory=lambda: Client(a.answer or [a.password]),
    )
    for opt, text in (("encryption_algs", a.encryption), ("mac_algs", a.mac), ("kex_algs", a.kex),
                      ("compression_algs", a.compression), ("server_host_key_algs", a.host_key_alg)):
        if names(text):
            options[opt] = names(text)
    async with asyncssh.connect(**options) as conn:
        key = conn.get_server_host_key()
        print("HOSTKEY %s %s" % (key.get_algorithm(), key.get_fingerprint("md5").split(":", 1)[1]))
        print("NEGOTIATED cipher=%s mac=%s compression=%s" % (
            conn.get_extra_info("send_cipher"), conn.get_extra_info("send_mac"),
            conn.get_extra_info("send_compression")))
        print("AUTH-OK", flush=True)
        if a.write_bytes > 0:
            # Enough traffic to cross a small rekey limit (compressed or not); read back to see it arrived whole.
            data = os.urandom(a.write_bytes)  # incompressible, so the wire carries all of it
            async with conn.start_sftp_client() as sftp:
                path = (a.list or ".").rstrip("/") + "/velunor-check.bin"
                async with sftp.open(path, "wb") as f:
                    await f.write(data)
                async with sftp.open(path, "rb") as f:
                    back = await f.read()
                await sftp.remove(path)
            print("WRITE %s" % ("OK" if back == data else "MISMATCH"))
        if a.list is not None:
            async with conn.start_sftp_client() as sftp:
                for name in sorted(await sftp.listdir(a.list)):
                    if name not in (".", ".."):
                        print("LIST %s" % name)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--username", required=True)
    p.add_argument("--method", default="password",
                   help="password, keyboard-interactive, publickey or none")
    p.add_argument("--password", default="")
    p.add_argument("--key", default="", help="private key file for publickey")
    p.add_argument("--answer", action="append", default=[], help="keyboard-interactive answers in order")
    p.add_argument("--encryption", default="")
    p.add_argument("--mac", default="")
    p.add_argument("--kex", default="")
    p.add_argument("--compression", default="")
    p.add_argument("--host-key-alg", default="")
    p.add_argument("--list", default=None, help="SFTP directory to list after login")
    p.add_argument("--write-bytes", type=int, default=0, help="write, read back and remove a file of this size")
    p.add_argument("--timeout", type=float, default=30)
    a = p.parse_args()
    if a.method == "none":
        a.method = "publickey"  # with no key offered, only a server that needs no auth lets us in
    try:
        asyncio.run(asyncio.wait_for(run(a), a.timeout))
    except asyncssh.PermissionDenied as e:
        print("AUTH-REFUSED %s" % e, flush=True)
        sys.exit(1)
    except (OSError, asyncssh.Error, asyncio.TimeoutError) as e:
        print("ERROR %s: %s" % (type(e).__name__, e), flush=True)
        sys.exit(2)


if __name__ == "__main__":
    main()
