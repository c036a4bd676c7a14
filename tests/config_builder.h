// A small valid configuration file that tests change line by line.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kvtest {

class config_builder {
public:
    config_builder();
    // Appends a line to a section (the section is added at the end if missing).
    config_builder& set(const std::string& section, const std::string& line);
    config_builder& drop(const std::string& section);
    std::string text() const;
    // Writes the text to path and answers path.
    std::string write(const std::string& path) const;

private:
    std::vector<std::pair<std::string, std::vector<std::string>>> sections_;
};

}  // namespace kvtest
