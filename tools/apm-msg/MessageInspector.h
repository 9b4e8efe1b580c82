#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "AppMeasurement/messages/NANOMessageLayout.h"

// The message inspector behind the apm-msg tool: measurement messages to JSON and back,
// driven by the generated layouts (field names from the schemas).
//
// JSON form: an object per message with one member per present field, named as in the
// schema; repeated fields are arrays; enums are value names (numbers when the value has no
// name); 64-bit integers are JSON integers; NaN and infinities are the strings "NaN",
// "Infinity", "-Infinity"; bytes fields are base64 text; a string field that is not valid UTF-8
// is {"invalid_utf8_base64": "..."}. Fields of the input that the schema does not know are
// listed under "_unknown" (field number, wire type, value); they are not encoded.
namespace apmmsg {

// The layout of a measurement message by name ("MeasurementBatch"), or null.
const NANOMessageLayout* findMessage(std::string_view name);

// Decodes bytes as the message. On failure answers nullopt with the reason in *error.
std::optional<nlohmann::ordered_json> decodeToJson(const NANOMessageLayout& layout,
                                                   std::string_view bytes, std::string* error);

// Builds the message from its JSON form and encodes it. On failure answers nullopt with the
// reason in *error.
std::optional<std::string> encodeFromJson(const NANOMessageLayout& layout,
                                          const nlohmann::ordered_json& json, std::string* error);

// Inflates gzip data (at most maxOutput bytes). On failure answers nullopt with the reason.
std::optional<std::string> gunzip(std::string_view data, std::string* error,
                                  size_t maxOutput = 256u << 20);

// The whole command line tool: argv without the program name, standard input bytes; writes
// standard output and error; answers the exit status.
int run(const std::vector<std::string>& arguments, const std::string& input, std::string* output,
        std::string* errorOutput);

}  // namespace apmmsg
