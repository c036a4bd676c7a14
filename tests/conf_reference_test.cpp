// The configuration reference against the reader: every key that a section
// reader knows is described under its section in kerval_postfix.conf(5) with
// the reader's default, and appears in its section of the sample configuration.
// The keys are the ones the readers hand to read_section, caught by the conf
// observer, so a key added to a reader fails here until both files have it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kv_options.h"
#include "kvc_conf.h"
#ifdef KV_MILTER_BIN
#include "kvm_settings.h"
#endif
#include "test_util.h"

namespace {

struct known_key {
    std::string name;
    std::optional<std::string> default_text;  // as the page writes it; none: not compared
};
using reader_keys = std::map<std::string, std::vector<known_key>>;

std::optional<std::string> default_of(const kv::conf_var& var) {
    switch (var.type) {
    case kv::CONF_BOOL: return std::string(var.number_default != 0 ? "yes" : "no");
    case kv::CONF_INT:
    case kv::CONF_UINT: return std::to_string(var.number_default);
    case kv::CONF_OCTAL: {
        char text[16];
        snprintf(text, sizeof text, "%04o", static_cast<unsigned>(var.number_default));
        return std::string(text);
    }
    case kv::CONF_STRING:
        if (var.text_default != nullptr) return std::string(var.text_default);
        return std::nullopt;
    default: return std::nullopt;
    }
}

// Runs every section reader of the filter over an empty section; the observer
// records the table each one passes to read_section.
reader_keys keys_of_the_readers() {
    reader_keys keys;
    kv::set_conf_observer([&keys](const char* section, const std::vector<kv::conf_var>& vars) {
        std::vector<known_key>& list = keys[section];
        for (const kv::conf_var& var : vars) list.push_back({var.name, default_of(var)});
    });
    kv::filter_config config;
    kv::section_presence presence;
    std::vector<kv::conf_task> tasks = kv::make_config_tasks(config, presence);
#ifdef KV_MILTER_BIN
    kv::milter::milter_settings milter;  // the milter's own section
    tasks.push_back(kv::milter::milter_task(milter));
#endif
    kvtest::log_capture quiet;  // the readers complain about the values that are missing
    for (kv::conf_task& task : tasks) {
        presence = kv::section_presence{};  // an older section name is refused only beside the new one
        FILE* empty = tmpfile();
        if (empty == nullptr) break;
        int line = 1;
        (void)task.reader(empty, line, task.name);
        task.cleanup(task.name);
        fclose(empty);
    }
    kv::set_conf_observer(nullptr);
    return keys;
}

std::string unescape(std::string text) {
    static const std::pair<const char*, const char*> escapes[] = {
        {"\\fB", ""}, {"\\fR", ""}, {"\\fI", ""}, {"\\-", "-"}, {"\\(dq", "\""}, {"\\e", "\\"}};
    for (const auto& [from, to] : escapes) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
            text.replace(at, strlen(from), to);
            at += strlen(to);
        }
    }
    return text;
}

// The page's entries: each ".TP / .B Key" entry under a .SS heading, with its
// text (escapes removed, lines joined by blanks). A heading may name several
// sections, which then share its entries.
struct page_entries {
    std::map<std::string, size_t> heading_of;                   // section name -> heading
    std::vector<std::map<std::string, std::string>> headings;  // key -> text

    const std::map<std::string, std::string>* of(const std::string& section) const {
        auto found = heading_of.find(section);
        return found == heading_of.end() ? nullptr : &headings[found->second];
    }
};

page_entries entries_of_the_page(const std::string& page) {
    page_entries entries;
    bool in_heading = false;
    std::string* entry = nullptr;
    std::istringstream lines(page);
    std::string line, previous;
    const std::regex section_name("\\[([A-Za-z]+)\\]");
    while (std::getline(lines, line)) {
        if (line.rfind(".SH", 0) == 0) {
            in_heading = false;
            entry = nullptr;
        } else if (line.rfind(".SS", 0) == 0) {
            in_heading = true;
            entry = nullptr;
            entries.headings.emplace_back();
            for (std::sregex_iterator it(line.begin(), line.end(), section_name), end; it != end; ++it)
                entries.heading_of[(*it)[1]] = entries.headings.size() - 1;
        } else if (line.rfind(".TP", 0) == 0) {
            entry = nullptr;
        } else if (in_heading && previous.rfind(".TP", 0) == 0 && line.rfind(".B ", 0) == 0) {
            entry = &entries.headings.back()[line.substr(3)];
        } else if (entry != nullptr) {
            *entry += unescape(line) + " ";
        }
        previous = line;
    }
    return entries;
}

// The sample's blocks: "[Section]" or "#[Section]" up to the next such header.
std::map<std::string, std::string> blocks_of_the_sample(const std::string& sample) {
    std::map<std::string, std::string> blocks;
    std::string* block = nullptr;
    std::istringstream lines(sample);
    std::string line;
    const std::regex header("^#?\\[([A-Za-z]+)\\]");
    std::smatch found;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, found, header)) {
            block = &blocks[found[1]];
        } else if (block != nullptr) {
            *block += line + "\n";
        }
    }
    return blocks;
}

bool has_word(const std::string& text, const std::string& word) {
    return std::regex_search(text, std::regex("(^|[^A-Za-z])" + word + "([^A-Za-z]|$)"));
}

// "Default: VALUE" (or "Default: \"VALUE\"") with VALUE whole: followed by
// the sentence's end, a blank or nothing.
bool says_default(const std::string& entry, const std::string& value) {
    for (const std::string& written : {value, "\"" + value + "\""}) {
        const std::string said = "Default: " + written;
        for (size_t at = entry.find(said); at != std::string::npos; at = entry.find(said, at + 1)) {
            const size_t after = at + said.size();
            if (after >= entry.size() || entry[after] == ' ' || entry[after] == '.' || written.back() == '.')
                return true;
        }
    }
    return false;
}

}  // namespace

TEST(ConfReference, TheReadersKeysAreCaught) {
    const reader_keys keys = keys_of_the_readers();
    // The observer sees the real tables: spot checks from three readers.
    ASSERT_TRUE(keys.count("Scanning"));
    ASSERT_TRUE(keys.count("Actions"));
    ASSERT_TRUE(keys.count("CuredNotifications"));
    auto has = [&](const std::string& section, const std::string& key) {
        for (const known_key& k : keys.at(section)) {
            if (k.name == key) return true;
        }
        return false;
    };
    EXPECT_TRUE(has("Scanning", "RunTimeLimit"));
    EXPECT_TRUE(has("Actions", "ErrorNotifyInterval"));
    EXPECT_TRUE(has("Mailer", "Timeout"));
    EXPECT_TRUE(has("ArchiveRestrictionNotifications", "SenderTemplate"));
#ifdef KV_MILTER_BIN
    EXPECT_TRUE(has("Milter", "QuarantineToHold"));
#endif
}

TEST(ConfReference, ManualPageDescribesEveryKeyWithItsDefault) {
    const auto page = entries_of_the_page(kvtest::read_file(kvtest::source_path("man/kerval_postfix.conf.5")));
    for (const auto& [section, keys] : keys_of_the_readers()) {
        const std::map<std::string, std::string>* documented = page.of(section);
        ASSERT_NE(documented, nullptr) << "[" << section << "] has no .SS heading in kerval_postfix.conf(5)";
        for (const known_key& key : keys) {
            auto entry = documented->find(key.name);
            if (entry == documented->end()) {
                ADD_FAILURE() << "[" << section << "] " << key.name << " is not described in kerval_postfix.conf(5)";
                continue;
            }
            EXPECT_NE(entry->second.find("Default: "), std::string::npos)
                << "[" << section << "] " << key.name << ": no default given";
            if (key.default_text) {
                EXPECT_TRUE(says_default(entry->second, *key.default_text)) << "[" << section << "] " << key.name << ": the reader's default is "
                                             << *key.default_text << "; the page says: " << entry->second;
            }
        }
    }
}

TEST(ConfReference, SampleConfigurationNamesEveryKeyInItsSection) {
    const std::string sample = kvtest::read_file(kvtest::source_path("etc/kerval_postfix.conf"));
    const auto blocks = blocks_of_the_sample(sample);
    for (const auto& [section, keys] : keys_of_the_readers()) {
        auto block = blocks.find(section);
        if (block == blocks.end()) {
            // A section the sample leaves out (an older name) is at least mentioned.
            EXPECT_TRUE(has_word(sample, section)) << "[" << section << "] is not in the sample configuration";
            continue;
        }
        for (const known_key& key : keys) {
            EXPECT_TRUE(has_word(block->second, key.name))
                << "[" << section << "] " << key.name << " is not in its section of the sample configuration";
        }
    }
}
