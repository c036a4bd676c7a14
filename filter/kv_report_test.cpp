#include "kv_report.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "kv_settings.h"
#include "kvc_conf.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

// A message record for a spool file with the given subject, and a place for
// templates.
struct report_fixture {
    kvtest::temp_dir dir;
    kv::actions_settings actions;
    std::unique_ptr<kv::mail> m;

    explicit report_fixture(const char* subject = nullptr) {
        kvtest::write_file(dir / "msg", "Subject: x\n\nbody\n");
        m = kv::mail_create((dir / "msg").c_str());
        EXPECT_EQ(kv::e_set_from(m->env, "<s@example.org>"), 1);
        EXPECT_EQ(kv::e_add_rcpt(m->env, "<r@example.org>"), 1);
        if (subject != nullptr) {
            EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_SUBJECT, subject), 1);
        }
    }
    std::optional<std::string> report(const std::string& text) {
        kvtest::write_file(dir / "t.tmpl", text);
        return kv::create_report(*m, (dir / "t.tmpl").c_str(), nullptr, actions);
    }
};

}  // namespace

TEST(Report, TemplateCharsetIsTheCharsetParameter) {
    const std::string privet_koi8 = "\xF0\xD2\xC9\xD7\xC5\xD4";
    struct charset_case {
        const char* line;
        bool decoded;
    };
    for (const charset_case& c : {
             charset_case{"Content-Type: text/plain; charset=koi8-r\n", true},
             {"Content-Type: text/plain; format=flowed; charset=koi8-r\n", true},
             {"Content-Type: text/plain; charset=koi8-r; format=flowed\n", true},
             {"Content-Type: text/plain; charset=\"koi8-r\"\n", true},
             {"Content-Type: text/plain;\tCharset=KOI8-R\r\n", true},
             {"X-Note: a=b; charset=koi8-r\n", true},
             {"Content-Type: text/plain; charset=utf-8\n", false},
             {"Content-Type: text/plain; charset=\n", false},
             {"Content-Type: text/plain; xcharset=koi8-r\n", false},
         }) {
        SCOPED_TRACE(c.line);
        report_fixture f(" =?koi8-r?B?8NLJ18XU?=");
        const std::optional<std::string> text = f.report(std::string(c.line) + "Subject:$SUBJECT$\n");
        ASSERT_TRUE(text);
        const std::string subject = c.decoded ? " " + privet_koi8 : " =?koi8-r?B?8NLJ18XU?=";
        EXPECT_EQ(*text, std::string(c.line) + "Subject:" + subject + "\n");
    }
    // A later charset line changes the charset for what follows it only.
    report_fixture f(" =?koi8-r?B?8NLJ18XU?=");
    EXPECT_EQ(f.report("$SUBJECT$\ncharset=koi8-r\n$SUBJECT$\ncharset=utf-8\n$SUBJECT$\n"),
              " =?koi8-r?B?8NLJ18XU?=\ncharset=koi8-r\n " + privet_koi8 +
                  "\ncharset=utf-8\n =?koi8-r?B?8NLJ18XU?=\n");
}

TEST(Report, MacrosAreReplacedWhereverTheyFall) {
    for (size_t at : {0u, 120u, 123u, 126u, 127u, 250u, 4093u, 5000u}) {
        SCOPED_TRACE(at);
        report_fixture f;
        const std::string head(at, 'x');
        EXPECT_EQ(f.report(head + "$SENDER$ to $RCPTS$" + std::string(200, 'y') + "\n$MSGID$"),
                  head + "s@example.org to r@example.org" + std::string(200, 'y') + "\n[unknown-id]");
    }
    // Text without macros, dollar signs that begin none, a missing final line end.
    report_fixture f;
    const std::string plain = "Price: $5 or $10$ $RULE_NAME$ $$\n" + std::string(1000, 'z') + "\n\nend";
    EXPECT_EQ(f.report(plain), plain);
}

TEST(Report, RawHeaderValuesCannotStartLinesOfTheirOwn) {
    // A subject that does not decode, and a message id, as the sender wrote them.
    report_fixture f(" Hello\rBcc: victim@example.org\x01\r");
    ASSERT_EQ(kv::mail_set_property(*f.m, kv::MAIL_PROP_MESSAGE_ID, " <a\rb@x>"), 1);
    EXPECT_EQ(f.report("Subject:$SUBJECT$\nX-Id:$MSGID$\n"),
              "Subject: Hello Bcc: victim@example.org \r\nX-Id: <a b@x>\n");
}

TEST(Report, OverlongTemplateLineFailsTheReport) {
    report_fixture f;
    kvtest::log_capture logged;
    EXPECT_EQ(f.report("Subject: x\n" + std::string(kv::kConfLineMax + 1, 'x') + "\n"), std::nullopt);
    EXPECT_TRUE(logged.has(kv::Errors, "report: line 2 of template " + (f.dir / "t.tmpl") +
                                           " is longer than 65536 bytes"))
        << logged.dump();
    EXPECT_EQ(f.report(std::string(kv::kConfLineMax, 'x') + "\n"), std::string(kv::kConfLineMax, 'x') + "\n");
}
