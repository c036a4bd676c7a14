"""A throwaway Postfix instance for the end-to-end tests and the benchmark.

The instance lives in a temporary directory (its own configuration, queue, data
and command directories), listens on 127.0.0.1 on a free high port only, and
delivers into Maildir folders in the temporary directory; nothing is relayed
anywhere. The stand-in kervald is the daemon, on 127.0.0.1 or on a UNIX socket
in the directory. Mail reaches the product through the shipped wiring in
etc/postfix/: the pipe filter as an after-queue content filter (master.cf),
the milter before the queue (milter-main.cf), or both wired in with one of
them switched on at a time (use()).
"""
import grp
import os
import pwd
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import time

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
        time.sleep(0.05)
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


def skip_reason():
    if os.geteuid() != 0:
        return "starting a Postfix instance needs root"
    if shutil.which("postfix") is None and not os.path.exists("/usr/sbin/postfix"):
        return "Postfix is not installed (scripts/install-deps installs it)"
    return None


class Instance:
    """One Postfix instance, one stand-in daemon, the product's files."""

    def __init__(self, daemon_bin, source, filter_bin=None, milter_bin=None, daemon_unix=False,
                 prefix="kv-postfix.", log_level="Debug", daemon_args=()):
        self.root = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.root, 0o755)
        self.filter_bin = filter_bin
        self.milter_bin = milter_bin
        self.daemon_bin = daemon_bin
        self.daemon_args = list(daemon_args)
        self.source = source
        self.smtp_port = free_port()
        self.daemon_unix = daemon_unix
        self.daemon_port = free_port()
        self.daemon = None
        self.milter = None
        self.log_level = log_level
        self.etc = self.path("etc")
        self.conf = self.path("kerval", "kerval_postfix.conf")
        self.milter_socket = self.path("run", "milter.sock")
        self.milter_pidfile = self.path("run", "kerval-milter.pid")
        self.started = False
        self.created_user = False

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    @property
    def daemon_address(self):
        if self.daemon_unix:
            return "local:" + self.path("run", "kervald.sock")
        return f"inet:{self.daemon_port}@127.0.0.1"

    # ---------------------------------------------------------------- set-up
    def setup(self, conf_changes=None):
        self.created_user = ensure_filter_user()
        user = pwd.getpwnam(FILTER_USER)
        postfix = pwd.getpwnam("postfix")
        for d in ("etc", "queue", "data", "bin", "mail", "log", "kerval", "spool", "quarantine", "run"):
            os.makedirs(self.path(d))
        os.chown(self.path("data"), postfix.pw_uid, postfix.pw_gid)
        os.chown(self.path("mail"), postfix.pw_uid, postfix.pw_gid)
        for d in ("spool", "quarantine", "run"):
            os.chown(self.path(d), user.pw_uid, user.pw_gid)
            os.chmod(self.path(d), 0o750 if d != "run" else 0o755)
        # Postfix's commands, without the set-gid bit postdrop and postqueue
        # would need for the built-in configuration directory only.
        for name in os.listdir("/usr/sbin"):
            if name.startswith("post") or name == "sendmail":
                shutil.copy(os.path.join("/usr/sbin", name), self.path("bin", name))
                os.chmod(self.path("bin", name), 0o755)
        if self.filter_bin:
            shutil.copy(self.filter_bin, self.path("bin", "kerval-postfix"))
            os.chmod(self.path("bin", "kerval-postfix"), 0o755)
        self.write_postfix_config(postfix)
        self.write_filter_config(conf_changes or {})

    def write_postfix_config(self, postfix):
        shipped = os.path.join(self.source, "etc", "postfix")
        main_cf = open(os.path.join(shipped, "main.cf")).read()
        if self.milter_bin:
            milter_cf = open(os.path.join(shipped, "milter-main.cf")).read()
            main_cf += milter_cf.replace("unix:/run/kerval/milter.sock", "unix:" + self.milter_socket)
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
virtual_mailbox_limit = 0
message_size_limit = 52428800
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
        if self.filter_bin:
            # The shipped master.cf lines, with the test's port and paths.
            master_cf = open(os.path.join(shipped, "master.cf")).read()
            master_cf = master_cf.replace("smtp      inet", f"127.0.0.1:{self.smtp_port} inet")
            master_cf = master_cf.replace(
                "/usr/local/bin/kerval-postfix", self.path("bin", "kerval-postfix") + " --conf=" + self.conf)
        else:
            master_cf = f"127.0.0.1:{self.smtp_port} inet  n       -       n       -       -       smtpd\n"
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

    def write_filter_config(self, changes):
        """The shipped configuration with the instance's paths; changes maps a
        section to {key: value} (a section not in the file is added)."""
        etc = os.path.join(self.source, "etc")
        shutil.copytree(os.path.join(etc, "templates"), self.path("kerval", "templates"))
        for name in os.listdir(etc):
            if name.endswith(".list"):
                shutil.copy(os.path.join(etc, name), self.path("kerval", name))
        self.conf_text = open(os.path.join(etc, "kerval_postfix.conf")).read()
        self.conf_text = self.conf_text.replace("/etc/kerval/", self.path("kerval") + "/")
        base = {
            "DaemonCommunication": {"Address": self.daemon_address, "Timeout": "10"},
            "Scanning": {"Spool": self.path("spool")},
            "Actions": {"Quarantine": self.path("quarantine"), "AdminMail": f"admin@{DOMAIN}",
                        "FilterMail": f"kerval@{DOMAIN}"},
            "Logging": {"Level": self.log_level},
            "Milter": {"Socket": "unix:" + self.milter_socket, "PidFile": self.milter_pidfile,
                       "SocketGroup": "postfix", "User": FILTER_USER, "Foreground": "yes", "Timeout": "30"},
        }
        self.configure(base)
        self.configure(changes)
        for root, dirs, files in os.walk(self.path("kerval")):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o755 if name in dirs else 0o644)

    def configure(self, changes):
        """Sets keys of the filter's configuration file (a change only reaches a
        running milter on reload_milter)."""
        lines = self.conf_text.splitlines()
        for section, keys in changes.items():
            header = f"[{section}]"
            if header not in lines:
                lines += ["", header]
            start = lines.index(header) + 1
            end = start
            while end < len(lines) and not lines[end].startswith("["):
                end += 1
            for key, value in keys.items():
                for i in range(start, end):
                    if "=" in lines[i] and not lines[i].lstrip().startswith("#") and \
                            lines[i].split("=", 1)[0].strip() == key:
                        lines[i] = f"{key} = {value}"
                        break
                else:
                    lines.insert(start, f"{key} = {value}")
                    end += 1
        self.conf_text = "\n".join(lines) + "\n"
        with open(self.conf, "w") as f:
            f.write(self.conf_text)
        os.chmod(self.conf, 0o644)

    # ---------------------------------------------------------------- processes
    def start(self):
        run(self.path("bin", "postfix"), "-c", self.etc, "check")
        os.chmod(self.path("queue", "maildrop"), 0o1733)
        os.chmod(self.path("queue", "public"), 0o711)
        run(self.path("bin", "postfix"), "-c", self.etc, "start")
        self.started = True
        wait_for("the SMTP listener", self.smtp_ready)

    def postconf(self, *settings):
        run(self.path("bin", "postconf"), "-c", self.etc, *settings)

    def reload_postfix(self):
        run(self.path("bin", "postfix"), "-c", self.etc, "reload")

    def use(self, mode):
        """Only one of the wirings on: "none", "pipe" or "milter"."""
        milter = "unix:" + self.milter_socket if mode == "milter" else ""
        self.postconf("-e", f"smtpd_milters = {milter}", f"non_smtpd_milters = {milter}")
        service = f"127.0.0.1:{self.smtp_port}/inet/content_filter"
        self.postconf("-P", f"{service}={'kerval:dummy' if mode == 'pipe' else ''}")
        self.reload_postfix()
        time.sleep(1)  # the old smtpd processes finish their sessions

    def smtp_ready(self):
        try:
            with socket.create_connection(("127.0.0.1", self.smtp_port), timeout=1):
                return True
        except OSError:
            return False

    def start_daemon(self):
        pidfile = self.path("kervald.pid")
        if os.path.exists(pidfile):
            os.unlink(pidfile)
        argv = [self.daemon_bin, "--foreground", f"--pidfile={pidfile}", f"--control={self.path('kervald.ctl')}"]
        if self.daemon_unix:
            argv.append("--socket-mode=0666")
        argv += self.daemon_args + [self.daemon_address]
        with open(self.path("log", "kervald.log"), "a") as log:
            self.daemon = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=log)
        # The pid file appears once the daemon accepts connections.
        wait_for("the stand-in daemon", lambda: os.path.exists(pidfile) or self.daemon.poll() is not None)
        if self.daemon.poll() is not None:
            raise Failure("the stand-in daemon did not start:\n" + open(self.path("log", "kervald.log")).read())

    def control_daemon(self, text):
        """The stand-in's answer settings for the requests from now on."""
        with open(self.path("kervald.ctl"), "w") as f:
            f.write(text)

    def stop_daemon(self):
        if self.daemon is not None:
            self.daemon.terminate()
            self.daemon.wait(timeout=10)
            self.daemon = None

    def start_milter(self):
        if os.path.exists(self.milter_pidfile):
            os.unlink(self.milter_pidfile)
        env = dict(os.environ, MAIL_CONFIG=self.etc)
        self.milter_log = open(self.path("log", "kerval-milter.log"), "a")
        self.milter = subprocess.Popen([self.milter_bin, f"--conf={self.conf}"], env=env,
                                       stdout=self.milter_log, stderr=self.milter_log)
        wait_for("the milter", lambda: os.path.exists(self.milter_pidfile) or self.milter.poll() is not None)
        if self.milter.poll() is not None:
            raise Failure(f"the milter did not start (status {self.milter.returncode}):\n" + self.milter_output())

    def milter_output(self):
        try:
            return open(self.path("log", "kerval-milter.log"), errors="replace").read()
        except OSError:
            return ""

    def signal_milter(self, sig):
        self.milter.send_signal(sig)

    def stop_milter(self, timeout=40):
        """SIGTERM and wait; the exit status."""
        if self.milter is None:
            return None
        if self.milter.poll() is None:
            self.milter.send_signal(signal.SIGTERM)
        try:
            status = self.milter.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.milter.kill()
            status = self.milter.wait()
        self.milter = None
        self.milter_log.close()
        return status

    def stop(self):
        self.stop_milter()
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
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=60) as smtp:
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

    def queue_listing(self):
        return run(self.path("bin", "postqueue"), "-c", self.etc, "-p", check=False).stdout

    def maillog(self):
        try:
            return open(self.path("log", "maillog")).read()
        except OSError:
            return ""

    def kick_pickup(self):
        """Has pickup look at the maildrop now (a message it could not hand on
        stays there until its next look)."""
        run(self.path("bin", "postkick"), "-c", self.etc, "public", "pickup", "W", check=False)

    def flush(self):
        run(self.path("bin", "postqueue"), "-c", self.etc, "-f")


def body_of(raw):
    return raw.split(b"\n\n", 1)[1] if b"\n\n" in raw else b""


def message(marker, body, extra=b""):
    return (b"From: sender@example.org\r\nTo: alice@" + DOMAIN.encode() + b"\r\nSubject: " + marker +
            b"\r\nMessage-ID: <" + marker + b"@example.org>\r\n" + extra + b"\r\n" + body)
