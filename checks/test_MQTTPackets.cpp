#include "test_MQTTPackets.h"

#include <cstdio>

#include "TestRegistry.h"

using namespace qor;

namespace {

int32_t Len(const TBytes& AData) { return static_cast<int32_t>(AData.size()); }

TBytes Bytes(std::initializer_list<uint8_t> AValues) { return TBytes(AValues); }

}  // namespace

std::string TMQTTPacketTests::BytesToHex(const TBytes& AData) {
  if (AData.empty()) return "(empty)";
  std::string result;
  char item[4];
  for (size_t i = 0; i < AData.size(); ++i) {
    if (i > 0) result += ' ';
    std::snprintf(item, sizeof item, "%02X", AData[i]);
    result += '$';
    result += item;
  }
  return result;
}

void TMQTTPacketTests::AssertBytesEqual(const TBytes& AExpected, const TBytes& AActual,
                                        const std::string& AContext, TWhere AWhere) {
  const std::string ctx = AContext.empty() ? "" : " [" + AContext + "]";
  const std::string lengthMessage = "Length mismatch" + ctx + ": expected " +
                                    std::to_string(AExpected.size()) + " bytes (" +
                                    BytesToHex(AExpected) + "), got " +
                                    std::to_string(AActual.size()) + " bytes (" +
                                    BytesToHex(AActual) + ")";
  AssertEquals(lengthMessage, Len(AExpected), Len(AActual), AWhere);
  for (size_t i = 0; i < AExpected.size(); ++i) {
    if (AExpected[i] == AActual[i]) continue;
    // The context has no length limit, so the message is sized to it.
    char bytes[40];
    std::snprintf(bytes, sizeof bytes, " expected $%02X got $%02X", AExpected[i], AActual[i]);
    AssertEquals("Byte[" + std::to_string(i) + "]" + ctx + bytes, AExpected[i], AActual[i], AWhere);
  }
}

// --- variable byte integer -----------------------------------------------

void TMQTTPacketTests::TestEncodeVarInt_Zero() {
  AssertBytesEqual(Bytes({0x00}), EncodeVarInt(0), "EncodeVarInt(0)");
}

void TMQTTPacketTests::TestEncodeVarInt_127() {
  AssertBytesEqual(Bytes({0x7F}), EncodeVarInt(127), "EncodeVarInt(127)");
}

void TMQTTPacketTests::TestEncodeVarInt_128() {
  AssertBytesEqual(Bytes({0x80, 0x01}), EncodeVarInt(128), "EncodeVarInt(128)");
}

void TMQTTPacketTests::TestEncodeVarInt_16383() {
  AssertBytesEqual(Bytes({0xFF, 0x7F}), EncodeVarInt(16383), "EncodeVarInt(16383)");
}

void TMQTTPacketTests::TestEncodeVarInt_Max() {
  AssertBytesEqual(Bytes({0xFF, 0xFF, 0xFF, 0x7F}), EncodeVarInt(268435455),
                   "EncodeVarInt(268435455)");
}

void TMQTTPacketTests::TestDecodeVarInt_RoundTrip() {
  for (uint32_t v : {0u, 1u, 127u, 128u, 16383u, 268435455u}) {
    const TBytes encoded = EncodeVarInt(v);
    int32_t offset = 0;
    uint32_t decoded = 0;
    const bool ok = DecodeVarInt(encoded, offset, decoded);
    const std::string value = std::to_string(v);
    AssertTrue("DecodeVarInt(" + value + ") returned False", ok);
    AssertEquals("DecodeVarInt(" + value + ") round-trip mismatch", static_cast<int64_t>(v),
                 static_cast<int64_t>(decoded));
    AssertEquals("DecodeVarInt(" + value + ") offset not at end", Len(encoded), offset);
  }
}

void TMQTTPacketTests::TestDecodeVarInt_SingleByte() {
  int32_t offset = 0;
  uint32_t value = 0;
  AssertTrue("DecodeVarInt single byte", DecodeVarInt(Bytes({0x2A}), offset, value));
  AssertEquals("Value", 42, static_cast<int32_t>(value));
  AssertEquals("Offset after", 1, offset);
}

void TMQTTPacketTests::TestDecodeVarInt_TwoBytes() {
  int32_t offset = 0;
  uint32_t value = 0;
  AssertTrue("DecodeVarInt two bytes", DecodeVarInt(Bytes({0x80, 0x01}), offset, value));
  AssertEquals("Value", 128, static_cast<int32_t>(value));
  AssertEquals("Offset after", 2, offset);
}

void TMQTTPacketTests::TestDecodeVarInt_Truncated() {
  int32_t offset = 0;
  uint32_t value = 0;
  AssertFalse("DecodeVarInt truncated should return False",
              DecodeVarInt(Bytes({0x80}), offset, value));
}

void TMQTTPacketTests::TestDecodeVarInt_AdvancesOffset() {
  int32_t offset = 0;
  uint32_t value = 0;
  AssertTrue("DecodeVarInt advances offset", DecodeVarInt(Bytes({0x7F, 0xFF}), offset, value));
  AssertEquals("Value", 127, static_cast<int32_t>(value));
  AssertEquals("Offset", 1, offset);
}

// --- MQTT string -----------------------------------------------------------

void TMQTTPacketTests::TestEncodeMQTTString_Simple() {
  AssertBytesEqual(Bytes({0x00, 0x05, 0x68, 0x65, 0x6C, 0x6C, 0x6F}), EncodeMQTTString("hello"),
                   "EncodeMQTTString(hello)");
}

void TMQTTPacketTests::TestEncodeMQTTString_Empty() {
  AssertBytesEqual(Bytes({0x00, 0x00}), EncodeMQTTString(""), "EncodeMQTTString(empty)");
}

void TMQTTPacketTests::TestEncodeMQTTString_Length() {
  const std::string s = "test/topic";
  const TBytes e = EncodeMQTTString(s);
  AssertEquals("Encoded length", static_cast<int32_t>(s.size()) + 2, Len(e));
  AssertEquals("High byte of length prefix", 0, e[0]);
  AssertEquals("Low byte of length prefix", static_cast<int32_t>(s.size()), e[1]);
}

// --- fixed header ----------------------------------------------------------

void TMQTTPacketTests::TestWrapWithFixedHeader_Connect() {
  AssertBytesEqual(Bytes({0x10, 0x00}), WrapWithFixedHeader(1, 0, {}),
                   "WrapWithFixedHeader CONNECT empty");
}

void TMQTTPacketTests::TestWrapWithFixedHeader_PingReq() {
  AssertBytesEqual(Bytes({0xC0, 0x00}), WrapWithFixedHeader(12, 0, {}),
                   "WrapWithFixedHeader PINGREQ");
}

// --- CONNECT -----------------------------------------------------------------

void TMQTTPacketTests::TestBuildConnectPacket_MQTT5() {
  const TBytes p = BuildConnectPacket(5, true, 60, "test", "", "", 0);
  AssertTrue("Packet must not be empty", p.size() > 2);
  AssertEquals("CONNECT fixed header byte", 0x10, p[0]);
  AssertEquals("Proto len hi", 0, p[2]);
  AssertEquals("Proto len lo", 4, p[3]);
  AssertEquals("Proto[0] M", 0x4D, p[4]);
  AssertEquals("Proto[1] Q", 0x51, p[5]);
  AssertEquals("Proto[2] T", 0x54, p[6]);
  AssertEquals("Proto[3] T", 0x54, p[7]);
  AssertEquals("Protocol level 5", 5, p[8]);
  AssertEquals("Connect flags (CleanStart)", 2, p[9]);
}

void TMQTTPacketTests::TestBuildConnectPacket_MQTT311() {
  const TBytes p = BuildConnectPacket(4, true, 30, "client1", "", "", 0);
  AssertTrue("Packet must not be empty", p.size() > 2);
  AssertEquals("CONNECT fixed header byte", 0x10, p[0]);
  AssertEquals("Protocol level 4 (MQTT 3.1.1)", 4, p[8]);
  // Only a 3.1.1 CONNECT has the identifier's length here: it has no property block.
  AssertEquals("ClientID len hi (3.1.1)", 0, p[12]);
  AssertEquals("ClientID len lo (3.1.1)", 7, p[13]);
}

void TMQTTPacketTests::TestBuildConnectPacket_WithAuth() {
  const TBytes p = BuildConnectPacket(4, true, 60, "myClient", "alice", "t0ff33", 0);
  AssertTrue("Packet not empty", p.size() > 9);
  const uint8_t f = p[9];
  AssertTrue("Username flag (bit 7) set", (f & 0x80) != 0);
  AssertTrue("Password flag (bit 6) set", (f & 0x40) != 0);
  AssertTrue("CleanStart flag (bit 1) set", (f & 0x02) != 0);
}

void TMQTTPacketTests::TestBuildConnectPacket_SessionExpiry() {
  const TBytes a = BuildConnectPacket(5, true, 60, "c", "", "", 0);
  const TBytes b = BuildConnectPacket(5, true, 60, "c", "", "", 300);
  AssertTrue("Packet with session expiry must be longer than without", b.size() > a.size());
}

// --- PUBLISH -----------------------------------------------------------------

void TMQTTPacketTests::TestBuildPublishPacket_QoS0() {
  const TBytes p = BuildPublishPacket("home/temp", TBytes{}, 0, 0, 4, false, false);
  AssertTrue("PUBLISH QoS0 not empty", p.size() > 2);
  AssertEquals("PUBLISH QoS0 fixed header", 0x30, p[0]);
}

void TMQTTPacketTests::TestBuildPublishPacket_QoS1() {
  const std::string text = "hello";
  const TBytes payload(text.begin(), text.end());
  const TBytes p = BuildPublishPacket("test/q1", payload, 1, 0x0102, 4, false, false);
  AssertTrue("PUBLISH QoS1 not empty", p.size() > 2);
  AssertEquals("PUBLISH QoS1 fixed header", 0x32, p[0]);
  // Topic length plus the fixed header byte, one remaining-length byte and
  // the string's two length bytes.
  const size_t k = 7 + 4;
  AssertTrue("Packet ID offset in bounds", k + 1 < p.size());
  AssertEquals("Packet ID hi byte", 1, p[k]);
  AssertEquals("Packet ID lo byte", 2, p[k + 1]);
}

void TMQTTPacketTests::TestBuildPublishPacket_Retain() {
  const TBytes p = BuildPublishPacket("retained/topic", TBytes{}, 0, 0, 4, true, false);
  AssertEquals("PUBLISH RETAIN fixed header", 0x31, p[0]);
}

void TMQTTPacketTests::TestBuildPublishPacket_MQTT5HasProperties() {
  const TBytes payload = Bytes({0x61, 0x62, 0x63});
  const TBytes a = BuildPublishPacket("t", payload, 0, 0, 4, false, false);
  const TBytes b = BuildPublishPacket("t", payload, 0, 0, 5, false, false);
  AssertEquals("MQTT 5.0 PUBLISH is 1 byte longer than 3.1.1", Len(a) + 1, Len(b));
}

// --- SUBSCRIBE ---------------------------------------------------------------

void TMQTTPacketTests::TestBuildSubscribePacket() {
  const TBytes p = BuildSubscribePacket("home/#", 1, 1, 4);
  AssertTrue("SUBSCRIBE not empty", p.size() > 2);
  AssertEquals("SUBSCRIBE fixed header byte", 0x82, p[0]);
  AssertEquals("Packet ID hi", 0, p[2]);
  AssertEquals("Packet ID lo", 1, p[3]);
  AssertEquals("Topic len hi", 0, p[4]);
  AssertEquals("Topic len lo", 6, p[5]);
  // Filter length plus the fixed header byte, one remaining-length byte, two
  // identifier bytes and the string's two length bytes.
  const size_t k = 6 + 6;
  AssertTrue("Options byte in bounds", p.size() > k);
  AssertEquals("Subscription options QoS=1", 1, p[k] & 3);
}

void TMQTTPacketTests::TestBuildSubscribePacket_MQTT5HasProperties() {
  const TBytes a = BuildSubscribePacket("a/b", 0, 1, 4);
  const TBytes b = BuildSubscribePacket("a/b", 0, 1, 5);
  AssertEquals("MQTT 5.0 SUBSCRIBE is 1 byte longer than 3.1.1", Len(a) + 1, Len(b));
}

// --- PINGREQ and DISCONNECT ----------------------------------------------------

void TMQTTPacketTests::TestBuildPingReqPacket() {
  AssertBytesEqual(Bytes({0xC0, 0x00}), BuildPingReqPacket(), "PINGREQ");
}

void TMQTTPacketTests::TestBuildDisconnectPacket_MQTT5() {
  AssertBytesEqual(Bytes({0xE0, 0x02, 0x00, 0x00}), BuildDisconnectPacket(0, 5), "DISCONNECT MQTT5");
}

void TMQTTPacketTests::TestBuildDisconnectPacket_MQTT311() {
  AssertBytesEqual(Bytes({0xE0, 0x00}), BuildDisconnectPacket(0, 4), "DISCONNECT MQTT311");
}

void RegisterPacketTests() {
  using T = TMQTTPacketTests;
  RegisterTestSuite<T>("TMQTTPacketTests",
                       {
                           QOR_TEST(T, TestEncodeVarInt_Zero),
                           QOR_TEST(T, TestEncodeVarInt_127),
                           QOR_TEST(T, TestEncodeVarInt_128),
                           QOR_TEST(T, TestEncodeVarInt_16383),
                           QOR_TEST(T, TestEncodeVarInt_Max),
                           QOR_TEST(T, TestDecodeVarInt_RoundTrip),
                           QOR_TEST(T, TestDecodeVarInt_SingleByte),
                           QOR_TEST(T, TestDecodeVarInt_TwoBytes),
                           QOR_TEST(T, TestDecodeVarInt_Truncated),
                           QOR_TEST(T, TestDecodeVarInt_AdvancesOffset),
                           QOR_TEST(T, TestEncodeMQTTString_Simple),
                           QOR_TEST(T, TestEncodeMQTTString_Empty),
                           QOR_TEST(T, TestEncodeMQTTString_Length),
                           QOR_TEST(T, TestWrapWithFixedHeader_Connect),
                           QOR_TEST(T, TestWrapWithFixedHeader_PingReq),
                           QOR_TEST(T, TestBuildConnectPacket_MQTT5),
                           QOR_TEST(T, TestBuildConnectPacket_MQTT311),
                           QOR_TEST(T, TestBuildConnectPacket_WithAuth),
                           QOR_TEST(T, TestBuildConnectPacket_SessionExpiry),
                           QOR_TEST(T, TestBuildPublishPacket_QoS0),
                           QOR_TEST(T, TestBuildPublishPacket_QoS1),
                           QOR_TEST(T, TestBuildPublishPacket_Retain),
                           QOR_TEST(T, TestBuildPublishPacket_MQTT5HasProperties),
                           QOR_TEST(T, TestBuildSubscribePacket),
                           QOR_TEST(T, TestBuildSubscribePacket_MQTT5HasProperties),
                           QOR_TEST(T, TestBuildPingReqPacket),
                           QOR_TEST(T, TestBuildDisconnectPacket_MQTT5),
                           QOR_TEST(T, TestBuildDisconnectPacket_MQTT311),
                       });
}
