#include "tests/AppMeasurement/messages/MessageTestSupport.h"

#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AppMeasurement/messages/NANO.h"
#include "proto/APMPBMessageLayouts.h"
#include "tests/AppMeasurement/messages/NANOTestMessageLayouts.h"

namespace messagetest {

namespace fs = std::filesystem;

std::string protoDir() { return std::string(KVL_TEST_PROTO_DIR); }

std::string scratchDir() {
  static const std::string dir = [] {
    fs::path p = fs::temp_directory_path() / ("apm-messages-test-" + std::to_string(getpid()));
    fs::create_directories(p);
    // Removed when the test program ends.
    static const fs::path removeAtExit = p;
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(removeAtExit, ignored);
    });
    return p.string();
  }();
  return dir;
}

std::string writeScratchFile(const std::string& name, const std::string& bytes) {
  std::string path = scratchDir() + "/" + name;
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return path;
}

static std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int runProtoc(const std::string& arguments, const std::string& input, std::string* output,
              std::string* error) {
  static int counter = 0;
  std::string base = scratchDir() + "/protoc" + std::to_string(++counter);
  std::string in = writeScratchFile("protoc" + std::to_string(counter) + ".in", input);
  std::string command = std::string(KVL_TEST_PROTOC) + " " + arguments + " < " + in + " > " + base +
                        ".out 2> " + base + ".err";
  int status = std::system(command.c_str());
  if (output) *output = readFile(base + ".out");
  if (error) *error = readFile(base + ".err");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<const NANOMessageLayout*> allLayouts() {
  auto span = APMPBMessageLayouts();
  return {span.begin(), span.end()};
}

std::vector<const NANOMessageLayout*> testLayouts() {
  auto span = NANOTestMessageLayouts();
  return {span.begin(), span.end()};
}

const NANOMessageLayout* layoutNamed(const std::string& name) {
  for (const auto* layout : allLayouts()) {
    if (name == layout->name) return layout;
  }
  for (const auto* layout : testLayouts()) {
    if (name == layout->name) return layout;
  }
  return nullptr;
}

namespace {

std::pair<std::string, std::string> schemaOf(const NANOMessageLayout& layout) {
  for (const std::string& dir : {protoDir(), std::string(KVL_TEST_SCHEMA_DIR)}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() != ".proto") continue;
      std::string text = readFile(entry.path().string());
      if (text.find("\nmessage " + std::string(layout.name) + " {") != std::string::npos) {
        return {dir, entry.path().filename().string()};
      }
    }
  }
  return {};
}

}  // namespace

std::string protoFileOf(const NANOMessageLayout& layout) { return schemaOf(layout).second; }
std::string schemaDirOf(const NANOMessageLayout& layout) { return schemaOf(layout).first; }

namespace {

// A declared value of the enumeration (the largest, so that it is not the zero default).
int32_t enumValue(const NANOFieldInfo& field, int seed) {
  const NANOEnumInfo* info = field.enumeration;
  if (info == nullptr || info->count == 0) return 0;
  return info->values[(info->count - 1 - static_cast<uint32_t>(seed) % info->count)].number;
}

NANOObject elementFor(uint32_t code, const NANOFieldInfo& field, int depth, int seed, int index) {
  int s = (seed * 7 + index) % 100003;
  if (code & kNANOCodeBool) return NANONumber::fromBool(index % 2 == 0);
  if (code & kNANOCodeEnum) return NANONumber::fromInt32(enumValue(field, s));
  // Non-negative: list elements are held zero-extended, so a negative one is written in its 32
  // bits where protoc writes ten bytes (ProtocRoundTrip.NegativeListElements covers them).
  if (code & kNANOCodeInt32) return NANONumber::fromInt32(100 + s);
  if (code & kNANOCodeUInt32) return NANONumber::fromUInt32(4000000000u + static_cast<uint32_t>(s));
  if (code & kNANOCodeInt64) return NANONumber::fromInt64(-1234567890123LL - s % 100000);
  if (code & kNANOCodeUInt64) return NANONumber::fromUInt64(UINT64_MAX - static_cast<uint64_t>(s));
  if (code & kNANOCodeFloat) return NANONumber::fromFloat(0.25f + static_cast<float>(s));
  if (code & kNANOCodeDouble) return NANONumber::fromDouble(-1.0 / 3.0 + s);
  if (code & kNANOCodeString) {
    if (index == 1) return std::string();
    return std::string("élément ") + std::to_string(s) + " \xe2\x82\xac";
  }
  if (code & kNANOCodeBytes) return NANOData{std::string("\x00\xff", 2) + std::to_string(s)};
  auto child = std::make_shared<NANODynamicMessage>(*field.message);
  fillMessage(*child, depth - 1, s);
  return std::shared_ptr<NANOMessageBase>(child);
}

}  // namespace

void fillMessage(NANODynamicMessage& message, int depth, int seed) {
  const NANOMessageLayout& layout = message.messageLayout();
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    uint32_t code = layout.codes[slot];
    const NANOFieldInfo& field = layout.fields[slot];
    int s = (seed * 31 + static_cast<int>(slot)) % 100003;
    if (code & kNANOCodeMessage) {
      // Stop at the depth limit; recursive messages end there.
      if (depth <= 0) continue;
    }
    if (code & kNANOCodeRepeated) {
      int count = (code & kNANOCodeMessage) ? 2 : 3;
      std::vector<NANOObject> list;
      for (int i = 0; i < count; ++i) list.push_back(elementFor(code, field, depth, s, i));
      NANOSetArray(message, slot, list);
      continue;
    }
    if (code & kNANOCodeBool) {
      NANOSetBool(message, slot, s % 2 == 0);
    } else if (code & kNANOCodeEnum) {
      NANOSetInt32(message, slot, enumValue(field, s));
    } else if (code & kNANOCodeInt32) {
      NANOSetInt32(message, slot, -7 - s);
    } else if (code & kNANOCodeUInt32) {
      NANOSetInt32(message, slot, static_cast<int32_t>(4000000000u + static_cast<uint32_t>(s)));
    } else if (code & (kNANOCodeInt64 | kNANOCodeUInt64)) {
      NANOSetInt64(message, slot, (code & kNANOCodeUInt64) ? -1 - s : 9000000000000LL + s);
    } else if (code & kNANOCodeFloat) {
      // No accessor writes singular floats (no message sets them); fill the cell directly.
      NANOSlot& cell = message.messageInfo()->slot(slot);
      cell.present = true;
      cell.cell.scalar = std::bit_cast<uint32_t>(1.5f + static_cast<float>(s));
    } else if (code & kNANOCodeDouble) {
      NANOSetDouble(message, slot, 2.5e-3 * (s + 1));
    } else if (code & kNANOCodeString) {
      NANOSetString(message, slot, s % 5 == 4 ? std::string() : "texte ñ " + std::to_string(s));
    } else if (code & kNANOCodeMessage) {
      NANODynamicMessage child(*field.message);
      fillMessage(child, depth - 1, s);
      NANOSetMessage(message, slot, child);
    }
  }
}

}  // namespace messagetest
