#include "kvc_log.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

constexpr int THREADS = 8;

// Points standard error at a file while it lives.
class stderr_to_file {
public:
    explicit stderr_to_file(const std::string& path) {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~stderr_to_file() {
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    stderr_to_file(const stderr_to_file&) = delete;
    stderr_to_file& operator=(const stderr_to_file&) = delete;

private:
    int saved_ = -1;
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(LogThreads, EveryLineCarriesItsOwnThreadsContext) {
    constexpr int LINES = 300;
    kvtest::log_capture logged;
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([i] {
            // Even threads speak for a queue ID, odd ones for nobody.
            if (i % 2 == 0) kv::log_set_context("4Q" + std::to_string(i) + "X");
            for (int n = 0; n < LINES; ++n) kv::log(kv::Info, "line %d of thread %d", n, i);
        });
    }
    for (std::thread& t : threads) t.join();

    std::map<int, int> next;  // thread -> the line number it must log next
    for (const auto& [level, text] : logged.lines()) {
        EXPECT_EQ(level, kv::Info);
        int n = -1, i = -1;
        const size_t colon = text.find(": ");
        const std::string body = colon == std::string::npos ? text : text.substr(colon + 2);
        ASSERT_EQ(sscanf(body.c_str(), "line %d of thread %d", &n, &i), 2) << text;
        const std::string expected = (i % 2 == 0 ? "4Q" + std::to_string(i) + "X: " : std::string()) + "line " +
                                     std::to_string(n) + " of thread " + std::to_string(i);
        EXPECT_EQ(text, expected);
        EXPECT_EQ(n, next[i]++) << text;
    }
    ASSERT_EQ(next.size(), static_cast<size_t>(THREADS));
    for (const auto& [i, count] : next) EXPECT_EQ(count, LINES) << "thread " << i;
}

TEST(LogThreads, AContextLastsUntilItIsCleared) {
    kvtest::log_capture logged;
    kv::log_set_context("4BcD1");
    kv::log(kv::Errors, "cannot %s", "scan");
    kv::log(kv::Debug, "%d%%", 100);
    kv::log_set_context("");
    kv::log(kv::Info, "plain");
    const std::vector<std::pair<int, std::string>> expected = {
        {kv::Errors, "4BcD1: cannot scan"}, {kv::Debug, "4BcD1: 100%"}, {kv::Info, "plain"}};
    EXPECT_EQ(logged.lines(), expected);
}

TEST(LogThreads, ConsoleLinesAreNeverInterleaved) {
    kvtest::temp_dir dir;
    const std::string path = dir / "stderr";
    constexpr int LINES = 200;
    constexpr size_t WIDTH = 3000;  // far beyond any stdio buffer
    {
        stderr_to_file redirect(path);
        kv::log_init("console", kv::Info, 0, 0, "kvtest");
        std::vector<std::thread> threads;
        for (int i = 0; i < THREADS; ++i) {
            threads.emplace_back([i] {
                kv::log_set_context(kvtest::join({"T", std::to_string(i)}));
                const std::string text(WIDTH, static_cast<char>('a' + i));
                for (int n = 0; n < LINES; ++n) kv::log(kv::Info, "%s", text.c_str());
            });
        }
        for (std::thread& t : threads) t.join();
        kv::log_init("console", 0, 0, 0, "kvtest");
    }
    const std::vector<std::string> lines = split_lines(kvtest::read_file(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * LINES));
    std::map<char, int> per_thread;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.size(), WIDTH + 4) << line.substr(0, 80);
        const char mark = line[4];
        EXPECT_EQ(line, kvtest::join({"T", std::to_string(mark - 'a'), ": ", std::string(WIDTH, mark)})) << line.substr(0, 80);
        ++per_thread[mark];
    }
    for (const auto& [mark, count] : per_thread) EXPECT_EQ(count, LINES) << mark;
}

TEST(LogThreads, ChangingTheTargetLosesNoLineOfAnEnabledLevel) {
    constexpr int LINES = 2000;
    kvtest::log_capture logged;
    std::atomic<bool> done{false};
    std::thread changer([&] {
        // Both settings write Info lines; only the target and the top level change.
        for (int round = 0; !done; ++round) {
            if (round % 2 == 0) {
                kv::log_init(nullptr, kv::Info, LOG_MAIL, LOG_INFO, "kvtest");
            } else {
                kv::log_init("console", kv::Debug, 0, 0, "kvtest");
            }
        }
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([i] {
            for (int n = 0; n < LINES; ++n) {
                kv::log(kv::Info, "thread %d line %d", i, n);
                kv::log(kv::Debug, "thread %d debug %d", i, n);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    done = true;
    changer.join();
    int info = 0;
    for (const auto& [level, text] : logged.lines()) {
        int i = -1, n = -1;
        if (level == kv::Info) {
            ++info;
            EXPECT_EQ(sscanf(text.c_str(), "thread %d line %d", &i, &n), 2) << text;
        } else {
            EXPECT_EQ(sscanf(text.c_str(), "thread %d debug %d", &i, &n), 2) << text;
        }
    }
    EXPECT_EQ(info, THREADS * LINES);
}

TEST(Log, AHookThatLogsIsNotCalledAgain) {
    std::vector<std::string> seen;
    kv::log_init("console", kv::Info, 0, 0, "kvtest");
    kv::log_set_capture([&](int, const std::string& text) {
        seen.push_back(text);
        kv::log(kv::Errors, "from inside the hook");
    });
    kv::log(kv::Info, "outer");
    kv::log_set_capture(nullptr);
    kv::log_init("console", 0, 0, 0, "kvtest");
    EXPECT_EQ(seen, std::vector<std::string>{"outer"});
}

TEST(Log, SystemLogAndStandardErrorTogether) {
    kvtest::temp_dir dir;
    const std::string path = dir / "stderr";
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(2);
        kv::log_init(nullptr, kv::Info, LOG_MAIL, LOG_INFO, "kvtest-both", kv::LogAlsoConsole);
        kv::log_set_context("4BcD1");
        kv::log(kv::Info, "to %s", "both");
        kv::log(kv::Verbose, "above the level");
        kv::log_init(nullptr, kv::Info, LOG_MAIL, LOG_INFO, "kvtest-syslog");
        kv::log(kv::Info, "to the system log only");
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(kvtest::read_file(path), "kvtest-both[" + std::to_string(child) + "]: 4BcD1: to both\n");
}
