#!/usr/bin/env python3
"""The Debian package: builds kerval-postfix_VERSION_amd64.deb with cpack from a
build directory and checks it.

Always: the package's name and version, its dependencies (from dpkg-shlibdeps,
plus adduser), its conffiles (every file under /etc/kerval and nothing else),
its files with their owners and modes, its maintainer scripts, that
systemd-analyze verify accepts its units (when systemd-analyze is there), and
lintian's verdict (when lintian is there): any error fails, and for a build
that is shipped (not Debug, no sanitizers) every tag it reports must be
explained in the README's "Lintian" section.

As root, and only on a machine without the package and its directories, the
package is installed on this machine (accounts already there are kept, and
must still be there after the purge): the accounts, the
directories with their owners and modes, the units, the installed
`kerval-postfix --check_only` against the installed kervald (started as the
unit starts it, with a recording submission program in place of Postfix's
sendmail); then a reinstall keeps a changed configuration, a removal keeps the
configuration, and a purge leaves nothing behind: no file, account, group or
service state. What the test changes on the machine it says, and it undoes it
(purges) even when a check fails.

Exit status: 0 passed, 1 failed, 77 skipped (no dpkg-deb or cpack).
"""
import argparse
import grp
import os
import pwd
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

SKIP = 77
PACKAGE = "kerval-postfix"
ACCOUNTS = ("kvfilter", "kervald", "kvmilter")
GROUP = "kvfilter"
OWNED_PATHS = ("/etc/kerval", "/var/spool/kerval", "/var/lib/kerval", "/run/kerval")
# Directories the maintainer scripts make: owner, group, mode.
DIRECTORIES = {
    "/var/spool/kerval/filter": ("kvfilter", "kvfilter", 0o2770),
    "/var/lib/kerval/quarantine": ("kvfilter", "kvfilter", 0o2770),
    "/run/kerval": ("kervald", "kvfilter", 0o755),
}
# Files of the package: path, mode (all owned by root).
FILES = {
    "/usr/bin/kerval-postfix": 0o755,
    "/usr/sbin/kervald": 0o755,
    "/usr/share/man/man8/kerval-postfix.8.gz": 0o644,
    "/usr/share/man/man8/kervald.8.gz": 0o644,
    "/usr/share/man/man5/kerval_postfix.conf.5.gz": 0o644,
    "/usr/lib/systemd/system/kervald.service": 0o644,
    "/usr/share/kerval-postfix/postfix/master.cf": 0o644,
    "/usr/share/doc/kerval-postfix/copyright": 0o644,
    "/usr/share/doc/kerval-postfix/changelog.gz": 0o644,
    "/etc/kerval/kerval_postfix.conf": 0o644,
    "/etc/kerval/deny.list": 0o644,
    "/etc/kerval/templates/virus-admin.tmpl": 0o644,
}
# Present only when their programs are built.
OPTIONAL_FILES = {
    "kerval-milter": ("/usr/sbin/kerval-milter", "/usr/share/man/man8/kerval-milter.8.gz",
                      "/usr/lib/systemd/system/kerval-milter.service"),
    "kerval-quarantine": ("/usr/sbin/kerval-quarantine", "/usr/share/man/man8/kerval-quarantine.8.gz"),
}


class Checks:
    def __init__(self):
        self.failures = []

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition


def run(argv, check=True, **kwargs):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} exited {result.returncode}:\n{result.stdout}")
    return result


def build_package(build, out):
    run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out])
    debs = [name for name in os.listdir(out) if name.endswith(".deb")]
    if len(debs) != 1:
        raise RuntimeError(f"cpack made {debs}")
    return os.path.join(out, debs[0])


def listing(deb):
    """path -> (mode, owner/group) of every entry of the package."""
    entries = {}
    for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines():
        fields = line.split(None, 5)
        path = fields[5].split(" -> ")[0]
        path = "/" + path.lstrip("./") if path not in ("./", ".") else "/"
        path = path.rstrip("/") or "/"
        entries[path] = (fields[0], fields[1])
    return entries


def mode_of(text):
    """The permission bits of an ls-style mode text such as -rwxr-xr-x."""
    bits = 0
    for i, (char, bit) in enumerate(zip(text[1:], (0o400, 0o200, 0o100, 0o40, 0o20, 0o10, 0o4, 0o2, 0o1))):
        if char not in "-":
            bits |= bit
    return bits


def check_contents(c, deb, version, source):
    field = lambda name: run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    c.check(os.path.basename(deb) == f"{PACKAGE}_{version}_amd64.deb", f"package file named {os.path.basename(deb)}")
    c.check(field("Package") == PACKAGE and field("Version") == version, "Package/Version fields")
    depends = field("Depends")
    for needed in ("libc6", "libstdc++6", "libre2", "libclamav", "adduser"):
        c.check(needed in depends, f"Depends lacks {needed}: {depends}")

    entries = listing(deb)
    built = {name for name in OPTIONAL_FILES if os.path.exists(os.path.join(args.build, name))}
    expected = dict(FILES)
    for name in built:
        for path in OPTIONAL_FILES[name]:
            if path.endswith(".gz") and not os.path.exists(os.path.join(source, "man", os.path.basename(path)[:-3])):
                continue
            expected[path] = 0o755 if "/sbin/" in path else 0o644
    for path, mode in expected.items():
        entry = entries.get(path)
        if c.check(entry is not None, f"not in the package: {path}"):
            c.check(mode_of(entry[0]) == mode and entry[1] == "root/root",
                    f"{path} is {entry[0]} {entry[1]}, expected {mode:o} root/root")
    c.check(not any(p.startswith(("/var", "/run")) for p in entries), "the package carries /var or /run entries")
    c.check(not any(p.endswith((".5", ".8")) for p in entries), "an uncompressed manual page")

    with tempfile.TemporaryDirectory(prefix="kv-control.") as control:
        run(["dpkg-deb", "-e", deb, control])
        conffiles = open(os.path.join(control, "conffiles")).read().split()
        under_etc = sorted(p for p, e in entries.items() if p.startswith("/etc/") and not e[0].startswith("d"))
        c.check(sorted(conffiles) == under_etc, f"conffiles {sorted(conffiles)} != files under /etc {under_etc}")
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            c.check(os.path.exists(path) and os.stat(path).st_mode & 0o111, f"maintainer script {script} missing")
            if os.path.exists(path):
                c.check(run(["sh", "-n", path], check=False).returncode == 0, f"{script} is not valid sh")


def check_units(c, deb, source):
    """systemd-analyze verify on the packaged units, and on the units of
    programs this build does not have, with a stand-in for the program."""
    if shutil.which("systemd-analyze") is None:
        print("skipped: systemd-analyze verify (systemd-analyze is not installed)")
        return
    with tempfile.TemporaryDirectory(prefix="kv-units.") as tree:
        run(["dpkg-deb", "-x", deb, tree])
        unit_dir = os.path.join(tree, "usr/lib/systemd/system")
        units = {name: open(os.path.join(unit_dir, name)).read() for name in os.listdir(unit_dir)}
        stand_ins = []
        for name in os.listdir(os.path.join(source, "systemd")):
            if name not in units:
                text = open(os.path.join(source, "systemd", name)).read()
                units[name] = text.replace("@KV_SBINDIR@", "/usr/sbin").replace("@KV_CONFDIR@", "/etc/kerval")
                program = os.path.join(tree, "usr/sbin", name.rsplit(".", 1)[0])
                shutil.copy("/bin/true", program)
                stand_ins.append(name)
        # The units run the programs from the package's tree: verify checks
        # that they are there.
        copies = os.path.join(tree, "verify")
        os.mkdir(copies)
        for name, text in units.items():
            c.check("ExecStart=/usr/sbin/" in text and "@" not in text, f"{name}: {text}")
            with open(os.path.join(copies, name), "w") as f:
                f.write(text.replace("=/usr/sbin/", f"={tree}/usr/sbin/"))
        result = run(["systemd-analyze", "verify", "--man=no"] + [os.path.join(copies, n) for n in sorted(units)],
                     check=False)
        c.check(result.returncode == 0 and not result.stdout.strip(), f"systemd-analyze verify:\n{result.stdout}")
        note = f" ({', '.join(stand_ins)} with a stand-in program: not built here)" if stand_ins else ""
        print(f"passed: systemd-analyze verify {' '.join(sorted(units))}{note}")


def check_lintian(c, deb, source, shipped):
    if shutil.which("lintian") is None:
        print("skipped: lintian (not installed)")
        return
    result = run(["lintian", "--tag-display-limit", "0", "--display-info", deb], check=False)
    tags = sorted({m.group(2) for m in re.finditer(r"^([EWIXP]): \S+: (\S+)", result.stdout, re.M)})
    errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
    c.check(not errors, "lintian errors:\n" + "\n".join(errors))
    readme = open(os.path.join(source, "README.md")).read()
    section = readme.split("#### Lintian", 1)[1].split("\n#", 1)[0] if "#### Lintian" in readme else ""
    for tag in tags if shipped else []:
        c.check(f"`{tag}`" in section, f"lintian tag {tag} is not explained in the README's Lintian section")
    note = "" if shipped else " (a Debug or sanitizer build: only errors count)"
    print(f"lintian: {', '.join(tags) if tags else 'no tags'}{note}")


# ---------------------------------------------------------------- on this machine

def machine_state():
    """What the package may touch: accounts, groups, service state."""
    def names(path):
        try:
            return sorted(line.split(":")[0] for line in open(path))
        except OSError:
            return []
    state = {"passwd": names("/etc/passwd"), "group": names("/etc/group"),
             "postdrop members": sorted(grp.getgrnam("postdrop").gr_mem) if has_group("postdrop") else []}
    for top in ("/etc/systemd/system", "/var/lib/systemd/deb-systemd-helper-enabled",
                "/var/lib/systemd/deb-systemd-helper-masked"):
        found = []
        for root, dirs, files in os.walk(top):
            found += [os.path.join(root, n) for n in files + dirs]
        state[top] = sorted(found)
    return state


def has_user(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def has_group(name):
    try:
        grp.getgrnam(name)
        return True
    except KeyError:
        return False


def why_not_here():
    if os.geteuid() != 0:
        return "not root"
    if run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], check=False).stdout.find("installed") >= 0:
        return f"{PACKAGE} is installed on this machine"
    # Purge would remove these with whatever they hold.
    present = [p for p in OWNED_PATHS if os.path.lexists(p)]
    if present:
        return "already on this machine: " + ", ".join(present)
    return None


def owner_mode(path):
    st = os.stat(path)
    return pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name, stat.S_IMODE(st.st_mode)


def run_check_only(c, scratch):
    """The installed filter's self-test against the installed daemon, run as
    the daemon's unit runs it."""
    outbox = os.path.join(scratch, "outbox")
    os.mkdir(outbox)
    os.chmod(scratch, 0o755)
    os.chmod(outbox, 0o777)
    sendmail = os.path.join(scratch, "sendmail")
    with open(sendmail, "w") as f:
        f.write(f"#!/bin/sh\ncat > {outbox}/message\necho \"$@\" > {outbox}/args\n")
    os.chmod(sendmail, 0o755)
    conf = os.path.join(scratch, "kerval_postfix.conf")
    text = open("/etc/kerval/kerval_postfix.conf").read()
    with open(conf, "w") as f:
        f.write(text.replace("Sendmail = /usr/sbin/sendmail", f"Sendmail = {sendmail}"))
    os.chmod(conf, 0o644)

    daemon_user = pwd.getpwnam("kervald")
    group = grp.getgrnam(GROUP)

    def as_daemon():
        os.setgroups([])
        os.setgid(group.gr_gid)
        os.setuid(daemon_user.pw_uid)

    daemon = subprocess.Popen(["/usr/sbin/kervald", "--foreground", "--socket-group=kvfilter",
                               "local:/run/kerval/kervald.sock"], preexec_fn=as_daemon,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists("/run/kerval/kervald.sock") and daemon.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        c.check(os.path.exists("/run/kerval/kervald.sock"), "the installed kervald made no socket")
        if os.path.exists("/run/kerval/kervald.sock"):
            c.check(owner_mode("/run/kerval/kervald.sock")[1:] == ("kvfilter", 0o660), "the daemon's socket")
        result = run(["/usr/bin/kerval-postfix", f"--conf={conf}", "--check_only", "--check_user=kvfilter"],
                     check=False, timeout=120)
        passed = c.check(result.returncode == 0, f"--check_only as kvfilter exited {result.returncode}:\n{result.stdout}")
        passed = c.check(os.path.exists(os.path.join(outbox, "message")), "--check_only submitted no test mail") and passed
    finally:
        daemon.terminate()
        try:
            daemon.wait(timeout=10)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()
    if passed:
        print("passed: the installed --check_only as kvfilter against the installed kervald")


def check_on_machine(c, deb):
    reason = why_not_here()
    if reason:
        print(f"skipped: installing the package on this machine ({reason})")
        return
    before = machine_state()
    failures_before = len(c.failures)
    existing = [a for a in ACCOUNTS if has_user(a)] + [f"group {GROUP}"] * has_group(GROUP)
    if existing:
        print(f"already on this machine, to be kept as they are: {', '.join(existing)}")
    print(f"changing the machine: installing {PACKAGE} (dpkg -i), which adds the accounts and directories it "
          "lacks; it is purged at the end")
    installed = True
    try:
        run(["dpkg", "-i", deb])
        for account in ACCOUNTS:
            if c.check(has_user(account), f"no account {account}"):
                entry = pwd.getpwnam(account)
                c.check(entry.pw_gid == grp.getgrnam(GROUP).gr_gid and entry.pw_shell == "/usr/sbin/nologin"
                        and entry.pw_uid < 1000, f"account {account}: {entry}")
        if has_group("postdrop") and "kvmilter" not in existing:
            c.check("kvmilter" in grp.getgrnam("postdrop").gr_mem, "kvmilter is not in the group postdrop")
            c.check("kvfilter" not in grp.getgrnam("postdrop").gr_mem, "kvfilter is in the group postdrop")
        for path, expected in DIRECTORIES.items():
            c.check(os.path.isdir(path) and owner_mode(path) == expected,
                    f"{path}: {owner_mode(path) if os.path.exists(path) else 'missing'}, expected {expected}")
        for path, mode in FILES.items():
            c.check(os.path.exists(path) and owner_mode(path) == ("root", "root", mode), f"installed {path}")
        c.check(os.path.islink("/etc/systemd/system/multi-user.target.wants/kervald.service"),
                "kervald.service is not enabled")
        c.check(not os.path.lexists("/etc/systemd/system/multi-user.target.wants/kerval-milter.service"),
                "kerval-milter.service is enabled without being asked")
        if shutil.which("systemd-analyze"):
            units = [u for u in ("/usr/lib/systemd/system/kervald.service",
                                 "/usr/lib/systemd/system/kerval-milter.service") if os.path.exists(u)]
            man = "--man=yes" if shutil.which("man") else "--man=no"
            result = run(["systemd-analyze", "verify", man] + units, check=False)
            c.check(result.returncode == 0, f"systemd-analyze verify of the installed units:\n{result.stdout}")

        with tempfile.TemporaryDirectory(prefix="kv-package.") as scratch:
            run_check_only(c, scratch)

        conf = "/etc/kerval/kerval_postfix.conf"
        with open(conf, "a") as f:
            f.write("# changed by the administrator\n")
        run(["dpkg", "-i", deb])
        c.check(open(conf).read().endswith("# changed by the administrator\n"), "a reinstall replaced the configuration")
        for path, expected in DIRECTORIES.items():
            c.check(os.path.isdir(path) and owner_mode(path) == expected, f"{path} after a reinstall")

        run(["dpkg", "-r", PACKAGE])
        c.check(not os.path.exists("/usr/bin/kerval-postfix"), "the filter is still there after removal")
        c.check(os.path.exists(conf), "removal (not purge) removed the configuration")
        c.check(all(has_user(a) for a in ACCOUNTS), "removal (not purge) removed the accounts")

        run(["dpkg", "-P", PACKAGE])
        installed = False
        for path in OWNED_PATHS:
            c.check(not os.path.lexists(path), f"left after purge: {path}")
        after = machine_state()
        for key in before:
            c.check(before[key] == after[key],
                    f"{key} differs after purge: added {sorted(set(after[key]) - set(before[key]))}, "
                    f"removed {sorted(set(before[key]) - set(after[key]))}")
        c.check("not-installed" in run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], check=False).stdout
                or run(["dpkg-query", "-W", PACKAGE], check=False).returncode != 0, "dpkg still knows the package")
        if len(c.failures) == failures_before:
            print("passed: install, reinstall, remove and purge on this machine; nothing left")
    finally:
        if installed:
            run(["dpkg", "-P", PACKAGE], check=False)
        print(f"undone: {PACKAGE} purged from this machine")


def main():
    global args
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--shipped-build", choices=("yes", "no"), default="yes",
                        help="no: a Debug or sanitizer build, whose lintian notes need no explaining")
    args = parser.parse_args()
    for tool in ("cpack", "dpkg-deb"):
        if shutil.which(tool) is None:
            print(f"SKIPPED: {tool} is not installed")
            return SKIP

    c = Checks()
    with tempfile.TemporaryDirectory(prefix="kv-deb.") as out:
        deb = build_package(args.build, out)
        check_contents(c, deb, args.version, args.source)
        check_units(c, deb, args.source)
        check_lintian(c, deb, args.source, args.shipped_build == "yes")
        check_on_machine(c, deb)

    for failure in c.failures:
        print("FAILED:", failure)
    if not c.failures:
        print("passed: the Debian package")
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
