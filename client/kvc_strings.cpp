#include "kvc_strings.h"

#include <cstdio>
#include <cstring>

#include "kvc_log.h"

namespace kv {

int strings::add(const char* text) {
    if (text == nullptr) {
        log(Debug, "kvlib: strings: null string passed");
        return 1;
    }
    size_t length = strlen(text);
    if (length == 0) {
        log(Debug, "kvlib: strings: zero-length string passed");
        return 1;
    }
    uint64_t after = static_cast<uint64_t>(total_) + length;
    if ((limit_ != 0 && after >= limit_) || after > INT32_MAX) {
        log(Debug, "kvlib: strings: new string(%d) overcome limit (%d) for whole(%d)",
            static_cast<int>(length), static_cast<int>(limit_), total_);
        return 0;
    }
    items_.emplace_back(text, length);
    total_ = static_cast<int32_t>(after);
    joined_.reset();
    return 1;
}

int strings::add_integer(int32_t value) {
    char buffer[12];
    int n = snprintf(buffer, sizeof buffer, "%d", value);
    if (n > 10) {
        log(Errors, "kvlib: strings: added integer value too big for format");
        return 0;
    }
    return add(buffer);
}

int strings::add_list(strings* src, const char* sep) {
    if (src == nullptr) return 1;
    src->rewind(0);
    bool first = true;
    for (const char* text = src->next(); text != nullptr; text = src->next()) {
        if (!first && sep != nullptr && !add(sep)) return 0;
        if (!add(text)) return 0;
        first = false;
    }
    return 1;
}

int strings::find(const char* text) const {
    if (text == nullptr) return 0;
    for (const std::string& item : items_)
        if (item == text) return 1;
    return 0;
}

std::optional<std::string> strings::to_linear(int order) {
    if (order < 0 || order > 1) return std::nullopt;
    if (joined_ && joined_order_ == order) return *joined_;
    std::string text;
    text.reserve(static_cast<size_t>(total_));
    if (order == 0) {
        for (const std::string& item : items_) text += item;
    } else {
        for (auto it = items_.rbegin(); it != items_.rend(); ++it) text += *it;
    }
    joined_ = text;
    joined_order_ = order;
    return text;
}

int strings::rewind(int order) {
    if (order < 0 || order > 1) return 0;
    direction_ = order;
    if (items_.empty()) cursor_ = -1;
    else cursor_ = order == 0 ? 0 : static_cast<std::ptrdiff_t>(items_.size()) - 1;
    return 1;
}

const char* strings::next() {
    if (cursor_ < 0 || cursor_ >= static_cast<std::ptrdiff_t>(items_.size())) return nullptr;
    const char* text = items_[static_cast<size_t>(cursor_)].c_str();
    cursor_ += direction_ == 0 ? 1 : -1;
    return text;
}

int mbufs::add(const void* data, uint32_t length) {
    if (data == nullptr) {
        log(Debug, "kvlib: mbufs::add null chunk passed");
        return 1;
    }
    if (length == 0) {
        log(Debug, "kvlib: mbufs::add zero-length chunk passed");
        return 1;
    }
    uint64_t after = static_cast<uint64_t>(size_) + length;
    // Without a limit the size still has to fit its 32-bit counter.
    if ((limit_ != 0 && after >= limit_) || after > UINT32_MAX - 1) {
        log(Errors, "kvlib: mbufs::add new chunk (%u bytes) overcome limit (%u bytes) for list (current size %u bytes)",
            length, limit_, size_);
        return 0;
    }
    chunks_.emplace_back(static_cast<const char*>(data), length);
    size_ = static_cast<uint32_t>(after);
    return 1;
}

std::optional<std::string> mbufs::to_linear(int order, bool terminate) const {
    if (order < 0 || order > 1) {
        log(Errors, "kvlib: mbufs::to_linear bad parameters were passed (%p, %d)", static_cast<const void*>(this), order);
        return std::nullopt;
    }
    std::string buffer;
    buffer.reserve(size_ + (terminate ? 1 : 0));
    if (order == 0) {
        for (const std::string& chunk : chunks_) buffer += chunk;
    } else {
        for (auto it = chunks_.rbegin(); it != chunks_.rend(); ++it) buffer += *it;
    }
    if (terminate) buffer.push_back('\0');
    return buffer;
}

}  // namespace kv
