// kvc_format: printf-style formatting into a std::string, for texts that are
// built before they are logged or sent.
#pragma once

#include <cstdarg>
#include <string>

namespace kv {

std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vformat_text(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));

}  // namespace kv
