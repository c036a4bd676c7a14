#include "kv_mailutil.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kvc_log.h"
#include "test_util.h"

namespace {

TEST(DecodeSubject, Cases) {
    const std::string privet_koi8 = "\xF0\xD2\xC9\xD7\xC5\xD4";
    struct subject_case {
        const char* subject;
        const char* charset;
        std::optional<std::string> result;
        const char* message;  // logged when the result is none
    } cases[] = {
        {" Hello there", nullptr, " Hello there", nullptr},
        {"", nullptr, "", nullptr},
        {" a=b =", nullptr, " a=b =", nullptr},
        {nullptr, "koi8-r", std::nullopt, nullptr},
        // charset agreement
        {" =?KOI8-R?B?8NLJ18XU?=", "koi8-r", " " + privet_koi8, nullptr},
        {" =?koi8-r?b?8NLJ18XU?=", "KOI8-R", " " + privet_koi8, nullptr},
        {" =?iso-8859-5?B?8NLJ18XU?=", "koi8-r", std::nullopt,
         "decode_subject: template charset(koi8-r) and message charset(iso-8859-5) is different"},
        {"=?us-ascii?Q?x?=", nullptr, "x", nullptr},
        {"=?us?Q?x?=", nullptr, "x", nullptr},
        {"=??Q?x?=", "koi8-r", "x", nullptr},
        {"=?utf-8?Q?x?=", nullptr, std::nullopt,
         "decode_subject: template charset(us-ascii) and message charset(utf-8) is different"},
        {"=?us-ascii-extended?Q?x?=", nullptr, std::nullopt,
         "decode_subject: template charset(us-ascii) and message charset(us-ascii-extended) is different"},
        // quoted-printable
        {"=?us-ascii?Q?a=3Db?=", nullptr, "a=b", nullptr},
        {"=?us-ascii?Q?a=3db?=", nullptr, std::nullopt, "decode_subject: failed to decode qp"},
        {"=?us-ascii?Q?a=4?=", nullptr, std::nullopt, "decode_subject: failed to decode qp"},
        {"=?us-ascii?Q?a_b?=", nullptr, "a b", nullptr},
        {"=?us-ascii?q?a\tb\x7F" "c\xA9?=", nullptr, "abc\xA9", nullptr},
        // base64
        {"=?us-ascii?B?SGVsbG8=?=", nullptr, "Hello", nullptr},
        {"=?us-ascii?B?SGVs bG8=?=", nullptr, "Hello", nullptr},
        {"=?us-ascii?B?SGVs*bG8=?=", nullptr, std::nullopt, "decode_subject: failed to decode base64"},
        {"=?us-ascii?B?QQ==?=", nullptr, "A", nullptr},
        {"=?us-ascii?B?QUI=?=", nullptr, "AB", nullptr},
        {"=?us-ascii?B?QUJD?=", nullptr, "ABC", nullptr},
        {"=?us-ascii?B?QUJDRA?=", nullptr, "ABC", nullptr},  // a short last group gives nothing
        {"=?us-ascii?B?YQ0NDWI=?=", nullptr, "a b", nullptr},  // runs of CR collapse, then become a blank
        // Control characters a word decodes to become blanks: a subject can add
        // neither headers nor body text to a notification.
        {" =?us-ascii?B?YQ0KQmNjOiB4Cgpib2R5fwAb?=", nullptr, " a  Bcc: x  body   ", nullptr},
        {"=?us-ascii?Q?x=0D=0ABcc:_evil@x=09=00=1F=7F?=", nullptr, "x  Bcc: evil@x    ", nullptr},
        {" plain\r", nullptr, " plain\r", nullptr},  // text outside words is not touched
        {"=?us-ascii?B?=AAA?=", nullptr, std::nullopt, "decode_subject: failed to decode base64"},
        // words in text
        {"Re: =?UTF-8?B?w6k=?= ok", "utf-8", "Re: \xC3\xA9 ok", nullptr},
        {"=?us-ascii?Q?a?= =?us-ascii?Q?b?=", nullptr, "a b", nullptr},
        {"=?us-ascii?Q?abc?x tail", nullptr, " tail", nullptr},  // not closed: nothing, "x" skipped
        {"=?us-ascii?Q?abc?", nullptr, "", nullptr},
        // malformed words
        {"x =?us-ascii", nullptr, std::nullopt, "decode_subject: 2nd ? not found in =?us-ascii"},
        {"=?us-ascii?X?abc?=", nullptr, std::nullopt, "decode_subject: invalid encoding X specified"},
        {"=?us-ascii?Qabc?=", nullptr, std::nullopt, "decode_subject: 3rd ? not found in abc?="},
        {"=?us-ascii?", nullptr, std::nullopt, "decode_subject: 3rd ? not found in "},
        {"=?us-ascii?Q?abc", nullptr, std::nullopt, "decode_subject: last ? not found in abc"},
    };
    for (const subject_case& c : cases) {
        SCOPED_TRACE(c.subject ? c.subject : "(null)");
        kvtest::log_capture logged;
        EXPECT_EQ(kv::decode_subject(c.subject, c.charset), c.result);
        if (c.message != nullptr) {
            EXPECT_TRUE(logged.has(c.message)) << logged.dump();
        }
        for (const auto& line : logged.lines()) EXPECT_GE(line.first, kv::Verbose) << line.second;
    }
}

TEST(IsSpecial, OneSenderToOneRecipient) {
    struct special_case {
        std::vector<const char*> rcpts;
        const char* sender;
        const char* recipient;
        int result;
        const char* flags;
    } cases[] = {
        {{"redirect@x"}, "Filter <filter@x>", "<redirect@x>", 1, "(1.1.1)"},
        {{"redirect@x"}, "filter@x", "redirect@x", 1, "(1.1.1)"},
        {{"redirect@x", "redirect@x"}, "filter@x", "redirect@x", 0, "(0.1.1)"},
        {{"redirect@x", "other@x"}, "filter@x", "redirect@x", 0, "(0.1.1)"},
        {{"redirect@x"}, "Filter@x", "redirect@x", 0, "(1.0.1)"},
        {{"other@x"}, "filter@x", "redirect@x", 0, "(1.1.0)"},
        {{}, "filter@x", "redirect@x", 0, "(0.1.0)"},
    };
    for (const special_case& c : cases) {
        SCOPED_TRACE(c.flags);
        std::unique_ptr<kv::mail> m = kv::mail_create("/spool/x");
        ASSERT_EQ(kv::e_set_from(m->env, "<filter@x>"), 1);
        for (const char* rcpt : c.rcpts) ASSERT_EQ(kv::e_add_rcpt(m->env, rcpt), 1);
        kvtest::log_capture logged;
        EXPECT_EQ(kv::is_special(*m, c.sender, c.recipient, "redirect"), c.result);
        EXPECT_TRUE(logged.has(kv::Verbose, std::string("is_special(redirect):  -> ") + c.flags)) << logged.dump();
    }
    std::unique_ptr<kv::mail> m = kv::mail_create(nullptr);
    kvtest::log_capture logged;
    EXPECT_EQ(kv::is_special(*m, nullptr, "r@x", "loop"), 0);
    EXPECT_TRUE(logged.contains("is_special bad parameters (1.0) were passed (kv_mailutil:")) << logged.dump();
}

}  // namespace
