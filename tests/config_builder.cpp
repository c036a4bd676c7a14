#include "config_builder.h"

#include <algorithm>

#include "test_util.h"

namespace kvtest {

config_builder::config_builder() {
    sections_ = {
        {"DaemonCommunication", {"Address = local:/nonexistent/kervald.sock"}},
        {"Scanning", {"Spool = /tmp"}},
        {"Logging", {}},
        {"Actions", {"FilterMail = kerval@localhost", "Quarantine = /tmp"}},
        {"VirusNotifications", {}},
        {"SkipNotifications", {}},
        {"ArchiveRestrictionNotifications", {}},
        {"ErrorNotifications", {}},
        {"Mailer", {"MailSystem = Postfix", "Sendmail = /usr/sbin/sendmail"}},
    };
}

config_builder& config_builder::set(const std::string& section, const std::string& line) {
    for (auto& entry : sections_) {
        if (entry.first == section) {
            entry.second.push_back(line);
            return *this;
        }
    }
    sections_.push_back({section, {line}});
    return *this;
}

config_builder& config_builder::drop(const std::string& section) {
    sections_.erase(std::remove_if(sections_.begin(), sections_.end(),
                                   [&](const auto& entry) { return entry.first == section; }),
                    sections_.end());
    return *this;
}

std::string config_builder::text() const {
    std::string text;
    for (const auto& [section, lines] : sections_) {
        text += "[" + section + "]\n";
        for (const std::string& line : lines)
            if (!line.empty()) text += line + "\n";
    }
    return text;
}

std::string config_builder::write(const std::string& path) const {
    write_file(path, text());
    return path;
}

}  // namespace kvtest
