// Samples for the tests of the signature engine, all made at run time: the
// generated test signature database, zip archives, and messages that carry a
// file as a base64 attachment.
#pragma once

#include <string>
#include <vector>

namespace kvtest {

// The text of the project's own test signature (Kerval-Test-Signature).
extern const char* const kOwnSignature;

// Runs scripts/make-test-signatures: the EICAR test file and the project's own
// signature in dir, or, with extra "NAME=TEXT" signatures, those in a second file.
void make_test_signatures(const std::string& dir, const std::vector<std::string>& extra = {});

// A deflated zip archive holding data as the file name, packed depth times in
// all (scripts/make-test-zip); encrypted sets the innermost entry's encryption
// flag (the data stays readable).
std::string zip(const std::string& name, const std::string& data, int depth = 1, bool encrypted = false);

std::string base64(const std::string& data);

// A message with a text part and the data as a base64 attachment.
std::string message_with_attachment(const std::string& subject, const std::string& filename, const std::string& data);

}  // namespace kvtest
