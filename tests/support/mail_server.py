#!/usr/bin/python3
"""A small SMTP server that delivers into Maildirs, for tests and for trying
two peers on one machine.

It is Debian's aiosmtpd (package python3-aiosmtpd) with a handler of ours:
every recipient's mail is written into that recipient's Maildir — into tmp/,
flushed, then renamed into new/ — before the server answers 250, so a client
that got 250 can rely on the file being there. Recipients with no Maildir
are refused at RCPT TO (550).

Where mail goes:
  --mailbox ADDRESS=MAILDIR   (repeatable) this address goes into MAILDIR
  --maildir-root DIR          any other address goes into DIR/<address>/

When it listens it prints "READY <port>" on a line of its own (with --port
0 the system picks a free port). SIGTERM or SIGINT stop it.

Run it with Debian's own Python, /usr/bin/python3: another Python earlier on
the PATH may lack aiosmtpd.
"""

import argparse
import asyncio
import os
import signal
import socket
import ssl
import sys
import time
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# Plain AUTH on 127.0.0.1 is what the tests want; aiosmtpd warns about it.
warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")


class MaildirDelivery:
    """The aiosmtpd handler: maps recipients to Maildirs and delivers."""

    def __init__(self, mailboxes, root):
        self.mailboxes = {address.lower(): path for address, path in mailboxes.items()}
        self.root = root
        self.counter = 0

    def maildir_of(self, address):
        address = address.strip().lower()
        if address in self.mailboxes:
            return self.mailboxes[address]
        if self.root and "/" not in address and address not in ("", ".", ".."):
            return os.path.join(self.root, address)
        return None

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.maildir_of(address) is None:
            return "550 5.1.1 <%s>: no such mailbox" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        # SMTP carries CR LF; a Maildir file has the system's line ends.
        body = envelope.original_content.replace(b"\r\n", b"\n")
        for address in envelope.rcpt_tos:
            header = ("Return-Path: <%s>\nDelivered-To: %s\n" % (envelope.mail_from, address)).encode()
            self.deliver(self.maildir_of(address), header + body)
        return "250 OK delivered"

    def deliver(self, maildir, data):
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        self.counter += 1
        now = time.time()
        name = "%d.M%dP%dQ%d.%s" % (int(now), int((now % 1) * 1e6), os.getpid(), self.counter,
                                    socket.gethostname().replace("/", "\\057").replace(":", "\\072"))
        temporary = os.path.join(maildir, "tmp", name)
        with open(temporary, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.rename(temporary, os.path.join(maildir, "new", name))


class OneUser:
    """Accepts one user name and password (AUTH PLAIN or LOGIN)."""

    def __init__(self, user, password):
        self.user = user.encode()
        self.password = password.encode()

    def __call__(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == self.user
              and auth_data.password == self.password)
        # handled=False: aiosmtpd answers 535 itself.
        return AuthResult(success=ok, handled=False)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--mailbox", action="append", default=[], metavar="ADDRESS=MAILDIR")
    parser.add_argument("--maildir-root", metavar="DIR")
    parser.add_argument("--security", choices=("none", "starttls", "smtps"), default="none")
    parser.add_argument("--cert", help="PEM certificate for starttls or smtps")
    parser.add_argument("--key", help="PEM private key for starttls or smtps")
    parser.add_argument("--auth-user", help="require AUTH with this user name")
    parser.add_argument("--auth-password-file", help="the password for --auth-user (first line)")
    arguments = parser.parse_args()
    if arguments.security != "none" and not (arguments.cert and arguments.key):
        parser.error("--security %s needs --cert and --key" % arguments.security)
    if arguments.auth_user and not arguments.auth_password_file:
        parser.error("--auth-user needs --auth-password-file")
    return arguments


def main():
    arguments = parse_arguments()
    mailboxes = {}
    for entry in arguments.mailbox:
        address, _, path = entry.partition("=")
        if not address or not path:
            sys.exit("--mailbox wants ADDRESS=MAILDIR, not %r" % entry)
        mailboxes[address] = os.path.abspath(path)
    root = os.path.abspath(arguments.maildir_root) if arguments.maildir_root else None
    handler = MaildirDelivery(mailboxes, root)

    tls = None
    if arguments.security != "none":
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(arguments.cert, arguments.key)

    options = {}
    if arguments.auth_user:
        with open(arguments.auth_password_file) as f:
            password = f.readline().rstrip("\r\n")
        options.update(authenticator=OneUser(arguments.auth_user, password), auth_required=True,
                       auth_require_tls=arguments.security != "none")
    if arguments.security == "starttls":
        options.update(tls_context=tls, require_starttls=True)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def protocol():
        return SMTP(handler, hostname="lintrove-test", **options)

    server = loop.run_until_complete(loop.create_server(
        protocol, host=arguments.host, port=arguments.port,
        ssl=tls if arguments.security == "smtps" else None))
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, loop.stop)
    print("READY %d" % server.sockets[0].getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()
        loop.run_until_complete(server.wait_closed())
        loop.close()


if __name__ == "__main__":
    main()
