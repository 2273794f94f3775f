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
  --truncate-stor N   cut the next N stored files to their first half (at least
                      one byte shorter) on disk, yet answer 226
  --early-close N     for the next N STORs read only part of what the client
                      sent, close the data connection and answer 226; the file
                      keeps what was read
  --cut-stor-at B     close the next STOR's data connection once B bytes of it
                      have arrived and answer 426; the file keeps those bytes
  --refuse-rnto N     answer the next N RNTOs with 550 (-1: every RNTO)
  --refuse-rnto-existing
                      answer RNTO with 550 when the target exists, as servers
                      that will not rename over a file do
  --drop-at CMD[,N]   close the control connection without a reply when CMD
                      arrives, the first time (or the first N times)
  --no-size           answer SIZE with 502, as a server without SIZE does
  --cut-listings N    list no more than N entries of a folder (the first N by
                      name), as servers that stop a listing at a set number do
  --answer VERB[#N]=REPLY
                      answer every VERB (or only the N-th, counted over all
                      sessions from 1) with REPLY instead of carrying it out;
                      may be given more than once
  --max-sessions N    answer "421 Too many connections" and close any control
                      connection beyond N at once (-1: every connection)
  --turn-away REPLY   the greeting of a connection beyond --max-sessions
                      ("530 ..." as proftpd answers)
  --release-delay S   a closed session leaves the count of --max-sessions S
                      seconds later, as a server whose count lags behind
  --reply-delay S     handle every command S seconds after it arrived (other
                      sessions are served meanwhile), as a slow server does
  --seed S            seed of the shares below: with the same seed a stored path
                      meets the same store faults at every run
  --drop-commands P   close the control connection without a reply on this
                      share of the commands after login
  --drop-transfers P  on this share of STORs read part of the data, close the
                      data connection and answer 426
  --refuse-stores P   answer this share of STORs with 550
  --trace FILE        append one line per command received:
                      "<session>\t<reply code>\t<command>" (PASS masked); a
                      connection turned away is traced as "(connect)", a
                      transfer cut short as "(cut) <stored file>"
"""

import argparse
import collections
import hashlib
import logging
import os
import socket
import sys

try:
    from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
    from pyftpdlib.filesystems import AbstractedFS
    from pyftpdlib.handlers import ActiveDTP, DTPHandler, FTPHandler
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
    truncate_stor = 0
    early_close = 0
    cut_stor_at = 0
    refuse_rnto = 0
    refuse_rnto_existing = False
    drop_at = ""
    drop_at_times = 0
    no_size = False
    cut_listings = 0
    answers = {}  # (VERB, N or 0 for every one) -> reply
    verbs_seen = collections.Counter()
    max_sessions = 0
    turn_away = "421 Too many connections."
    turn_away_at_pass = False  # the limit is met at PASS (proftpd's MaxClientsPerHost), not at the greeting
    release_delay = 0.0
    reply_delay = 0.0
    seed = 0
    drop_commands = 0.0
    drop_transfers = 0.0
    refuse_stores = 0.0
    commands = 0
    sessions = 0
    live_sessions = 0
    logged_in_sessions = 0  # with turn_away_at_pass
    trace = None
    # How often each (fault, key) pair has been drawn for; see chance().
    draws = collections.Counter()


def take(name):
    """Uses up one of the counted faults `name`: true while any is left
    (a count of -1 never runs out)."""
    left = getattr(Faults, name)
    if left == 0:
        return False
    if left > 0:
        setattr(Faults, name, left - 1)
    return True


def chance(kind, key, share):
    """True for `share` of the draws. Each draw is a hash of the seed, the
    fault, its key (the command line or stored path) and how often that key
    was drawn for before, so faults keyed by a stored path fall on the same
    files at every run with the same seed, however the sessions of parallel
    workers interleave; a command line shared by many files ("TYPE I") is hit
    wherever the interleaving puts its n-th occurrence."""
    if share <= 0:
        return False
    n = Faults.draws[(kind, key)]
    Faults.draws[(kind, key)] = n + 1
    text = "%d\0%s\0%s\0%d" % (Faults.seed, kind, key, n)
    digest = hashlib.sha256(text.encode("utf8", "surrogateescape")).digest()
    return int.from_bytes(digest[:8], "big") < share * 2.0 ** 64


class StableActiveDTP(ActiveDTP):
    """Active-mode connector that forgets its descriptor once it has handed the
    socket on. pyftpdlib otherwise unregisters the stale number when the session
    later closes the connector, and by then the number may belong to another
    session's socket, which then stops being served."""

    def del_channel(self, map=None):
        super().del_channel(map)
        self._fileno = None


class CuttingDTPHandler(DTPHandler):
    """Data connection that, when its session asks (cut_reply), keeps only
    part of an upload: it reads half of what has arrived at the first read,
    then closes the connection and answers with cut_reply."""

    def enable_receiving(self, type, cmd):
        self.cut_reply = self.cmd_channel.take_cut() if cmd == "STOR" else None
        self.cut_at = self.cmd_channel.take_cut_at() if cmd == "STOR" else 0
        super().enable_receiving(type, cmd)

    def handle_read(self):
        if self.cut_at > 0:
            return self._read_until_cut()
        if not getattr(self, "cut_reply", None):
            return super().handle_read()
        try:
            waiting = self.socket.recv(self.ac_in_buffer_size, socket.MSG_PEEK)
            chunk = self.socket.recv(len(waiting) // 2) if len(waiting) > 1 else b""
        except OSError:
            return self.handle_error()
        self.tot_bytes_received += len(chunk)
        self.file_obj.write(chunk)
        self.cmd_channel._trace(self.cut_reply[:3], "(cut) " + self.file_obj.name)
        self.transfer_finished = self.cut_reply.startswith("226")
        self._resp = (self.cut_reply, logging.debug)
        self.close()

    handle_read_event = handle_read

    def _read_until_cut(self):
        try:
            chunk = self.socket.recv(min(65536, self.cut_at - self.tot_bytes_received))
        except OSError:
            return self.handle_error()
        self.tot_bytes_received += len(chunk)
        self.file_obj.write(chunk)
        if chunk and self.tot_bytes_received < self.cut_at:
            return
        self.file_obj.flush()
        self.cmd_channel._trace("426", "(cut) " + self.file_obj.name)
        self.transfer_finished = False
        self._resp = ("426 Transfer cut by test.", logging.debug)
        self.close()


class CuttingFS(AbstractedFS):
    """Lists at most --cut-listings entries of a folder (LIST, NLST, MLSD)."""

    def listdir(self, path):
        names = super().listdir(path)
        return sorted(names)[:Faults.cut_listings] if Faults.cut_listings > 0 else names


class Authorizer(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        if Faults.refuse_login != 0:
            if Faults.refuse_login > 0:
                Faults.refuse_login -= 1
            raise AuthenticationFailed("Login refused by test.")
        super().validate_authentication(username, password, handler)


class Handler(FTPHandler):
    active_dtp = StableActiveDTP
    abstracted_fs = CuttingFS
    dtp_handler = CuttingDTPHandler
    # Without it small replies wait for delayed ACKs: 40 ms stalls per command.
    tcp_no_delay = True
    # With sendfile on, describing a session whose upload has just closed its
    # file raises (pyftpdlib asks the closed file for its descriptor), and it
    # does so while reporting a client that died mid-transfer: the session is
    # then never let go and the server spins logging the same error. Uploads
    # do not use sendfile anyway.
    use_sendfile = False
    auth_failed_timeout = 0.01
    permit_foreign_addresses = False
    max_login_attempts = 100

    def on_connect(self):
        Faults.sessions += 1
        self._session = Faults.sessions
        self._pending = None
        self._cut = None
        self._cut_at = 0
        self._live = False
        if (Faults.max_sessions != 0 and not Faults.turn_away_at_pass
                and Faults.live_sessions >= max(Faults.max_sessions, 0)):
            self._pending = "(connect)"
            self.respond(Faults.turn_away)
            self.close()
            return
        Faults.live_sessions += 1
        self._live = True

    def close(self):
        if getattr(self, "_logged_in", False):
            self._logged_in = False
            Faults.logged_in_sessions -= 1
        if getattr(self, "_live", False):
            self._live = False
            if Faults.release_delay > 0:
                self.ioloop.call_later(Faults.release_delay, Handler._release)
            else:
                Handler._release()
        super().close()

    @staticmethod
    def _release():
        Faults.live_sessions -= 1

    def take_cut(self):
        cut, self._cut = self._cut, None
        return cut

    def take_cut_at(self):
        cut_at, self._cut_at = self._cut_at, 0
        return cut_at

    def _drop(self, shown):
        self._trace("DROP", shown)
        self.close()

    def _trace(self, code, line):
        if Faults.trace is None:
            return
        text = "%d\t%s\t%s\n" % (self._session, code, line)
        Faults.trace.write(text.encode("utf8", "surrogateescape"))
        Faults.trace.flush()

    def pre_process_command(self, line, cmd, arg):
        if Faults.reply_delay > 0 and not getattr(self, "_delay_over", False):
            # Put off without blocking the IO loop; cancelled if the session closes.
            self.call_later(Faults.reply_delay, self._delayed_command, line, cmd, arg)
            return
        self._delay_over = False
        shown = "PASS ******" if cmd == "PASS" else line
        Faults.commands += 1
        if Faults.drop_after >= 0 and Faults.commands > Faults.drop_after:
            Faults.drop_after = -1
            return self._drop(shown)
        if cmd == Faults.drop_at and take("drop_at_times"):
            return self._drop(shown)
        if self.authenticated and chance("command", line, Faults.drop_commands):
            return self._drop(shown)
        self._pending = shown
        if cmd == "PASS" and Faults.turn_away_at_pass and Faults.max_sessions != 0:
            # Counted as it logs in, as proftpd counts its clients per host.
            if Faults.logged_in_sessions >= max(Faults.max_sessions, 0):
                self.respond(Faults.turn_away)
                return self.close_when_done()
            Faults.logged_in_sessions += 1
            self._logged_in = True
        Faults.verbs_seen[cmd] += 1
        answer = Faults.answers.get((cmd, Faults.verbs_seen[cmd])) or Faults.answers.get((cmd, 0))
        if answer:
            if cmd == "RNTO":
                self._rnfr = None  # as after any RNTO, refused or not
            return self.respond(answer)
        super().pre_process_command(line, cmd, arg)

    def _delayed_command(self, line, cmd, arg):
        self._delay_over = True
        self.pre_process_command(line, cmd, arg)

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
        if take("refuse_stor") or chance("refuse", file, Faults.refuse_stores):
            self.respond("550 STOR refused by test.")
            return None
        if Faults.cut_stor_at > 0:
            self._cut_at, Faults.cut_stor_at = Faults.cut_stor_at, 0
        elif take("early_close"):
            self._cut = "226 Transfer complete."
        elif chance("transfer", file, Faults.drop_transfers):
            self._cut = "426 Transfer dropped by test."
        result = super().ftp_STOR(file, mode)
        if result is None:
            self._cut = None  # refused: the cut stays unused
            self._cut_at = 0
        if result is not None and Faults.stall > 0 and self.data_channel:
            Faults.stall -= 1
            self._stall(self.data_channel)
        return result

    def on_file_received(self, file):
        if Faults.truncate_stor > 0:
            size = os.path.getsize(file)
            if size > 0:
                Faults.truncate_stor -= 1
                os.truncate(file, size // 2)

    def ftp_SIZE(self, path):
        if Faults.no_size:
            self.respond("502 Command not implemented.")
            return None
        return super().ftp_SIZE(path)

    def ftp_RNTO(self, path):
        refused = take("refuse_rnto") or (
            Faults.refuse_rnto_existing and self._rnfr and os.path.lexists(path))
        if refused:
            self._rnfr = None
            self.respond("550 RNTO refused by test.")
            return None
        return super().ftp_RNTO(path)

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


def TlsHandler(cert, key):
    """The fault table's handler demanding TLS on the control and every data
    connection; None without pyOpenSSL, which pyftpdlib's TLS needs."""
    try:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
    except ImportError:
        return None

    class TlsCuttingDTPHandler(CuttingDTPHandler, TLS_DTPHandler):
        pass

    class Tls(Handler, TLS_FTPHandler):
        dtp_handler = TlsCuttingDTPHandler
        certfile = cert
        keyfile = key
        tls_control_required = True
        tls_data_required = True

    return Tls


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
    parser.add_argument("--truncate-stor", type=int, default=0)
    parser.add_argument("--early-close", type=int, default=0)
    parser.add_argument("--cut-stor-at", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--refuse-rnto", type=int, default=0)
    parser.add_argument("--refuse-rnto-existing", action="store_true")
    parser.add_argument("--drop-at", default="")
    parser.add_argument("--no-size", action="store_true")
    parser.add_argument("--cut-listings", type=int, default=0)
    parser.add_argument("--answer", action="append", default=[])
    parser.add_argument("--max-sessions", type=int, default=0)
    parser.add_argument("--turn-away", default="421 Too many connections.")
    parser.add_argument("--turn-away-at-pass", action="store_true")
    parser.add_argument("--release-delay", type=float, default=0.0)
    parser.add_argument("--reply-delay", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--drop-commands", type=float, default=0.0)
    parser.add_argument("--drop-transfers", type=float, default=0.0)
    parser.add_argument("--refuse-stores", type=float, default=0.0)
    args = parser.parse_args()

    for name in ("refuse_login", "drop_after", "refuse_stor", "stall", "stall_seconds",
                 "refuse_mkd", "truncate_stor", "early_close", "cut_stor_at", "refuse_rnto",
                 "refuse_rnto_existing", "no_size", "cut_listings", "max_sessions", "turn_away", "turn_away_at_pass",
                 "release_delay",
                 "reply_delay", "seed",
                 "drop_commands", "drop_transfers", "refuse_stores"):
        setattr(Faults, name, getattr(args, name))
    if args.drop_at:
        command, _, times = args.drop_at.partition(",")
        Faults.drop_at = command.strip().upper()
        Faults.drop_at_times = int(times) if times else 1
    for answer in args.answer:
        verb, _, reply = answer.partition("=")
        verb, _, nth = verb.partition("#")
        Faults.answers[(verb.upper(), int(nth or 0))] = reply
    if args.trace:
        Faults.trace = open(args.trace, "ab")

    logging.basicConfig(level=logging.WARNING)
    authorizer = Authorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root),
                        perm="elradfmwMT")
    handler = Handler
    if args.tls_cert:
        handler = TlsHandler(args.tls_cert, args.tls_key)
        if handler is None:
            print("missing python3-openssl", flush=True)
            return 3
    handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", args.port), handler)
    server.max_cons = 256
    print(server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    sys.exit(main())
