// kv_report: notification texts from templates. A template is a complete mail
// message (headers and body) with dollar-sign macros such as $SENDER$, which
// create_report replaces with data of the message in hand.
#pragma once

#include <optional>
#include <string>

#include "kv_mail.h"
#include "kv_settings.h"

namespace kv {

// The template, read line by line, with its macros replaced; nullopt after
// logging why. A line longer than kConfLineMax fails the report. The charset for
// $SUBJECT$ is the last charset parameter ("charset=koi8-r") seen so far. archive
// is the quarantine copy's path, or nullptr. A missing template path is logged as
// a bad parameter.
std::optional<std::string> create_report(const mail& m, const char* template_path, const char* archive,
                                         const actions_settings& actions);

}  // namespace kv
