// The filter started as Postfix and administrators start it: options, exit
// statuses and what it prints.
#include <gtest/gtest.h>

#include <regex>

#include "config_builder.h"
#include "kv_util.h"
#include "kvc_version.h"
#include "test_util.h"

using kvtest::filter_bin;
using kvtest::run_program;

namespace {

const std::string kProblem = "This report created automatically by antivirus software.\n"
                             "Problem: cannot load configuration file\n";

std::string usage(const std::string& program) {
    return "\nUsage : " + program + " [options] -f<sender> -- <recipients>\n"
           "Kerval(R) Filter for postfix " KV_VERSION " - scans mail for viruses\n\n"
           "Options:\n"
           "\t-?, -h, --help - show this help and exit\n"
           "\t--version - show filter version and exit\n"
           "\t--check_user=<username> - user account used for check (works only with --check_only option)\n"
           "\t--check_only - perform configuration check and exit\n"
           "\t--debug - set very verbose output in check mode\n"
           "\t--conf=<pathname> - specify full pathname to configuration file\n"
           "\t--queue_id=<queueid> - Postfix queue ID of the message, shown in every log line\n"
           "\nIf full pathname to conf file are not specified, then there is searched in:\n"
           " /etc/kerval/kerval_postfix.conf\n"
           " /usr/local/etc/kerval/kerval_postfix.conf\n"
           "\nNote: filter will been started by Postfix system automatically after install\n"
           "\n\nATTENTION:\n THIS VERSION IS NOT COMPATIBLE WITH Kerval DAEMON VERSIONS LESS THAT " + std::string(kv::kMinDaemonVersion) + " !!!\n";
}

}  // namespace

TEST(CommandLine, HelpExits64BeforeReadingAnyConfiguration) {
    for (const char* option : {"--help", "-h", "-?", "--helpme"}) {
        auto r = run_program({filter_bin(), "--conf=/nonexistent/file.conf", option, "-f", "a", "--", "b"});
        EXPECT_EQ(r.status, 64) << option;
        EXPECT_EQ(r.out, usage(filter_bin())) << option;
    }
}

TEST(CommandLine, VersionExits0WithItsText) {
    auto r = run_program({filter_bin(), "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kvtest::join({"\n", filter_bin(), " - Kerval(R) Filter for postfix " KV_VERSION "\n\n"}));
}

// The release number is set once, in CMakeLists.txt: the programs print it from
// there, and the guide and the manual pages have to say the same, as does the
// guide about the oldest daemon the self-test accepts.
TEST(CommandLine, ProgramsGuideAndManualPagesShowTheProjectVersion) {
    const std::string version = KV_VERSION;
    EXPECT_NE(run_program({filter_bin(), "--help"}).out.find("Kerval(R) Filter for postfix " + version + " - "),
              std::string::npos);
#ifdef KV_DAEMON_BIN
    EXPECT_NE(run_program({kvtest::daemon_bin(), "--help"}).out.find("kervald " + version + ", "), std::string::npos);
#endif
    const std::string guide = kvtest::read_file(kvtest::source_path("README.md"));
    std::smatch found;
    ASSERT_TRUE(std::regex_search(guide, found, std::regex("This guide describes kerval-postfix ([0-9.]+)")));
    EXPECT_EQ(found[1], version);
    ASSERT_TRUE(std::regex_search(guide, found, std::regex("its version \\(([0-9.]+) or\\s+later\\)")));
    EXPECT_EQ(found[1], kv::kMinDaemonVersion);
    int pages = 0;
    for (const std::string& name : kvtest::list_dir(kvtest::source_path("man"))) {
        const std::string page = kvtest::read_file(kvtest::source_path("man/" + name));
        ASSERT_TRUE(std::regex_search(page, found, std::regex("^\\.TH .*\"kerval-postfix ([0-9.]+)\""))) << name;
        EXPECT_EQ(found[1], version) << name;
        ++pages;
    }
    EXPECT_GE(pages, 2);
}

TEST(CommandLine, BadOptionsAndConfigurationsExit75WithTheProblemText) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "broken.conf", "[DaemonCommunication]\nAddress=default\n");
    kvtest::write_file(dir / "garbage.conf", std::string("\x01\x02[\xff\x00\n\x7f", 7));
    kvtest::write_file(dir / "unreadable.conf", kvtest::config_builder().text(), 0);
    std::vector<std::vector<std::string>> cases = {
        {"--bogus", "-f", "a", "--", "b"},
        {"--", "r", "-f", "a"},
        {"--conf=", "-f", "a", "--", "b"},
        {"--queue_id=", "-f", "a", "--", "b"},
        {"--queue_id=${queue_id}", "-f", "a", "--", "b"},
        {"--conf=/nonexistent/kerval.conf", "-f", "a", "--", "b"},
        {"--conf=" + (dir / "broken.conf"), "-f", "a", "--", "b"},
        {"--conf=" + (dir / "garbage.conf"), "-f", "a", "--", "b"},
        {"--conf=" + dir.path(), "-f", "a", "--", "b"},
        {"--check_user=", "--check_only", "--conf=" + (dir / "broken.conf")},
    };
    if (geteuid() != 0) cases.push_back({"--conf=" + (dir / "unreadable.conf"), "-f", "a", "--", "b"});
    for (auto args : cases) {
        args.insert(args.begin(), filter_bin());
        auto r = run_program(args);
        EXPECT_EQ(r.status, 75) << args[1];
        EXPECT_EQ(r.out, kProblem) << args[1];
    }
}

TEST(CommandLine, WithoutConfAndNoDefaultFileTheNotFoundTextComesFirst) {
    if (kvtest::file_exists("/etc/kerval/kerval_postfix.conf") ||
        kvtest::file_exists("/usr/local/etc/kerval/kerval_postfix.conf"))
        GTEST_SKIP() << "a default configuration file is installed on this machine";
    auto r = run_program({filter_bin(), "-f", "a", "--", "b"});
    EXPECT_EQ(r.status, 75);
    EXPECT_EQ(r.out, filter_bin() + ": configuration file not found\nTry run with --help for more information.\n" + kProblem);
}
