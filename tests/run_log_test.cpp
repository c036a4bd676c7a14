// What one run of the filter logs, read through the log unit's capture hook: the
// whole run is filter_main in a child of the test process, with the message on
// its standard input and every line it logs written to a file as it is logged.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "filter_fixture.h"
#include "kv_main.h"
#include "kv_options.h"
#include "kvc_log.h"

using kvtest::filter_run;

namespace {

struct captured_run {
    int status = -1;
    std::vector<std::string> lines;
};

// Runs filter_main with args after the program name and stdin_path as standard
// input. Lines are separated by NUL in the capture file, so a run that ends by
// exit() still leaves every line it logged.
captured_run run_captured(filter_run& f, std::vector<std::string> args, const std::string& stdin_path) {
    f.config.write(f.config_path());
    const std::string capture = f.dir / "captured.log";
    unlink(capture.c_str());
    args.insert(args.begin(), "kerval-postfix");
    pid_t pid = fork();
    if (pid == 0) {
        int input = open(stdin_path.c_str(), O_RDONLY);
        int out = open(capture.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int devnull = open("/dev/null", O_WRONLY);
        if (input < 0 || out < 0 || devnull < 0 || dup2(input, 0) < 0 || dup2(devnull, 1) < 0) _exit(120);
        kv::log_set_capture([out](int, const std::string& text) {
            std::string record = text + '\0';
            if (write(out, record.data(), record.size()) < 0) _exit(121);
        });
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int status = kv::filter_main(static_cast<int>(args.size()), argv.data());
        _exit(status);
    }
    captured_run result;
    int raw = 0;
    if (pid > 0 && waitpid(pid, &raw, 0) == pid && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
    const std::string text = kvtest::read_file(capture);
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        result.lines.push_back(text.substr(start, end - start));
    return result;
}

std::string dump(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

bool has_line(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line == text) return true;
    return false;
}

}  // namespace

TEST(RunLog, EveryLineOfAQueueIdRunCarriesItAndTheResultNamesTheMessageId) {
    filter_run f;
    kvtest::write_file(f.dir / "message", kvtest::make_message("hello", "Just text.\r\n"));
    captured_run r = run_captured(f, {"--conf=" + f.config_path(), "--queue_id=3F2A1B4C5D", "-f", "sender@example.org",
                                      "--", "rcpt@example.test"},
                                  f.dir / "message");
    EXPECT_EQ(r.status, 0) << dump(r.lines);
    ASSERT_GT(r.lines.size(), 10u) << dump(r.lines);
    for (const std::string& line : r.lines) EXPECT_EQ(line.rfind("3F2A1B4C5D: ", 0), 0u) << line;
    bool result_seen = false;
    for (const std::string& line : r.lines) {
        if (line.find("3F2A1B4C5D: result: the message(") != 0) continue;
        result_seen = true;
        EXPECT_NE(line.find("sent by sender@example.org to rcpt@example.test message-id=<hello@example.org>: delivered"),
                  std::string::npos)
            << line;
    }
    EXPECT_TRUE(result_seen) << dump(r.lines);
    EXPECT_EQ(f.submissions().size(), 1u);
}

TEST(RunLog, AQueueIdThatIsNotOneIsRefusedAndTheMessageKeptForRetry) {
    const std::string too_long(kv::kQueueIdMax + 1, 'A');
    for (const std::string& bad : {std::string(""), std::string("${queue_id}"), std::string("3F2A 1B"),
                                   std::string("../3F2A"), std::string("3F2A-1B"), std::string("3F2A\n1B"), too_long}) {
        SCOPED_TRACE(bad);
        filter_run f;
        kvtest::write_file(f.dir / "message", kvtest::make_message("hello", "Just text.\r\n"));
        captured_run r = run_captured(
            f, {"--conf=" + f.config_path(), "--queue_id=" + bad, "-f", "sender@example.org", "--", "rcpt@example.test"},
            f.dir / "message");
        EXPECT_EQ(r.status, 75);
        EXPECT_TRUE(has_line(r.lines, "conf: misformatted --queue_id=<queueid> option")) << dump(r.lines);
        EXPECT_TRUE(f.submissions().empty());
        EXPECT_TRUE(f.spool_messages().empty());
    }
}

TEST(RunLog, QueueIdForms) {
    for (const char* good : {"3F2A1B4C5D", "4Xb2Kq1VzLz9abc", "A", "0123456789abcdefABCDEFghijklmnop"})
        EXPECT_TRUE(kv::valid_queue_id(good)) << good;
    for (const char* bad : {"", "4Xb2Kq1VzLz9abc.", "a/b", "..", "3F2A1B4C5D:", "0123456789abcdefABCDEFghijklmnopq"})
        EXPECT_FALSE(kv::valid_queue_id(bad)) << bad;
}

// The two ways the message can fail to reach the spool have lines of their own.
TEST(RunLog, ASpoolThatCannotBeWrittenIsNotReportedAsUnreadableInput) {
    {
        filter_run f;
        f.config.set("Scanning", "Spool = " + (f.dir / "no-such-spool"));
        kvtest::write_file(f.dir / "message", kvtest::make_message("hello", "Just text.\r\n"));
        captured_run r =
            run_captured(f, {"--conf=" + f.config_path(), "-f", "sender@example.org", "--", "rcpt@example.test"},
                         f.dir / "message");
        EXPECT_EQ(r.status, 75);
        EXPECT_TRUE(has_line(r.lines, "kerval-pipe: cannot store message in spool " + (f.dir / "no-such-spool")))
            << dump(r.lines);
        EXPECT_FALSE(has_line(r.lines, "kerval-pipe: cannot read message from stdin"));
    }
    {
        // A directory as standard input: every read fails.
        filter_run f;
        captured_run r =
            run_captured(f, {"--conf=" + f.config_path(), "-f", "sender@example.org", "--", "rcpt@example.test"},
                         f.dir.path());
        EXPECT_EQ(r.status, 75);
        EXPECT_TRUE(has_line(r.lines, "kerval-pipe: cannot read message from stdin")) << dump(r.lines);
        EXPECT_TRUE(f.spool_messages().empty());
    }
}
