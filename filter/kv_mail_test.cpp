#include "kv_mail.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kv_settings.h"
#include "kvc_log.h"
#include "test_util.h"

namespace {

TEST(NormalizeAddress, Cases) {
    struct address_case {
        const char* text;
        std::optional<std::string> result;
    } cases[] = {
        {"John Doe <john@example.org>", "john@example.org"},
        {"<john@example.org>", "john@example.org"},
        {"john@example.org", "john@example.org"},
        {"<>", "<>"},
        {"", ""},
        {"broken <john@example.org", "broken <john@example.org"},
        {"a> b <c", "a> b <c"},
        {"x <a <b> c> y", "a <b> c"},
        {nullptr, std::nullopt},
    };
    for (const address_case& c : cases) EXPECT_EQ(kv::normalize_address(c.text), c.result) << (c.text ? c.text : "");
}

TEST(Envelope, StoresNormalisedAddresses) {
    kvtest::log_capture logged;
    std::unique_ptr<kv::envelope> env = kv::e_create("Sender <s@x>");
    ASSERT_TRUE(env);
    EXPECT_STREQ(kv::e_get_from(*env), "s@x");
    EXPECT_EQ(kv::e_set_from(*env, "<>"), 1);
    EXPECT_STREQ(kv::e_get_from(*env), "<>");
    EXPECT_EQ(kv::e_set_from(*env, nullptr), 0);
    EXPECT_STREQ(kv::e_get_from(*env), "<>");
    EXPECT_TRUE(logged.contains("mail: e_set_from (kv_mail:")) << logged.dump();

    EXPECT_EQ(kv::e_get_rcpts(*env), nullptr);
    EXPECT_EQ(kv::e_add_rcpt(*env, ""), 1);  // creates the list, adds nothing
    ASSERT_NE(kv::e_get_rcpts(*env), nullptr);
    EXPECT_EQ(kv::e_rcpts_count(*env), 0);
    EXPECT_EQ(kv::e_add_rcpt(*env, "R One <r1@x>"), 1);
    EXPECT_EQ(kv::e_add_rcpt(*env, "r2@x"), 1);
    EXPECT_EQ(kv::e_rcpts_count(*env), 2);
    EXPECT_EQ(kv::e_has_rcpt(*env, "r1@x"), 1);
    EXPECT_EQ(kv::e_has_rcpt(*env, "R1@x"), 0);
    EXPECT_EQ(kv::e_has_rcpt(*env, "<r1@x>"), 0);
}

TEST(Envelope, BorrowedRecipientsListIsNeitherChangedNorFreed) {
    kv::strings borrowed;
    borrowed.add("a@x");
    {
        kvtest::log_capture logged;
        kv::envelope env;
        ASSERT_EQ(kv::e_add_rcpt(env, "own@x"), 1);
        EXPECT_EQ(kv::e_set_rcpts(env, &borrowed), 1);
        EXPECT_EQ(kv::e_get_rcpts(env), &borrowed);
        EXPECT_EQ(kv::e_has_rcpt(env, "own@x"), 0);
        EXPECT_EQ(kv::e_add_rcpt(env, "b@x"), 0);
        EXPECT_TRUE(logged.has(kv::Errors, "mail: cannot add recipient b@x - the recipients list is borrowed"));
    }  // the envelope goes; the list stays usable (the sanitizer build checks)
    EXPECT_EQ(borrowed.count(), 1);
    EXPECT_EQ(borrowed.find("a@x"), 1);
}

TEST(MailRecord, StringAndNumberProperties) {
    kvtest::log_capture logged;
    std::unique_ptr<kv::mail> m = kv::mail_create("/spool/x");
    EXPECT_STREQ(kv::mail_get_path(*m), "/spool/x");
    EXPECT_EQ(kv::mail_get_property(*m, kv::MAIL_PROP_SUBJECT), nullptr);

    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_SUBJECT, " Hi\r\n\n"), 1);  // one "\n" cut only
    EXPECT_STREQ(kv::mail_get_property(*m, kv::MAIL_PROP_SUBJECT), " Hi\r\n");
    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_SUBJECT, static_cast<const char*>(nullptr)), 1);
    EXPECT_STREQ(kv::mail_get_property(*m, kv::MAIL_PROP_SUBJECT), " Hi\r\n");
    EXPECT_TRUE(logged.has(kv::Debug, "mail: null value for subject property"));
    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_REPLY_STRING, "550 no"), 1);
    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_REPLY_STRING, "554 virus\n"), 1);
    EXPECT_TRUE(logged.has(kv::Debug, "mail: free previous reply string = 550 no"));
    EXPECT_STREQ(kv::mail_get_property(*m, kv::MAIL_PROP_REPLY_STRING), "554 virus");

    const int32_t length = 321;
    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_HEADERS_LENGTH, &length), 1);
    EXPECT_EQ(*kv::mail_get_int_property(*m, kv::MAIL_PROP_HEADERS_LENGTH), 321);
    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_HEADERS_LENGTH, static_cast<const int32_t*>(nullptr)), 0);
    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_HEADERS_LENGTH, "12"), 0);  // wrong kind
    EXPECT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_SUBJECT, &length), 0);
    EXPECT_EQ(kv::mail_set_property(*m, 6, "ignored"), 1);
    EXPECT_EQ(kv::mail_get_property(*m, 6), nullptr);
    EXPECT_EQ(kv::mail_get_int_property(*m, kv::MAIL_PROP_SUBJECT), nullptr);
    EXPECT_STREQ(kv::mail_get_property(*m, kv::MAIL_PROP_SUBJECT), " Hi\r\n");

    auto first = kv::scanresult_new();
    first->status = kv::KV_KNOWN_VIRUS;
    EXPECT_EQ(kv::mail_set_result(*m, std::move(first)), 1);
    EXPECT_EQ(kv::mail_set_result(*m, kv::scanresult_new()), 1);  // the first one is freed
    EXPECT_EQ(kv::mail_get_result(*m)->status, 0u);
}

// ---- header parsing ----

struct parse_outcome {
    int result;
    std::optional<std::string> subject;
    std::optional<std::string> message_id;
    std::optional<std::string> orig_rcpt;
    int32_t headers_length;
};

parse_outcome parse(const kvtest::temp_dir& dir, const std::string& content) {
    kvtest::write_file(dir / "msg", content);
    std::unique_ptr<kv::mail> m = kv::mail_create((dir / "msg").c_str());
    parse_outcome out;
    out.result = kv::mail_parse_headers(*m);
    out.subject = m->subject;
    out.message_id = m->message_id;
    out.orig_rcpt = m->orig_rcpt;
    out.headers_length = m->headers_length;
    return out;
}

std::string filled_line(const std::string& start, size_t length_without_newline) {
    return start + std::string(length_without_newline - start.size(), 'a') + "\n";
}

TEST(ParseHeaders, Cases) {
    kvtest::temp_dir dir;
    const std::string header_only = "Subject: abc\n" + filled_line("X-Filler: ", 100 - 13 - 1);
    const std::string long_first = "Subject: first\n" + filled_line("X-Long: ", 4095);
    const std::string almost_long = "Subject: first\n" + filled_line("X-Long: ", 4094);
    std::string hiding = "X-Long: ";
    for (const char* header : {"Subject: evil", "Message-ID: <evil>", "X-Original-To: <evil>", "\n"}) {
        hiding += std::string(4095 * (hiding.size() / 4095 + 1) - hiding.size(), 'a') + header;
    }
    const std::string long_subject = "Subject: " + std::string(3 * kv::kHeaderValueMax, 'v') + "\n";
    struct parse_case {
        const char* name;
        std::string content;
        parse_outcome expected;
    } cases[] = {
        {"crlf", "Subject: Hello\r\nFrom: a\r\n\r\nbody\r\n", {1, " Hello\r", {}, {}, 27}},
        {"repeated header", "Subject: one\nSubject: two\n\nbody\n", {1, " two", {}, {}, 27}},
        {"prefix names", "Subjects: s\nsubject-line: t\nX-Original-To: <r@x>\nmessage-id: <id@x>\n\n",
         {1, " t", " <id@x>", " <r@x>", 69}},
        {"folded and colonless lines", "Subject: a\n\tSubject: b\nSubject\nTo: x\n\n", {1, " a", {}, {}, 38}},
        {"header in the body", "Subject: a\n\nSubject: b\nMessage-ID: <b>\n", {1, " a", {}, {}, 12}},
        {"first line empty", "\nSubject: body\n", {1, {}, {}, {}, 1}},
        {"first line empty crlf", "\r\nSubject: body\r\n", {1, {}, {}, {}, 2}},
        {"no body", header_only, {1, " abc", {}, {}, 99}},
        {"no body, no final newline", "Subject: x", {1, " x", {}, {}, 9}},
        // Only an empty line ends the header block, however long the line before it.
        {"4095-character line", long_first + "Subject: after\n\nbody\n",
         {1, " after", {}, {}, static_cast<int32_t>(long_first.size() + 16)}},
        {"4094-character line", almost_long + "Subject: after\n\nbody\n",
         {1, " after", {}, {}, static_cast<int32_t>(almost_long.size() + 16)}},
        // The excess of a long line is part of that line, never a header of its own.
        {"long line hiding headers", "Subject: real\n" + hiding + "\nbody\n",
         {1, " real", {}, {}, static_cast<int32_t>(14 + hiding.size() + 1)}},
        // A long value keeps its first bytes; the bookkeeping stays exact.
        {"long subject", long_subject + "Message-ID: <m@x>\n\n",
         {1, " " + std::string(kv::kHeaderValueMax - 1, 'v'), " <m@x>", {},
          static_cast<int32_t>(long_subject.size() + 19)}},
        {"NUL in a header", std::string("Subject: a\0b\n\nSubject: body\n", 27), {1, " a", {}, {}, 14}},
        {"empty file", "", {0, {}, {}, {}, 0}},
    };
    ASSERT_EQ(header_only.size(), 100u);
    for (const parse_case& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::log_capture logged;
        parse_outcome got = parse(dir, c.content);
        EXPECT_EQ(got.result, c.expected.result) << logged.dump();
        EXPECT_EQ(got.subject, c.expected.subject);
        EXPECT_EQ(got.message_id, c.expected.message_id);
        EXPECT_EQ(got.orig_rcpt, c.expected.orig_rcpt);
        EXPECT_EQ(got.headers_length, c.expected.headers_length);
    }
}

TEST(ParseHeaders, EmptyMissingAndReparsedFiles) {
    kvtest::temp_dir dir;
    {
        kvtest::log_capture logged;
        parse(dir, "");
        EXPECT_TRUE(logged.has(kv::Debug, "mail: parse envelope error (s=0.r=0.h=0)")) << logged.dump();
    }
    {
        kvtest::log_capture logged;
        std::unique_ptr<kv::mail> m = kv::mail_create((dir / "absent").c_str());
        EXPECT_EQ(kv::mail_parse_headers(*m), 0);
        EXPECT_TRUE(logged.has(kv::Errors, "mail: cannot open mailfile " + (dir / "absent") +
                                               " - No such file or directory"));
    }
    // Parsing again after the file changed replaces what is found and keeps the rest.
    kvtest::write_file(dir / "msg", "Subject: one\nMessage-ID: <1@x>\n\nbody\n");
    std::unique_ptr<kv::mail> m = kv::mail_create((dir / "msg").c_str());
    ASSERT_EQ(kv::mail_parse_headers(*m), 1);
    kvtest::write_file(dir / "msg", "Subject: two\nX-Scanned: yes\n\nbody\n");
    ASSERT_EQ(kv::mail_parse_headers(*m), 1);
    EXPECT_STREQ(kv::mail_get_property(*m, kv::MAIL_PROP_SUBJECT), " two");
    EXPECT_STREQ(kv::mail_get_property(*m, kv::MAIL_PROP_MESSAGE_ID), " <1@x>");
    EXPECT_EQ(m->headers_length, 29);
}

// ---- print and delete ----

TEST(MailPrint, DumpsEnvelopeAndRecordAtVerbose) {
    std::unique_ptr<kv::mail> m = kv::mail_create("/spool/x");
    ASSERT_EQ(kv::e_set_from(m->env, "s@x"), 1);
    ASSERT_EQ(kv::e_add_rcpt(m->env, "r1@x"), 1);
    ASSERT_EQ(kv::e_add_rcpt(m->env, "r2@x"), 1);
    ASSERT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_SUBJECT, " Hi"), 1);
    m->headers_length = 42;
    ASSERT_EQ(kv::mail_set_property(*m, kv::MAIL_PROP_REPLY_STRING, "550 no"), 1);

    kvtest::log_capture logged;
    kv::mail_print(*m, kv::Info);
    EXPECT_TRUE(logged.lines().empty());
    kv::mail_print(*m, kv::Verbose);
    const std::vector<std::pair<int, std::string>> expected = {
        {kv::Verbose, "mail: --- print envelope info ---"}, {kv::Verbose, "mail: envelope: from=s@x"},
        {kv::Verbose, "mail: envelope: rcpts num = 2"},     {kv::Verbose, "mail: envelope: to=r1@x"},
        {kv::Verbose, "mail: envelope: to=r2@x"},           {kv::Verbose, "mail: --- print mail info ---"},
        {kv::Verbose, "mail: Subject:  Hi"},                {kv::Verbose, "mail: MessageID: unknown"},
        {kv::Verbose, "mail: Headers offset: 0"},           {kv::Verbose, "mail: Headers length: 42"},
        {kv::Verbose, "mail: Original recipient: unknown"},
    };
    EXPECT_EQ(logged.lines(), expected);

    logged.clear();
    kv::e_print(kv::envelope{}, kv::Debug);
    EXPECT_TRUE(logged.has(kv::Verbose, "mail: envelope: from=absent"));
    EXPECT_TRUE(logged.has(kv::Verbose, "mail: envelope: recipient(s) is absent"));
}

TEST(MailDelete, UnlinksOnlyWhenAskedAndNotKept) {
    kvtest::temp_dir dir;
    struct delete_case {
        bool unlink_file;
        bool keep;
        bool remains;
    } cases[] = {{true, false, false}, {false, false, true}, {true, true, true}, {false, true, true}};
    for (const delete_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "unlink " << c.unlink_file << " keep " << c.keep);
        kvtest::write_file(dir / "spool", "m");
        std::unique_ptr<kv::mail> m = kv::mail_create((dir / "spool").c_str());
        if (c.keep) kv::mail_keep_file(*m);
        kv::mail_delete(std::move(m), c.unlink_file);
        EXPECT_EQ(kvtest::file_exists(dir / "spool"), c.remains);
    }
    kvtest::log_capture logged;
    kv::mail_delete(kv::mail_create((dir / "gone").c_str()), true);
    EXPECT_TRUE(logged.has(kv::Debug, "mail: detete (unlink = 1, path = " + (dir / "gone") + ")"));
    EXPECT_TRUE(logged.has(kv::Errors, "mail: cannot unlink " + (dir / "gone") + " - No such file or directory"));
    kv::mail_delete(kv::mail_create(nullptr), true);
    EXPECT_TRUE(logged.has(kv::Debug, "mail: detete (unlink = 1, path = (null))"));
}

// ---- deny modes ----

TEST(MailNeedScan, AllSixDenyModes) {
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "deny.list", "# addresses with \"bad\" are not scanned for\ndeny bad\n");
    std::unique_ptr<kv::users_list> list = kv::users_load((dir / "deny.list").c_str(), false);
    ASSERT_TRUE(list);

    const std::vector<std::string> none;  // marks "no recipients list"
    struct mode_case {
        int mode;
        const char* sender;
        std::vector<std::string> rcpts;
        bool with_list;
        int deny_by_default;
        int expected;
        const char* message;
    } cases[] = {
        {kv::DENY_BY_ALL, "ok@x", {"bad@x"}, true, 0, 1, "mail: sender ok@x is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_ALL, "bad@x", {"bad1@x", "ok@x"}, true, 0, 1,
         "mail: rcpt ok@x is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_ALL, "bad@x", {"bad1@x", "bad2@x"}, true, 0, 0,
         "mail: all addreses are uncheckable - need to skip scanning (by deny mode)"},
        {kv::DENY_BY_ALL, "bad@x", none, false, 0, 1, nullptr},
        {kv::DENY_BY_ALL, "bad@x", none, false, 1, 0, nullptr},
        {kv::DENY_BY_ONE, "bad@x", {"ok@x"}, true, 0, 0,
         "mail: sender bad@x is uncheckable - need to skip scanning (by deny mode)"},
        {kv::DENY_BY_ONE, "ok@x", {"ok@x", "bad@x"}, true, 0, 0,
         "mail: rcpt bad@x is uncheckable - need to skip scanning (by deny mode)"},
        {kv::DENY_BY_ONE, "ok@x", {"ok@x", "ok2@x"}, true, 0, 1,
         "mail: one of rcpt is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_SENDER_AND_ONE_RCPT, "ok@x", {"bad@x"}, true, 0, 1,
         "mail: sender ok@x is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_SENDER_AND_ONE_RCPT, "bad@x", {"ok@x", "bad2@x"}, true, 0, 0,
         "mail: rcpt bad2@x is uncheckable - need to skip scanning (by deny mode)"},
        {kv::DENY_BY_SENDER_AND_ONE_RCPT, "bad@x", {"ok@x"}, true, 0, 1,
         "mail: one of rcpt is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_SENDER, "bad@x", {"ok@x"}, true, 0, 0,
         "mail: sender bad@x is uncheckable - need to skip scanning (by deny mode)"},
        {kv::DENY_BY_SENDER, "ok@x", {"bad@x"}, true, 0, 1, "mail: sender ok@x is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_ONE_RCPT, "bad@x", {"ok@x"}, true, 0, 1,
         "mail: one of rcpt is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_ONE_RCPT, "ok@x", {"ok@x", "bad@x"}, true, 0, 0,
         "mail: rcpt bad@x is uncheckable - need to skip scanning (by deny mode)"},
        {kv::DENY_BY_ALL_RCPTS, "ok@x", {"bad@x"}, true, 0, 0,
         "mail: all rcpts are uncheckable - need to skip scanning (by deny mode)"},
        {kv::DENY_BY_ALL_RCPTS, "bad@x", {"bad@x", "ok@x"}, true, 0, 1,
         "mail: rcpt ok@x is checkable - need scan (by deny mode)"},
        {kv::DENY_BY_ALL_RCPTS, "bad@x", none, false, 1, 1, nullptr},
        // deny by default: addresses the list does not name are uncheckable too
        {kv::DENY_BY_ONE_RCPT, "ok@x", {"ok@x"}, true, 1, 0,
         "mail: rcpt ok@x is uncheckable - need to skip scanning (by deny mode)"},
        {0, "bad@x", {"bad@x"}, true, 0, 1, "mail: deny mode = 0 is unknown"},
        {7, "bad@x", {"bad@x"}, true, 0, 1, "mail: deny mode = 7 is unknown"},
    };
    for (const mode_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " sender " << c.sender << " dbd "
                                        << c.deny_by_default);
        std::unique_ptr<kv::mail> m = kv::mail_create("/spool/x");
        ASSERT_EQ(kv::e_set_from(m->env, c.sender), 1);
        if (c.with_list) {
            for (const std::string& rcpt : c.rcpts) ASSERT_EQ(kv::e_add_rcpt(m->env, rcpt.c_str()), 1);
        }
        kvtest::log_capture logged;
        EXPECT_EQ(kv::mail_need_scan(*m, list.get(), c.mode, c.deny_by_default), c.expected);
        if (c.message != nullptr) {
            EXPECT_TRUE(logged.contains(c.message)) << logged.dump();
        }
        EXPECT_EQ(kv::mail_need_scan(*m, nullptr, c.mode, c.deny_by_default), 1);  // no deny list: always scan
    }
}

}  // namespace
