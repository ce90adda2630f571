// The offline suite: the wire encoders against exact bytes.
#pragma once

#include <string>

#include "TestCase.h"
#include "uQORMQTTProtocol.h"

class TMQTTPacketTests : public qor::TTestCase {
 public:
  // Every byte as "$%2.2X", separated by blanks; "(empty)" for no bytes.
  static std::string BytesToHex(const qor::TBytes& AData);
  // Fails the running check unless both arrays hold the same bytes; the
  // length is compared first, so a dump of both arrays accompanies it.
  static void AssertBytesEqual(const qor::TBytes& AExpected, const qor::TBytes& AActual,
                               const std::string& AContext, TWhere AWhere = TWhere::current());

  void TestEncodeVarInt_Zero();
  void TestEncodeVarInt_127();
  void TestEncodeVarInt_128();
  void TestEncodeVarInt_16383();
  void TestEncodeVarInt_Max();
  void TestDecodeVarInt_RoundTrip();
  void TestDecodeVarInt_SingleByte();
  void TestDecodeVarInt_TwoBytes();
  void TestDecodeVarInt_Truncated();
  void TestDecodeVarInt_AdvancesOffset();
  void TestEncodeMQTTString_Simple();
  void TestEncodeMQTTString_Empty();
  void TestEncodeMQTTString_Length();
  void TestWrapWithFixedHeader_Connect();
  void TestWrapWithFixedHeader_PingReq();
  void TestBuildConnectPacket_MQTT5();
  void TestBuildConnectPacket_MQTT311();
  void TestBuildConnectPacket_WithAuth();
  void TestBuildConnectPacket_SessionExpiry();
  void TestBuildPublishPacket_QoS0();
  void TestBuildPublishPacket_QoS1();
  void TestBuildPublishPacket_Retain();
  void TestBuildPublishPacket_MQTT5HasProperties();
  void TestBuildSubscribePacket();
  void TestBuildSubscribePacket_MQTT5HasProperties();
  void TestBuildPingReqPacket();
  void TestBuildDisconnectPacket_MQTT5();
  void TestBuildDisconnectPacket_MQTT311();
};

void RegisterPacketTests();
