#include "kvc_lib.h"

#include <sys/stat.h>

#include <atomic>
#include <barrier>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_fixture.h"
#include "kvc_log.h"
#include "test_util.h"

using kvtest::stand_in;

namespace {

constexpr uint32_t ALL_PARTS = kv::KV_OPT_VIRUSES | kv::KV_OPT_REPORT | kv::KV_OPT_STATISTICS |
                               kv::KV_OPT_VIRUS_CATEGORIES | kv::KV_OPT_RULE;

std::vector<std::string> items(const kv::strings* list) {
    return list != nullptr ? list->items() : std::vector<std::string>{};
}

int64_t elapsed_since(const kv::timo_stamp& start) { return kv::timo_elapsed_ms(start, kv::timo_now()); }

class Lib : public ::testing::Test {
protected:
    void TearDown() override {
        if (started_) {
            EXPECT_EQ(kv::cleanup(), kv::KV_OK);
        }
    }
    // Starts the library with a primary address and backups, all with this timeout.
    void start(const std::string& primary, int seconds = 5, const std::vector<std::string>& backups = {}) {
        ASSERT_EQ(kv::startup(kv::KV_LIB_VERSION, primary.c_str(), seconds, 0), kv::KV_OK);
        started_ = true;
        for (const std::string& backup : backups) ASSERT_EQ(kv::add_address(backup, seconds, 0), kv::KV_OK);
    }
    // A file in the test directory (a spool of its own, so report lines name it by path).
    std::string spool_file(const std::string& name, const std::string& content) {
        mkdir((dir / "spool").c_str(), 0700);
        const std::string path = dir / ("spool/" + name);
        kvtest::write_file(path, content);
        return path;
    }
    std::string infected_text() const { return "Subject: test\r\n\r\nbefore " + kvtest::eicar() + " after\r\n"; }

    kvtest::temp_dir dir;
    bool started_ = false;
};

}  // namespace

TEST(LibLifecycle, VersionsStatesAndAddresses) {
    kvtest::log_capture logged;
    EXPECT_EQ(kv::startup(0x0307, "default", 5, 0), kv::KV_ERR_PARAM);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: startup: library major version (4) and requested (3) is different"));
    EXPECT_EQ(kv::startup(0x0407, nullptr, 5, 0), kv::KV_ERR_PARAM);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: startup: daemon address not specified"));
    EXPECT_EQ(kv::startup(0x0407, "tcp:1@x", 5, 0), kv::KV_ERR_COMM);
    EXPECT_TRUE(logged.has(kv::Verbose, "kvlib: startup: cannot create IPC with specification <tcp:1@x>"));
    EXPECT_EQ(kv::add_address("default", 5, 0), kv::KV_ERR_COMM);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: null args passed to addrlist_add routine"));
    EXPECT_EQ(kv::cleanup(), kv::KV_ERR_STATE);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: cleanup: library has not been initialized"));

    logged.clear();
    EXPECT_EQ(kv::startup(0x0405, "default", 5, 0), kv::KV_OK);
    EXPECT_TRUE(logged.has(kv::Alerts, "kvlib: startup: library minor version (7) and requested (5) is different"));
    EXPECT_EQ(kv::startup(0x0407, "local:/other", 5, 0), kv::KV_ERR_STATE);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: startup: library already initialized"));
    EXPECT_EQ(kv::add_address("inet:3000", 5, 0), kv::KV_ERR_COMM);
    EXPECT_EQ(kv::cleanup(), kv::KV_OK);
    EXPECT_EQ(kv::cleanup(), kv::KV_ERR_STATE);

    // Started afresh after a clean-up, and silent with the right version.
    logged.clear();
    EXPECT_EQ(kv::startup(0x0407, "default", 5, 0), kv::KV_OK);
    EXPECT_FALSE(logged.contains("version"));
    EXPECT_EQ(kv::cleanup(), kv::KV_OK);
}

TEST(LibLifecycle, RequestsNeedAStartedLibrary) {
    kvtest::log_capture logged;
    int major = 0, minor = 0;
    std::optional<std::string> text;
    int64_t total = 0;
    std::unique_ptr<kv::scanresult> result;
    EXPECT_EQ(kv::get_version(major, minor), kv::KV_ERR_NOT_INIT);
    EXPECT_EQ(kv::get_id_string(text), kv::KV_ERR_NOT_INIT);
    EXPECT_EQ(kv::get_bases(text, total), kv::KV_ERR_NOT_INIT);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: library is not initialized"));
    EXPECT_EQ(kv::scanfile("/tmp/x", 1, 0, 0, result, 0), kv::KV_ERR_NOT_INIT);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: scanfile: library is not initialized"));
    EXPECT_EQ(kv::scanmail("/tmp/x", 1, 0, 0, result, 0, "", nullptr), kv::KV_ERR_NOT_INIT);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: scanmail: library is not initialized"));
    EXPECT_EQ(kv::scanbuffer("x", 1, 0, 0, result, 0), kv::KV_ERR_NOT_INIT);
    EXPECT_EQ(kv::scancallback([](char*, size_t) { return 0L; }, "", 0, 0, 0, result, 0), kv::KV_ERR_NOT_INIT);
    EXPECT_EQ(kv::scanfilepart("/tmp/x", 0, 1, 0, 0, result, 0), kv::KV_ERR_NOT_INIT);
    EXPECT_FALSE(result);
}

TEST_F(Lib, DaemonQueries) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    struct row {
        const char* setting;
        int major, minor;
    };
    for (const row& r : {row{"version = 433", 4, 33}, row{"version = 500", 5, 0}, row{"version = 432", 4, 32}}) {
        daemon.control(r.setting);
        int major = -1, minor = -1;
        ASSERT_EQ(kv::get_version(major, minor), kv::KV_OK) << r.setting;
        EXPECT_EQ(major, r.major) << r.setting;
        EXPECT_EQ(minor, r.minor) << r.setting;
    }

    daemon.control("id = kervald for tests\nbase = A:100\nbase = B:25\n");
    std::optional<std::string> text;
    ASSERT_EQ(kv::get_id_string(text), kv::KV_OK);
    EXPECT_EQ(text, "kervald for tests");
    int64_t total = 0;
    ASSERT_EQ(kv::get_bases(text, total), kv::KV_OK);
    EXPECT_EQ(text, "Base A contains 100 records.\nBase B contains 25 records.\n");
    EXPECT_EQ(total, 125);
}

TEST_F(Lib, QueriesOverTcpThroughAPidFile) {
    stand_in daemon(dir.path(), {.unix_socket = false, .tcp = true, .args = {"--version=500"}});
    start(daemon.pid_address());
    int major = 0, minor = 0;
    ASSERT_EQ(kv::get_version(major, minor), kv::KV_OK);
    EXPECT_EQ(major, 5);
    EXPECT_EQ(minor, 0);
}

TEST_F(Lib, NoDaemonAnswering) {
    stand_in refusing(dir.path(), {.args = {"--refuse"}});
    start(refusing.unix_address(), 5, {"local:" + (dir / "nobody.sock"), "inet:1@127.0.0.1"});
    kvtest::log_capture logged;
    int major = 0, minor = 0;
    std::optional<std::string> text;
    int64_t total = 0;
    std::unique_ptr<kv::scanresult> result;
    EXPECT_EQ(kv::get_version(major, minor), kv::KV_ERR_NO_DAEMON);
    EXPECT_EQ(kv::get_id_string(text), kv::KV_ERR_NO_DAEMON);
    EXPECT_EQ(kv::get_bases(text, total), kv::KV_ERR_NO_DAEMON);
    EXPECT_EQ(kv::scanfile(spool_file("m", "x"), 1, ALL_PARTS, 0, result, 0), kv::KV_ERR_NO_DAEMON);
    EXPECT_FALSE(result);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: cannot create connection with a Kerval daemon"));
}

TEST_F(Lib, FindsTheTestFileInBothModesOverBothTransports) {
    stand_in daemon(dir.path(), {.tcp = true});
    const std::string path = spool_file("msg.1", infected_text());
    for (const std::string& address : {daemon.unix_address(), daemon.tcp_address()}) {
        for (int local : {1, 0}) {
            start(address);
            std::unique_ptr<kv::scanresult> result;
            ASSERT_EQ(kv::scanfile(path, local, ALL_PARTS | kv::KV_OPT_NODELAY, 0, result, 0), kv::KV_OK)
                << address << " local=" << local << "\n" << daemon.log();
            ASSERT_TRUE(result);
            EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS);
            EXPECT_EQ(items(result->viruses.get()), std::vector<std::string>{"EICAR-Test-File"});
            EXPECT_EQ(items(result->categories[kv::CAT_KNOWN].get()), std::vector<std::string>{"EICAR-Test-File"});
            EXPECT_FALSE(result->categories[kv::CAT_SUSPICIOUS]);
            EXPECT_EQ(result->rule, "");
            EXPECT_EQ(result->report, "msg.1 infected: EICAR-Test-File\n");  // the spool directory is stripped
            EXPECT_EQ(result->stat[kv::STAT_KNOWN_VIRUSES], 1);
            EXPECT_EQ(result->stat[kv::STAT_SCANNED], 1);
            EXPECT_FALSE(result->cured_file);
            const std::string expected = local ? "name=" + path + " size=0 mode=local"
                                               : "name=" + path + " size=" + std::to_string(infected_text().size()) +
                                                     " mode=content";
            EXPECT_NE(daemon.requests().back().find(expected), std::string::npos) << daemon.requests().back();
            ASSERT_EQ(kv::cleanup(), kv::KV_OK);
            started_ = false;
        }
    }
}

TEST_F(Lib, CleanFileAndOptionalParts) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string path = spool_file("clean", "nothing to see\n");
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanfile(path, 0, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, 0u);
    EXPECT_EQ(result->report, "clean ok\n");
    EXPECT_FALSE(result->viruses);  // not asked for
    EXPECT_EQ(result->stat[kv::STAT_SCANNED], 0);
}

TEST_F(Lib, ScanmailSendsTheEnvelopeAndOnlyAskedForOptionWords) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string path = spool_file("mail", infected_text());
    kv::strings recipients;
    recipients.add("b@example.org");
    recipients.add("c@example.org");
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanmail(path, 1, kv::KV_OPT_EXTENDED | kv::KV_OPT_STATISTICS, 0x12, result, 0, "a@example.org",
                           &recipients),
              kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS);
    ASSERT_EQ(kv::scanmail(path, 1, 0, 0x12, result, 0, "", nullptr), kv::KV_OK);
    // scanfile never announces an envelope it does not send.
    ASSERT_EQ(kv::scanfile(path, 1, kv::KV_OPT_MAIL, 0x12, result, 0), kv::KV_OK);
    const std::vector<std::string> requests = daemon.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].rfind("scan options=0x81000004 options2=0x12 sender=a@example.org "
                                "recipients=b@example.org,c@example.org name=" + path + " size=0 mode=local",
                                0),
              0u)
        << requests[0];
    EXPECT_EQ(requests[1].rfind("scan options=0x1000000 sender= recipients= name=", 0), 0u) << requests[1];
    EXPECT_EQ(requests[2].rfind("scan options=0 name=", 0), 0u) << requests[2];
}

TEST_F(Lib, LocalModeOnlyTowardsTheFirstDaemon) {
    stand_in backup(dir.path(), {.name = "backup"});
    const std::string path = spool_file("msg", infected_text());
    std::unique_ptr<kv::scanresult> result;
    {
        // The primary is there but refuses: the backup is sent the content.
        stand_in primary(dir.path(), {.args = {"--refuse"}, .name = "primary"});
        start(primary.unix_address(), 5, {backup.unix_address()});
        kvtest::log_capture logged;
        ASSERT_EQ(kv::scanfile(path, 1, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK) << logged.dump();
        EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS);
        EXPECT_TRUE(logged.has(kv::Alerts, "kvlib: scanfile: cannot use <localscan> mode on backup kervald"));
        EXPECT_NE(backup.requests().back().find("mode=content"), std::string::npos);
        EXPECT_TRUE(primary.requests().empty());
        ASSERT_EQ(kv::cleanup(), kv::KV_OK);
        started_ = false;
    }
    // A primary that answers gets the file name.
    stand_in primary(dir.path(), {.name = "primary"});
    start(primary.unix_address(), 5, {backup.unix_address()});
    ASSERT_EQ(kv::scanfile(path, 1, 0, 0, result, 0), kv::KV_OK);
    EXPECT_NE(primary.requests().back().find("size=0 mode=local"), std::string::npos);
    EXPECT_EQ(backup.requests().size(), 1u);
}

TEST_F(Lib, ScanmailTellsWhoAnsweredAndReadsTheContentWhereTheFilterSeesIt) {
    stand_in backup(dir.path(), {.name = "backup"});
    stand_in primary(dir.path(), {.args = {"--refuse"}, .name = "primary"});
    start(primary.unix_address(), 5, {backup.unix_address()});
    const std::string path = spool_file("msg", infected_text());
    // The daemon's view of the file (a chroot prefix) does not exist here: the
    // content is read from the real path.
    std::unique_ptr<kv::scanresult> result;
    kv::scan_route route;
    kvtest::log_capture logged;
    ASSERT_EQ(kv::scanmail("/chroot" + path, 1, 0, 0, result, 0, "a@b", nullptr, path, &route), kv::KV_OK)
        << logged.dump();
    EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS);
    EXPECT_EQ(route.address, backup.unix_address());
    EXPECT_FALSE(route.local);
}

TEST_F(Lib, ChannelFailoverClearsTheLocalModeRequest) {
    stand_in backup(dir.path(), {.name = "backup"});
    start("local:" + (dir / "absent.sock"), 5, {backup.unix_address()});
    std::unique_ptr<kv::ipc::channel> ch = kv::open_daemon_channel(1, 0);
    ASSERT_TRUE(ch);
    EXPECT_EQ(kv::ipc::is_local_mode(ch.get()), 0);
    EXPECT_EQ(kv::close_daemon_channel(ch), kv::KV_OK);
}

TEST_F(Lib, StalledDaemonEndsTheRequestWithinItsBudget) {
    stand_in daemon(dir.path());
    daemon.control("stall = yes");
    start(daemon.unix_address(), 1);
    const std::string path = spool_file("msg", infected_text());
    std::unique_ptr<kv::scanresult> result;
    kvtest::log_capture logged;
    kv::timo_stamp begin = kv::timo_now();
    EXPECT_EQ(kv::scanfile(path, 0, ALL_PARTS, 0, result, 0), kv::KV_ERR_TIMEOUT);
    int64_t took = elapsed_since(begin);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 3000);
    EXPECT_FALSE(result);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: fd: wait for recv failed - timeout expired"));

    int major = 0, minor = 0;
    begin = kv::timo_now();
    EXPECT_EQ(kv::get_version(major, minor), kv::KV_ERR_TIMEOUT);
    took = elapsed_since(begin);
    EXPECT_LT(took, 3000);
}

TEST_F(Lib, DaemonClosingAtAnyByteOfItsAnswerFailsTheRequestCleanly) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string path = spool_file("msg", infected_text());
    const uint32_t options = ALL_PARTS | kv::KV_OPT_CURE;  // every part, the cured file last
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanfile(path, 0, options, 0, result, 0), kv::KV_OK);
    ASSERT_TRUE(result->cured_file);
    const std::string line = daemon.requests().back();
    const size_t answer = std::stoul(line.substr(line.rfind("answer=") + 7));
    ASSERT_GT(answer, 100u);
    kvtest::log_capture logged;
    for (size_t cut = 0; cut < answer; ++cut) {
        daemon.control("close-after = " + std::to_string(cut));
        const kv::timo_stamp begin = kv::timo_now();
        EXPECT_EQ(kv::scanfile(path, 0, options, 0, result, 0), kv::KV_ERR_COMM) << "cut at " << cut;
        EXPECT_FALSE(result) << "cut at " << cut;
        EXPECT_LT(elapsed_since(begin), 1000) << "cut at " << cut;
    }
    daemon.control("close-after = " + std::to_string(answer));
    EXPECT_EQ(kv::scanfile(path, 0, options, 0, result, 0), kv::KV_OK);
}

TEST_F(Lib, EmptyObjectsAreNotSentToTheDaemon) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string path = spool_file("empty", "");
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanmail(path, 0, kv::KV_OPT_REPORT | kv::KV_OPT_VIRUSES, 0, result, 0, "a@b", nullptr), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_CLEAN_COMPOSITE);
    EXPECT_EQ(result->report, path + " - the size of the file is equal to zero, skipped\n");
    ASSERT_TRUE(result->viruses);
    EXPECT_EQ(result->viruses->count(), 0);
    ASSERT_EQ(kv::scanfile(path, 0, kv::KV_OPT_REPORT, 0, result, 20), kv::KV_OK);
    EXPECT_EQ(result->report, path.substr(0, 18));  // kept within the limit
    EXPECT_TRUE(daemon.requests().empty());

    // A buffer of size 0 needs no daemon at all.
    daemon.stop();
    ASSERT_EQ(kv::scanbuffer("", 0, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->report, "MEMBLOCK - the size of the file is equal to zero, skipped\n");
}

TEST_F(Lib, CuredFileInContentAndLocalMode) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    std::string cured = infected_text();
    cured.replace(cured.find(kvtest::eicar()), 68, std::string(68, ' '));
    std::unique_ptr<kv::scanresult> result;

    const std::string sent = spool_file("sent", infected_text());
    ASSERT_EQ(kv::scanfile(sent, 0, kv::KV_OPT_CURE, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS | kv::KV_CURED);
    EXPECT_EQ(result->cured_file, cured);
    EXPECT_EQ(kvtest::read_file(sent), infected_text());  // the daemon only had a copy

    const std::string in_place = spool_file("in-place", infected_text());
    ASSERT_EQ(kv::scanfile(in_place, 1, kv::KV_OPT_CURE, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS | kv::KV_CURED);
    EXPECT_FALSE(result->cured_file);  // not asked for in local mode
    EXPECT_EQ(kvtest::read_file(in_place), cured);

    const std::string asked = spool_file("asked", infected_text());
    ASSERT_EQ(kv::scanfile(asked, 1, kv::KV_OPT_CURE | kv::KV_OPT_CURE_LOCAL, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->cured_file, cured);

    daemon.control("status = 0x80000\ncured = \\x00binary\\xff");  // deleted: the daemon's copy comes too
    ASSERT_EQ(kv::scanfile(sent, 0, 0, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->cured_file, std::string("\0binary\xff", 8));
}

TEST_F(Lib, ReportAndVirusListLimits) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string path = spool_file("msg", "x");
    daemon.control("report = {name} first\\n\nreport = {name} second\\n\nreport = third\\n\n");
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanfile(path, 1, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->report, "msg first\nmsg second\nthird\n");
    ASSERT_EQ(kv::scanfile(path, 1, kv::KV_OPT_REPORT, 0, result, 24), kv::KV_OK);
    EXPECT_EQ(result->report, "msg first\nmsg second\n");  // cut: the third line would reach 24

    // A nameless object cannot be cut: its report fails instead.
    kvtest::log_capture logged;
    const std::string data = "abc";
    auto reader = [&](char* buffer, size_t) {
        memcpy(buffer, data.data(), data.size());
        return static_cast<long>(data.size());
    };
    EXPECT_EQ(kv::scancallback(reader, "", 3, kv::KV_OPT_REPORT, 0, result, 24), kv::KV_ERR_COMM);
    EXPECT_FALSE(result);

    daemon.control("virus = Long.Virus.Name.One,K\nvirus = Long.Virus.Name.Two,K\n");
    ASSERT_EQ(kv::scanfile(path, 1, kv::KV_OPT_VIRUSES, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(items(result->viruses.get()), (std::vector<std::string>{"Long.Virus.Name.One", "Long.Virus.Name.Two"}));
    EXPECT_EQ(kv::scanfile(path, 1, kv::KV_OPT_VIRUSES, 0, result, 30), kv::KV_ERR_COMM);
    EXPECT_FALSE(result);
    EXPECT_TRUE(logged.contains("kvlib: proto::read_list combine routine failed on line[size=20]=Long.Virus.Name.Two"))
        << logged.dump();
}

TEST_F(Lib, MalformedCategoryLinesFailTheAnswer) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string path = spool_file("msg", "x");
    struct row {
        const char* line;
        const char* logged;
    };
    for (const row& r : {row{"NoComma", "kvlib: combiner::parse_viruses line malformed - [8]NoComma"},
                         row{"Foo,X", "kvlib: combiner::parse_viruses unknown infection type 'X' in line - [6]Foo,X"}}) {
        daemon.control(std::string("status = 0x20\nvirus = Good,K\nvirus = ") + r.line);
        kvtest::log_capture logged;
        std::unique_ptr<kv::scanresult> result;
        EXPECT_EQ(kv::scanfile(path, 1, kv::KV_OPT_VIRUS_CATEGORIES, 0, result, 0), kv::KV_ERR_COMM) << r.line;
        EXPECT_FALSE(result);
        EXPECT_TRUE(logged.has(kv::Errors, r.logged)) << logged.dump();
    }
}

TEST_F(Lib, AnAnnouncedFourGigabyteCuredFileIsRefused) {
    stand_in daemon(dir.path());
    daemon.control("status = 0x120\ncured-length = 4294967295\n");
    start(daemon.unix_address());
    const std::string path = spool_file("msg", infected_text());
    kvtest::log_capture logged;
    std::unique_ptr<kv::scanresult> result;
    const kv::timo_stamp begin = kv::timo_now();
    EXPECT_EQ(kv::scanfile(path, 0, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_ERR_COMM);
    EXPECT_LT(elapsed_since(begin), 1000);
    EXPECT_FALSE(result);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: proto::read_bytestring refused a bytestring of 4294967295 bytes (at "
                                       "most 2147483646 bytes are accepted)"));
}

TEST_F(Lib, BuffersAndCallbacks) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string content = std::string(10000, 'a') + kvtest::eicar() + std::string(5000, 'b');
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanbuffer(content.data(), content.size(), kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS);
    EXPECT_EQ(result->report, "object infected: EICAR-Test-File\n");
    EXPECT_NE(daemon.requests().back().find("name= size=15068 mode=content"), std::string::npos);

    size_t offset = 0;
    auto reader = [&](char* buffer, size_t capacity) {
        const size_t n = std::min<size_t>({capacity, 1000, content.size() - offset});  // small pieces
        memcpy(buffer, content.data() + offset, n);
        offset += n;
        return static_cast<long>(n);
    };
    ASSERT_EQ(kv::scancallback(reader, "/in/memory", static_cast<int64_t>(content.size()), kv::KV_OPT_REPORT, 0,
                               result, 0),
              kv::KV_OK);
    EXPECT_EQ(result->report, "memory infected: EICAR-Test-File\n");

    kvtest::log_capture logged;
    EXPECT_EQ(kv::scancallback([](char*, size_t) { return -1L; }, "x", 10, 0, 0, result, 0), kv::KV_ERR_COMM);
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: scancallback: ipc-operation failed"));
    // A callback that runs dry before the announced size ends the request too.
    offset = 0;
    EXPECT_EQ(kv::scancallback(reader, "x", static_cast<int64_t>(content.size()) + 1, 0, 0, result, 0), kv::KV_ERR_COMM);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: scancallback: read callback returned 0 after 15068 of 15069 bytes"));
    EXPECT_FALSE(result);
}

TEST_F(Lib, PartsOfALocalFile) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    const std::string path = spool_file("parts", std::string(100, '-') + kvtest::eicar() + std::string(100, '-'));
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanfilepart(path, 100, 68, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS);
    EXPECT_EQ(result->report, "parts infected: EICAR-Test-File\n");
    ASSERT_EQ(kv::scanfilepart(path, 0, 150, 0, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, 0u);
    EXPECT_NE(daemon.requests().back().find("offset=0 length=150 name=" + path), std::string::npos);
    ASSERT_EQ(kv::cleanup(), kv::KV_OK);
    started_ = false;

    // Only the first daemon reads files itself.
    start("local:" + (dir / "absent.sock"), 5, {daemon.unix_address()});
    kvtest::log_capture logged;
    EXPECT_EQ(kv::scanfilepart(path, 0, 150, 0, 0, result, 0), kv::KV_ERR_COMM);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: scanfilepart: cannot create session with local kervald"));
}

TEST_F(Lib, BadPathsAndUnreadableFiles) {
    stand_in daemon(dir.path());
    start(daemon.unix_address());
    kvtest::log_capture logged;
    std::unique_ptr<kv::scanresult> result;
    EXPECT_EQ(kv::scanfile(kvtest::join({"/", std::string(1024, 'p')}), 1, 0, 0, result, 0), kv::KV_ERR_PARAM);
    EXPECT_EQ(kv::scanfile("", 1, 0, 0, result, 0), kv::KV_ERR_PARAM);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: scanfile: bad parameters"));
    EXPECT_EQ(kv::scanfile(kvtest::join({"/", std::string(1023, 'p')}), 1, 0, 0, result, 0), kv::KV_OK);  // 1024 is allowed

    const std::string missing = dir / "missing";
    EXPECT_EQ(kv::scanfile(missing, 0, 0, 0, result, 0), kv::KV_ERR_FILE);
    EXPECT_TRUE(logged.has(kv::Errors, "kvlib: scanfile: cannot open file <" + missing + "> : No such file or directory"));
    EXPECT_TRUE(logged.has(kv::Debug, "kvlib: scanfile failed"));
    EXPECT_FALSE(result);
    EXPECT_EQ(daemon.requests().size(), 1u);  // only the 1024-character name reached the daemon
}

namespace {

class LibThreads : public Lib {
protected:
    // The report the stand-in gives for a file of the spool.
    static std::string report_of(const std::string& name, bool infected) {
        return name + (infected ? " infected: EICAR-Test-File\n" : " ok\n");
    }
};

}  // namespace

TEST_F(LibThreads, ConcurrentScansEachGetTheirOwnAnswer) {
    constexpr int THREADS = 16;
    constexpr int ROUNDS = 4;
    stand_in daemon(dir.path());
    start(daemon.unix_address(), 20);
    std::vector<std::string> paths;
    for (int t = 0; t < THREADS; ++t) {
        paths.push_back(spool_file(kvtest::join({"t", std::to_string(t)}), t % 2 ? infected_text() : "clean text\n"));
    }
    std::barrier all_ready(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            kv::log_set_context(kvtest::join({"T", std::to_string(t)}));
            const bool infected = t % 2 != 0;
            all_ready.arrive_and_wait();
            for (int round = 0; round < ROUNDS; ++round) {
                const int local = (t + round) % 2;
                std::unique_ptr<kv::scanresult> result;
                ASSERT_EQ(kv::scanfile(paths[t], local, kv::KV_OPT_REPORT | kv::KV_OPT_VIRUSES, 0, result, 0),
                          kv::KV_OK)
                    << "thread " << t << " round " << round;
                ASSERT_TRUE(result);
                EXPECT_EQ(result->status, infected ? kv::KV_KNOWN_VIRUS : 0u) << "thread " << t;
                EXPECT_EQ(result->report, report_of(kvtest::join({"t", std::to_string(t)}), infected)) << "thread " << t;
                EXPECT_EQ(items(result->viruses.get()),
                          infected ? std::vector<std::string>{"EICAR-Test-File"} : std::vector<std::string>{});
            }
            int major = 0, minor = 0;
            EXPECT_EQ(kv::get_version(major, minor), kv::KV_OK);
        });
    }
    for (std::thread& t : threads) t.join();
    int scans = 0;
    for (const std::string& line : daemon.requests()) scans += line.rfind("scan ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(scans, THREADS * ROUNDS);
}

TEST_F(LibThreads, CleanupAndStartupNeverCorruptRequestsUnderWay) {
    constexpr int THREADS = 6;
    constexpr int RESTARTS = 20;
    stand_in daemon(dir.path());
    const std::string address = daemon.unix_address();
    start(address, 20);
    const std::string path = spool_file("msg", infected_text());
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            while (!stop) {
                std::unique_ptr<kv::scanresult> result;
                const int code = kv::scanfile(path, t % 2, kv::KV_OPT_REPORT, 0, result, 0);
                if (code == kv::KV_OK) {
                    EXPECT_EQ(result->report, report_of("msg", true));
                    ++answered;
                } else {
                    // Between a clean-up and the next start-up a request fails, cleanly.
                    EXPECT_TRUE(code == kv::KV_ERR_NOT_INIT || code == kv::KV_ERR_NO_DAEMON) << code;
                    EXPECT_FALSE(result);
                }
            }
        });
    }
    for (int round = 0; round < RESTARTS; ++round) {
        // Let some requests through on this start-up before pulling it away.
        const int before = answered;
        const kv::timo_stamp begin = kv::timo_now();
        while (answered < before + 2 && elapsed_since(begin) < 10000) std::this_thread::yield();
        ASSERT_EQ(kv::cleanup(), kv::KV_OK);
        ASSERT_EQ(kv::startup(kv::KV_LIB_VERSION, address.c_str(), 20, 0), kv::KV_OK);
        ASSERT_EQ(kv::add_address(address, 20, 0), kv::KV_OK);
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_GE(answered.load(), 2 * RESTARTS);
}
