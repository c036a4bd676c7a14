#!/usr/bin/env python3
"""kerval-postfix behind a real Postfix: a throwaway instance of its own.

The instance lives in a temporary directory (its own configuration, queue, data
and command directories), listens on 127.0.0.1 on a free high port only, hands
every message received over SMTP to kerval-postfix through pipe(8) as an
after-queue content filter, and delivers into Maildir folders in the temporary
directory; nothing is relayed anywhere. The stand-in kervald is the daemon.
The filter runs as the system account kvfilter: when the machine has none, the
test creates it, says so, and removes it (with its group) at the end.

Exit status: 0 passed, 1 failed, 77 skipped (not root, so no Postfix to start).
"""
import argparse
import grp
import os
import re
import pwd
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
from email import message_from_bytes

SKIP = 77
FILTER_USER = "kvfilter"
DOMAIN = "example.test"
MAILBOXES = ("alice", "bob", "admin")
EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")
WAIT = 30  # seconds for anything the mail system does


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*argv, check=True, **kwargs):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    if check and result.returncode != 0:
        raise Failure(f"{' '.join(argv)} exited {result.returncode}:\n{result.stdout}")
    return result


def wait_for(what, predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise Failure(f"timed out waiting for {what}")


def ensure_filter_user():
    """The filter's account; True when this run created it (and must remove it)."""
    try:
        pwd.getpwnam(FILTER_USER)
        return False
    except KeyError:
        try:
            grp.getgrnam(FILTER_USER)
            raise Failure(f"a group {FILTER_USER} exists without its account: not touching it")
        except KeyError:
            pass
        run("useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", FILTER_USER)
        print(f"changed the machine: created the system account {FILTER_USER} (removed at the end)")
        return True


def remove_filter_user():
    """Removes the account and the group useradd made for it."""
    run("userdel", FILTER_USER, check=False)
    try:
        grp.getgrnam(FILTER_USER)
        run("groupdel", FILTER_USER, check=False)
    except KeyError:
        pass
    print(f"undone: removed the system account {FILTER_USER} and its group")


class Instance:
    """One Postfix instance, one stand-in daemon and the filter's files."""

    def __init__(self, filter_bin, daemon_bin, source):
        self.root = tempfile.mkdtemp(prefix="kv-postfix.")
        os.chmod(self.root, 0o755)
        self.filter_bin = filter_bin
        self.daemon_bin = daemon_bin
        self.source = source
        self.smtp_port = free_port()
        self.daemon_port = free_port()
        self.daemon = None
        self.etc = self.path("etc")
        self.started = False
        self.created_user = False

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    # ---------------------------------------------------------------- set-up
    def setup(self):
        self.created_user = ensure_filter_user()
        user = pwd.getpwnam(FILTER_USER)
        postfix = pwd.getpwnam("postfix")
        for d in ("etc", "queue", "data", "bin", "mail", "log", "kerval", "spool", "quarantine"):
            os.makedirs(self.path(d))
        os.chown(self.path("data"), postfix.pw_uid, postfix.pw_gid)
        os.chown(self.path("mail"), postfix.pw_uid, postfix.pw_gid)
        for d in ("spool", "quarantine"):
            os.chown(self.path(d), user.pw_uid, user.pw_gid)
            os.chmod(self.path(d), 0o750)
        # Postfix's commands, without the set-gid bit postdrop and postqueue
        # would need for the built-in configuration directory only.
        for name in os.listdir("/usr/sbin"):
            if name.startswith("post") or name == "sendmail":
                shutil.copy(os.path.join("/usr/sbin", name), self.path("bin", name))
                os.chmod(self.path("bin", name), 0o755)
        shutil.copy(self.filter_bin, self.path("bin", "kerval-postfix"))
        os.chmod(self.path("bin", "kerval-postfix"), 0o755)
        self.write_postfix_config(postfix)
        self.write_filter_config()

    def write_postfix_config(self, postfix):
        main_cf = open(os.path.join(self.source, "etc", "postfix", "main.cf")).read()
        master_cf = open(os.path.join(self.source, "etc", "postfix", "master.cf")).read()
        instance = f"""
# --- a throwaway test instance ---
config_directory = {self.etc}
queue_directory = {self.path("queue")}
data_directory = {self.path("data")}
command_directory = {self.path("bin")}
compatibility_level = 3.6
myhostname = mx.{DOMAIN}
mydomain = {DOMAIN}
myorigin = {DOMAIN}
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
default_transport = error:no relaying from this test instance
relay_transport = error:no relaying from this test instance
local_transport = error:no local delivery in this test instance
virtual_mailbox_domains = {DOMAIN}
virtual_mailbox_base = {self.path("mail")}
virtual_mailbox_maps = texthash:{self.path("etc", "vmailbox")}
virtual_uid_maps = static:{postfix.pw_uid}
virtual_gid_maps = static:{postfix.pw_gid}
alias_maps =
alias_database =
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
maillog_file = {self.path("log", "maillog")}
maillog_file_prefixes = {self.path("log")}
biff = no
"""
        with open(self.path("etc", "main.cf"), "w") as f:
            f.write(main_cf + instance)
        # The shipped master.cf lines, with the test's port and paths.
        master_cf = master_cf.replace("smtp      inet", f"127.0.0.1:{self.smtp_port} inet")
        master_cf = master_cf.replace(
            "/usr/local/bin/kerval-postfix",
            self.path("bin", "kerval-postfix") + " --conf=" + self.path("kerval", "kerval_postfix.conf"))
        services = [
            "pickup    unix  n       -       n       60      1       pickup",
            "cleanup   unix  n       -       n       -       0       cleanup",
            "qmgr      unix  n       -       n       300     1       qmgr",
            "rewrite   unix  -       -       n       -       -       trivial-rewrite",
            "bounce    unix  -       -       n       -       0       bounce",
            "defer     unix  -       -       n       -       0       bounce",
            "trace     unix  -       -       n       -       0       bounce",
            "verify    unix  -       -       n       -       1       verify",
            "flush     unix  n       -       n       1000?   0       flush",
            "proxymap  unix  -       -       n       -       -       proxymap",
            "showq     unix  n       -       n       -       -       showq",
            "error     unix  -       -       n       -       -       error",
            "retry     unix  -       -       n       -       -       error",
            "discard   unix  -       -       n       -       -       discard",
            "virtual   unix  -       n       n       -       -       virtual",
            "anvil     unix  -       -       n       -       1       anvil",
            "scache    unix  -       -       n       -       1       scache",
            "postlog   unix-dgram n  -       n       -       1       postlogd",
        ]
        with open(self.path("etc", "master.cf"), "w") as f:
            f.write(master_cf + "\n" + "\n".join(services) + "\n")
        with open(self.path("etc", "vmailbox"), "w") as f:
            for box in MAILBOXES:
                f.write(f"{box}@{DOMAIN} {box}/\n")

    def write_filter_config(self):
        etc = os.path.join(self.source, "etc")
        shutil.copytree(os.path.join(etc, "templates"), self.path("kerval", "templates"))
        for name in os.listdir(etc):
            if name.endswith(".list"):
                shutil.copy(os.path.join(etc, name), self.path("kerval", name))
        conf = open(os.path.join(etc, "kerval_postfix.conf")).read()
        conf = conf.replace("/etc/kerval/", self.path("kerval") + "/")
        replace = {
            "Address": f"inet:{self.daemon_port}@127.0.0.1",
            "Timeout": "10",
            "Spool": self.path("spool"),
            "Quarantine": self.path("quarantine"),
            "AdminMail": f"admin@{DOMAIN}",
            "FilterMail": f"kerval@{DOMAIN}",
            "Level": "Debug",
        }
        lines = []
        for line in conf.splitlines():
            key = line.split("=", 1)[0].strip()
            if "=" in line and not line.lstrip().startswith("#") and key in replace:
                line = f"{key} = {replace[key]}"
            lines.append(line)
        with open(self.path("kerval", "kerval_postfix.conf"), "w") as f:
            f.write("\n".join(lines) + "\n")
        for root, dirs, files in os.walk(self.path("kerval")):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o755 if name in dirs else 0o644)

    # ---------------------------------------------------------------- processes
    def start(self):
        run(self.path("bin", "postfix"), "-c", self.etc, "check")
        os.chmod(self.path("queue", "maildrop"), 0o1733)
        os.chmod(self.path("queue", "public"), 0o711)
        run(self.path("bin", "postfix"), "-c", self.etc, "start")
        self.started = True
        wait_for("the SMTP listener", self.smtp_ready)

    def smtp_ready(self):
        try:
            with socket.create_connection(("127.0.0.1", self.smtp_port), timeout=1):
                return True
        except OSError:
            return False

    def start_daemon(self):
        pidfile = self.path("kervald.pid")
        with open(self.path("log", "kervald.log"), "a") as log:
            self.daemon = subprocess.Popen(
                [self.daemon_bin, "--foreground", f"--pidfile={pidfile}", f"inet:{self.daemon_port}@127.0.0.1"],
                stdout=subprocess.DEVNULL, stderr=log)
        # The pid file appears once the daemon accepts connections.
        wait_for("the stand-in daemon", lambda: os.path.exists(pidfile) or self.daemon.poll() is not None)
        if self.daemon.poll() is not None:
            raise Failure("the stand-in daemon did not start:\n" + open(self.path("log", "kervald.log")).read())

    def stop_daemon(self):
        if self.daemon is not None:
            self.daemon.terminate()
            self.daemon.wait(timeout=10)
            self.daemon = None

    def stop(self):
        self.stop_daemon()
        if self.started:
            run(self.path("bin", "postfix"), "-c", self.etc, "stop", check=False)
            self.started = False

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)
        if self.created_user:
            remove_filter_user()
            self.created_user = False

    # ---------------------------------------------------------------- mail
    def send(self, sender, rcpts, message):
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=30) as smtp:
            smtp.sendmail(sender, rcpts, message)

    def mailbox(self, box):
        """The messages delivered to box, as bytes, oldest first."""
        new = self.path("mail", box, "new")
        if not os.path.isdir(new):
            return []
        names = sorted(os.listdir(new))
        return [open(os.path.join(new, n), "rb").read() for n in names]

    def messages_with(self, box, marker):
        return [m for m in self.mailbox(box) if marker in m]

    def queue_empty(self):
        out = run(self.path("bin", "postqueue"), "-c", self.etc, "-p", check=False).stdout
        return "Mail queue is empty" in out

    def maillog(self):
        try:
            return open(self.path("log", "maillog")).read()
        except OSError:
            return ""

    def flush(self):
        run(self.path("bin", "postqueue"), "-c", self.etc, "-f")


def body_of(raw):
    return raw.split(b"\n\n", 1)[1] if b"\n\n" in raw else b""


def message(marker, body, extra=b""):
    return (b"From: sender@example.org\r\nTo: alice@" + DOMAIN.encode() + b"\r\nSubject: " + marker +
            b"\r\nMessage-ID: <" + marker + b"@example.org>\r\n" + extra + b"\r\n" + body)


def check_clean(pf):
    body = b"A clean message.\r\nSecond line with trailing blanks   \r\n\r\nLast line.\r\n"
    pf.send("sender@example.org", [f"alice@{DOMAIN}"], message(b"clean-1", body))
    raw = wait_for("the clean message", lambda: pf.messages_with("alice", b"Subject: clean-1"))[0]
    delivered = body_of(raw.replace(b"\r\n", b"\n"))
    if delivered != body.replace(b"\r\n", b"\n"):
        raise Failure(f"body changed: {delivered!r}")


def check_eicar(pf):
    body = b"Attachment follows.\r\n\r\n" + EICAR + b"\r\n"
    before = set(os.listdir(pf.path("quarantine")))
    pf.send("sender@example.org", [f"alice@{DOMAIN}"], message(b"eicar-1", body))
    notice = wait_for("the administrator's notification",
                      lambda: pf.messages_with("admin", b"eicar-1"))[0]
    wait_for("an empty queue", pf.queue_empty)
    if pf.messages_with("alice", b"Subject: eicar-1"):
        raise Failure("the infected message was delivered")
    stored = set(os.listdir(pf.path("quarantine"))) - before
    messages = sorted(n for n in stored if not n.endswith(".env"))
    if len(messages) != 1 or stored != {messages[0], messages[0] + ".env"}:
        raise Failure(f"quarantine holds {sorted(stored)}")
    name = messages[0]
    content = open(pf.path("quarantine", name), "rb").read()
    if EICAR not in content:
        raise Failure("the quarantined file does not hold the message")
    if name.encode() not in notice:
        raise Failure("the notification does not name the quarantine file")
    # The envelope record names the queue ID Postfix gave the message (pipe's
    # ${queue_id}), the one its own log lines start with.
    record = open(pf.path("quarantine", name + ".env")).read().splitlines()
    queue_ids = [line.split(" ", 1)[1] for line in record if line.startswith("queue_id ")]
    logged = re.findall(r"postfix/cleanup\[\d+\]: ([0-9A-Za-z]+): message-id=<eicar-1@", pf.maillog())
    if len(queue_ids) != 1 or queue_ids != logged or f"rcpt alice@{DOMAIN}" not in record:
        raise Failure(f"envelope record {record} does not match the queue IDs {logged} in Postfix's log")


def check_deferred_then_delivered_once(pf):
    pf.stop_daemon()
    pf.send("sender@example.org", [f"alice@{DOMAIN}"], message(b"deferred-1", b"Kept for later.\r\n"))
    wait_for("the deferral", lambda: "status=deferred" in pf.maillog() and not pf.queue_empty())
    if pf.messages_with("alice", b"Subject: deferred-1"):
        raise Failure("the message was delivered while the daemon was down")
    pf.start_daemon()
    pf.flush()
    wait_for("the deferred message", lambda: pf.messages_with("alice", b"Subject: deferred-1"))
    wait_for("an empty queue", pf.queue_empty)
    count = len(pf.messages_with("alice", b"Subject: deferred-1"))
    if count != 1:
        raise Failure(f"the deferred message arrived {count} times")


def check_two_recipients(pf):
    rcpts = [f"alice@{DOMAIN}", f"bob@{DOMAIN}"]
    pf.send("sender@example.org", rcpts, message(b"two-rcpts-1", b"For both.\r\n"))
    for box in ("alice", "bob"):
        wait_for(f"the message in {box}'s mailbox", lambda: pf.messages_with(box, b"Subject: two-rcpts-1"))
    wait_for("an empty queue", pf.queue_empty)
    for box in ("alice", "bob"):
        count = len(pf.messages_with(box, b"Subject: two-rcpts-1"))
        if count != 1:
            raise Failure(f"{box} got the message {count} times")


CHECKS = [check_clean, check_eicar, check_deferred_then_delivered_once, check_two_recipients]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--source", required=True)
    args = parser.parse_args()

    if os.geteuid() != 0:
        print("SKIPPED: starting a Postfix instance needs root")
        return SKIP
    if shutil.which("postfix") is None:
        print("SKIPPED: Postfix is not installed (scripts/install-deps installs it)")
        return SKIP

    pf = Instance(args.filter, args.daemon, args.source)
    failed = 0
    try:
        pf.setup()
        pf.start_daemon()
        pf.start()
        for check in CHECKS:
            try:
                check(pf)
                print(f"passed: {check.__name__}")
            except Failure as failure:
                failed += 1
                print(f"FAILED: {check.__name__}: {failure}")
    except Failure as failure:
        failed += 1
        print(f"FAILED: setting up the instance: {failure}")
    finally:
        if failed:
            print("--- maillog ---\n" + pf.maillog()[-6000:])
        pf.stop()
        pf.remove()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
