// The accessor rules: presence, type tests and their texts, copies of sub-messages, lists.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "tests/AppMeasurement/messages/nano_test_kinds.nano.h"
#include "tests/support/LogCapture.h"

namespace {

using Kinds = NANOTestAllKinds;

// An object whose record is gone, as after a move.
APMPBEvent uninitialisedEvent() {
  APMPBEvent event;
  APMPBEvent taken(std::move(event));
  return event;  // NOLINT(bugprone-use-after-move): the moved-from state is what is tested
}

TEST(NANOAccessors, UninitialisedMessageLogsEachOperationAndAnswersNeutral) {
  APMPBEvent event = uninitialisedEvent();
  APMPBEventParam param;
  struct Case {
    const char* operation;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"ClearField", [&] { NANOClearField(event, 1); }},
      {"GetBool", [&] { EXPECT_FALSE(NANOGetBool(event, 0)); }},
      {"SetBool", [&] { NANOSetBool(event, 0, true); }},
      {"GetInt32", [&] { EXPECT_EQ(NANOGetInt32(event, 4), 0); }},
      {"SetInt32", [&] { NANOSetInt32(event, 4, 5); }},
      {"GetInt64", [&] { EXPECT_EQ(NANOGetInt64(event, 2), 0); }},
      {"SetInt64", [&] { NANOSetInt64(event, 2, 5); }},
      {"GetDouble", [&] { EXPECT_EQ(NANOGetDouble(event, 2), 0.0); }},
      {"SetDouble", [&] { NANOSetDouble(event, 2, 1.0); }},
      {"GetString", [&] { EXPECT_EQ(NANOGetString(event, 1), std::nullopt); }},
      {"SetString", [&] { NANOSetString(event, 1, "x"); }},
      {"GetMessage", [&] { EXPECT_EQ(NANOGetMessage<APMPBEventParam>(event, 0), std::nullopt); }},
      {"SetMessage", [&] { NANOSetMessage(event, 0, param); }},
      {"GetArray", [&] { EXPECT_EQ(NANOGetArray(event, 0), std::nullopt); }},
      {"SetArray", [&] { NANOSetArray(event, 0, std::vector<NANOObject>{}); }},
  };
  for (const Case& c : cases) {
    testsupport::LogCapture log;
    c.call();
    EXPECT_EQ(
        log.lines(),
        std::vector<std::string>{std::string("ProtocolBuffer message hasn't been initialized. ") +
                                 c.operation + " can't be performed"})
        << c.operation;
  }
  testsupport::LogCapture log;
  EXPECT_FALSE(NANOHasField(event, 1));
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "ProtocolBuffer message hasn't been initialized. HasField operation "
                             "can't be performed. Message name Event"});
  EXPECT_EQ(event.protoBuffer(), std::nullopt);
}

TEST(NANOAccessors, TypeTestsFollowTheCodeMasks) {
  Kinds m;
  // (accessor family, slot, accepted)
  struct Case {
    const char* kind;
    uint32_t slot;
    bool accepted;
  };
  const Case cases[] = {
      {"BOOL", Kinds::kB, true},        {"BOOL", Kinds::kI32, false},
      {"BOOL", Kinds::kRb, false},      {"INT32", Kinds::kE, true},
      {"INT32", Kinds::kI32, true},     {"INT32", Kinds::kU32, true},
      {"INT32", Kinds::kI64, false},    {"INT32", Kinds::kRi32, false},
      {"INT64", Kinds::kI64, true},     {"INT64", Kinds::kU64, true},
      {"INT64", Kinds::kI32, false},    {"INT64", Kinds::kRu64, false},
      {"DOUBLE", Kinds::kD, true},      {"DOUBLE", Kinds::kF, false},
      {"DOUBLE", Kinds::kRd, false},    {"STRING", Kinds::kS, true},
      {"STRING", Kinds::kY, false},     {"STRING", Kinds::kRs, false},
      {"MESSAGE", Kinds::kChild, true}, {"MESSAGE", Kinds::kRchild, false},
  };
  for (const Case& c : cases) {
    testsupport::LogCapture log;
    std::string kind = c.kind;
    if (kind == "BOOL") {
      NANOSetBool(m, c.slot, true);
      EXPECT_EQ(NANOGetBool(m, c.slot), c.accepted);
    } else if (kind == "INT32") {
      NANOSetInt32(m, c.slot, 2);
      EXPECT_EQ(NANOGetInt32(m, c.slot), c.accepted ? 2 : 0);
    } else if (kind == "INT64") {
      NANOSetInt64(m, c.slot, 3);
      EXPECT_EQ(NANOGetInt64(m, c.slot), c.accepted ? 3 : 0);
    } else if (kind == "DOUBLE") {
      NANOSetDouble(m, c.slot, 4.5);
      EXPECT_EQ(NANOGetDouble(m, c.slot), c.accepted ? 4.5 : 0.0);
    } else if (kind == "STRING") {
      NANOSetString(m, c.slot, "t");
      EXPECT_EQ(NANOGetString(m, c.slot),
                c.accepted ? std::optional<std::string>("t") : std::nullopt);
    } else {
      NANOSetMessage(m, c.slot, NANOTestChild());
      EXPECT_EQ(NANOGetMessage<NANOTestChild>(m, c.slot).has_value(), c.accepted);
    }
    std::string failure = "<Nano/Failure> Field type isn't a scalar " + kind +
                          ". Message: AllKinds, field ID: " + std::to_string(c.slot);
    if (c.accepted) {
      EXPECT_TRUE(log.lines().empty()) << kind << " " << c.slot;
    } else {
      EXPECT_EQ(log.lines(), (std::vector<std::string>{failure, failure})) << kind << " " << c.slot;
    }
  }
  testsupport::LogCapture log;
  EXPECT_EQ(NANOGetArray(m, Kinds::kS), std::nullopt);
  NANOSetArray(m, Kinds::kS, std::vector<NANOObject>{std::string("x")});
  EXPECT_FALSE(NANOHasField(m, Kinds::kS) && NANOGetString(m, Kinds::kS) == "x");
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "<Nano/Failure> Field type isn't REPEATED. Message: AllKinds, field ID: 8",
                "<Nano/Failure> Field type isn't REPEATED. Message: AllKinds, field ID: 8"}));
}

TEST(NANOAccessors, PresenceKeepsAbsentAndEmptyApart) {
  APMPBEvent event;
  EXPECT_FALSE(NANOHasField(event, APMPBEvent::kName));
  EXPECT_EQ(NANOGetString(event, APMPBEvent::kName), std::nullopt);
  NANOSetString(event, APMPBEvent::kName, "");
  EXPECT_TRUE(NANOHasField(event, APMPBEvent::kName));
  EXPECT_EQ(NANOGetString(event, APMPBEvent::kName), "");
  EXPECT_EQ(event.protoBuffer(), std::string("\x12\x00", 2));
  NANOSetString(event, APMPBEvent::kName, std::nullopt);
  EXPECT_FALSE(NANOHasField(event, APMPBEvent::kName));
  EXPECT_EQ(event.protoBuffer(), "");

  // Zero values are present values.
  NANOSetInt64(event, APMPBEvent::kTimestampMillis, 0);
  EXPECT_TRUE(NANOHasField(event, APMPBEvent::kTimestampMillis));
  EXPECT_EQ(event.protoBuffer(), std::string("\x18\x00", 2));
  NANOClearField(event, APMPBEvent::kTimestampMillis);
  EXPECT_FALSE(NANOHasField(event, APMPBEvent::kTimestampMillis));

  // A repeated field always counts as present.
  EXPECT_TRUE(NANOHasField(event, APMPBEvent::kParams));
  EXPECT_EQ(NANOGetArray(event, APMPBEvent::kParams, &APMPBEventParam::messageClass()),
            std::vector<NANOObject>{});
}

TEST(NANOAccessors, StringsThatAreNotUTF8ReadAsNil) {
  auto event = APMPBEvent::initWithBuffer(std::string("\x12\x02\xc3\x28", 4));
  ASSERT_TRUE(event);
  EXPECT_TRUE(NANOHasField(*event, APMPBEvent::kName));
  EXPECT_EQ(NANOGetString(*event, APMPBEvent::kName), std::nullopt);
  EXPECT_EQ(event->protoBuffer(), std::string("\x12\x02\xc3\x28", 4));  // kept as received
  const std::pair<std::string, bool> texts[] = {
      {"\xf0\x9f\x98\x80 \xe2\x82\xac \xc2\x80 \xe0\xa0\x80 \xf4\x8f\xbf\xbf", true},
      {"\xed\x9f\xbf", true},   // U+D7FF, just below the surrogates
      {"\xed\xa0\x80", false},  // surrogates, first and last
      {"\xed\xbf\xbf", false},
      {"\xc0\xaf", false},  // overlong forms of each length
      {"\xe0\x80\xaf", false},
      {"\xf0\x80\x80\xaf", false},
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xe2\x82", false},          // cut short
  };
  for (const auto& [text, valid] : texts) EXPECT_EQ(NANOIsValidUTF8(text), valid) << text;
}

TEST(NANOAccessors, MessagesAreValuesCopiedInAndOut) {
  APMPBAudienceLeafFilterResult result;
  APMPBResultData data;
  NANOSetArray(data, APMPBResultData::kStatus, std::vector<NANOObject>{NANONumber::fromUInt64(5)});
  NANOSetMessage(result, APMPBAudienceLeafFilterResult::kCurrentData, data);
  // Changing the value after setting it, or a copy read out, does not reach the parent.
  NANOSetArray(data, APMPBResultData::kStatus, std::vector<NANOObject>{});
  auto first = NANOGetMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kCurrentData);
  ASSERT_TRUE(first);
  NANOSetArray(*first, APMPBResultData::kStatus, std::vector<NANOObject>{});
  auto again = NANOGetMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kCurrentData);
  EXPECT_EQ(NANOGetArray(*again, APMPBResultData::kStatus),
            std::vector<NANOObject>{NANONumber::fromUInt64(5)});
  APMPBAudienceLeafFilterResult copy = result;
  NANOSetBool(copy, APMPBAudienceLeafFilterResult::kNewAudience, true);
  EXPECT_FALSE(result == copy);
  copy = result;
  EXPECT_TRUE(result == copy);

  // Absent sub-message, another class, no class.
  EXPECT_EQ(NANOGetMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kPreviousData),
            std::nullopt);
  EXPECT_EQ(NANOGetMessage<APMPBEvent>(result, APMPBAudienceLeafFilterResult::kCurrentData),
            std::nullopt);
  testsupport::LogCapture log;
  EXPECT_EQ(NANOGetMessage(result, APMPBAudienceLeafFilterResult::kCurrentData, nullptr), nullptr);
  EXPECT_TRUE(log.contains(
      "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: nil"));
  // Setting a message of another type is refused with its line.
  APMPBEvent event;
  NANOSetMessage(result, APMPBAudienceLeafFilterResult::kPreviousData, event);
  EXPECT_FALSE(NANOHasField(result, APMPBAudienceLeafFilterResult::kPreviousData));
  EXPECT_TRUE(log.contains(
      "<ERROR> Invalid object type. Message fields expect APMPBResultData. Type: APMPBEvent"));

  // initWithMessageInfo: null gives an empty message, a record of another message nil, a
  // record of its own a deep copy.
  EXPECT_TRUE(APMPBEventParam::initWithMessageInfo(nullptr).has_value());
  EXPECT_EQ(APMPBEventParam::initWithMessageInfo(result.messageInfo()), std::nullopt);
  auto deep = APMPBAudienceLeafFilterResult::initWithMessageInfo(result.messageInfo());
  ASSERT_TRUE(deep);
  EXPECT_NE(deep->messageInfo(), result.messageInfo());
  EXPECT_TRUE(*deep == result);
}

TEST(NANOAccessors, ViewsReadSubMessagesInPlace) {
  // A parameter holding two items, the first of which holds one nested item.
  APMPBEventParam leaf;
  NANOSetString(leaf, APMPBEventParam::kName, "leaf");
  APMPBEventParam first;
  NANOSetString(first, APMPBEventParam::kName, "first");
  NANOSetMessageArray(first, APMPBEventParam::kParamValue, std::vector<APMPBEventParam>{leaf});
  APMPBEventParam second;
  NANOSetInt64(second, APMPBEventParam::kIntValue, 7);
  APMPBEventParam root;
  NANOSetMessageArray(root, APMPBEventParam::kParamValue,
                      std::vector<APMPBEventParam>{first, second});

  auto items = NANOViewMessageArray<APMPBEventParam>(root, APMPBEventParam::kParamValue);
  ASSERT_TRUE(items && items->size() == 2u);
  // The views are the parent's own element records, not copies.
  EXPECT_EQ(&(*items)[0].record(),
            (*nano_detail::repeatedItems(root, APMPBEventParam::kParamValue))[0].message.get());
  EXPECT_EQ(NANOGetInt64((*items)[1], APMPBEventParam::kIntValue), 7);
  auto nested = NANOViewMessageArray<APMPBEventParam>((*items)[0], APMPBEventParam::kParamValue);
  ASSERT_TRUE(nested && nested->size() == 1);
  EXPECT_EQ((*nested)[0].protoBuffer(), leaf.protoBuffer());
  // The copying accessors accept a view as their source.
  auto copy = NANOGetMessageArray<APMPBEventParam>((*items)[0], APMPBEventParam::kParamValue);
  ASSERT_TRUE(copy && copy->size() == 1);
  EXPECT_TRUE((*copy)[0] == leaf);

  // A view is read-only: setters log and change nothing.
  NANOMessageView view = (*items)[0];
  EXPECT_EQ(view.messageInfo(), nullptr);
  testsupport::LogCapture log;
  NANOSetString(view, APMPBEventParam::kName, "changed");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"ProtocolBuffer message hasn't been "
                                                  "initialized. SetString can't be performed"});
  EXPECT_EQ(NANOGetString((*items)[0], APMPBEventParam::kName), "first");

  // Singular sub-messages: present, absent, another class, misuse.
  APMPBAudienceLeafFilterResult result;
  NANOSetMessage(result, APMPBAudienceLeafFilterResult::kCurrentData, APMPBResultData());
  auto current =
      NANOViewMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kCurrentData);
  ASSERT_TRUE(current);
  EXPECT_EQ(&current->record(),
            nano_detail::subMessageRecord(result, APMPBAudienceLeafFilterResult::kCurrentData));
  EXPECT_EQ(NANOViewMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kPreviousData),
            std::nullopt);
  EXPECT_EQ(NANOViewMessage<APMPBEvent>(result, APMPBAudienceLeafFilterResult::kCurrentData),
            std::nullopt);
  log.clear();
  EXPECT_EQ(NANOViewMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kAudienceId),
            std::nullopt);
  EXPECT_EQ(
      NANOViewMessageArray<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kAudienceId),
      std::nullopt);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(NANOAccessors, ViewsOfAFieldCanBeSetBackIntoIt) {
  // The new elements are copied before the old ones are released, so views of the field
  // itself (here reordered) are valid sources.
  APMPBEvent event;
  std::vector<APMPBEventParam> params(3);
  for (int i = 0; i < 3; ++i) {
    NANOSetString(params[i], APMPBEventParam::kName, "p" + std::to_string(i));
  }
  NANOSetMessageArray(event, APMPBEvent::kParams, params);
  auto views = NANOViewMessageArray<APMPBEventParam>(event, APMPBEvent::kParams);
  ASSERT_TRUE(views);
  std::vector<NANOMessageView> reversed(views->rbegin(), views->rend());
  NANOSetMessageArray(event, APMPBEvent::kParams, reversed);
  auto names = NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams);
  ASSERT_TRUE(names && names->size() == 3);
  EXPECT_EQ(NANOGetString((*names)[0], APMPBEventParam::kName), "p2");
  EXPECT_EQ(NANOGetString((*names)[2], APMPBEventParam::kName), "p0");

  // The same through the generic list accessor, with views held as objects.
  views = NANOViewMessageArray<APMPBEventParam>(event, APMPBEvent::kParams);
  std::vector<NANOObject> list;
  for (const NANOMessageView& view : *views) {
    list.emplace_back(std::make_shared<NANOMessageView>(view));
  }
  std::swap(list[0], list[1]);
  NANOSetArray(event, APMPBEvent::kParams, list);
  names = NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams);
  ASSERT_TRUE(names && names->size() == 3);
  EXPECT_EQ(NANOGetString((*names)[0], APMPBEventParam::kName), "p1");
  EXPECT_EQ(NANOGetString((*names)[1], APMPBEventParam::kName), "p2");

  // A singular sub-message set from a view of its own value.
  APMPBAudienceLeafFilterResult result;
  APMPBResultData data;
  NANOSetArray(data, APMPBResultData::kStatus, std::vector<NANOObject>{NANONumber::fromUInt64(3)});
  NANOSetMessage(result, APMPBAudienceLeafFilterResult::kCurrentData, data);
  auto current =
      NANOViewMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kCurrentData);
  ASSERT_TRUE(current);
  NANOSetMessage(result, APMPBAudienceLeafFilterResult::kPreviousData, *current);
  // Setting the field the view reads from ends the view's life; it is the last use.
  NANOSetMessage(result, APMPBAudienceLeafFilterResult::kCurrentData, *current);
  auto same = NANOGetMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kCurrentData);
  ASSERT_TRUE(same);
  EXPECT_TRUE(*same == data);
  auto previous =
      NANOGetMessage<APMPBResultData>(result, APMPBAudienceLeafFilterResult::kPreviousData);
  ASSERT_TRUE(previous);
  EXPECT_EQ(NANOGetArray(*previous, APMPBResultData::kStatus),
            std::vector<NANOObject>{NANONumber::fromUInt64(3)});

  // A failed list still leaves the field empty.
  views = NANOViewMessageArray<APMPBEventParam>(event, APMPBEvent::kParams);
  std::vector<NANOObject> bad{std::make_shared<NANOMessageView>((*views)[0]), std::string("x")};
  testsupport::LogCapture log;
  NANOSetArray(event, APMPBEvent::kParams, bad);
  EXPECT_EQ(NANOGetArray(event, APMPBEvent::kParams, &APMPBEventParam::messageClass())->size(), 0u);
}

TEST(NANOAccessors, ArraysConvertEveryKind) {
  using List = std::vector<NANOObject>;
  struct Case {
    uint32_t slot;
    List given;
    List read;
  };
  const Case cases[] = {
      {Kinds::kRb,
       {NANONumber::fromInt64(2), NANONumber::fromBool(false)},
       {NANONumber::fromBool(true), NANONumber::fromBool(false)}},
      {Kinds::kRe, {NANONumber::fromInt32(1)}, {NANONumber::fromInt32(1)}},
      {Kinds::kRi32, {NANONumber::fromDouble(-3.9)}, {NANONumber::fromInt32(-3)}},
      {Kinds::kRu32, {NANONumber::fromUInt32(4294967295u)}, {NANONumber::fromUInt32(4294967295u)}},
      {Kinds::kRi64, {NANONumber::fromInt64(INT64_MIN)}, {NANONumber::fromInt64(INT64_MIN)}},
      {Kinds::kRu64, {NANONumber::fromUInt64(UINT64_MAX)}, {NANONumber::fromUInt64(UINT64_MAX)}},
      {Kinds::kRf, {NANONumber::fromDouble(0.5)}, {NANONumber::fromFloat(0.5f)}},
      {Kinds::kRd, {NANONumber::fromInt32(7)}, {NANONumber::fromDouble(7.0)}},
      {Kinds::kRs, {std::string("a"), std::string()}, {std::string("a"), std::string()}},
      {Kinds::kRy, {NANOData{std::string("\0\1", 2)}}, {NANOData{std::string("\0\1", 2)}}},
  };
  Kinds m;
  for (const Case& c : cases) {
    NANOSetArray(m, c.slot, c.given);
    EXPECT_EQ(NANOGetArray(m, c.slot), c.read) << c.slot;
  }
  // Doubles beyond float's range become infinities of their sign (not undefined conversions).
  EXPECT_EQ(NANONumber::fromDouble(1e300).floatValue(), std::numeric_limits<float>::infinity());
  EXPECT_EQ(NANONumber::fromUInt64(UINT64_MAX).floatValue(), 1.8446744e19f);
  EXPECT_EQ(NANONumber::fromDouble(-1e39).floatValue(), -std::numeric_limits<float>::infinity());

  // The list holds copies: changing the element given does not change the field.
  auto child = std::make_shared<NANOTestChild>();
  NANOSetInt32(*child, NANOTestChild::kValue, 9);
  NANOSetArray(m, Kinds::kRchild, List{child});
  NANOSetInt32(*child, NANOTestChild::kValue, 1);
  auto children = NANOGetMessageArray<NANOTestChild>(m, Kinds::kRchild);
  ASSERT_TRUE(children && children->size() == 1);
  EXPECT_EQ(NANOGetInt32((*children)[0], NANOTestChild::kValue), 9);
  // A message element without an element class is skipped with its line.
  testsupport::LogCapture log;
  EXPECT_EQ(NANOGetArray(m, Kinds::kRchild), List{});
  EXPECT_TRUE(log.contains("<ERROR> Provided class doesn't implement initWithMessageInfo:"));
}

// Like the singular setters, list elements of 32-bit signed kinds are held zero-extended, so a
// negative element is written in its 32 bits and reads back as itself.
TEST(NANOAccessors, SignedArrayElementsAreZeroExtended) {
  struct Case {
    uint32_t slot;
    std::string written;
  };
  const Case cases[] = {{Kinds::kRi32, "\x70\xff\xff\xff\xff\x0f"},
                        {Kinds::kRe, "\x68\xff\xff\xff\xff\x0f"}};
  for (const Case& c : cases) {
    Kinds m;
    NANOSetArray(m, c.slot, std::vector<NANOObject>{NANONumber::fromInt32(-1)});
    EXPECT_EQ(m.protoBuffer(), c.written) << c.slot;
    EXPECT_EQ(NANOGetArray(m, c.slot), std::vector<NANOObject>{NANONumber::fromInt32(-1)})
        << c.slot;
  }
}

TEST(NANOAccessors, SetArrayIsAllOrNothing) {
  struct Case {
    uint32_t slot;
    NANOObject good;
    NANOObject bad;
    std::string text;
  };
  const Case cases[] = {
      {Kinds::kRb, NANONumber::fromBool(true), std::string("x"),
       "<ERROR> Invalid object type. Boolean fields expect NSNumber. Type: NSString"},
      {Kinds::kRi32, NANONumber::fromInt32(1), std::string("x"),
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSString"},
      {Kinds::kRu32, NANONumber::fromInt32(1), NANOData{},
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSData"},
      {Kinds::kRu64, NANONumber::fromInt32(1), std::monostate{},
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: nil"},
      {Kinds::kRf, NANONumber::fromInt32(1), std::string("x"),
       "<ERROR> Invalid object type. Float fields expect NSNumber. Type: NSString"},
      {Kinds::kRd, NANONumber::fromInt32(1), std::string("x"),
       "<ERROR> Invalid object type. Double fields expect NSNumber. Type: NSString"},
      {Kinds::kRe, NANONumber::fromInt32(1), std::string("x"),
       "<ERROR> Invalid object type. Enum fields expect NSNumber. Type: NSString"},
      {Kinds::kRs, std::string("a"), NANONumber::fromInt32(1),
       "<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber"},
      {Kinds::kRy, NANOData{"a"}, std::string("a"),
       "<ERROR> Invalid object type. Bytes fields expect NSData. Type: NSString"},
      {Kinds::kRchild, std::make_shared<NANOTestChild>(), std::make_shared<NANOTestAllKinds>(),
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: "
       "NANOTestAllKinds"},
  };
  for (const Case& c : cases) {
    Kinds m;
    NANOSetArray(m, c.slot, std::vector<NANOObject>{c.good});
    ASSERT_EQ(NANOGetArray(m, c.slot, &NANOTestChild::messageClass())->size(), 1u);
    testsupport::LogCapture log;
    NANOSetArray(m, c.slot, std::vector<NANOObject>{c.good, c.good, c.bad, c.good});
    EXPECT_EQ(NANOGetArray(m, c.slot, &NANOTestChild::messageClass())->size(), 0u) << c.text;
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.text});
  }
  // nullopt empties the field too.
  Kinds m;
  NANOSetArray(m, Kinds::kRs, std::vector<NANOObject>{std::string("a")});
  NANOSetArray(m, Kinds::kRs, std::nullopt);
  EXPECT_EQ(NANOGetArray(m, Kinds::kRs)->size(), 0u);
}

TEST(NANOAccessors, SlotsBeyondTheMessageAreRefused) {
  APMPBSetting setting;
  testsupport::LogCapture log;
  NANOSetString(setting, 2, "x");
  EXPECT_EQ(NANOGetString(setting, 2), std::nullopt);
  EXPECT_FALSE(NANOHasField(setting, 99));
  NANOClearField(setting, 7);
  EXPECT_TRUE(
      log.contains("<Nano/Failure> Field index is out of range. Message: Setting, field ID: 2"));
  EXPECT_TRUE(log.contains("<ERROR> Setting: Cannot deallocate field 7: Unknown field"));
}

}  // namespace
