#!/usr/bin/python3
"""SSH + SFTP test server on 127.0.0.1 for the end-to-end tests.

Binds port 0 and prints one line "VELUNOR-ASYNCSSH-READY port=<n>" on stdout once it listens;
the test fixture waits for that line and stops the process by its pid. Every algorithm list
defaults to everything this asyncssh can do, old ones included, so the client picks; a test
narrows a list to force one algorithm. SFTP is served with the root given by --sftp-root as /.
"""

import argparse
import asyncio
import logging
import os
import sys
import warnings

warnings.simplefilter("ignore")  # the old ciphers we switch on raise deprecation warnings

import asyncssh  # noqa: E402
from asyncssh.compression import get_compression_algs  # noqa: E402
from asyncssh.encryption import get_encryption_algs  # noqa: E402
from asyncssh.kex import get_kex_algs  # noqa: E402
from asyncssh.mac import get_mac_algs  # noqa: E402
from asyncssh.public_key import get_public_key_algs  # noqa: E402

READY = "VELUNOR-ASYNCSSH-READY"
METHODS = ("none", "password", "keyboard-interactive", "publickey")


def names(text):
    return [n for n in text.split(",") if n] if text else []


def available(getter):
    return [n.decode("ascii") for n in getter() if not n.decode("ascii").startswith("gss-")]


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--host-key", action="append", required=True, help="private host key file (repeatable)")
    p.add_argument("--sftp-root", required=True)
    p.add_argument("--encryption", default="")
    p.add_argument("--mac", default="")
    p.add_argument("--kex", default="")
    p.add_argument("--compression", default="")
    p.add_argument("--signature", default="", help="signature algorithms accepted for publickey auth")
    p.add_argument("--auth", default="password,keyboard-interactive,publickey",
                   help="comma list of: " + ", ".join(METHODS))
    p.add_argument("--username", default="velunortest")
    p.add_argument("--password", default="")
    p.add_argument("--authorized-keys", default="", help="file read again at every login")
    p.add_argument("--kbd-name", default="")
    p.add_argument("--kbd-instructions", default="")
    p.add_argument("--kbd-prompt", action="append", default=[])
    p.add_argument("--kbd-echo", action="append", default=[], help="0 or 1 per prompt")
    p.add_argument("--kbd-answer", action="append", default=[])
    p.add_argument("--rekey-bytes", type=int, default=0)
    p.add_argument("--banner-file", default="")
    p.add_argument("--log-level", default="INFO")
    a = p.parse_args()
    for m in names(a.auth):
        if m not in METHODS:
            p.error("unknown auth method " + m)
    if not (len(a.kbd_prompt) == len(a.kbd_echo) == len(a.kbd_answer)):
        p.error("--kbd-prompt, --kbd-echo and --kbd-answer must come in threes")
    return a


class TestServer(asyncssh.SSHServer):
    def __init__(self, args):
        self.args = args
        self.methods = set(names(args.auth))
        self.banner = ""
        if args.banner_file:
            with open(args.banner_file, encoding="utf-8") as f:
                self.banner = f.read()
        self.conn = None

    def connection_made(self, conn):
        self.conn = conn

    def begin_auth(self, username):
        if self.banner:
            self.conn.send_auth_banner(self.banner)
        if "publickey" in self.methods and self.args.authorized_keys:
            # Read again per login so a test can add keys after the server started.
            # asyncssh refuses a file without entries; then no key is accepted.
            try:
                self.conn.set_authorized_keys(self.args.authorized_keys)
            except (OSError, ValueError):
                self.conn.set_authorized_keys(None)
        return "none" not in self.methods

    def password_auth_supported(self):
        return "password" in self.methods

    def validate_password(self, username, password):
        return username == self.args.username and password == self.args.password

    def kbdint_auth_supported(self):
        return "keyboard-interactive" in self.methods

    def get_kbdint_challenge(self, username, lang, submethods):
        prompts = [(t, e == "1") for t, e in zip(self.args.kbd_prompt, self.args.kbd_echo)]
        if not prompts:
            prompts = [("Password: ", False)]
        return self.args.kbd_name, self.args.kbd_instructions, "", prompts

    def validate_kbdint_response(self, username, responses):
        answers = self.args.kbd_answer or [self.args.password]
        return username == self.args.username and list(responses) == answers

    def public_key_auth_supported(self):
        return "publickey" in self.methods


async def serve(args):
    enc = names(args.encryption) or available(get_encryption_algs)
    mac = names(args.mac) or available(get_mac_algs)
    kex = names(args.kex) or available(get_kex_algs)
    comp = names(args.compression) or available(get_compression_algs)
    sig = names(args.signature) or available(get_public_key_algs)
    root = os.path.realpath(args.sftp_root).encode()
    options = dict(
        host="127.0.0.1",
        port=0,
        server_host_keys=args.host_key,
        server_factory=lambda: TestServer(args),
        sftp_factory=lambda chan: asyncssh.SFTPServer(chan, chroot=root),
        encryption_algs=enc,
        mac_algs=mac,
        kex_algs=kex,
        compression_algs=comp,
        signature_algs=sig,
        allow_scp=False,
    )
    if args.rekey_bytes > 0:
        options["rekey_bytes"] = args.rekey_bytes
    server = await asyncssh.listen(**options)
    port = server.sockets[0].getsockname()[1]
    logging.info("encryption %s; mac %s; kex %s; compression %s", enc, mac, kex, comp)
    print("%s port=%d" % (READY, port), flush=True)
    await server.wait_closed()


def main():
    args = parse_args()
    logging.basicConfig(stream=sys.stderr, level=getattr(logging, args.log_level.upper(), logging.INFO),
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    asyncssh.set_log_level(logging.getLogger().level)
    # At DEBUG every key exchange shows as "Beginning key exchange", which rekey tests count.
    asyncssh.set_debug_level(1)
    try:
        asyncio.run(serve(args))
    except (OSError, asyncssh.Error, ValueError) as e:
        print("asyncssh_server: %s" % e, file=sys.stderr, flush=True)
        sys.exit(2)


if __name__ == "__main__":
    main()
