#include "kvc_format.h"

#include <cstdio>

namespace kv {

std::string vformat_text(const char* format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(text.data(), text.size() + 1, format, ap);
    return text;
}

std::string format_text(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = vformat_text(format, ap);
    va_end(ap);
    return text;
}

}  // namespace kv
