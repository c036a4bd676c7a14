// kervald with its signature engine: what the engine's findings become in the
// answers, engine failures, databases that do not load at start, and reloads
// (under load, and with a corrupt database).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_fixture.h"
#include "daemon_samples.h"
#include "kvc_lib.h"
#include "test_util.h"

using kvtest::stand_in;

namespace {

std::vector<std::string> items(const kv::strings* list) { return list != nullptr ? list->items() : std::vector<std::string>{}; }

class Engine : public ::testing::Test {
protected:
    void SetUp() override { kvtest::make_test_signatures(db.path()); }
    void TearDown() override {
        if (started_) {
            EXPECT_EQ(kv::cleanup(), kv::KV_OK);
        }
    }

    stand_in::options with_engine(std::vector<std::string> args = {}) const {
        return {.args = std::move(args), .databases = db.path()};
    }
    void start(const std::string& address) {
        ASSERT_EQ(kv::startup(kv::KV_LIB_VERSION, address.c_str(), 10, 0), kv::KV_OK);
        started_ = true;
    }
    std::string file(const std::string& name, const std::string& content) const {
        kvtest::write_file(dir / name, content);
        return dir / name;
    }

    kvtest::temp_dir db;
    kvtest::temp_dir dir;
    bool started_ = false;
};

constexpr uint32_t kParts = kv::KV_OPT_VIRUS_CATEGORIES | kv::KV_OPT_REPORT | kv::KV_OPT_STATISTICS;

}  // namespace

TEST_F(Engine, FindingsBecomeTheirStatusBitsAndCategories) {
    struct finding {
        const char* signature;
        uint32_t status;
        kv::category_index category;
        const char* word;
    };
    const finding findings[] = {
        {"Win.Test.KervalVirus", kv::KV_KNOWN_VIRUS, kv::CAT_KNOWN, "infected"},
        {"PUA.Win.Adware.KervalTest", kv::KV_ADWARE, kv::CAT_ADWARE, "adware"},
        {"PUA.Win.Dialer.KervalTest", kv::KV_DIALER, kv::CAT_DIALERS, "dialer"},
        {"PUA.Doc.Joke.KervalTest", kv::KV_JOKE, kv::CAT_JOKES, "joke"},
        {"PUA.Win.Tool.KervalTest", kv::KV_RISKWARE, kv::CAT_RISKWARE, "riskware"},
        {"PUA.Win.Tool.HackTool.KervalTest", kv::KV_HACKTOOL, kv::CAT_HACKTOOLS, "hacktool"},
        {"PUA.Win.Packer.KervalTest", kv::KV_UNKNOWN_VIRUS, kv::CAT_SUSPICIOUS, "suspicious"},
        {"Heuristics.KervalTest", kv::KV_UNKNOWN_VIRUS, kv::CAT_SUSPICIOUS, "suspicious"},
    };
    std::vector<std::string> signatures;
    for (const finding& f : findings) signatures.push_back(std::string(f.signature) + "=sample of " + f.signature);
    kvtest::make_test_signatures(db.path(), signatures);
    stand_in daemon(dir.path(), with_engine());
    start(daemon.unix_address());
    for (const finding& f : findings) {
        const std::string path = file("sample", std::string("some text, then the sample of ") + f.signature + "\n");
        for (int local : {1, 0}) {
            SCOPED_TRACE(std::string(f.signature) + (local ? " local" : " content"));
            std::unique_ptr<kv::scanresult> result;
            ASSERT_EQ(kv::scanfile(path, local, kParts, 0, result, 0), kv::KV_OK);
            EXPECT_EQ(result->status, f.status);
            const std::string name = std::string(f.signature) + ".UNOFFICIAL";
            EXPECT_EQ(items(result->categories[f.category].get()), std::vector<std::string>{name});
            EXPECT_EQ(result->report, "sample " + std::string(f.word) + ": " + name + "\n");
            EXPECT_EQ(result->stat[kv::STAT_SCANNED], 1);
        }
    }
    const std::string clean = file("clean", "nothing to see\n");
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanfile(clean, 1, kParts, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, 0u);
    EXPECT_EQ(result->report, "clean ok\n");
}

TEST_F(Engine, PartScansAndTheQueries) {
    stand_in daemon(dir.path(), with_engine());
    start(daemon.unix_address());
    const std::string path = file("parts", std::string(5000, '-') + kvtest::eicar() + std::string(5000, '-'));
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanfilepart(path, 4990, 100, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_KNOWN_VIRUS);
    EXPECT_EQ(result->report, "parts infected: EICAR-Test-File.UNOFFICIAL\n");
    ASSERT_EQ(kv::scanfilepart(path, 0, 5000, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, 0u);
    ASSERT_EQ(kv::scanfilepart(path, 5010, 100000, kv::KV_OPT_REPORT, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, 0u);  // starts inside the test file: not the whole of it

    std::optional<std::string> text;
    ASSERT_EQ(kv::get_id_string(text), kv::KV_OK);
    EXPECT_EQ(text->rfind("kervald 4.33 (libclamav ", 0), 0u) << *text;
    EXPECT_NE(text->find(", 2 signatures)"), std::string::npos) << *text;
    int64_t total = 0;
    ASSERT_EQ(kv::get_bases(text, total), kv::KV_OK);
    EXPECT_EQ(text, "Base kerval-test.ndb contains 2 records.\n");
    EXPECT_EQ(total, 2);
}

TEST_F(Engine, AnEngineFailureIsAnErrorAnswerNeverClean) {
    // The temporary directory goes away after the start: the engine cannot
    // unpack into it, and received content cannot be kept.
    kvtest::temp_dir scratch;
    stand_in daemon(dir.path(), with_engine({"--temporary-directory=" + scratch.path()}));
    start(daemon.unix_address());
    kvtest::remove_tree(scratch.path());
    const std::string path = file("msg", kvtest::message_with_attachment("a", "eicar.zip", kvtest::zip("eicar.com", kvtest::eicar())));
    std::unique_ptr<kv::scanresult> result;
    ASSERT_EQ(kv::scanfile(path, 1, kParts, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_READ_ERROR);
    EXPECT_EQ(result->report.value_or("").rfind("msg scan error: ", 0), 0u) << result->report.value_or("");
    EXPECT_EQ(result->stat[kv::STAT_SCAN_ERRORS], 1);
    ASSERT_EQ(kv::scanfile(path, 0, kParts, 0, result, 0), kv::KV_OK);
    EXPECT_EQ(result->status, kv::KV_WRITE_ERROR);
    EXPECT_TRUE(daemon.wait_for_log("kervald: cannot create a temporary file in " + scratch.path()));
    EXPECT_TRUE(daemon.wait_for_log("kervald: the engine failed on " + path));
}

TEST_F(Engine, DatabasesThatDoNotLoadStopTheStart) {
    kvtest::temp_dir broken;
    kvtest::write_file(broken / "broken.ndb", "this is no signature\n");
    kvtest::temp_dir empty;
    struct row {
        std::string directory;
        std::string said;
    };
    const row rows[] = {
        {broken.path(), "kervald: cannot load the signature databases from " + broken.path() + " - Malformed database"},
        {empty.path(), "kervald: cannot load the signature databases from " + empty.path() +
                           " - no signature databases there"},
        {dir / "missing", "kervald: cannot load the signature databases from " + (dir / "missing") +
                              " - No such file or directory"},
    };
    for (const row& r : rows) {
        const kvtest::run_result run = kvtest::run_program(
            {kvtest::daemon_bin(), "--foreground", "--database-directory=" + r.directory, "local:" + (dir / "d.sock")},
            "", 30);
        EXPECT_EQ(run.status, 1) << r.directory;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << run.err;
        EXPECT_FALSE(kvtest::file_exists(dir / "d.sock"));
    }
}

TEST_F(Engine, WithoutDatabasesTheBuiltInMatcherScansAndSaysSo) {
    {
        stand_in none(dir.path());  // --database-directory=none
        EXPECT_EQ(kvtest::scan_status(none.unix_address(), kvtest::eicar()), kv::KV_KNOWN_VIRUS);
        EXPECT_TRUE(none.wait_for_log("): status 0x20 EICAR-Test-File\n"));  // the built-in matcher's name
        EXPECT_NE(none.log().find("kervald: no signature engine configured (--database-directory=none): only the "
                                  "built-in EICAR test file matcher scans"),
                  std::string::npos)
            << none.log();
    }
    const std::string standard = "/var/lib/clamav";
    if (kvtest::file_exists(standard) && !kvtest::list_dir(standard).empty()) {
        GTEST_SKIP() << "this machine has signature databases in " << standard;
    }
    // Nothing in the default directory: the daemon starts all the same.
    stand_in by_default(dir.path(), {.name = "default", .databases = ""});
    EXPECT_EQ(kvtest::scan_status(by_default.unix_address(), kvtest::eicar()), kv::KV_KNOWN_VIRUS);
    EXPECT_NE(by_default.log().find("kervald: no signature databases in " + standard +
                                    ": only the built-in EICAR test file matcher scans"),
              std::string::npos)
        << by_default.log();
}

TEST_F(Engine, ReloadUnderLoadSwapsTheDatabasesWithoutAFailedScan) {
    stand_in daemon(dir.path(), with_engine({"--workers=4"}));
    std::atomic<bool> stop{false};
    std::atomic<int> scans{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            while (!stop) {
                ++(kvtest::scan_status(daemon.unix_address(), kvtest::eicar()) == kv::KV_KNOWN_VIRUS ? scans : failures);
            }
        });
    }
    std::string previous;
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        const std::string text = "KERVAL-RELOAD-SAMPLE-" + std::to_string(round);
        EXPECT_EQ(kvtest::scan_status(daemon.unix_address(), text), 0);
        kvtest::make_test_signatures(db.path(), {"Kerval-Reload-" + std::to_string(round) + "=" + text});
        daemon.signal(SIGHUP);
        if (!daemon.wait_for_log("kervald: signature databases reloaded", round)) {
            ADD_FAILURE() << daemon.log();
            break;
        }
        EXPECT_EQ(kvtest::scan_status(daemon.unix_address(), text), kv::KV_KNOWN_VIRUS);
        // The signature file was rewritten: the previous round's signature is gone.
        if (!previous.empty()) {
            EXPECT_EQ(kvtest::scan_status(daemon.unix_address(), previous), 0);
        }
        previous = text;
    }
    stop = true;
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GT(scans, 0);
}

TEST_F(Engine, ACorruptDatabaseAtReloadKeepsTheEngineInUse) {
    stand_in daemon(dir.path(), with_engine());
    kvtest::write_file(db / "broken.ndb", "this is no signature\n");
    daemon.signal(SIGHUP);
    ASSERT_TRUE(daemon.wait_for_log("kervald: reload failed: the signature databases loaded before stay in use"))
        << daemon.log();
    EXPECT_NE(daemon.log().find("kervald: cannot load the signature databases from " + db.path() +
                                " - Malformed database"),
              std::string::npos);
    // Only the engine knows the project's own signature.
    EXPECT_EQ(kvtest::scan_status(daemon.unix_address(), kvtest::kOwnSignature), kv::KV_KNOWN_VIRUS);
    unlink((db / "broken.ndb").c_str());
    daemon.signal(SIGHUP);
    ASSERT_TRUE(daemon.wait_for_log("kervald: signature databases reloaded")) << daemon.log();
    EXPECT_EQ(kvtest::scan_status(daemon.unix_address(), kvtest::kOwnSignature), kv::KV_KNOWN_VIRUS);
}
