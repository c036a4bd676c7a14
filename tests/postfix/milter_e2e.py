#!/usr/bin/env python3
"""kerval-milter in front of a real Postfix: a throwaway instance of its own
(pf_instance) with the shipped smtpd_milters wiring, mail sent over SMTP.

Each check leaves the instance as it found it (configuration, daemon answers,
running milter). The milter runs as the system account kvfilter: when the
machine has none, the test creates it, says so, and removes it (with its
group) at the end. Exit status: 0 passed, 1 failed, 77 skipped (not root).
"""
import argparse
import os
import re
import signal
import smtplib
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from email import message_from_bytes  # noqa: E402

from pf_instance import (DOMAIN, EICAR, SKIP, Failure, Instance, body_of, message,  # noqa: E402
                         run, skip_reason, wait_for)

REPLY_INFECTED = "Kerval Antivirus: a virus was found, message refused."
ALICE = f"alice@{DOMAIN}"
SANITIZED = False


def smtp_code(pf, msg, rcpts=(ALICE,)):
    """The SMTP answer to a message: 250, or the code of the refusal and its text."""
    try:
        pf.send("sender@example.org", list(rcpts), msg)
        return 250, ""
    except smtplib.SMTPResponseException as e:
        return e.smtp_code, e.smtp_error.decode(errors="replace")
    except smtplib.SMTPRecipientsRefused as e:
        code, text = list(e.recipients.values())[0]
        return code, text.decode(errors="replace")


def originals(pf, box, subject):
    """The messages in box whose own Subject is subject (notices about a
    message quote its headers, so a plain search would find them too)."""
    return [raw for raw in pf.mailbox(box) if message_from_bytes(raw).get("Subject") == subject]


def delivered_once(pf, box, subject):
    wait_for(f"{subject!r} in {box}'s mailbox", lambda: originals(pf, box, subject))
    wait_for("an empty queue", pf.queue_empty)
    count = len(originals(pf, box, subject))
    if count != 1:
        raise Failure(f"{subject!r} arrived {count} times")
    return originals(pf, box, subject)[0]


def nothing_anywhere(pf, subject):
    wait_for("an empty queue", pf.queue_empty)
    for box in ("alice", "bob", "admin"):
        if originals(pf, box, subject):
            raise Failure(f"{subject!r} reached {box}")


def quarantined_since(pf, before):
    """The one message stored in the quarantine since before was listed (with
    its envelope record beside it)."""
    stored = set(os.listdir(pf.path("quarantine"))) - before
    messages = sorted(n for n in stored if not n.endswith(".env"))
    if len(messages) != 1 or stored != {messages[0], messages[0] + ".env"}:
        raise Failure(f"quarantine holds {sorted(stored)}")
    return messages[0]


def reconfigure(pf, changes):
    """The milter's configuration changed through a reload (SIGUSR1)."""
    done = pf.milter_output().count("the configuration is reloaded")
    pf.configure(changes)
    pf.signal_milter(signal.SIGUSR1)
    wait_for("the reload", lambda: pf.milter_output().count("the configuration is reloaded") > done)


def spool_files(pf):
    return [n for n in os.listdir(pf.path("spool")) if not n.startswith(".")]


def check_spool_emptied(pf):
    """No spool file is left once the mail system is done (notices sent by the
    milter go through it as well, a little later)."""
    wait_for("an empty queue", pf.queue_empty)
    try:
        wait_for("an empty spool", lambda: not spool_files(pf), timeout=10)
    except Failure:
        raise Failure(f"spool files left: {spool_files(pf)}")


def check_clean_gets_the_header(pf):
    body = b"A clean message.\r\nSecond line with trailing blanks   \r\n\r\nLast line.\r\n"
    code, text = smtp_code(pf, message(b"m-clean-1", body))
    if code != 250:
        raise Failure(f"clean message answered {code} {text}")
    raw = delivered_once(pf, "alice", "m-clean-1")
    if b"X-Virus-Scanned: Kerval(R) Filter for postfix" not in raw:
        raise Failure(f"no X-Virus-Scanned header:\n{raw[:600]!r}")
    if body_of(raw.replace(b"\r\n", b"\n")) != body.replace(b"\r\n", b"\n"):
        raise Failure(f"body changed: {body_of(raw)!r}")
    check_spool_emptied(pf)


def check_eicar_refused_without_bounce(pf):
    code, text = smtp_code(pf, message(b"m-eicar-1", b"Attachment:\r\n\r\n" + EICAR + b"\r\n"))
    if code != 550 or "5.7.1" not in text or REPLY_INFECTED not in text:
        raise Failure(f"EICAR answered {code} {text!r}")
    nothing_anywhere(pf, "m-eicar-1")
    if "bounce" in pf.queue_listing().lower() or "MAILER-DAEMON" in pf.queue_listing():
        raise Failure("a bounce is queued")
    check_spool_emptied(pf)


def check_quarantine_and_admin_notice(pf):
    wait_for("an empty queue", pf.queue_empty)
    before = set(os.listdir(pf.path("quarantine")))
    reconfigure(pf, {"Actions": {"Infected": "quarantine"}})
    try:
        code, text = smtp_code(pf, message(b"m-quar-1", b"Something odd:\r\n" + EICAR + b"\r\n"))
    finally:
        reconfigure(pf, {"Actions": {"Infected": "reject"}})
    if code != 250:
        raise Failure(f"quarantined message answered {code} {text}")
    notice = wait_for("the administrator's notice", lambda: pf.messages_with("admin", b"m-quar-1"))[0]
    nothing_anywhere(pf, "m-quar-1")
    name = quarantined_since(pf, before)
    if b"Something odd:\n" + EICAR not in open(pf.path("quarantine", name), "rb").read():
        raise Failure("the quarantined file does not hold the message")
    if name.encode() not in notice:
        raise Failure("the notice does not name the quarantine file")
    # The envelope record beside it names the queue ID Postfix logged for it.
    record = open(pf.path("quarantine", name + ".env")).read().splitlines()
    queue_ids = [line.split(" ", 1)[1] for line in record if line.startswith("queue_id ")]
    logged = re.findall(r"postfix/cleanup\[\d+\]: ([0-9A-Za-z]+): message-id=<m-quar-1@", pf.maillog())
    if len(queue_ids) != 1 or queue_ids != logged or f"rcpt alice@{DOMAIN}" not in record:
        raise Failure(f"envelope record {record} does not match the queue IDs {logged} in Postfix's log")


def check_hold_and_redirect(pf):
    """QuarantineToHold keeps the quarantined message on hold as well;
    redirect replaces the recipients."""
    wait_for("an empty queue", pf.queue_empty)
    before = set(os.listdir(pf.path("quarantine")))
    reconfigure(pf, {"Actions": {"Infected": "quarantine"}, "Milter": {"QuarantineToHold": "yes"}})
    try:
        code, text = smtp_code(pf, message(b"m-hold-1", EICAR + b"\r\n"))
        held = wait_for("the held message", lambda: "!" in pf.queue_listing() and pf.queue_listing())
    finally:
        reconfigure(pf, {"Actions": {"Infected": "reject"}, "Milter": {"QuarantineToHold": "no"}})
        run(pf.path("bin", "postsuper"), "-c", pf.etc, "-d", "ALL", "hold", check=False)
    if code != 250:
        raise Failure(f"held message answered {code} {text}")
    if "sender@example.org" not in held:
        raise Failure(f"not the held message:\n{held}")
    quarantined_since(pf, before)
    reconfigure(pf, {"Actions": {"Infected": "redirect", "RedirectMail": f"bob@{DOMAIN}"}})
    try:
        code, text = smtp_code(pf, message(b"m-redirect-1", EICAR + b"\r\n"), rcpts=(ALICE, f"admin@{DOMAIN}"))
    finally:
        reconfigure(pf, {"Actions": {"Infected": "reject"}})
    if code != 250:
        raise Failure(f"redirected message answered {code} {text}")
    delivered_once(pf, "bob", "m-redirect-1")
    for box in ("alice", "admin"):
        if originals(pf, box, "m-redirect-1"):
            raise Failure(f"the redirected message reached {box}")


def check_local_faults_tempfail(pf):
    """A spool that cannot be written and a daemon that never answers (within
    the Timeout of [DaemonCommunication]) are answered 451: the client keeps
    the message."""
    os.chmod(pf.path("spool"), 0o500)
    try:
        code, text = smtp_code(pf, message(b"m-nospool-1", b"No room.\r\n"))
    finally:
        os.chmod(pf.path("spool"), 0o750)
    if code != 451:
        raise Failure(f"with an unwritable spool: {code} {text}")
    nothing_anywhere(pf, "m-nospool-1")
    reconfigure(pf, {"DaemonCommunication": {"Timeout": "2"}})
    pf.control_daemon("stall = yes\n")
    started = time.monotonic()
    try:
        code, text = smtp_code(pf, message(b"m-stall-1", b"Nobody answers.\r\n"))
    finally:
        pf.control_daemon("")
        reconfigure(pf, {"DaemonCommunication": {"Timeout": "10"}})
    took = time.monotonic() - started
    if code != 451 or took > 8:
        raise Failure(f"with a stuck daemon: {code} {text} after {took:.1f} s")
    pf.kick_pickup()
    nothing_anywhere(pf, "m-stall-1")


def check_no_chain_of_notices(pf):
    """An infected Subject line makes the notices about the message infected
    too: they are quarantined like any mail, but without notices of their own."""
    wait_for("an empty queue", pf.queue_empty)
    before = set(os.listdir(pf.path("quarantine")))
    reconfigure(pf, {"Actions": {"Infected": "quarantine"}})
    try:
        code, text = smtp_code(pf, message(EICAR, b"Look at the subject.\r\n"))
        # The message, then its two notices (recipient, administrator).
        wait_for("the notices in the quarantine",
                 lambda: len([n for n in set(os.listdir(pf.path("quarantine"))) - before
                              if not n.endswith(".env")]) >= 3)
        wait_for("an empty queue", pf.queue_empty)
        check_spool_emptied(pf)
    finally:
        reconfigure(pf, {"Actions": {"Infected": "reject"}})
    if code != 250:
        raise Failure(f"answered {code} {text}")
    stored = [n for n in set(os.listdir(pf.path("quarantine"))) - before if not n.endswith(".env")]
    if len(stored) != 3:
        raise Failure(f"quarantined: {sorted(stored)}")
    if pf.milter_output().count("comes from the filter's own address - no notices about it") != 2:
        raise Failure("the notices were not recognised as the filter's own")


def check_reload_to_cure_keeps_connections(pf):
    """SIGUSR1 with Infected = cure: a session opened before the reload stays
    up and its next message is cured (the daemon cleans the spool file)."""
    smtp = smtplib.SMTP("127.0.0.1", pf.smtp_port, timeout=60)
    try:
        smtp.sendmail("sender@example.org", [ALICE], message(b"m-before-reload", b"Before.\r\n"))
        reconfigure(pf, {"Actions": {"Infected": "cure"}})
        body = b"Cure this:\r\n" + EICAR + b"\r\nEnd.\r\n"
        smtp.sendmail("sender@example.org", [ALICE], message(b"m-cure-1", body))
        smtp.quit()
    finally:
        smtp.close()
        reconfigure(pf, {"Actions": {"Infected": "reject"}})
    delivered_once(pf, "alice", "m-before-reload")
    raw = delivered_once(pf, "alice", "m-cure-1")
    expected = b"Cure this:\n" + b" " * len(EICAR) + b"\nEnd.\n"
    if body_of(raw.replace(b"\r\n", b"\n")) != expected:
        raise Failure(f"not the cured body: {body_of(raw)!r}")


def check_daemon_down_tempfails_then_retry_once(pf):
    # The notices of earlier checks go through the milter too: none left.
    wait_for("an empty queue", pf.queue_empty)
    pf.stop_daemon()
    try:
        code, text = smtp_code(pf, message(b"m-down-1", b"Kept by the client.\r\n"))
    finally:
        pf.start_daemon()
    if code != 451 or "4.7.1" not in text:
        raise Failure(f"with the daemon down: {code} {text!r}")
    # The error notice was kept back as well; pickup tries it again.
    pf.kick_pickup()
    nothing_anywhere(pf, "m-down-1")
    code, text = smtp_code(pf, message(b"m-down-1", b"Kept by the client.\r\n"))
    if code != 250:
        raise Failure(f"the retry answered {code} {text}")
    delivered_once(pf, "alice", "m-down-1")


def check_concurrent_sessions(pf, sessions=20):
    results = {}

    def one(i):
        infected = i % 3 == 0
        marker = f"m-conc-{i}".encode()
        body = (b"Infected:\r\n" + EICAR if infected else b"Clean number " + marker) + b"\r\n"
        results[i] = (infected, smtp_code(pf, message(marker, body)))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wrong = [(i, r) for i, r in sorted(results.items()) if r[1][0] != (550 if r[0] else 250)]
    if wrong or len(results) != sessions:
        raise Failure(f"wrong answers: {wrong}")
    wait_for("an empty queue", pf.queue_empty)
    for i, (infected, _) in sorted(results.items()):
        count = len(originals(pf, "alice", f"m-conc-{i}"))
        if count != (0 if infected else 1):
            raise Failure(f"message {i} (infected: {infected}) delivered {count} times")
    wait_for("an empty queue", pf.queue_empty)


def check_sigterm_mid_session(pf):
    """SIGTERM after MAIL FROM: the message in progress is finished and
    delivered once; while the milter is down the client gets 451; after the
    restart a retry is delivered once."""
    check_spool_emptied(pf)
    smtp = smtplib.SMTP("127.0.0.1", pf.smtp_port, timeout=60)
    try:
        smtp.mail("sender@example.org")
        smtp.rcpt(ALICE)
        pf.signal_milter(signal.SIGTERM)
        wait_for("the milter to wait", lambda: "waiting for 1 message(s) in progress" in pf.milter_output())
        code, text = smtp.data(message(b"m-term-1", b"In flight.\r\n"))
        if code != 250:
            raise Failure(f"the message in flight answered {code} {text}")
        smtp.quit()
    finally:
        smtp.close()
    status = pf.stop_milter()
    if status != 0:
        raise Failure(f"the milter exited {status}")
    delivered_once(pf, "alice", "m-term-1")
    code, text = smtp_code(pf, message(b"m-term-2", b"While down.\r\n"))
    pf.start_milter()
    if code != 451:
        raise Failure(f"with the milter down: {code} {text}")
    nothing_anywhere(pf, "m-term-2")
    code, text = smtp_code(pf, message(b"m-term-2", b"While down.\r\n"))
    if code != 250:
        raise Failure(f"the retry answered {code} {text}")
    delivered_once(pf, "alice", "m-term-2")


def resident_kb(pid, field):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return -1


def check_memory_flat(pf, sessions=20, size=10 * 1024 * 1024):
    """20 sessions of 10 MB at once: the milter's peak resident size stays
    within a few MB of its idle figure (the messages are streamed to disk)."""
    if SANITIZED:
        # The sanitizers keep freed memory back on purpose: figures say nothing.
        print("    (resident size not judged: sanitizer build)")
    pid = pf.milter.pid
    idle = resident_kb(pid, "VmRSS")
    line = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n"
    body = line * (size // len(line)) + EICAR + b"\r\n"
    results = []

    def one(i):
        results.append(smtp_code(pf, message(f"m-big-{i}".encode(), body))[0])

    threads = [threading.Thread(target=one, args=(i,)) for i in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    peak = resident_kb(pid, "VmHWM")
    if results.count(550) != sessions:
        raise Failure(f"answers {results}")
    growth = (peak - idle) / 1024
    print(f"    milter resident: idle {idle / 1024:.1f} MB, peak {peak / 1024:.1f} MB (+{growth:.1f} MB)")
    if growth > 8 and not SANITIZED:
        raise Failure(f"resident size grew by {growth:.1f} MB")
    check_spool_emptied(pf)


CHECKS = [check_clean_gets_the_header, check_eicar_refused_without_bounce, check_quarantine_and_admin_notice,
          check_concurrent_sessions, check_reload_to_cure_keeps_connections,
          check_hold_and_redirect, check_no_chain_of_notices, check_daemon_down_tempfails_then_retry_once, check_local_faults_tempfail,
          check_memory_flat, check_sigterm_mid_session]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--milter", required=True)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--only", help="run the checks whose names contain this text")
    parser.add_argument("--sanitized", action="store_true", help="the programs are built with the sanitizers")
    args = parser.parse_args()
    global SANITIZED
    SANITIZED = args.sanitized

    reason = skip_reason()
    if reason:
        print(f"SKIPPED: {reason}")
        return SKIP

    pf = Instance(args.daemon, args.source, milter_bin=args.milter, prefix="kv-milter.", log_level="Info")
    failed = 0
    try:
        pf.setup({"Actions": {"Infected": "reject", "UseCustomReply": "yes", "ReplyInfected": f'"{REPLY_INFECTED}"'}})
        pf.start_daemon()
        pf.start_milter()
        pf.start()
        for check in CHECKS:
            if args.only and args.only not in check.__name__:
                continue
            started = time.monotonic()
            try:
                check(pf)
                print(f"passed: {check.__name__} ({time.monotonic() - started:.1f} s)")
            except Failure as failure:
                failed += 1
                print(f"FAILED: {check.__name__}: {failure}")
            if pf.milter is None or pf.milter.poll() is not None:
                print("the milter is gone: the remaining checks cannot run")
                failed += 1
                break
    except Failure as failure:
        failed += 1
        print(f"FAILED: setting up the instance: {failure}")
    finally:
        if failed:
            print("--- maillog ---\n" + pf.maillog()[-6000:])
            print("--- milter ---\n" + pf.milter_output()[-6000:])
        pf.stop()
        pf.remove()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
