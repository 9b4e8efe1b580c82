#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "AppMeasurement/messages/NANOMessageInfo.h"

// Encoding and decoding of records: decoding straight from the wire into the record's slots
// (accepting what nanopb accepts for the same fields), encoding straight from the slots to the
// bytes nanopb and protoc write for the same message.
//
// Untrusted input: decoding accepts any bytes. What holds even for malicious data: the decode
// either succeeds or fails with one log line per level; it never reads outside the input;
// strings over kNANOMaxStringLength bytes fail the decode before anything is allocated for
// them; messages nested deeper than kNANOMaxNestingDepth fail the decode, so recursive
// messages cannot exhaust the stack; unknown fields are skipped and not kept; the memory a decode
// allocates stays under NANODecodeMemoryLimit(length), or the decode fails before exceeding it.

// The longest string or bytes field that decodes (1,048,576 bytes).
inline constexpr size_t kNANOMaxStringLength = 0x100000;

// The memory budget of one decode: kNANODecodeBytesPerInputByte per input byte plus
// kNANODecodeFixedBytes. Every element on the wire (a tag and a value, two bytes at the least)
// becomes a cell of 48 bytes, an element sub-message also a record of 32, and a message with a
// present field the slot array of its layout (80 bytes a field); records and slot arrays are
// charged by the arena block they take (at most one partly used block of up to 64 KiB). Ordinary
// messages peak at 10 to 30 bytes per input byte (the benchmark's measurement batch about 24, every
// message filled as the round-trip tests fill them at most 16); the densest the engine writes,
// events of many parameters with a one-letter name and a small integer (7 bytes a parameter, 560
// decoded), about 70; empty elements take 32; input made of one-field elements of wide messages
// would take over a thousand and is refused. The fixed part covers small messages of wide
// layouts.
inline constexpr size_t kNANODecodeBytesPerInputByte = 128;
inline constexpr size_t kNANODecodeFixedBytes = 1 << 20;

// The most a decode of length input bytes may allocate for its result.
size_t NANODecodeMemoryLimit(size_t length);

// What the encoder answers instead of a length when it fails.
inline constexpr uint32_t kNANOEncodeFailure = 0xFFFFFFFF;

// Decodes length bytes into a new record of the layout. Null bytes with length 0 decode to an
// empty record. On failure the reason goes to the platform log and the result is null.
std::unique_ptr<NANOMessageInfo> NANODecode(const NANOMessageLayout& layout, const uint8_t* bytes,
                                            size_t length);

// Encodes the record into *out (replacing its contents) and returns the number of bytes, or
// kNANOEncodeFailure (with *out emptied) when out is null or encoding fails. Fields are written
// in ascending tag order; absent fields and empty repeated fields are left out; repeated
// scalars are written unpacked, one tag per element. The record's sizes are measured once (only
// its present fields are visited), then the bytes are written in one pass into *out, allocated
// once at the final size. Records nested deeper than kNANOMaxNestingDepth fail.
uint32_t NANOEncode(const NANOMessageInfo& info, std::string* out);
