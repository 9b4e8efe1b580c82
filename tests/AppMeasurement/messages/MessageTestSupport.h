#pragma once

#include "tests/support/ProtobufWire.h"

#include <cstdint>
#include <string>
#include <vector>

#include "AppMeasurement/messages/NANODynamicMessage.h"

namespace messagetest {

// The schema folder and a scratch folder for this test process.
std::string protoDir();
std::string scratchDir();

// Runs protoc with the arguments (shell words), feeding input on standard input. Answers the
// exit status; standard output and error go to *output and *error.
int runProtoc(const std::string& arguments, const std::string& input, std::string* output,
              std::string* error);

// The schema file that declares the message (for protoc), e.g. "measurement_upload.proto",
// and the folder it is in.
std::string protoFileOf(const NANOMessageLayout& layout);
std::string schemaDirOf(const NANOMessageLayout& layout);

// Every message layout of the measurement schemas.
std::vector<const NANOMessageLayout*> allLayouts();
const NANOMessageLayout* layoutNamed(const std::string& name);
// The layouts of the test schema with every field kind (AllKinds, Child).
std::vector<const NANOMessageLayout*> testLayouts();

// Fills every field of the message through the accessors: scalars with values that need the
// whole width of their type (negative int32, uint32 and uint64 above the signed range),
// strings with non-ASCII text and one empty string, repeated fields with several elements,
// sub-messages recursively down to depth levels (recursive messages stop there).
void fillMessage(NANODynamicMessage& message, int depth, int seed);

// Wire-format pieces for hand-made input.
using testsupport::key;
using testsupport::lengthDelimited;
using testsupport::varint;

// Writes bytes to a file of the scratch folder.
std::string writeScratchFile(const std::string& name, const std::string& bytes);

}  // namespace messagetest
