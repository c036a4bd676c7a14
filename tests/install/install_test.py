#!/usr/bin/env python3
"""Installs the build into a temporary DESTDIR and checks what lands where: the
programs, their manual pages, the sample configuration with its templates and
lists (an existing configuration is kept on a second install), and that
--check_only passes on the installed sample configuration against the
installed stand-in daemon."""
import argparse
import os
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--prefix", default="/usr/local")
    args = parser.parse_args()
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)

    with tempfile.TemporaryDirectory(prefix="kv-install.") as root:
        env = dict(os.environ, DESTDIR=root)
        install = ["cmake", "--install", args.build, "--prefix", args.prefix]
        subprocess.run(install, env=env, check=True, stdout=subprocess.DEVNULL)
        inside = lambda path: os.path.join(root, path.lstrip("/"))
        prefix = inside(args.prefix)
        expected = [
            os.path.join(prefix, "bin", "kerval-postfix"),
            os.path.join(prefix, "sbin", "kervald"),
            os.path.join(prefix, "sbin", "kerval-quarantine"),
            os.path.join(prefix, "share", "man", "man8", "kerval-postfix.8"),
            os.path.join(prefix, "share", "man", "man8", "kervald.8"),
            os.path.join(prefix, "share", "man", "man8", "kerval-quarantine.8"),
            os.path.join(prefix, "share", "man", "man5", "kerval_postfix.conf.5"),
            os.path.join(prefix, "lib", "systemd", "system", "kervald.service"),
            os.path.join(prefix, "share", "kerval-postfix", "postfix", "master.cf"),
            inside("/etc/kerval/kerval_postfix.conf"),
            inside("/etc/kerval/deny.list"),
            inside("/etc/kerval/unnotifiable-viruses.list"),
            inside("/etc/kerval/unnotifiable-addresses.list"),
            inside("/etc/kerval/templates/virus-admin.tmpl"),
            inside("/var/spool/kerval/filter"),
            inside("/var/lib/kerval/quarantine"),
        ]
        if os.path.exists(os.path.join(args.build, "kerval-milter")):
            milter = os.path.join(prefix, "sbin", "kerval-milter")
            expected += [milter, os.path.join(prefix, "share", "man", "man8", "kerval-milter.8"),
                         os.path.join(prefix, "share", "kerval-postfix", "postfix", "milter-main.cf")]
            check(os.access(milter, os.X_OK), f"not executable: {milter}")
        for path in expected:
            check(os.path.exists(path), f"missing after install: {path}")
        for program in expected[:3]:
            check(os.access(program, os.X_OK), f"not executable: {program}")
        unit = open(os.path.join(prefix, "lib", "systemd", "system", "kervald.service")).read()
        check(f"ExecStart={args.prefix}/sbin/kervald " in unit, "the unit does not start the installed kervald")

        conf = inside("/etc/kerval/kerval_postfix.conf")
        with open(conf, "a") as f:
            f.write("# changed by the administrator\n")
        subprocess.run(install, env=env, check=True, stdout=subprocess.DEVNULL)
        check(open(conf).read().endswith("# changed by the administrator\n"), "a second install overwrote the configuration")

        # The installed sample configuration, with every absolute path moved under
        # the DESTDIR and a recording submission program.
        outbox = os.path.join(root, "outbox")
        os.mkdir(outbox)
        sendmail = os.path.join(root, "sendmail")
        with open(sendmail, "w") as f:
            f.write(f"#!/bin/sh\ncat > {outbox}/message\necho \"$@\" > {outbox}/args\n")
        os.chmod(sendmail, 0o755)
        text = open(conf).read()
        for path in ("/etc/kerval/", "/var/spool/kerval/", "/var/lib/kerval/", "/run/kerval/"):
            text = text.replace(path, inside(path))
        text = text.replace("Sendmail = /usr/sbin/sendmail", f"Sendmail = {sendmail}")
        moved = os.path.join(root, "kerval_postfix.conf")
        with open(moved, "w") as f:
            f.write(text)
        run_dir = inside("/run/kerval")
        os.makedirs(run_dir)
        pidfile = os.path.join(run_dir, "kervald.pid")
        daemon = subprocess.Popen([os.path.join(prefix, "sbin", "kervald"), "--foreground", f"--pidfile={pidfile}",
                                   "local:" + os.path.join(run_dir, "kervald.sock")], stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while not os.path.exists(pidfile) and daemon.poll() is None and time.monotonic() < deadline:
                time.sleep(0.02)
            result = subprocess.run([os.path.join(prefix, "bin", "kerval-postfix"), f"--conf={moved}", "--check_only"],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
            check(result.returncode == 0, f"--check_only exited {result.returncode}:\n{result.stdout}")
            check(os.path.exists(os.path.join(outbox, "message")), "no test mail was submitted")
        finally:
            daemon.terminate()
            daemon.wait(timeout=10)

    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print("passed: install layout, kept configuration, --check_only on the installed configuration")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
