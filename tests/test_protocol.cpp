// The wire encoders against exact bytes, and the variable byte integer
// decoder on what it must accept and what it must refuse.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "uQORException.h"
#include "uQORMQTTProtocol.h"

using namespace qor;

namespace {

TBytes B(std::initializer_list<uint8_t> AValues) { return TBytes(AValues); }

TBytes Text(const std::string& AText) { return TBytes(AText.begin(), AText.end()); }

struct TDecoded {
  bool Ok;
  int32_t Offset;
  uint32_t Value;
};

TDecoded Decode(const TBytes& AData, int32_t AOffset = 0) {
  uint32_t value = 12345;
  const bool ok = DecodeVarInt(AData, AOffset, value);
  return {ok, AOffset, value};
}

}  // namespace

TEST(VarInt, EncodesEachLengthBoundary) {
  EXPECT_EQ(EncodeVarInt(0), B({0x00}));
  EXPECT_EQ(EncodeVarInt(127), B({0x7F}));
  EXPECT_EQ(EncodeVarInt(128), B({0x80, 0x01}));
  EXPECT_EQ(EncodeVarInt(16383), B({0xFF, 0x7F}));
  EXPECT_EQ(EncodeVarInt(16384), B({0x80, 0x80, 0x01}));
  EXPECT_EQ(EncodeVarInt(2097151), B({0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(EncodeVarInt(2097152), B({0x80, 0x80, 0x80, 0x01}));
  EXPECT_EQ(EncodeVarInt(268435455), B({0xFF, 0xFF, 0xFF, 0x7F}));
  for (uint32_t v : {0u, 127u, 128u, 16383u, 16384u, 2097151u, 2097152u, 268435455u})
    EXPECT_EQ(VarIntSize(v), EncodeVarInt(v).size()) << v;
}

TEST(VarInt, NeverWritesMoreThanFourBytes) {
  EXPECT_EQ(EncodeVarInt(268435456), B({0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(EncodeVarInt(0xFFFFFFFF), B({0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST(VarInt, DecodesWhatItEncodesAtRandom) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<uint32_t> anyValue(0, MQTT_MAX_VARINT);
  std::uniform_int_distribution<int> shift(0, 28);
  for (int i = 0; i < 20000; ++i) {
    // Mix uniform values with values of every magnitude.
    const uint32_t v = (i % 2) ? anyValue(rng) : (anyValue(rng) >> shift(rng));
    TBytes data = B({0xAA});  // something in front, to start at offset 1
    const TBytes enc = EncodeVarInt(v);
    data.insert(data.end(), enc.begin(), enc.end());
    data.push_back(0xFF);  // and behind, which must stay unread
    const TDecoded d = Decode(data, 1);
    ASSERT_TRUE(d.Ok) << v;
    ASSERT_EQ(d.Value, v);
    ASSERT_EQ(d.Offset, 1 + static_cast<int32_t>(enc.size())) << v;
  }
}

TEST(VarInt, DecodeExamples) {
  TDecoded d = Decode(B({0x2A}));
  EXPECT_TRUE(d.Ok);
  EXPECT_EQ(d.Value, 42u);
  EXPECT_EQ(d.Offset, 1);

  d = Decode(B({0x80, 0x01}));
  EXPECT_TRUE(d.Ok);
  EXPECT_EQ(d.Value, 128u);
  EXPECT_EQ(d.Offset, 2);

  d = Decode(B({0x7F, 0xFF}));
  EXPECT_TRUE(d.Ok);
  EXPECT_EQ(d.Value, 127u);
  EXPECT_EQ(d.Offset, 1);

  d = Decode(B({0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_TRUE(d.Ok);
  EXPECT_EQ(d.Value, 268435455u);
  EXPECT_EQ(d.Offset, 4);
}

TEST(VarInt, RefusesTruncatedInput) {
  EXPECT_FALSE(Decode(B({0x80})).Ok);
  EXPECT_FALSE(Decode(B({0xFF, 0xFF, 0xFF})).Ok);
  const TDecoded d = Decode(B({0x80, 0x80}));
  EXPECT_FALSE(d.Ok);
  EXPECT_EQ(d.Offset, 2);  // past every byte it read
}

TEST(VarInt, RefusesFiveByteEncodingsEvenWhenTheFifthEndsThem) {
  TDecoded d = Decode(B({0x80, 0x80, 0x80, 0x80, 0x00}));
  EXPECT_FALSE(d.Ok);
  EXPECT_EQ(d.Offset, 5);
  d = Decode(B({0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}));
  EXPECT_FALSE(d.Ok);
  EXPECT_EQ(d.Offset, 5);
}

TEST(VarInt, NothingToReadLeavesOffsetAndGivesZero) {
  TDecoded d = Decode(TBytes{});
  EXPECT_FALSE(d.Ok);
  EXPECT_EQ(d.Offset, 0);
  EXPECT_EQ(d.Value, 0u);

  d = Decode(B({0x01, 0x02}), 2);
  EXPECT_FALSE(d.Ok);
  EXPECT_EQ(d.Offset, 2);
  EXPECT_EQ(d.Value, 0u);

  d = Decode(B({0x01}), -1);
  EXPECT_FALSE(d.Ok);
  EXPECT_EQ(d.Offset, -1);
}

TEST(Primitives, MQTTStringWordAndFixedHeader) {
  EXPECT_EQ(EncodeMQTTString(""), B({0x00, 0x00}));
  EXPECT_EQ(EncodeMQTTString("hello"), B({0x00, 0x05, 0x68, 0x65, 0x6C, 0x6C, 0x6F}));
  const TBytes topic = EncodeMQTTString("test/topic");
  ASSERT_EQ(topic.size(), 12u);
  EXPECT_EQ(topic[0], 0x00);
  EXPECT_EQ(topic[1], 0x0A);
  // The count is of UTF-8 bytes, not characters, and the bytes pass unchanged.
  EXPECT_EQ(EncodeMQTTString("\xC3\xA4/\xE2\x82\xAC"),
            B({0x00, 0x06, 0xC3, 0xA4, 0x2F, 0xE2, 0x82, 0xAC}));
  const TBytes longest = EncodeMQTTString(std::string(65535, 'x'));
  EXPECT_EQ(longest.size(), 65537u);
  EXPECT_EQ(longest[0], 0xFF);
  EXPECT_EQ(longest[1], 0xFF);

  EXPECT_EQ(EncodeWord(0x1234), B({0x12, 0x34}));
  EXPECT_EQ(EncodeWord(0), B({0x00, 0x00}));

  EXPECT_EQ(WrapWithFixedHeader(MQTT_CONNECT, 0, {}), B({0x10, 0x00}));
  EXPECT_EQ(WrapWithFixedHeader(MQTT_PINGREQ, 0, {}), B({0xC0, 0x00}));
  EXPECT_EQ(WrapWithFixedHeader(MQTT_SUBSCRIBE, 2, {})[0], 0x82);
  EXPECT_EQ(WrapWithFixedHeader(0x1F, 0xF3, {})[0], 0xF3);  // both masked to four bits
  const TBytes content(200, 0x55);
  const TBytes wrapped = WrapWithFixedHeader(MQTT_PUBLISH, 0, content);
  ASSERT_EQ(wrapped.size(), 203u);
  EXPECT_EQ(wrapped[1], 0xC8);
  EXPECT_EQ(wrapped[2], 0x01);
}

TEST(Connect, ExamplesByteForByte) {
  EXPECT_EQ(BuildConnectPacket(5, true, 60, "test", "", "", 0),
            B({0x10, 0x11, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x05, 0x02, 0x00, 0x3C, 0x00, 0x00,
               0x04, 0x74, 0x65, 0x73, 0x74}));
  EXPECT_EQ(BuildConnectPacket(4, true, 30, "client1", "", "", 0),
            B({0x10, 0x13, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x04, 0x02, 0x00, 0x1E, 0x00, 0x07,
               0x63, 0x6C, 0x69, 0x65, 0x6E, 0x74, 0x31}));
  EXPECT_EQ(BuildConnectPacket(5, true, 60, "c", "", "", 300),
            B({0x10, 0x13, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x05, 0x02, 0x00, 0x3C, 0x05, 0x11,
               0x00, 0x00, 0x01, 0x2C, 0x00, 0x01, 0x63}));
  EXPECT_EQ(BuildConnectPacket(5, true, 60, "c", "", "", 0),
            B({0x10, 0x0E, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x05, 0x02, 0x00, 0x3C, 0x00, 0x00,
               0x01, 0x63}));
}

TEST(Connect, FlagsAndOptionalFields) {
  EXPECT_EQ(BuildConnectPacket(5, true, 60, "id", "user", "pw", 0)[9], 0xC2);
  EXPECT_EQ(BuildConnectPacket(4, false, 60, "id", "", "", 0)[9], 0x00);
  // A password without a user name: only its own flag, only its own field.
  const TBytes p = BuildConnectPacket(4, true, 60, "", "", "pw", 0);
  EXPECT_EQ(p[9], 0x42);
  EXPECT_EQ(TBytes(p.begin() + 12, p.end()), B({0x00, 0x00, 0x00, 0x02, 0x70, 0x77}));
  // User name before password, both after the identifier.
  const TBytes q = BuildConnectPacket(4, true, 60, "i", "u", "p", 0);
  EXPECT_EQ(TBytes(q.begin() + 12, q.end()), B({0x00, 0x01, 0x69, 0x00, 0x01, 0x75, 0x00, 0x01, 0x70}));
  // The interval has no place in a 3.1.1 CONNECT.
  EXPECT_EQ(BuildConnectPacket(4, true, 30, "client1", "", "", 300),
            BuildConnectPacket(4, true, 30, "client1", "", "", 0));
  // Any level but 5 frames for 3.1.1 and is written unchanged.
  const TBytes odd = BuildConnectPacket(3, true, 30, "client1", "", "", 300);
  EXPECT_EQ(odd[8], 3);
  EXPECT_EQ(odd.size(), 21u);
}

TEST(Publish, ExamplesByteForByte) {
  EXPECT_EQ(BuildPublishPacket("home/temp", TBytes{}, 0, 0, 4, false, false),
            B({0x30, 0x0B, 0x00, 0x09, 0x68, 0x6F, 0x6D, 0x65, 0x2F, 0x74, 0x65, 0x6D, 0x70}));
  EXPECT_EQ(BuildPublishPacket("test/q1", Text("hello"), 1, 258, 4, false, false),
            B({0x32, 0x10, 0x00, 0x07, 0x74, 0x65, 0x73, 0x74, 0x2F, 0x71, 0x31, 0x01, 0x02, 0x68,
               0x65, 0x6C, 0x6C, 0x6F}));
  EXPECT_EQ(BuildPublishPacket("retained/topic", TBytes{}, 0, 0, 4, true, false)[0], 0x31);
  EXPECT_EQ(BuildPublishPacket("t", B({0x61, 0x62, 0x63}), 0, 0, 4, false, false),
            B({0x30, 0x06, 0x00, 0x01, 0x74, 0x61, 0x62, 0x63}));
  EXPECT_EQ(BuildPublishPacket("t", B({0x61, 0x62, 0x63}), 0, 0, 5, false, false),
            B({0x30, 0x07, 0x00, 0x01, 0x74, 0x00, 0x61, 0x62, 0x63}));
  EXPECT_EQ(BuildPublishPacket("a/b", B({0x68, 0x69}), 1, 10, 5, false, false),
            B({0x32, 0x0A, 0x00, 0x03, 0x61, 0x2F, 0x62, 0x00, 0x0A, 0x00, 0x68, 0x69}));
}

TEST(Publish, HeaderPlusPayloadIsThePacket) {
  // Sizes around each step of the remaining length, both levels, every QoS.
  for (const size_t size : {size_t{0}, size_t{1}, size_t{120}, size_t{16383}, size_t{16384}, size_t{2097150},
                            size_t{2097152}}) {
    std::string payload(size, '\0');
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<char>(i * 7);
    for (const uint8_t level : {uint8_t{4}, uint8_t{5}}) {
      for (const uint8_t qos : {uint8_t{0}, uint8_t{1}, uint8_t{2}}) {
        TBytes joined = BuildPublishHeader("a/b", size, qos, 513, level, false, false);
        joined.insert(joined.end(), payload.begin(), payload.end());
        EXPECT_EQ(joined, BuildPublishPacket("a/b", std::string_view(payload), qos, 513, level, false, false))
            << "payload " << size << " level " << int{level} << " QoS " << int{qos};
      }
    }
  }
  EXPECT_EQ(BuildPublishHeader("t", 3, 0, 0, 4, true, true), B({0x39, 0x06, 0x00, 0x01, 0x74}));
}

TEST(Publish, FlagsIdentifierAndLength) {
  // QoS 0 never carries an identifier, whatever it is given.
  EXPECT_EQ(BuildPublishPacket("t", TBytes{}, 0, 777, 4, false, false),
            B({0x30, 0x03, 0x00, 0x01, 0x74}));
  EXPECT_EQ(BuildPublishPacket("t", TBytes{}, 2, 0x0A0B, 4, false, false),
            B({0x34, 0x05, 0x00, 0x01, 0x74, 0x0A, 0x0B}));
  EXPECT_EQ(BuildPublishPacket("t", TBytes{}, 1, 1, 4, false, true)[0], 0x3A);
  EXPECT_EQ(BuildPublishPacket("t", TBytes{}, 7, 1, 4, true, true)[0], 0x3F);  // QoS masked to 2 bits
  // A remaining length of 128 takes two bytes.
  const TBytes p = BuildPublishPacket("t", TBytes(125, 0x41), 0, 0, 4, false, false);
  ASSERT_EQ(p.size(), 131u);
  EXPECT_EQ(p[1], 0x80);
  EXPECT_EQ(p[2], 0x01);
  // Text and byte payloads give the same packet.
  EXPECT_EQ(BuildPublishPacket("a/b", std::string_view("hi"), 1, 10, 5, false, false),
            BuildPublishPacket("a/b", Text("hi"), 1, 10, 5, false, false));
}

TEST(Publish, LargePayloadKeepsEveryByte) {
  TBytes payload(300000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31);
  const TBytes p = BuildPublishPacket("big", payload, 1, 5, 5, false, false);
  int32_t offset = 1;
  uint32_t remaining = 0;
  ASSERT_TRUE(DecodeVarInt(p, offset, remaining));
  EXPECT_EQ(remaining, p.size() - static_cast<size_t>(offset));
  const size_t payloadStart = static_cast<size_t>(offset) + 2 + 3 + 2 + 1;
  EXPECT_EQ(TBytes(p.begin() + static_cast<std::ptrdiff_t>(payloadStart), p.end()), payload);
}

TEST(Acknowledgements, PubAckSubscribeUnsubscribePingDisconnect) {
  EXPECT_EQ(BuildPubAckPacket(0x1234, 0, 5), B({0x40, 0x04, 0x12, 0x34, 0x00, 0x00}));
  EXPECT_EQ(BuildPubAckPacket(0x1234, 0x10, 5), B({0x40, 0x04, 0x12, 0x34, 0x10, 0x00}));
  EXPECT_EQ(BuildPubAckPacket(0x1234, 0x10, 4), B({0x40, 0x02, 0x12, 0x34}));

  EXPECT_EQ(BuildSubscribePacket("home/#", 1, 1, 4),
            B({0x82, 0x0B, 0x00, 0x01, 0x00, 0x06, 0x68, 0x6F, 0x6D, 0x65, 0x2F, 0x23, 0x01}));
  EXPECT_EQ(BuildSubscribePacket("a/b", 1, 7, 5),
            B({0x82, 0x09, 0x00, 0x07, 0x00, 0x00, 0x03, 0x61, 0x2F, 0x62, 0x01}));
  EXPECT_EQ(BuildSubscribePacket("a/b", 0, 1, 4).size(), 10u);
  EXPECT_EQ(BuildSubscribePacket("a/b", 0, 1, 5).size(), 11u);
  EXPECT_EQ(BuildSubscribePacket("a/b", 0xFF, 1, 4).back(), 0x03);  // options keep the QoS bits only

  EXPECT_EQ(BuildUnsubscribePacket("a/b", 7, 5),
            B({0xA2, 0x08, 0x00, 0x07, 0x00, 0x00, 0x03, 0x61, 0x2F, 0x62}));
  EXPECT_EQ(BuildUnsubscribePacket("a/b", 0x0102, 4),
            B({0xA2, 0x07, 0x01, 0x02, 0x00, 0x03, 0x61, 0x2F, 0x62}));

  EXPECT_EQ(BuildPingReqPacket(), B({0xC0, 0x00}));
  EXPECT_EQ(BuildDisconnectPacket(0, 5), B({0xE0, 0x02, 0x00, 0x00}));
  EXPECT_EQ(BuildDisconnectPacket(0x8E, 5), B({0xE0, 0x02, 0x8E, 0x00}));
  EXPECT_EQ(BuildDisconnectPacket(0x8E, 4), B({0xE0, 0x00}));
}

// Every property alone: its identifier and its value's encoding (byte, two
// and four byte integers, variable byte integer, UTF-8 string, binary data,
// string pair), and back.
TEST(Properties, EachIdentifierAndEncodingByteForByte) {
  struct TCase {
    std::function<void(TQORMQTTProperties&)> Set;
    TBytes Bytes;  // the property itself, without the block's length
  };
  const auto s = [](uint8_t AId) { return B({AId, 0x00, 0x02, 0x61, 0x00}); };  // "a\0"
  const std::vector<TCase> cases = {
      {[](auto& P) { P.PayloadFormatIndicator = 1; }, B({0x01, 0x01})},
      {[](auto& P) { P.MessageExpiryInterval = 0x01020304; }, B({0x02, 0x01, 0x02, 0x03, 0x04})},
      {[](auto& P) { P.ContentType = std::string("a\0", 2); }, s(0x03)},
      {[](auto& P) { P.ResponseTopic = std::string("a\0", 2); }, s(0x08)},
      {[](auto& P) { P.CorrelationData = B({0x61, 0x00}); }, s(0x09)},
      {[](auto& P) { P.SubscriptionIdentifiers = {1, 268435455}; }, B({0x0B, 0x01, 0x0B, 0xFF, 0xFF, 0xFF, 0x7F})},
      {[](auto& P) { P.SessionExpiryInterval = 0xFFFFFFFF; }, B({0x11, 0xFF, 0xFF, 0xFF, 0xFF})},
      {[](auto& P) { P.AssignedClientIdentifier = std::string("a\0", 2); }, s(0x12)},
      {[](auto& P) { P.ServerKeepAlive = 0x0102; }, B({0x13, 0x01, 0x02})},
      {[](auto& P) { P.AuthenticationMethod = std::string("a\0", 2); }, s(0x15)},
      {[](auto& P) { P.AuthenticationData = B({0x61, 0x00}); }, s(0x16)},
      {[](auto& P) { P.RequestProblemInformation = 0; }, B({0x17, 0x00})},
      {[](auto& P) { P.WillDelayInterval = 5; }, B({0x18, 0x00, 0x00, 0x00, 0x05})},
      {[](auto& P) { P.RequestResponseInformation = 1; }, B({0x19, 0x01})},
      {[](auto& P) { P.ResponseInformation = std::string("a\0", 2); }, s(0x1A)},
      {[](auto& P) { P.ServerReference = std::string("a\0", 2); }, s(0x1C)},
      {[](auto& P) { P.ReasonString = std::string("a\0", 2); }, s(0x1F)},
      {[](auto& P) { P.ReceiveMaximum = 0xFFFF; }, B({0x21, 0xFF, 0xFF})},
      {[](auto& P) { P.TopicAliasMaximum = 10; }, B({0x22, 0x00, 0x0A})},
      {[](auto& P) { P.TopicAlias = 1; }, B({0x23, 0x00, 0x01})},
      {[](auto& P) { P.MaximumQoS = 1; }, B({0x24, 0x01})},
      {[](auto& P) { P.RetainAvailable = 0; }, B({0x25, 0x00})},
      {[](auto& P) { P.UserProperties = {{"k", "1"}, {"k", "2"}}; },
       B({0x26, 0x00, 0x01, 0x6B, 0x00, 0x01, 0x31, 0x26, 0x00, 0x01, 0x6B, 0x00, 0x01, 0x32})},
      {[](auto& P) { P.MaximumPacketSize = 0x10000; }, B({0x27, 0x00, 0x01, 0x00, 0x00})},
      {[](auto& P) { P.WildcardSubscriptionAvailable = 0; }, B({0x28, 0x00})},
      {[](auto& P) { P.SubscriptionIdentifierAvailable = 1; }, B({0x29, 0x01})},
      {[](auto& P) { P.SharedSubscriptionAvailable = 0; }, B({0x2A, 0x00})},
  };
  TQORMQTTProperties all;
  TBytes allBytes;
  for (const TCase& c : cases) {
    TQORMQTTProperties one;
    c.Set(one);
    c.Set(all);
    allBytes.insert(allBytes.end(), c.Bytes.begin(), c.Bytes.end());
    TBytes block;
    AppendProperties(block, one);
    TBytes expected = EncodeVarInt(static_cast<uint32_t>(c.Bytes.size()));
    expected.insert(expected.end(), c.Bytes.begin(), c.Bytes.end());
    EXPECT_EQ(block, expected) << "property $" << std::hex << int{c.Bytes[0]};
    TQORMQTTProperties decoded;
    const std::string wire(block.begin(), block.end());
    EXPECT_EQ(DecodeProperties(wire, 0, "X", decoded), wire.size());
    EXPECT_EQ(decoded, one) << "property $" << std::hex << int{c.Bytes[0]};
  }
  // All of them in one block, in identifier order, and back.
  TBytes block;
  AppendProperties(block, all);
  ASSERT_EQ(allBytes.size(), 114u);
  EXPECT_EQ(block, [&] {
    TBytes expected = EncodeVarInt(114);
    expected.insert(expected.end(), allBytes.begin(), allBytes.end());
    return expected;
  }());
  TQORMQTTProperties decoded;
  DecodeProperties(std::string(block.begin(), block.end()), 0, "X", decoded);
  EXPECT_EQ(decoded, all);
}

TEST(Properties, AMalformedBlockIsRefusedWithItsReason) {
  for (const auto& [bytes, reason] : std::vector<std::pair<TBytes, std::string>>{
           {B({0x03, 0x01, 0x01}), "with remaining length 3 is shorter than its fields"},
           {B({0x02, 0x7F, 0x00}), "with an unknown property"},
           {B({0x04, 0x01, 0x00, 0x01, 0x01}), "with a property given twice"},
           {B({0x03, 0x23, 0x00, 0x00}), "with an invalid property value"},   // topic alias 0
           {B({0x03, 0x21, 0x00, 0x00}), "with an invalid property value"},   // receive maximum 0
           {B({0x02, 0x0B, 0x00}), "with an invalid property value"},         // subscription identifier 0
           {B({0x02, 0x01, 0x02}), "with an invalid property value"},         // payload format 2
           {B({0x02, 0x1F, 0x00, 0x00, 0x00}), "with a property running past its block"},
           {B({0x05, 0x0B, 0x80, 0x80, 0x80, 0x80}), "subscription identifier longer than four bytes"},
       }) {
    TQORMQTTProperties p;
    try {
      DecodeProperties(std::string(bytes.begin(), bytes.end()), 0, "X", p);
      ADD_FAILURE() << reason;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Malformed packet: X " + reason);
    }
  }
  // A start beyond the data is refused, not read from whatever lies behind it.
  const std::string behind(3, '\0');
  TQORMQTTProperties p;
  try {
    DecodeProperties(std::string_view(behind).substr(0, 1), 2, "X", p);
    ADD_FAILURE() << "a block read from beyond its data";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Malformed packet: X with remaining length 1 is shorter than its fields");
  }
}

// The packets with properties: where each block goes, and that without
// properties each is the packet of the builder before it.
TEST(Properties, EachPacketCarriesItsBlockWhereMQTT5PutsIt) {
  TQORMQTTProperties user;
  user.UserProperties = {{"k", "v"}};
  const TBytes userBlock = B({0x07, 0x26, 0x00, 0x01, 0x6B, 0x00, 0x01, 0x76});

  // CONNECT with a will: flags 0x04 | QoS 1 << 3 | retain 0x20, the will's
  // properties before its topic; at 3.1.1 the same without any block.
  TWillFields will{"w", "bye", 1, true, {}};
  will.Properties.WillDelayInterval = 5;
  TConnectFields fields{true, 60, "c", "", "", user, &will};
  EXPECT_EQ(BuildConnectPacket(5, fields),
            B({0x10, 0x23, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x05, 0x2E, 0x00, 0x3C, 0x07, 0x26, 0x00, 0x01, 0x6B,
               0x00, 0x01, 0x76, 0x00, 0x01, 0x63, 0x05, 0x18, 0x00, 0x00, 0x00, 0x05, 0x00, 0x01, 0x77, 0x00, 0x03,
               0x62, 0x79, 0x65}));
  EXPECT_EQ(BuildConnectPacket(4, fields),
            B({0x10, 0x15, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x04, 0x2E, 0x00, 0x3C, 0x00, 0x01, 0x63, 0x00, 0x01,
               0x77, 0x00, 0x03, 0x62, 0x79, 0x65}));
  TConnectFields plain{true, 60, "c", "u", "p", {}, nullptr};
  plain.Properties.SessionExpiryInterval = 300;
  EXPECT_EQ(BuildConnectPacket(5, plain), BuildConnectPacket(5, true, 60, "c", "u", "p", 300));

  // PUBLISH: the alias first, then the caller's properties; an aliased topic is empty.
  EXPECT_EQ(BuildPublishPacket("", "x", 1, 2, 5, true, false, &user, 3),
            B({0x33, 0x10, 0x00, 0x00, 0x00, 0x02, 0x0A, 0x23, 0x00, 0x03, 0x26, 0x00, 0x01, 0x6B, 0x00, 0x01, 0x76,
               0x78}));
  EXPECT_EQ(PacketSize(PublishContentSize(0, 1, 1, 5, &user, 3)), 18u);  // what a caller checks before building
  EXPECT_EQ(BuildPublishPacket("t", "x", 0, 0, 4, false, false, &user, 3),
            BuildPublishPacket("t", std::string_view("x"), 0, 0, 4, false, false));
  TBytes joined = BuildPublishHeader("t", 1, 1, 2, 5, false, true, &user, 0);
  joined.push_back('x');
  EXPECT_EQ(joined, BuildPublishPacket("t", "x", 1, 2, 5, false, true, &user, 0));

  // SUBSCRIBE: the options byte whole at 5, its QoS alone at 3.1.1; the
  // subscription identifier as a variable byte integer.
  TQORMQTTProperties id;
  id.SubscriptionIdentifiers = {200};
  const uint8_t options = SubscriptionOptions(2, true, true, 2);
  EXPECT_EQ(options, 0x2E);
  EXPECT_EQ(BuildSubscribePacket({{"a", options}, {"b", 0}}, 7, 5, id),
            B({0x82, 0x0E, 0x00, 0x07, 0x03, 0x0B, 0xC8, 0x01, 0x00, 0x01, 0x61, 0x2E, 0x00, 0x01, 0x62, 0x00}));
  EXPECT_EQ(PacketSize(SubscribeContentSize({{"a", options}, {"b", 0}}, 5, id)), 16u);
  EXPECT_EQ(BuildSubscribePacket({{"a", options}}, 7, 4, id), BuildSubscribePacket("a", 2, 7, 4));
  EXPECT_EQ(BuildSubscribePacket({{"a/b", 1}}, 7, 5, {}), BuildSubscribePacket("a/b", 1, 7, 5));

  EXPECT_EQ(BuildUnsubscribePacket({"a", "b"}, 7, 5, user),
            B({0xA2, 0x10, 0x00, 0x07, 0x07, 0x26, 0x00, 0x01, 0x6B, 0x00, 0x01, 0x76, 0x00, 0x01, 0x61, 0x00, 0x01,
               0x62}));
  EXPECT_EQ(PacketSize(UnsubscribeContentSize({"a", "b"}, 5, user)), 18u);
  EXPECT_EQ(BuildUnsubscribePacket({"a/b"}, 7, 4, user), BuildUnsubscribePacket("a/b", 7, 4));

  TQORMQTTProperties leaving;
  leaving.SessionExpiryInterval = 0;
  leaving.ReasonString = "bye";
  EXPECT_EQ(BuildDisconnectPacket(0x04, 5, leaving),
            B({0xE0, 0x0D, 0x04, 0x0B, 0x11, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x03, 0x62, 0x79, 0x65}));
  EXPECT_EQ(BuildDisconnectPacket(0x04, 4, leaving), B({0xE0, 0x00}));
  EXPECT_EQ(BuildDisconnectPacket(0x8E, 5, {}), BuildDisconnectPacket(0x8E, 5));

  TQORMQTTProperties auth;
  auth.AuthenticationMethod = "m";
  auth.AuthenticationData = B({0x00});
  EXPECT_EQ(BuildAuthPacket(0x19, auth),
            B({0xF0, 0x0A, 0x19, 0x08, 0x15, 0x00, 0x01, 0x6D, 0x16, 0x00, 0x01, 0x00}));
}
