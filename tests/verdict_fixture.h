// A filter run with every notification switched on; each template names its
// section and party, so a submission tells what it was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "filter_fixture.h"

namespace kvtest {

const char* const kSections[] = {"VirusNotifications", "MalwareNotifications", "SkipNotifications",
                                  "ArchiveRestrictionNotifications", "ErrorNotifications",
                                  "RuleFilterNotifications", "CuredNotifications"};

struct verdict_run : filter_run {
    explicit verdict_run(std::vector<std::string> daemon_args = {}, bool with_daemon = true)
        : filter_run(with_daemon, std::move(daemon_args)) {
        config.set("Actions", "RedirectMail = collector@example.test")
            .set("Actions", "ProcessingErrors = tempfail");
        for (const char* section : kSections) {
            for (const char* party : {"Admin", "Rcpts", "Sender"}) {
                std::string path = dir / (std::string(section) + "-" + party + ".tmpl");
                kvtest::write_file(path, std::string("X-Notice: ") + section + " " + party +
                                             "\nSubject: $SUBJECT$\n\n[$ARCHIVE_RECORD$]\n$DAEMON_REPORT$\n$VIRUS_LIST$");
                config.set(section, std::string(party) + "Notify = yes")
                    .set(section, std::string(party) + "Template = " + path);
            }
        }
    }

    // "Section Party" of each notification, in the order they were sent.
    std::vector<std::string> notices() const {
        std::vector<std::string> found;
        for (const submission& s : submissions()) {
            if (s.message.rfind("X-Notice: ", 0) == 0) found.push_back(s.message.substr(10, s.message.find('\n') - 10));
        }
        return found;
    }
    // Submissions that are neither notifications: re-submitted or redirected mail.
    std::vector<submission> deliveries() const {
        std::vector<submission> found;
        for (const submission& s : submissions())
            if (s.message.rfind("X-Notice: ", 0) != 0) found.push_back(s);
        return found;
    }
    std::optional<submission> notice(const std::string& what) const {
        for (const submission& s : submissions())
            if (s.message.rfind("X-Notice: " + what + "\n", 0) == 0) return s;
        return std::nullopt;
    }
};

}  // namespace kvtest
