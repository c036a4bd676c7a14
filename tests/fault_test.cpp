// The filter against injected faults: a quarantine that cannot be written, a
// submission program that fails or hangs, a daemon that answers oddly, and the
// filter itself stopped or killed at every stage. Whatever happens, the message
// is delivered whole, kept, or left to the mail system for a later try, and the
// spool directory is left empty.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <thread>
#include <functional>

#include "verdict_fixture.h"

using kvtest::verdict_run;

namespace {

const std::vector<std::string> kRcpts = {"rcpt@example.test"};

std::string infected_message(size_t padding = 0) {
    return kvtest::make_message("fault", std::string(padding, 'p') + "\r\n" + kvtest::eicar() + "\r\n");
}

// A small file system of its own, unmounted at the end; empty when this
// machine does not let the test mount one.
class small_tmpfs {
public:
    small_tmpfs(const std::string& path, const char* size) : path_(path) {
        mkdir(path.c_str(), 0755);
        mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~small_tmpfs() {
        if (mounted_) umount(path_.c_str());
    }
    bool mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

struct fault_case {
    const char* name;
    std::vector<std::string> daemon;                               // the stand-in's answer
    std::vector<std::pair<std::string, std::string>> lines = {};   // configuration lines
    std::function<void(verdict_run&)> inject = nullptr;
    int status = 0;
    size_t deliveries = 0;             // re-submitted, cured or redirected copies
    std::string delivered = "";        // what the first delivery must be ("" = the message)
    size_t quarantined = 0;
};

void run_fault(const fault_case& c, const std::string& message) {
    SCOPED_TRACE(c.name);
    verdict_run f(c.daemon);
    for (const auto& [section, line] : c.lines) f.config.set(section, line);
    if (c.inject) c.inject(f);
    auto r = f.run("sender@example.org", kRcpts, message);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    auto delivered = f.deliveries();
    EXPECT_EQ(delivered.size(), c.deliveries);
    for (const kvtest::submission& s : delivered) {
        // Whole or not at all: every copy handed on is complete.
        EXPECT_EQ(s.message, c.delivered.empty() ? message : c.delivered);
    }
    std::vector<std::string> stored;
    for (const std::string& name : f.quarantined())
        if (name.rfind("kerval.quarantine.", 0) == 0) stored.push_back(name);
    EXPECT_EQ(stored.size(), c.quarantined);
    for (const std::string& name : stored) {
        EXPECT_EQ(kvtest::read_file(f.quarantine() + "/" + name), message);
        EXPECT_TRUE(kvtest::file_exists(f.quarantine() + "/" + name + ".env"));  // with its envelope
    }
    EXPECT_TRUE(f.spool_messages().empty());
}

// A UNIX-domain listener whose queue is full: it takes nobody until start()
// is called, then passes every connection on to the daemon at target.
class full_listener {
public:
    full_listener(const std::string& path, const std::string& target) : path_(path), target_(target) {
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = unix_address(path_);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 0), 0);
        // The one connection a queue of length 0 holds: the next one is refused with EAGAIN.
        filler_ = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        EXPECT_EQ(connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), -1);
        EXPECT_EQ(errno, EAGAIN);
        close(probe);
    }
    ~full_listener() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        if (worker_.joinable()) worker_.join();
        close(listener_);
        close(filler_);
        unlink(path_.c_str());
    }
    void start() {
        worker_ = std::thread([this] {
            // The first in the queue is the filler: it goes away unserved.
            int first = accept(listener_, nullptr, nullptr);
            if (first >= 0) close(first);
            while (!stop_) {
                int client = accept(listener_, nullptr, nullptr);
                if (client < 0) return;
                relay(client);
            }
        });
    }

private:
    static sockaddr_un unix_address(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        return address;
    }
    // Copies both ways between a client and the daemon until one side closes.
    void relay(int client) {
        int daemon = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = unix_address(target_);
        if (connect(daemon, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            pollfd ends[2] = {{client, POLLIN, 0}, {daemon, POLLIN, 0}};
            char buffer[4096];
            bool open = true;
            while (open && poll(ends, 2, 5000) > 0) {
                for (int i = 0; i < 2 && open; ++i) {
                    if (ends[i].revents == 0) continue;
                    ssize_t got = read(ends[i].fd, buffer, sizeof buffer);
                    open = got > 0 && write(ends[1 - i].fd, buffer, static_cast<size_t>(got)) == got;
                }
            }
        }
        close(daemon);
        close(client);
    }

    std::string path_, target_;
    int listener_ = -1, filler_ = -1;
    std::thread worker_;
    std::atomic<bool> stop_{false};
};

}  // namespace

TEST(Faults, FullListenQueueIsWaitedForWithinTheTimeout) {
    verdict_run f;
    full_listener queue(f.dir / "full.sock", f.daemon->socket_path());
    f.config.drop("DaemonCommunication")
        .set("DaemonCommunication", "Address = local:" + (f.dir / "full.sock"))
        .set("DaemonCommunication", "Timeout = 10");
    auto filter = f.start("sender@example.org", kRcpts, infected_message());
    // The filter meets the full queue first (it starts within milliseconds);
    // the daemon side catches up a moment later.
    timespec pause{0, 300 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    queue.start();
    auto r = filter->wait(30);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(f.quarantined().size(), 1u);
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(Faults, EachFaultKeepsDeliversOrDefersTheWholeMessage) {
    const std::string cured = kvtest::make_message("fault", "cured body\r\n");
    const fault_case cases[] = {
        {.name = "quarantine is not a directory", .daemon = {},
         .inject = [](verdict_run& f) {
             kvtest::write_file(f.dir / "qfile", "");
             f.config.set("Actions", "Quarantine = " + (f.dir / "qfile"));
         },
         .status = 75},
        {.name = "submitter exits 75", .daemon = {"--status=0"},
         .inject = [](verdict_run& f) { f.set_submit_status(75); }, .status = 75, .deliveries = 1},
        {.name = "submitter exits 69", .daemon = {"--status=0"},
         .inject = [](verdict_run& f) { f.set_submit_status(69); }, .status = 75, .deliveries = 1},
        {.name = "submitter hangs", .daemon = {"--status=0"}, .lines = {{"Mailer", "Timeout = 1"}},
         .inject = [](verdict_run& f) { f.set_submit_mode(1, "hang"); }, .status = 75, .deliveries = 1},
        {.name = "redirect fails", .daemon = {"--status=0x40"}, .lines = {{"Actions", "Suspicious = redirect"}},
         .inject = [](verdict_run& f) { f.set_submit_status(75); }, .status = 75, .deliveries = 1},
        // "Cured" that nobody asked for, with a cured copy: still infected.
        {.name = "cured unasked", .daemon = {"--status=0x120", "--virus=EICAR-Test-File,K", "--stat=0x20:1",
                                              "--stat=0x100:1", "--cured=" + cured},
         .lines = {{"Scanning", "LocalScan = no"}}, .status = 0, .quarantined = 1},
        // Asked, but no cured copy came back in content mode: infected.
        {.name = "cured without a copy", .daemon = {"--status=0x120", "--virus=EICAR-Test-File,K",
                                                     "--stat=0x20:1", "--stat=0x100:1", "--cured="},
         .lines = {{"Scanning", "LocalScan = no"}, {"Actions", "Infected = cure"}}, .status = 0, .quarantined = 1},
    };
    for (const fault_case& c : cases) run_fault(c, infected_message());
}

TEST(Faults, FullQuarantineKeepsTheMessageForRetry) {
    verdict_run f;
    small_tmpfs small(f.dir / "small", "16k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    f.config.set("Actions", "Quarantine = " + (f.dir / "small"));
    const std::string message = infected_message(64 * 1024);  // more than the file system holds
    EXPECT_EQ(f.run("sender@example.org", kRcpts, message).status, 75);
    EXPECT_TRUE(f.submissions().empty());
    EXPECT_TRUE(kvtest::list_dir(f.dir / "small").empty());
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(Faults, CureServedByABackupInContentModeDeliversExactlyOneCopy) {
    const std::string cured = kvtest::make_message("fault", "cured body\r\n");
    verdict_run f({"--status=0x120", "--virus=EICAR-Test-File,K", "--stat=0x20:1", "--stat=0x100:1",
                   "--cured=" + cured});
    // The primary refuses; the backup is sent the content although LocalScan is on.
    kvtest::stand_in primary(f.dir.path(), {.args = {"--refuse"}, .name = "primary"});
    f.config.drop("DaemonCommunication")
        .set("DaemonCommunication", "Address = " + primary.unix_address() + ", " + f.daemon->unix_address())
        .set("DaemonCommunication", "Timeout = 10")
        .set("Actions", "Infected = cure");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
    auto delivered = f.deliveries();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].message, cured);
    EXPECT_NE(f.daemon->requests().back().find("mode=content"), std::string::npos);
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(Faults, ContentModeReadsTheRealSpoolPathWhateverPrefixPathSays) {
    verdict_run f;
    f.config.set("Scanning", "LocalScan = no").set("Scanning", "PrefixPath = /chroot/kervald");
    EXPECT_EQ(f.run("sender@example.org", kRcpts, infected_message()).status, 0);
    EXPECT_EQ(f.quarantined().size(), 1u);  // found, so it was read
}

TEST(Faults, StoppedAtEveryStageLeavesAWholeMessageOrNone) {
    struct stop_case {
        const char* name;
        std::vector<std::string> daemon;
        int blocked;           // the submission the filter is stopped in (0: in the scan)
        int signal;
        int status;            // -1: killed by the signal
        size_t deliveries;     // whole copies handed on in the end
        bool spool_left;       // a killed run leaves its spool file for a later sweep
    };
    const std::string message = kvtest::make_message("stopped", "body\r\n");
    const stop_case cases[] = {
        {"term in the scan", {"--stall=yes"}, 0, SIGTERM, 75, 0, false},
        {"term in the submission", {}, 1, SIGTERM, 75, 0, false},
        {"hup in the submission", {}, 1, SIGHUP, 75, 0, false},
        {"term after the submission", {"--status=0x40"}, 2, SIGTERM, 75, 1, false},
        {"kill in the submission", {}, 1, SIGKILL, -1, 1, true},
    };
    for (const stop_case& c : cases) {
        SCOPED_TRACE(c.name);
        verdict_run f(c.daemon);
        f.config.set("Actions", "Suspicious = pass");  // passed, then the administrator is told
        if (c.blocked > 0) f.set_submit_mode(c.blocked, "block");
        auto filter = f.start("sender@example.org", kRcpts, message);
        if (c.blocked > 0) {
            ASSERT_TRUE(kvtest::wait_for_file(f.submission_started(c.blocked)));
        } else {
            ASSERT_TRUE(kvtest::wait_for_file(f.daemon->record_path()));
        }
        kill(filter->pid(), c.signal);
        auto r = filter->wait(30);
        if (c.status >= 0) {
            EXPECT_EQ(r.status, c.status) << r.out;
        } else {
            EXPECT_EQ(r.signal, c.signal);
        }
        // A submitter that outlived the filter finishes with what it was given.
        f.release_submissions();
        if (c.signal == SIGKILL) {
            ASSERT_TRUE(kvtest::wait_for_file(f.dir / "outbox/001.args"));
        }
        auto delivered = f.deliveries();
        EXPECT_EQ(delivered.size(), c.deliveries);
        for (const kvtest::submission& s : delivered) EXPECT_EQ(s.message, message);
        EXPECT_EQ(f.spool_messages().size(), c.spool_left ? 1u : 0u);
    }
}

TEST(Faults, LaterRunsRemoveSpoolFilesLeftBehind) {
    verdict_run f;
    f.config.set("Scanning", "RunTimeLimit = 5");
    const std::string old_file = f.spool() + "/kerval.tmp.left";
    const std::string recent_file = f.spool() + "/kerval.tmp.recent";
    const std::string foreign_file = f.spool() + "/other.file";
    for (const std::string& path : {old_file, recent_file, foreign_file}) kvtest::write_file(path, "x");
    timeval old_times[2] = {{time(nullptr) - 11, 0}, {time(nullptr) - 11, 0}};
    ASSERT_EQ(utimes(old_file.c_str(), old_times), 0);
    ASSERT_EQ(utimes(foreign_file.c_str(), old_times), 0);
    EXPECT_EQ(f.run("sender@example.org", kRcpts, kvtest::make_message("x", "y\r\n")).status, 0);
    EXPECT_FALSE(kvtest::file_exists(old_file));
    EXPECT_TRUE(kvtest::file_exists(recent_file));
    EXPECT_TRUE(kvtest::file_exists(foreign_file));
}

TEST(Faults, RunTimeLimitDefersTheMessage) {
    verdict_run f({"--stall=yes"});
    f.config.set("Scanning", "RunTimeLimit = 1").set("DaemonCommunication", "Timeout = 30");
    auto r = f.run("sender@example.org", kRcpts, kvtest::make_message("slow", "y\r\n"));
    EXPECT_EQ(r.status, 75);
    EXPECT_EQ(r.out, "kerval-postfix: run time limit reached - message kept for retry\n");
    EXPECT_TRUE(f.submissions().empty());
    EXPECT_TRUE(f.spool_messages().empty());
}

TEST(Faults, ErrorNoticesAboutTheSameProblemGoOutOncePerInterval) {
    for (int interval : {1800, 0}) {
        SCOPED_TRACE(interval);
        verdict_run f({}, false);  // no daemon: every run defers and would tell
        f.config.set("Actions", "ErrorNotifyInterval = " + std::to_string(interval));
        for (int run = 0; run < 3; ++run)
            EXPECT_EQ(f.run("sender@example.org", kRcpts, kvtest::make_message("x", "y\r\n")).status, 75);
        const std::vector<std::string> notices = f.notices();
        const size_t admin_notices =
            static_cast<size_t>(std::count(notices.begin(), notices.end(), std::string("ErrorNotifications Admin")));
        EXPECT_EQ(admin_notices, interval > 0 ? 1u : 3u);
    }
}
