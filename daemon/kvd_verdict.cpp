#include "kvd_verdict.h"

#include <strings.h>

#include <sstream>

#include "kvc_result.h"

namespace kvd {
namespace {

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The malware class a potentially unwanted program's name tells, by one of its
// dot-separated parts; suspicious when no part does.
category pua_category(const std::string& name) {
    struct word {
        const char* part;
        category is;
    };
    static const word words[] = {
        {"hacktool", {kv::KV_HACKTOOL, 'H', "hacktool"}}, {"adware", {kv::KV_ADWARE, 'A', "adware"}},
        {"dialer", {kv::KV_DIALER, 'D', "dialer"}},       {"joke", {kv::KV_JOKE, 'J', "joke"}},
        {"hoax", {kv::KV_JOKE, 'J', "joke"}},             {"riskware", {kv::KV_RISKWARE, 'R', "riskware"}},
        {"tool", {kv::KV_RISKWARE, 'R', "riskware"}},
    };
    std::vector<std::string> parts;
    std::istringstream in(name);
    for (std::string part; std::getline(in, part, '.');) parts.push_back(part);
    for (const word& w : words) {
        for (const std::string& part : parts) {
            if (strcasecmp(part.c_str(), w.part) == 0) return w.is;
        }
    }
    return {kv::KV_UNKNOWN_VIRUS, 'S', "suspicious"};
}

}  // namespace

verdict clean_verdict() {
    verdict v;
    v.report = {"{name} ok\n"};
    return v;
}

verdict failure_verdict(uint32_t bit, const std::string& what, const std::string& reason) {
    verdict v;
    v.status = bit;
    v.report = {"{name} " + what + ": " + reason + "\n"};
    v.stats = {{bit, 1}};
    return v;
}

verdict read_failure(const std::string& reason) { return failure_verdict(kv::KV_READ_ERROR, "read error", reason); }

category classify(const std::string& name) {
    if (starts_with(name, "Heuristics.Limits.Exceeded.MaxRecursion")) {
        return {kv::KV_TOO_DEEP_NESTING, 0, "archive restriction"};
    }
    if (starts_with(name, "Heuristics.Limits.Exceeded.MaxScanTime")) return {kv::KV_TIMEOUT, 0, "not checked"};
    if (starts_with(name, "Heuristics.Limits.Exceeded.")) return {kv::KV_TOO_BIG, 0, "archive restriction"};
    if (starts_with(name, "Heuristics.Encrypted.")) return {kv::KV_SKIPPED, 0, "not checked"};
    if (starts_with(name, "Heuristics.")) return {kv::KV_UNKNOWN_VIRUS, 'S', "suspicious"};
    if (starts_with(name, "PUA.")) return pua_category(name);
    return {kv::KV_KNOWN_VIRUS, 'K', "infected"};
}

verdict finding_verdict(const std::string& name) {
    const category c = classify(name);
    verdict v;
    v.status = c.status;
    if (c.letter != 0) v.viruses = {name + "," + c.letter};
    v.report = {"{name} " + std::string(c.what) + ": " + name + "\n"};
    v.stats = {{c.status, 1}};
    return v;
}

}  // namespace kvd
