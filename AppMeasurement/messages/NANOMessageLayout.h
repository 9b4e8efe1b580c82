#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// nanopb's message descriptor; only pointers to it cross this header.
struct pb_msgdesc_s;

// Type codes of a slot: one label bit or-ed with one type bit.
inline constexpr uint32_t kNANOCodeSingular = 0x2;
inline constexpr uint32_t kNANOCodeRepeated = 0x8;
inline constexpr uint32_t kNANOCodeBool = 0x20;
inline constexpr uint32_t kNANOCodeEnum = 0x40;
inline constexpr uint32_t kNANOCodeInt32 = 0x80;
inline constexpr uint32_t kNANOCodeUInt32 = 0x100;
inline constexpr uint32_t kNANOCodeInt64 = 0x200;
inline constexpr uint32_t kNANOCodeUInt64 = 0x400;
inline constexpr uint32_t kNANOCodeFloat = 0x800;
inline constexpr uint32_t kNANOCodeDouble = 0x1000;
inline constexpr uint32_t kNANOCodeString = 0x2000;
inline constexpr uint32_t kNANOCodeMessage = 0x4000;
inline constexpr uint32_t kNANOCodeBytes = 0x8000;

// Messages nest at most this deep, on decode and on encode. Recursive schemas
// (a parameter holding parameters) would otherwise let crafted input exhaust the stack.
inline constexpr int kNANOMaxNestingDepth = 100;

struct NANOMessageLayout;

// One named value of an enumeration (for tools that show values by name).
struct NANOEnumValue {
  const char* name;
  int32_t number;
};

struct NANOEnumInfo {
  const char* name;
  const NANOEnumValue* values;
  uint32_t count;
};

// What the schema says about one slot beyond its type code.
struct NANOFieldInfo {
  const char* name;                  // field name in the schema
  uint32_t tag;                      // wire field number
  const NANOMessageLayout* message;  // element or sub-message layout; null for other kinds
  const NANOEnumInfo* enumeration;   // enum fields only
};

// The constant description of one message, generated from its schema: the message name and
// one type code per slot (slot order is declaration order in the schema), plus what the
// generic codec needs to drive nanopb's generated tables for the message.
struct NANOMessageLayout {
  const char* name;
  const uint32_t* codes;
  uint32_t slotCount;
  const NANOFieldInfo* fields;  // slotCount entries, in slot order
  const int16_t* slotForTag;    // index by tag, -1 for tags the message does not have
  uint32_t maxTag;
  const pb_msgdesc_s* nanopbFields;  // nanopb's field table of the message
  size_t nanopbStructSize;           // sizeof the nanopb structure
  const char* className;             // name of the message class ("APMPBEvent")
  const uint16_t* slotsByTag;        // slotCount slot indexes, in ascending tag order
  // How the decoder reads each slot (which tags nanopb holds, how wide it holds each number),
  // worked out from nanopb's field table on the first decode of the message and kept for the
  // process (NANOCodec.cc).
  mutable std::atomic<const void*> decodePlan{nullptr};

  // The slot of a wire tag, or -1.
  int slotOfTag(uint32_t tag) const { return tag <= maxTag ? slotForTag[tag] : -1; }
};
