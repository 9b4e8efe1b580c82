#include "AppMeasurement/PrivateSetMembership/Sources/ODCIdentifierHashing.h"

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/AppMeasurement/foundation/PythonReference.h"

namespace {

using testsupport::hexOf;

struct Case {
  std::string input;
  std::optional<std::string> expected;
};

const std::vector<Case>& emailCases() {
  static const std::vector<Case> cases = {
      {"John.Doe@Example.COM", "john.doe@example.com"},
      {"A.B.1@googlemail.com", "abl@gmail.com"},
      {"I.i.1.0.2.5x@GMAIL.com", "lllozsx@gmail.com"},
      {"a.b@googlemail.co", "a.b@googlemail.co"},
      {"\xC4\xB0@x.com", "i\xCC\x87@x.com"},          // İ lower-cases to i + combining dot
      {"\xC4\xB0@gmail.com", "l\xCC\x87@gmail.com"},  // and its i becomes l
      {"a@b@c.com", std::nullopt},
      {"abc.com", std::nullopt},
      {"a@localhost", std::nullopt},
      {" a@b.com", std::nullopt},
      {"a b@c.com", std::nullopt},
      {"a\tb@c.com", std::nullopt},
      {"a\xC2\xA0"
       "b@c.com",
       std::nullopt},              // no-break space is white space
      {"a@b.com\n", "a@b.com\n"},  // "$" matches before a final line break
      {"a@b.com\nx", std::nullopt},
      {"", std::nullopt},
  };
  return cases;
}

const std::vector<Case>& phoneCases() {
  static const std::vector<Case> cases = {
      {"(650) 555-1234", "+6505551234"},
      {"+1 650.555.1234", "+16505551234"},
      {"0044 20 7946 0000", std::nullopt},
      {"+1234567890123456", std::nullopt},
      {"+123456789012345", "+123456789012345"},
      {"+1", std::nullopt},
      {"12", "+12"},
      {"650\xC2\xA0"
       "555\xC2\xA0"
       "1234",
       "+6505551234"},
      {"650\t555/12", "+65055512"},
      {"650\n555", std::nullopt},
      {"+1650555123\n", "+1650555123\n"},
      {"+1\xD9\xA2\xD9\xA3", "+1\xD9\xA2\xD9\xA3"},  // Arabic-Indic digits are digits
      {"+\xD9\xA1\xD9\xA2", std::nullopt},           // but not the leading [1-9]
      {"++123", std::nullopt},
      {"12a3", std::nullopt},
      {"", std::nullopt},
  };
  return cases;
}

// The normalisers and the digest of each case as Python computes them from the rules (str.lower,
// hashlib), one line each: "-" for nil, else "<hex of text> <hex of digest with app id>".
std::vector<std::string> pythonReference(const std::vector<Case>& cases, bool email,
                                         const std::string& appID) {
  std::ostringstream program;
  program << "import hashlib, re, unicodedata\n"
             "PRIMARY, ALT = 'gmail.com', 'googlemail.com'\n"
             "def email(t):\n"
             "  if not t: return None\n"
             "  t = t.lower()\n"
             "  parts = t.split('@')\n"
             "  if len(parts) != 2: return None\n"
             "  local, domain = parts\n"
             "  if domain == ALT: domain = PRIMARY\n"
             "  if domain == PRIMARY:\n"
             "    for a, b in [('.', ''), ('i', 'l'), ('1', 'l'), ('0', 'o'), ('2', 'z'), ('5', "
             "'s')]:\n"
             "      local = local.replace(a, b)\n"
             "  t = local + '@' + domain\n"
             "  return t if re.search(r'^\\S+@\\S+\\.\\S+$', t) else None\n"
             "def phone(t):\n"
             "  if not t: return None\n"
             "  t = ''.join(c for c in t if c not in '-()/.' and c != '\\t' and "
             "unicodedata.category(c) != 'Zs')\n"
             "  if not t.startswith('+'): t = '+' + t\n"
             "  return t if re.search(r'^\\+[1-9]\\d{1,14}$', t) else None\n"
             "app = bytes.fromhex('"
          << hexOf(appID) << "')\n";
  program << "for h in [";
  for (const Case& c : cases) program << "'" << hexOf(c.input) << "',";
  program << "]:\n"
             "  n = "
          << (email ? "email" : "phone")
          << "(bytes.fromhex(h).decode())\n"
             "  if n is None: print('-'); continue\n"
             "  d = hashlib.sha256(hashlib.sha256(n.encode()).digest() + app).hexdigest()\n"
             "  print(n.encode().hex(), d)\n";
  std::istringstream output(testsupport::runPython(program.str()));
  std::vector<std::string> lines;
  for (std::string line; std::getline(output, line);) lines.push_back(line);
  return lines;
}

void checkAgainstPython(const std::vector<Case>& cases, bool email) {
  const std::string appID = "1:1234567890:ios:abcdef";
  std::vector<std::string> reference = pythonReference(cases, email, appID);
  ASSERT_EQ(reference.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::optional<std::string> ours =
        email ? ODCNormalizeEmail(c.input) : ODCNormalizePhoneNumber(c.input);
    EXPECT_EQ(ours, c.expected) << hexOf(c.input);
    std::string line =
        ours ? hexOf(*ours) + " " + hexOf(ODCHashIdentifierWithAppID(*ours, appID)) : "-";
    EXPECT_EQ(line, reference[i]) << hexOf(c.input);
  }
}

TEST(ODCIdentifierHashingTest, EmailNormalisationAndDigestsMatchPython) {
  checkAgainstPython(emailCases(), true);
}

TEST(ODCIdentifierHashingTest, PhoneNormalisationAndDigestsMatchPython) {
  checkAgainstPython(phoneCases(), false);
}

// Where Python's re differs from ICU, the expectation is pinned by hand: ICU's "$" also matches
// before a final \r or U+2028, and its \s does not take \x1c-\x1f.
TEST(ODCIdentifierHashingTest, IcuOnlyBehaviourIsPinned) {
  const Case emails[] = {
      {"a@b.com\r", "a@b.com\r"},
      {"a@b.com\xE2\x80\xA8", "a@b.com\xE2\x80\xA8"},
      {"a\x1c@b.com", "a\x1c@b.com"},
  };
  for (const Case& c : emails) EXPECT_EQ(ODCNormalizeEmail(c.input), c.expected) << hexOf(c.input);
  EXPECT_EQ(ODCNormalizePhoneNumber("+12\r"), std::optional<std::string>("+12\r"));
}

TEST(ODCIdentifierHashingTest, HashedPathEqualsPlainPathAndShortDigestsAreRefused) {
  const std::string reference = testsupport::runPython(
      "import hashlib\n"
      "print(hashlib.sha256(hashlib.sha256(b'abc').digest()).hexdigest())\n");
  EXPECT_EQ(hexOf(ODCHashIdentifierWithAppID("abc", "")) + "\n", reference);

  const std::string canonical = "john.doe@example.com";
  const std::string digest = testsupport::runPython(
      "import hashlib, sys\n"
      "sys.stdout.write(hashlib.sha256(b'john.doe@example.com').hexdigest())\n");
  std::string raw;
  for (size_t i = 0; i + 1 < digest.size(); i += 2) {
    raw += static_cast<char>(std::stoi(digest.substr(i, 2), nullptr, 16));
  }
  ASSERT_EQ(raw.size(), 32u);
  EXPECT_EQ(ODCHashHashedIdentifierWithAppID(raw, "app"),
            ODCHashIdentifierWithAppID(canonical, "app"));
  // Bytes past the first 32 play no part.
  EXPECT_EQ(ODCHashHashedIdentifierWithAppID(raw + "tail", "app"),
            ODCHashIdentifierWithAppID(canonical, "app"));
  EXPECT_EQ(ODCHashHashedIdentifierWithAppID(raw.substr(0, 31), "app"), std::nullopt);
  EXPECT_EQ(ODCHashHashedIdentifierWithAppID("", "app"), std::nullopt);
}

}  // namespace
