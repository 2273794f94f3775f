#!/usr/bin/python3
"""FTP server for the tests: pyftpdlib on 127.0.0.1 with faults on request.

Serves one account on a root folder, prints its port on stdout once it accepts
connections, and runs until it is killed. Faults are asked for on the command
line, so a test can see how the client copes with a server that misbehaves:

  --refuse-login N    refuse the next N logins (-1: every login)
  --drop-after N      after N commands (counted over all sessions), close the
                      control connection on the next command without a reply; once
  --refuse-stor N     answer the next N STOR commands with 550
  --stall N           take the data connection of the next N STORs but read no
                      byte of it for --stall-seconds, then close it
  --refuse-mkd        answer every MKD with 550
  --trace FILE        append one line per command received:
                      "<session>\t<reply code>\t<command>" (PASS masked)
"""

import argparse
import logging
import os
import sys

try:
    from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
    from pyftpdlib.handlers import ActiveDTP, FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError:
    # The test fixture reads this line and skips instead of failing.
    print("missing python3-pyftpdlib", flush=True)
    sys.exit(3)


class Faults:
    refuse_login = 0
    drop_after = -1
    refuse_stor = 0
    stall = 0
    stall_seconds = 0.0
    refuse_mkd = False
    commands = 0
    sessions = 0
    trace = None


class StableActiveDTP(ActiveDTP):
    """Active-mode connector that forgets its descriptor once it has handed the
    socket on. pyftpdlib otherwise unregisters the stale number when the session
    later closes the connector, and by then the number may belong to another
    session's socket, which then stops being served."""

    def del_channel(self, map=None):
        super().del_channel(map)
        self._fileno = None


class Authorizer(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        if Faults.refuse_login != 0:
            if Faults.refuse_login > 0:
                Faults.refuse_login -= 1
            raise AuthenticationFailed("Login refused by test.")
        super().validate_authentication(username, password, handler)


class Handler(FTPHandler):
    active_dtp = StableActiveDTP
    auth_failed_timeout = 0.01
    permit_foreign_addresses = False
    max_login_attempts = 100

    def on_connect(self):
        Faults.sessions += 1
        self._session = Faults.sessions
        self._pending = None

    def _trace(self, code, line):
        if Faults.trace is None:
            return
        text = "%d\t%s\t%s\n" % (self._session, code, line)
        Faults.trace.write(text.encode("utf8", "surrogateescape"))
        Faults.trace.flush()

    def pre_process_command(self, line, cmd, arg):
        shown = "PASS ******" if cmd == "PASS" else line
        Faults.commands += 1
        if Faults.drop_after >= 0 and Faults.commands > Faults.drop_after:
            Faults.drop_after = -1
            self._trace("DROP", shown)
            self.close()
            return
        self._pending = shown
        super().pre_process_command(line, cmd, arg)

    def respond(self, resp, logfun=None):
        if self._pending is not None:
            self._trace(resp[:3], self._pending)
            self._pending = None
        if logfun is None:
            super().respond(resp)
        else:
            super().respond(resp, logfun)

    def ftp_MKD(self, path):
        if Faults.refuse_mkd:
            self.respond("550 MKD refused by test.")
            return None
        return super().ftp_MKD(path)

    def ftp_STOR(self, file, mode="w"):
        if Faults.refuse_stor > 0:
            Faults.refuse_stor -= 1
            self.respond("550 STOR refused by test.")
            return None
        result = super().ftp_STOR(file, mode)
        if result is not None and Faults.stall > 0 and self.data_channel:
            Faults.stall -= 1
            self._stall(self.data_channel)
        return result

    def _stall(self, channel):
        # Stop reading the data connection without blocking the IO loop, so
        # that other sessions (a retry, say) are served meanwhile; then drop it
        # unread, so the stalled transfer never writes over a later one.
        channel.del_channel()

        def drop():
            if not channel._closed:
                channel.add_channel(events=self.ioloop.READ)
                channel._resp = ("426 Stalled transfer dropped by test.",
                                 logging.debug)
                channel.close()
        self.ioloop.call_later(Faults.stall_seconds, drop,
                               _errback=self.handle_error)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", default="tester")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--trace")
    parser.add_argument("--refuse-login", type=int, default=0)
    parser.add_argument("--drop-after", type=int, default=-1)
    parser.add_argument("--refuse-stor", type=int, default=0)
    parser.add_argument("--stall", type=int, default=0)
    parser.add_argument("--stall-seconds", type=float, default=5.0)
    parser.add_argument("--refuse-mkd", action="store_true")
    args = parser.parse_args()

    Faults.refuse_login = args.refuse_login
    Faults.drop_after = args.drop_after
    Faults.refuse_stor = args.refuse_stor
    Faults.stall = args.stall
    Faults.stall_seconds = args.stall_seconds
    Faults.refuse_mkd = args.refuse_mkd
    if args.trace:
        Faults.trace = open(args.trace, "ab")

    logging.basicConfig(level=logging.WARNING)
    authorizer = Authorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root),
                        perm="elradfmwMT")
    Handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 256
    print(server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    sys.exit(main())
