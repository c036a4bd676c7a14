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
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pf_instance import (DOMAIN, EICAR, SKIP, Failure, Instance, body_of, message,  # noqa: E402
                         skip_reason, wait_for)


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

    reason = skip_reason()
    if reason:
        print(f"SKIPPED: {reason}")
        return SKIP

    pf = Instance(args.daemon, args.source, filter_bin=args.filter)
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
