// kvc_strings: the ordered list of owned texts (strings) and the chain of owned
// binary chunks (mbufs), both with an optional cap on their total size.
//
// A list only grows; an add that would make the total reach or pass the limit is
// refused (answer 0) and leaves the list as it was. Adding an empty or missing
// text is reported as success and changes nothing. strings keeps one iteration
// cursor and caches the last join until the next add.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kv {

class strings {
public:
    explicit strings(uint32_t limit = 0) : limit_(limit) {}
    static std::unique_ptr<strings> create(uint32_t limit = 0) { return std::make_unique<strings>(limit); }

    // 1 = added or ignored (null or empty text), 0 = refused by the limit.
    int add(const char* text);
    int add(const std::string& text) { return add(text.c_str()); }
    int add_integer(int32_t value);
    // Copies every text of src (rewinding its cursor), with sep between two texts.
    int add_list(strings* src, const char* sep);

    int count() const { return static_cast<int>(items_.size()); }
    int size() const { return total_; }
    uint32_t limit() const { return limit_; }
    // 1 when some text equals text byte for byte.
    int find(const char* text) const;

    // Concatenation without separators; order 0 head to tail, 1 tail to head.
    std::optional<std::string> to_linear(int order);

    int rewind(int order);
    // The cursor's text (owned by the list) and advance; nullptr at the end.
    const char* next();

    const std::vector<std::string>& items() const { return items_; }

private:
    uint32_t limit_;
    int32_t total_ = 0;
    std::vector<std::string> items_;
    int direction_ = 0;
    std::ptrdiff_t cursor_ = -1;  // index of the next text, -1 = at the end
    std::optional<std::string> joined_;
    int joined_order_ = 0;
};

class mbufs {
public:
    explicit mbufs(uint32_t limit = 0) : limit_(limit) {}

    // 1 = added or ignored (null data or length 0), 0 = refused by the limit.
    int add(const void* data, uint32_t length);
    int count() const { return static_cast<int>(chunks_.size()); }
    uint32_t size() const { return size_; }
    uint32_t limit() const { return limit_; }

    // All chunks in order (0 forward, 1 backward); with terminate a NUL byte is
    // appended (and counted in the returned length). nullopt for a bad order.
    std::optional<std::string> to_linear(int order, bool terminate) const;

private:
    uint32_t limit_;
    uint32_t size_ = 0;
    std::vector<std::string> chunks_;
};

}  // namespace kv
