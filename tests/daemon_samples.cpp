#include "daemon_samples.h"

#include <gtest/gtest.h>

#include "filter_fixture.h"
#include "test_util.h"

namespace kvtest {

const char* const kOwnSignature = "KERVAL-TEST-SIGNATURE-2F6C";

void make_test_signatures(const std::string& dir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {source_path("scripts/make-test-signatures"), dir};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const run_result run = run_program(argv, "", 30);
    ASSERT_EQ(run.status, 0) << run.err;
}

std::string zip(const std::string& name, const std::string& data, int depth, bool encrypted) {
    temp_dir work;
    write_file(work / "data", data);
    std::vector<std::string> argv = {source_path("scripts/make-test-zip"), work / "data.zip", name, std::to_string(depth)};
    if (encrypted) argv.push_back("encrypted");
    const run_result run = run_program(argv, work / "data", 30);
    EXPECT_EQ(run.status, 0) << run.err;
    return read_file(work / "data.zip");
}

std::string base64(const std::string& data) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t line = 0;
    for (size_t at = 0; at < data.size(); at += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(data[at])) << 16;
        if (at + 1 < data.size()) group |= static_cast<uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8;
        if (at + 2 < data.size()) group |= static_cast<unsigned char>(data[at + 2]);
        for (size_t digit = 0; digit < 4; ++digit) {
            out += at + digit <= data.size() ? digits[(group >> (18 - 6 * digit)) & 0x3F] : '=';
        }
        line += 4;
        if (line == 76) {
            out += "\r\n";
            line = 0;
        }
    }
    if (line > 0) out += "\r\n";
    return out;
}

std::string message_with_attachment(const std::string& subject, const std::string& filename, const std::string& data) {
    return make_message(subject,
                        "This is a message in MIME format.\r\n"
                        "--kv-part\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n"
                        "--kv-part\r\nContent-Type: application/octet-stream; name=\"" +
                            filename +
                            "\"\r\nContent-Transfer-Encoding: base64\r\n"
                            "Content-Disposition: attachment; filename=\"" +
                            filename + "\"\r\n\r\n" + base64(data) + "--kv-part--\r\n",
                        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"kv-part\"\r\n");
}

}  // namespace kvtest
