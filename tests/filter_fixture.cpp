#include "filter_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <fstream>

namespace kvtest {

std::vector<std::string> filter_run::spool_messages() const {
    std::vector<std::string> names;
    for (const std::string& name : list_dir(spool()))
        if (name.rfind(".kerval-notice-", 0) != 0) names.push_back(name);
    return names;
}

std::vector<std::string> filter_run::quarantined() const {
    std::vector<std::string> names;
    for (const std::string& name : list_dir(quarantine()))
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".env") != 0) names.push_back(name);
    return names;
}

filter_run::filter_run(bool with_daemon, std::vector<std::string> daemon_args) {
    for (const char* sub : {"spool", "quarantine", "outbox"}) mkdir((dir / sub).c_str(), 0755);
    if (with_daemon) daemon = std::make_unique<stand_in>(dir.path(), stand_in::options{true, false, daemon_args});
    // Records each submission as NNN.args (one argument per line) and NNN.msg, and
    // exits with the status in the file "status" (0 without it). The file
    // "mode.N" changes what the Nth submission does: "block" waits for the test to
    // release it (NNN.started shows it is waiting) before reading its input;
    // "hang" never ends after recording.
    mkfifo((dir / "release").c_str(), 0600);
    write_file(dir / "sendmail",
               "#!/bin/sh\n"
               "out='" + (dir / "outbox") + "'\n"
               "n=$(ls \"$out\" | grep -c '\\.args$')\n"
               "i=$((n + 1))\n"
               "f=\"$out/$(printf '%03d' $i)\"\n"
               "mode=$(cat '" + dir.path() + "/mode.'$i 2>/dev/null)\n"
               "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$f.part\"\n"
               "if [ \"$mode\" = block ]; then : > \"$f.started\"; read x < '" + (dir / "release") + "'; fi\n"
               "cat > \"$f.msg\"\n"
               "mv \"$f.part\" \"$f.args\"\n"
               "if [ \"$mode\" = hang ]; then exec sleep 60; fi\n"
               "s=$(cat '" + (dir / "status") + "' 2>/dev/null)\n"
               "exit ${s:-0}\n",
               0755);
    config.drop("DaemonCommunication")
        .set("DaemonCommunication", "Address = local:" + (dir / "kervald.sock"))
        .set("DaemonCommunication", "Timeout = 10")
        .set("Scanning", "Spool = " + spool())
        .set("Scanning", "DenyMode = byAll")
        .set("Actions", "Quarantine = " + quarantine())
        .set("Actions", "AdminMail = admin@example.test")
        .set("Logging", "Level = Debug")
        .drop("Mailer")
        .set("Mailer", "MailSystem = Postfix")
        .set("Mailer", "Sendmail = " + (dir / "sendmail"));
}

void filter_run::set_submit_status(int status) { write_file(dir / "status", std::to_string(status) + "\n"); }

void filter_run::set_submit_mode(int n, const std::string& mode) {
    write_file(dir / ("mode." + std::to_string(n)), mode + "\n");
}

std::string filter_run::submission_started(int n) const {
    char name[32];
    snprintf(name, sizeof name, "outbox/%03d.started", n);
    return dir / name;
}

void filter_run::release_submissions() const {
    // Opening without blocking: a waiting submitter is the reader, if there is one.
    int fd = open((dir / "release").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
        ssize_t put = write(fd, "go\n", 3);
        (void)put;
        close(fd);
    }
}

std::unique_ptr<running_program> filter_run::start(const std::string& sender, const std::vector<std::string>& rcpts,
                                                   const std::string& message) {
    config.write(config_path());
    write_file(dir / "stdin", message);
    std::vector<std::string> argv = {filter_bin(), "--conf=" + config_path(), "-f", sender, "--"};
    argv.insert(argv.end(), rcpts.begin(), rcpts.end());
    return std::make_unique<running_program>(argv, dir / "stdin", dir.path());
}

run_result filter_run::run(const std::string& sender, const std::vector<std::string>& rcpts,
                           const std::string& message, const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
    args.insert(args.begin(), "--conf=" + config_path());
    args.push_back("-f");
    args.push_back(sender);
    args.push_back("--");
    args.insert(args.end(), rcpts.begin(), rcpts.end());
    return run_args(args, message);
}

run_result filter_run::run_args(const std::vector<std::string>& args, const std::string& message) {
    config.write(config_path());
    write_file(dir / "stdin", message);
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), filter_bin());
    return run_program(argv, dir / "stdin", 120, dir.path());
}

std::vector<submission> filter_run::submissions() const {
    std::vector<submission> result;
    for (const std::string& name : list_dir(dir / "outbox")) {
        if (name.size() < 5 || name.substr(name.size() - 5) != ".args") continue;
        std::string base = dir / ("outbox/" + name.substr(0, name.size() - 5));
        submission s;
        std::ifstream args(base + ".args");
        for (std::string line; std::getline(args, line);) s.args.push_back(line);
        s.message = read_file(base + ".msg");
        result.push_back(s);
    }
    return result;
}

std::string make_message(const std::string& subject, const std::string& body, const std::string& extra_headers) {
    return "From: sender@example.org\r\nTo: rcpt@example.test\r\nSubject: " + subject +
           "\r\nMessage-ID: <" + subject + "@example.org>\r\n" + extra_headers + "\r\n" + body;
}

}  // namespace kvtest
