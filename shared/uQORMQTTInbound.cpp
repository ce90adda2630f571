// Inbound packets: the dispatch on the packet type and one handler per type.
// All of it runs on the reader thread; the bytes come through TPacketReader.
#include "uQORMQTTClient.h"
#include "uQORMQTTPacketReader.h"
#include "uQORMQTTWorkers.h"

namespace qor {

namespace {

using TGuard = std::lock_guard<std::recursive_mutex>;

// The fields PUBACK, PUBREC, PUBREL and PUBCOMP share.
struct TAck {
  uint16_t PacketId = 0;
  uint8_t ReasonCode = 0;
};

}  // namespace

void TQORMQTTClient::Dispatch(TPacketReader& AIn, uint8_t AFixedHeader, const void* AFrom) {
  const uint8_t packetType = AFixedHeader >> 4;
  const uint8_t flags = AFixedHeader & 0x0F;
  uint32_t remaining;
  if (!AIn.ReadVarInt(remaining)) throw EMalformedPacket("Malformed packet: remaining length longer than four bytes");
  // Each handler reads inside this packet only; what it leaves is skipped.
  AIn.BeginBody(remaining, packetType);
  switch (packetType) {
    case MQTT_CONNACK: HandleConnack(AIn, AFrom); break;
    case MQTT_PUBLISH: HandlePublish(AIn, flags); break;
    case MQTT_PUBACK: HandlePubAck(AIn); break;
    case MQTT_PUBREC: HandlePubRec(AIn); break;
    case MQTT_PUBREL: HandlePubRel(AIn); break;
    case MQTT_PUBCOMP: HandlePubComp(AIn); break;
    case MQTT_SUBACK: HandleSubAck(AIn, "SUBACK packet_id=%d reason=$%2.2X"); break;
    case MQTT_UNSUBACK: HandleSubAck(AIn, "UNSUBACK packet_id=%d reason=$%2.2X"); break;
    case MQTT_PINGRESP: HandlePingResp(AIn); break;
    case MQTT_DISCONNECT: HandleDisconnect(AIn); break;
    default:
      Log("Unknown packet type $%2.2X - discarded", packetType);
  }
  AIn.EndBody();
}

void TQORMQTTClient::HandleConnack(TPacketReader& AIn, const void* AFrom) {
  const int sessionPresent = AIn.ReadByte() & 1;
  const uint8_t reason = AIn.ReadByte();
  FLastConnectReasonCode = reason;
  FLastRecvTime = Now();
  // Its properties are not used: the end of the body skips them.
  FConnectSent.WaitFor(std::max<int64_t>(0, static_cast<int64_t>(ConnectTimeoutSecs) * 1000));
  Log("CONNACK received \xE2\x80\x94 session_present=%d reason=$%2.2X", sessionPresent, reason);
  if (reason == mqrcUnsupportedProtocolVersion && FProtocolLevel == MQTT_PROTOCOL_LEVEL_50) {
    Log("Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1");
    FProtocolLevel = MQTT_PROTOCOL_LEVEL_311;
  }
  if (reason == mqrcSuccess) {
    TGuard guard(FLock);
    // Only the attempt still waiting for this stream may become a session;
    // a CONNACK that arrives after the attempt gave up is too late.
    if (FConnected && FSocket.get() == AFrom) {
      FStatus = mqConnected;
      // A new session knows nothing of QoS 2 messages from an old one.
      if (!sessionPresent) FAwaitingRelease.clear();
    }
  }
  FConnectEvent.Set();
}

void TQORMQTTClient::HandlePublish(TPacketReader& AIn, uint8_t AFlags) {
  const uint8_t qos = (AFlags >> 1) & 3;
  const bool retain = (AFlags & 1) != 0;
  FLastRecvTime = Now();

  const uint16_t topicLen = AIn.ReadWord();
  const std::string topic = AIn.ReadText(topicLen, "Short read on topic");
  uint16_t packetId = 0;
  if (qos == 1 || qos == 2) packetId = AIn.ReadWord();
  if (FProtocolLevel == MQTT_PROTOCOL_LEVEL_50) {
    uint32_t propLen;
    if (!AIn.ReadVarInt(propLen)) throw EMalformedPacket("Malformed packet: PUBLISH property length longer than four bytes");
    AIn.SkipBytes(propLen);
  }
  // The payload is whatever the body holds after the fields.
  const uint32_t payloadLen = AIn.BodyLeft();
  const std::string payload = payloadLen > 0 ? AIn.ReadText(payloadLen, "Short read on payload") : std::string();
  Log("PUBLISH received topic=\"%s\" QoS=%d retain=%s payload_len=%d", topic.c_str(), qos,
      retain ? "True" : "False", static_cast<int>(payloadLen));

  if (qos == 1) {
    SendAck(BuildPubAck(packetId), "PUBACK sent for packet id %d", "Failed to send PUBACK: ",
            packetId);
  } else if (qos == 2) {
    SendAck(BuildPubRecPacket(packetId, 0, FProtocolLevel), "PUBREC sent for packet id %d",
            "Failed to send PUBREC: ", packetId);
    bool firstDelivery;
    {
      TGuard guard(FLock);
      firstDelivery = FAwaitingRelease.insert(packetId).second;
    }
    // A redelivery before PUBREL is acknowledged again, delivered once only.
    if (!firstDelivery) return;
  }
  DoMessageEvent(topic, payload, static_cast<TQORMQTTQoS>(qos));
}

namespace {

// Reads the identifier and reason of an acknowledgement in PUBACK's layout;
// properties that follow are left to the end of the body.
TAck ReadAck(TPacketReader& AIn, uint8_t AProtocolLevel) {
  TAck ack;
  ack.PacketId = AIn.ReadWord();
  if (AProtocolLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.BodyLeft() > 0) ack.ReasonCode = AIn.ReadByte();
  return ack;
}

}  // namespace

void TQORMQTTClient::HandlePubAck(TPacketReader& AIn) {
  const TAck ack = ReadAck(AIn, FProtocolLevel);
  FLastRecvTime = Now();
  Log("PUBACK received packet_id=%d reason=$%2.2X", ack.PacketId, ack.ReasonCode);
  RemovePendingId(ack.PacketId);
}

void TQORMQTTClient::HandlePubRec(TPacketReader& AIn) {
  const TAck ack = ReadAck(AIn, FProtocolLevel);
  FLastRecvTime = Now();
  Log("PUBREC received packet_id=%d reason=$%2.2X", ack.PacketId, ack.ReasonCode);
  // A refusal ends the exchange; otherwise the publication stays pending until PUBCOMP.
  if (ack.ReasonCode >= 0x80) {
    RemovePendingId(ack.PacketId);
    return;
  }
  SendAck(BuildPubRelPacket(ack.PacketId, 0, FProtocolLevel), "PUBREL sent for packet id %d",
          "Failed to send PUBREL: ", ack.PacketId);
}

void TQORMQTTClient::HandlePubRel(TPacketReader& AIn) {
  const TAck ack = ReadAck(AIn, FProtocolLevel);
  FLastRecvTime = Now();
  Log("PUBREL received packet_id=%d reason=$%2.2X", ack.PacketId, ack.ReasonCode);
  {
    TGuard guard(FLock);
    FAwaitingRelease.erase(ack.PacketId);
  }
  SendAck(BuildPubCompPacket(ack.PacketId, 0, FProtocolLevel), "PUBCOMP sent for packet id %d",
          "Failed to send PUBCOMP: ", ack.PacketId);
}

void TQORMQTTClient::HandlePubComp(TPacketReader& AIn) {
  const TAck ack = ReadAck(AIn, FProtocolLevel);
  FLastRecvTime = Now();
  Log("PUBCOMP received packet_id=%d reason=$%2.2X", ack.PacketId, ack.ReasonCode);
  RemovePendingId(ack.PacketId);
}

void TQORMQTTClient::HandleSubAck(TPacketReader& AIn, const char* ALogFormat) {
  FLastRecvTime = Now();
  const uint16_t packetId = AIn.ReadWord();
  uint32_t propLen;
  if (FProtocolLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.BodyLeft() > 0) {
    if (!AIn.ReadVarInt(propLen)) throw EMalformedPacket("Malformed packet: property length longer than four bytes");
    AIn.SkipBytes(propLen);
  }
  // One reason code per filter: the rest of the body.
  while (AIn.BodyLeft() > 0) {
    const uint8_t code = AIn.ReadByte();
    Log(ALogFormat, packetId, code);
  }
}

void TQORMQTTClient::HandlePingResp(TPacketReader&) {
  FLastRecvTime = Now();
  Log("PINGRESP received");
}

void TQORMQTTClient::HandleDisconnect(TPacketReader& AIn) {
  // Without a reason code the reason is 0; properties are left to the end of the body.
  const uint8_t reason = AIn.BodyLeft() > 0 ? AIn.ReadByte() : 0;
  Log("DISCONNECT received from broker reason=$%2.2X", reason);
  FStatus = mqDisconnected;
  DoDisconnectEvent(static_cast<TQORMQTTReasonCode>(reason),
                    Format("Broker disconnected (reason=$%2.2X)", reason));
  if (!FUserDisconnect) StartReconnectThread();
}

void TQORMQTTClient::SendAck(const TBytes& APacket, const char* ASentFormat,
                             const char* AFailedPrefix, uint16_t APacketId) {
  try {
    SendBytes(APacket);
    Log(ASentFormat, APacketId);
  } catch (...) {
    Log("%s%s", AFailedPrefix, DescribeError(std::current_exception()).Message.c_str());
  }
}

}  // namespace qor
