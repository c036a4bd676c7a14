#include "kv_mailsend.h"

#include <sys/wait.h>
#include <time.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "kvc_log.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;

// A recording submission program (a test fixture; the product never runs a
// shell): stores its arguments one per line in argv and its standard input in
// stdin, marks "accepted" once its input ended, and exits with the given status.
// `before_read` and `after_read` are shell lines run around the read.
class recorder {
public:
    explicit recorder(int status = 0, const std::string& before_read = "", const std::string& after_read = "") {
        program_ = dir_ / "sendmail";
        kvtest::write_file(program_,
                           "#!/bin/sh\n"
                           "out='" + dir_.path() + "'\n"
                           "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > \"$out/argv\"\n" +
                               before_read + "\ncat > \"$out/stdin\"\necho yes > \"$out/accepted\"\n" + after_read +
                               "\nexit " + std::to_string(status) + "\n",
                           0755);
    }
    const std::string& program() const { return program_; }
    std::vector<std::string> argv() const {
        std::vector<std::string> args;
        std::istringstream in(kvtest::read_file(dir_ / "argv"));
        for (std::string line; std::getline(in, line);) args.push_back(line);
        return args;
    }
    std::string input() const { return kvtest::read_file(dir_ / "stdin"); }
    bool ran() const { return kvtest::file_exists(dir_ / "argv"); }
    bool accepted() const { return kvtest::file_exists(dir_ / "accepted"); }
    std::string path(const std::string& name) const { return dir_ / name; }

private:
    kvtest::temp_dir dir_;
    std::string program_;
};

kv::mailer_settings mailer_for(const std::string& program, kv::conf_string args = std::nullopt) {
    kv::mailer_settings mailer;
    mailer.mail_system = "Postfix";
    mailer.sendmail = program;
    mailer.sendmail_args = std::move(args);
    return mailer;
}

kv::envelope envelope_of(const char* from, std::vector<const char*> rcpts) {
    kv::envelope env;
    if (from != nullptr) {
        EXPECT_EQ(kv::e_set_from(env, from), 1);
    }
    for (const char* rcpt : rcpts) EXPECT_EQ(kv::e_add_rcpt(env, rcpt), 1);
    return env;
}

bool no_child_left() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(Mailsend, ArgumentVectorAndMessageOnStandardInput) {
    const std::string text = "Subject: hi\r\n\r\nbody line\r\n";
    struct argv_case {
        const char* from;
        std::vector<const char*> rcpts;
        kv::conf_string args;
        std::vector<std::string> expected;  // after argv[0]
    } cases[] = {
        {"<>", {"r1", "r2"}, std::nullopt, {"-i", "-bm", "-f<>", "--", "r1", "r2"}},
        {"Sender <s@x>", {"<r@x>"}, "-oi -v", {"-oi -v", "-i", "-bm", "-fs@x", "--", "r@x"}},
        {"s@x", {"r@x"}, "-oi-v", {"-oi-v", "-i", "-bm", "-fs@x", "--", "r@x"}},
        {"s@x", {"-r@x"}, "", {"-i", "-bm", "-fs@x", "--", "-r@x"}},
    };
    for (const argv_case& c : cases) {
        SCOPED_TRACE(c.from);
        recorder submit;
        kv::envelope env = envelope_of(c.from, c.rcpts);
        kvtest::log_capture logged;
        EXPECT_EQ(kv::mailsend(env, nullptr, 0, text.data(), text.size(), mailer_for(submit.program(), c.args)),
                  kv::MAILSEND_OK)
            << logged.dump();
        std::vector<std::string> expected = {submit.program()};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(submit.argv(), expected);
        EXPECT_EQ(submit.input(), text);
        EXPECT_TRUE(logged.has(kv::Verbose, "mailsend: send message with follow envelope"));
        EXPECT_TRUE(logged.has(kv::Verbose, "mail: envelope: to=" + c.expected.back()));
    }
    EXPECT_TRUE(no_child_left());
}

TEST(Mailsend, FileFromOffsetToTheEnd) {
    recorder submit;
    kvtest::temp_dir dir;
    std::string message = "X-Skipped: yes\n";
    const off_t offset = static_cast<off_t>(message.size());
    for (int i = 0; i < 3000; ++i) message += "line " + std::to_string(i) + " of a message larger than a pipe\n";
    kvtest::write_file(dir / "spool", message);
    kv::envelope env = envelope_of("s@x", {"r@x"});
    EXPECT_EQ(kv::mailsend(env, (dir / "spool").c_str(), offset, nullptr, 0, mailer_for(submit.program())),
              kv::MAILSEND_OK);
    EXPECT_EQ(submit.input(), message.substr(static_cast<size_t>(offset)));
}

TEST(Mailsend, ProgramThatFailsOrCannotRun) {
    {
        recorder submit(75);
        kv::envelope env = envelope_of("s@x", {"r@x"});
        kvtest::log_capture logged;
        EXPECT_EQ(kv::mailsend(env, nullptr, 0, "m\n", 2, mailer_for(submit.program())), kv::MAILSEND_FAILED);
        EXPECT_TRUE(logged.contains("] with error code 75")) << logged.dump();
        EXPECT_TRUE(logged.has(kv::Errors, "mailsend: wait for submitter failed"));
        EXPECT_EQ(submit.input(), "m\n");
    }
    {
        kvtest::temp_dir dir;
        kv::envelope env = envelope_of("s@x", {"r@x"});
        kvtest::log_capture logged;
        EXPECT_EQ(kv::mailsend(env, nullptr, 0, "m\n", 2, mailer_for(dir / "no-such-sendmail")), kv::MAILSEND_FAILED);
        EXPECT_TRUE(logged.contains("] with error code 71")) << logged.dump();
    }
    {
        kv::envelope env = envelope_of("s@x", {"r@x"});
        kvtest::log_capture logged;
        EXPECT_EQ(kv::mailsend(env, nullptr, 0, "m\n", 2, kv::mailer_settings{}), kv::MAILSEND_FAILED);
        EXPECT_TRUE(logged.has(kv::Errors, "mailsend: cannot run submitter (none)")) << logged.dump();
    }
    EXPECT_TRUE(no_child_left());
}

TEST(Mailsend, RefusesBadCallsBeforeStartingAnything) {
    recorder submit;
    struct bad_case {
        kv::envelope env;
        const char* file;
        const char* text;
        std::string message;
    } cases[] = {
        {envelope_of("s@x", {}), nullptr, "m", "mailsend: send message bad parameters (0.0.1.0) were passed (kv_mailsend:"},
        {envelope_of("s@x", {""}), nullptr, "m", "mailsend: send message bad parameters (0.0.1.0) were passed"},
        {envelope_of(nullptr, {"r@x"}), nullptr, "m", "mailsend: send message bad parameters (0.1.0.0) were passed"},
        {envelope_of("s@x", {"r@x"}), nullptr, nullptr, "mailsend: send message bad parameters (0.0.0.1) were passed"},
        {envelope_of("s@x", {"r@x"}), "/etc/hostname", "m", "mailsend: you cannot send file and text in one call"},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.message);
        kvtest::log_capture logged;
        EXPECT_EQ(kv::mailsend(c.env, c.file, 0, c.text, c.text ? 1 : 0, mailer_for(submit.program())),
                  kv::MAILSEND_FAILED);
        EXPECT_TRUE(logged.contains(c.message)) << logged.dump();
    }
    EXPECT_FALSE(submit.ran());
}

double seconds_since(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

TEST(Mailsend, NeverHangsOnASubmitterThatDoesNotEnd) {
    const std::string big(1 << 20, 'x');  // more than a pipe holds
    for (const char* before_read : {"exec sleep 30", ""}) {
        SCOPED_TRACE(before_read);
        recorder submit(0, before_read, "exec sleep 30");
        kv::envelope env = envelope_of("s@x", {"r@x"});
        kvtest::log_capture logged;
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        EXPECT_EQ(kv::mailsend(env, nullptr, 0, big.data(), big.size(), mailer_for(submit.program()), 300ms),
                  kv::MAILSEND_FAILED);
        EXPECT_LT(seconds_since(start), 10.0);
        EXPECT_TRUE(logged.contains("still running after 300 ms - killed")) << logged.dump();
        EXPECT_TRUE(logged.contains("] exited on signal 9")) << logged.dump();
        EXPECT_TRUE(no_child_left());
    }
}

TEST(Mailsend, TheSubmitterReadsAFinishedFileEvenWhenTheSenderIsGone) {
    // The text is complete before the program starts: its input is a file, never
    // a pipe that a killed filter would leave cut short.
    const std::string big(1 << 20, 'y');
    recorder submit(0, "[ -f /dev/stdin ] || exit 9");
    kv::envelope env = envelope_of("s@x", {"r@x"});
    EXPECT_EQ(kv::mailsend(env, nullptr, 0, big.data(), big.size(), mailer_for(submit.program())), kv::MAILSEND_OK);
    EXPECT_EQ(submit.input(), big);
}

TEST(Mailsend, UnreadableFileNeverStartsTheSubmitter) {
    recorder submit;
    kv::envelope env = envelope_of("s@x", {"r@x"});
    kvtest::log_capture logged;
    EXPECT_EQ(kv::mailsend(env, "/nonexistent/message", 0, nullptr, 0, mailer_for(submit.program())),
              kv::MAILSEND_FAILED);
    EXPECT_TRUE(logged.contains("mailsend: cannot open message file /nonexistent/message")) << logged.dump();
    EXPECT_FALSE(submit.ran());
}

}  // namespace
