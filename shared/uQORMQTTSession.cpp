#include "uQORMQTTSession.h"

#include <cstring>

#include "uQORFormat.h"
#include "uQORMQTTFramer.h"

namespace qor {

namespace {

template <typename TFirst, typename... TRest>
void Log(ISessionSink& ASink, const char* AFormat, TFirst AFirst, TRest... ARest) {
  if (ASink.Logging()) ASink.Log(Format(AFormat, AFirst, ARest...));
}

void Log(ISessionSink& ASink, const char* ALine) {
  if (ASink.Logging()) ASink.Log(ALine);
}

const char* PacketName(uint8_t AType) {
  static const char* const kNames[16] = {"reserved", "CONNECT", "CONNACK", "PUBLISH", "PUBACK", "PUBREC",
                                         "PUBREL", "PUBCOMP", "SUBSCRIBE", "SUBACK", "UNSUBSCRIBE",
                                         "UNSUBACK", "PINGREQ", "PINGRESP", "DISCONNECT", "AUTH"};
  return kNames[AType & 0x0F];
}

}  // namespace

// The fields of one packet's body; a field that runs past its end makes the
// packet malformed, so no handler can read into the packet after it.
class TQORMQTTSession::TBody {
 public:
  TBody(const std::string& ABody, uint8_t AType) : FData(ABody), FType(AType) {}

  size_t Left() const { return FData.size() - FPos; }
  size_t Position() const { return FPos; }
  uint8_t Byte() {
    Need(1);
    return static_cast<uint8_t>(FData[FPos++]);
  }
  uint16_t Word() {
    Need(2);
    const uint16_t w = static_cast<uint16_t>((static_cast<uint8_t>(FData[FPos]) << 8) |
                                             static_cast<uint8_t>(FData[FPos + 1]));
    FPos += 2;
    return w;
  }
  std::string Text(size_t ALength) {
    Need(ALength);
    FPos += ALength;
    return FData.substr(FPos - ALength, ALength);
  }
  uint32_t DWord() {
    const uint32_t high = Word();
    return high << 16 | Word();
  }
  uint32_t VarInt(const char* AWhat) {
    uint32_t value = 0;
    for (int i = 0;; ++i) {
      if (i == 4) throw EMalformedPacket(Format("Malformed packet: %s %s longer than four bytes", PacketName(FType), AWhat));
      const uint8_t b = Byte();
      value |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) return value;
    }
  }
  // A property block's length, checked against what the body holds.
  size_t PropertyLength() {
    const uint32_t length = VarInt("property length");
    Need(length);
    return length;
  }
  // A property block (at level 5): its length, then that many bytes skipped.
  void SkipProperties() { FPos += PropertyLength(); }
  // Each property of a block: AReadOne reads the one named by its identifier
  // and answers false for an identifier it does not know (a malformed packet).
  template <typename TReadOne>
  void ForEachProperty(TReadOne AReadOne) {
    const size_t length = PropertyLength();
    const size_t end = FPos + length;
    while (FPos < end)
      if (!AReadOne(Byte())) Malformed("with an unknown property");
    if (FPos != end) Malformed("with a property running past its block");
  }
  void Malformed(const char* AWhy) const {
    throw EMalformedPacket(Format("Malformed packet: %s %s", PacketName(FType), AWhy));
  }

 private:
  void Need(size_t ACount) const {
    if (ACount > Left())
      throw EMalformedPacket(Format("Malformed packet: %s with remaining length %zu is shorter than its fields",
                                    PacketName(FType), FData.size()));
  }

  const std::string& FData;
  uint8_t FType;
  size_t FPos = 0;
};

// --- requests -------------------------------------------------------------------

TBytes TQORMQTTSession::Connect(bool ACleanStart, uint16_t AKeepAliveSecs, std::string_view AClientID,
                                std::string_view AUsername, std::string_view APassword,
                                uint32_t ASessionExpiryInterval, uint16_t AReceiveMaximum,
                                uint32_t AMaximumPacketSize) const {
  return BuildConnectPacket(FLevel, ACleanStart, AKeepAliveSecs, AClientID, AUsername, APassword,
                            ASessionExpiryInterval, AReceiveMaximum, AMaximumPacketSize);
}

uint16_t TQORMQTTSession::NextPacketIdLocked() {
  const uint16_t id = FNextPacketId;
  if (++FNextPacketId == 0) FNextPacketId = 1;
  return id;
}

TRequestPacket TQORMQTTSession::Publish(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                                        bool AHeadOnly) {
  TRequestPacket r;
  if (AQoS != mqQoS0) {
    // Recorded before the packet exists: its acknowledgement may be read
    // before the writer has even returned.
    std::lock_guard<std::mutex> guard(FMutex);
    r.PacketId = NextPacketIdLocked();
    FPending.push_back(r.PacketId);
    FPendingCount = FPending.size();
    if (FInFlight < FLimits.ReceiveMaximum && FHeld.empty()) {
      ++FInFlight;
    } else {
      // Built and kept under the lock, so that neither an acknowledgement
      // nor a later publication can overtake it.
      r.Held = true;
      FHeld.push_back({r.PacketId, BuildPublishPacket(ATopic, APayload, AQoS, r.PacketId, FLevel, false, false)});
      return r;
    }
  }
  r.Packet = AHeadOnly ? BuildPublishHeader(ATopic, APayload.size(), AQoS, r.PacketId, FLevel, false, false)
                       : BuildPublishPacket(ATopic, APayload, AQoS, r.PacketId, FLevel, false, false);
  return r;
}

void TQORMQTTSession::Unsent(uint16_t APacketId) {
  if (APacketId != 0) RemovePending(APacketId);
}

void TQORMQTTSession::RemovePending(uint16_t APacketId) {
  std::lock_guard<std::mutex> guard(FMutex);
  if (FInFlight > 0) --FInFlight;
  // Acknowledgements mostly come in order: the oldest entry is the usual match.
  for (auto it = FPending.begin(); it != FPending.end(); ++it) {
    if (*it == APacketId) {
      FPending.erase(it);
      FPendingCount = FPending.size();
      return;
    }
  }
}

void TQORMQTTSession::ReleaseHeld(ISessionSink& ASink) {
  for (;;) {
    TRequestPacket next;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      if (FHeld.empty() || FInFlight >= FLimits.ReceiveMaximum) return;
      next = std::move(FHeld.front());
      FHeld.pop_front();
      ++FInFlight;
    }
    if (ASink.Send(std::move(next.Packet))) {
      Log(ASink, "PUBLISH sent for packet id %d (the broker's Receive Maximum has room again)", next.PacketId);
    } else {
      Log(ASink, "Failed to send PUBLISH for packet id %d: MQTT client is not connected", next.PacketId);
    }
  }
}

TRequestPacket TQORMQTTSession::Subscribe(std::string_view ATopic, TQORMQTTQoS AQoS) {
  TRequestPacket r;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    r.PacketId = NextPacketIdLocked();
    FFilterRequests[r.PacketId] = {std::string(ATopic), true};
  }
  r.Packet = BuildSubscribePacket(ATopic, AQoS, r.PacketId, FLevel);
  return r;
}

TRequestPacket TQORMQTTSession::Unsubscribe(std::string_view ATopic) {
  TRequestPacket r;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    r.PacketId = NextPacketIdLocked();
    FFilterRequests[r.PacketId] = {std::string(ATopic), false};
  }
  r.Packet = BuildUnsubscribePacket(ATopic, r.PacketId, FLevel);
  return r;
}

TBytes TQORMQTTSession::PingReq() const { return BuildPingReqPacket(); }

TBytes TQORMQTTSession::Disconnect(uint8_t AReasonCode) const { return BuildDisconnectPacket(AReasonCode, FLevel); }

std::map<std::string, uint8_t> TQORMQTTSession::Subscriptions() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FSubscriptions;
}

TBrokerLimits TQORMQTTSession::Limits() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FLimits;
}

// --- the broker's packets -----------------------------------------------------------

void TQORMQTTSession::Receive(uint8_t AHeader, std::string& ABody, ISessionSink& ASink) {
  const uint8_t type = AHeader >> 4;
  TBody in(ABody, type);
  switch (type) {
    case MQTT_CONNACK: HandleConnack(in, ASink); break;
    case MQTT_PUBLISH: HandlePublish(in, AHeader & 0x0F, ABody, ASink); break;
    case MQTT_PUBACK:
    case MQTT_PUBREC:
    case MQTT_PUBREL:
    case MQTT_PUBCOMP: HandleAck(in, type, ASink); break;
    case MQTT_SUBACK: HandleSubAck(in, false, ASink); break;
    case MQTT_UNSUBACK: HandleSubAck(in, true, ASink); break;
    case MQTT_PINGRESP: Log(ASink, "PINGRESP received"); break;
    case MQTT_DISCONNECT: HandleDisconnect(in, ASink); break;
    default: Log(ASink, "Unknown packet type $%2.2X - discarded", type);
  }
}

std::string TBrokerWords::Describe() const {
  std::string text;
  if (!ReasonString.empty()) text += " \"" + ReasonString + "\"";
  for (size_t i = 0; i < UserProperties.size(); ++i)
    text += (i == 0 ? " [" : ", ") + UserProperties[i].first + "=" + UserProperties[i].second +
            (i + 1 == UserProperties.size() ? "]" : "");
  if (!ServerReference.empty()) text += " server=" + ServerReference;
  return text;
}

bool TQORMQTTSession::ReadWords(TBody& AIn, uint8_t AId, TBrokerWords& AWords) {
  switch (AId) {
    case 0x1F: AWords.ReasonString = AIn.Text(AIn.Word()); return true;
    case 0x1C: AWords.ServerReference = AIn.Text(AIn.Word()); return true;
    case 0x26: {
      std::string key = AIn.Text(AIn.Word());
      AWords.UserProperties.emplace_back(std::move(key), AIn.Text(AIn.Word()));
      return true;
    }
    default: return false;
  }
}

// The properties of a CONNACK; those a client has no use for are skipped by
// their type, and an unknown identifier makes the packet malformed.
TBrokerLimits TQORMQTTSession::ReadConnackProperties(TBody& AIn) {
  TBrokerLimits limits;
  AIn.ForEachProperty([&](uint8_t AId) {
    switch (AId) {
      case 0x13: limits.ServerKeepAlive = AIn.Word(); return true;
      case 0x21: limits.ReceiveMaximum = AIn.Word(); return true;
      case 0x27: limits.MaximumPacketSize = AIn.DWord(); return true;
      case 0x24: limits.MaximumQoS = AIn.Byte(); return true;
      case 0x25: limits.RetainAvailable = AIn.Byte() != 0; return true;
      case 0x12: limits.AssignedClientIdentifier = AIn.Text(AIn.Word()); return true;
      case 0x22: limits.TopicAliasMaximum = AIn.Word(); return true;
      case 0x28: limits.WildcardSubscriptionAvailable = AIn.Byte() != 0; return true;
      case 0x29: limits.SubscriptionIdentifiersAvailable = AIn.Byte() != 0; return true;
      case 0x2A: limits.SharedSubscriptionAvailable = AIn.Byte() != 0; return true;
      case 0x11: AIn.DWord(); return true;  // session expiry interval
      case 0x1A:                            // response information
      case 0x15:                            // authentication method
      case 0x16: AIn.Text(AIn.Word()); return true;  // authentication data
      default: return ReadWords(AIn, AId, limits.Words);
    }
  });
  if (limits.ReceiveMaximum == 0 || (limits.MaximumQoS > 1 && limits.MaximumQoS != 2))
    AIn.Malformed("with an invalid property value");
  return limits;
}

void TQORMQTTSession::HandleConnack(TBody& AIn, ISessionSink& ASink) {
  const bool sessionPresent = (AIn.Byte() & 1) != 0;
  const uint8_t reason = AIn.Byte();
  // At level 5 the properties follow (a 3.1.1 broker refusing 5.0 sends none).
  const TBrokerLimits limits =
      FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0 ? ReadConnackProperties(AIn) : TBrokerLimits{};
  Log(ASink, "CONNACK received \xE2\x80\x94 session_present=%d reason=$%2.2X%s", sessionPresent ? 1 : 0, reason,
      limits.Words.Describe().c_str());
  if (RefusesLevel5(reason) && FLevel == MQTT_PROTOCOL_LEVEL_50) {
    Log(ASink, "Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1");
    FLevel = MQTT_PROTOCOL_LEVEL_311;
  }
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FLimits = limits;
  }
  if (reason == mqrcSuccess) {
    std::lock_guard<std::mutex> guard(FMutex);
    // Nothing of ours is in flight on a new link.
    FInFlight = 0;
    // Requests of an earlier link are never answered on this one.
    FFilterRequests.clear();
    // A new session knows nothing of an old one's QoS 2 messages and subscriptions.
    if (!sessionPresent) {
      FAwaitingRelease.clear();
      FSubscriptions.clear();
    }
  }
  ASink.Connack(reason, sessionPresent);
  if (reason == mqrcSuccess) ReleaseHeld(ASink);
}

void TQORMQTTSession::HandlePublish(TBody& AIn, uint8_t AFlags, std::string& ABody, ISessionSink& ASink) {
  const uint8_t qos = (AFlags >> 1) & 3;
  if (qos == 3) throw EMalformedPacket("Malformed packet: PUBLISH with QoS 3");
  const bool retain = (AFlags & 1) != 0;
  std::string topic = AIn.Text(AIn.Word());
  const uint16_t packetId = qos > 0 ? AIn.Word() : 0;
  if (FLevel == MQTT_PROTOCOL_LEVEL_50) AIn.SkipProperties();
  // The payload is the rest of the body, taken over in place rather than copied.
  ABody.erase(0, AIn.Position());
  const std::string payload = std::move(ABody);
  Log(ASink, "PUBLISH received topic=\"%s\" QoS=%d retain=%s payload_len=%d", topic.c_str(), qos,
      retain ? "True" : "False", static_cast<int>(payload.size()));
  if (qos == 1) {
    SendAck(ASink, BuildPubAckPacket(packetId, 0, FLevel), "PUBACK sent for packet id %d", "Failed to send PUBACK: ",
            packetId);
  } else if (qos == 2) {
    SendAck(ASink, BuildPubRecPacket(packetId, 0, FLevel), "PUBREC sent for packet id %d", "Failed to send PUBREC: ",
            packetId);
    bool firstDelivery;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      firstDelivery = FAwaitingRelease.insert(packetId).second;
    }
    // A redelivery before PUBREL is acknowledged again, delivered once only.
    if (!firstDelivery) return;
  }
  ASink.Deliver(topic, payload, static_cast<TQORMQTTQoS>(qos));
}

void TQORMQTTSession::HandleAck(TBody& AIn, uint8_t AType, ISessionSink& ASink) {
  const uint16_t id = AIn.Word();
  // Properties after the reason code are not used.
  const uint8_t reason = FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0 ? AIn.Byte() : 0;
  Log(ASink, "%s received packet_id=%d reason=$%2.2X", PacketName(AType), id, reason);
  switch (AType) {
    case MQTT_PUBACK:
    case MQTT_PUBCOMP:
      RemovePending(id);
      ReleaseHeld(ASink);
      break;
    case MQTT_PUBREC:
      // A refusal ends the exchange; otherwise the publication stays pending until PUBCOMP.
      if (reason >= 0x80) {
        RemovePending(id);
        ReleaseHeld(ASink);
      } else {
        SendAck(ASink, BuildPubRelPacket(id, 0, FLevel), "PUBREL sent for packet id %d", "Failed to send PUBREL: ",
                id);
      }
      break;
    case MQTT_PUBREL:
      {
        std::lock_guard<std::mutex> guard(FMutex);
        FAwaitingRelease.erase(id);
      }
      SendAck(ASink, BuildPubCompPacket(id, 0, FLevel), "PUBCOMP sent for packet id %d", "Failed to send PUBCOMP: ",
              id);
      break;
  }
}

void TQORMQTTSession::HandleSubAck(TBody& AIn, bool AUnsubscribe, ISessionSink& ASink) {
  const uint16_t id = AIn.Word();
  if (FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0) AIn.SkipProperties();
  std::string text;
  bool asked = false;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    const auto request = FFilterRequests.find(id);
    if (request != FFilterRequests.end()) {
      text = std::move(request->second.Topic);
      asked = request->second.Subscribe != AUnsubscribe;
      FFilterRequests.erase(request);
    }
  }
  const char* format = AUnsubscribe ? "UNSUBACK packet_id=%d reason=$%2.2X" : "SUBACK packet_id=%d reason=$%2.2X";
  // One reason code per filter: the rest of the body (a 3.1.1 UNSUBACK has none).
  int firstCode = -1;
  while (AIn.Left() > 0) {
    const uint8_t code = AIn.Byte();
    if (firstCode < 0) firstCode = code;
    Log(ASink, format, id, code);
  }
  if (!asked) return;
  std::lock_guard<std::mutex> guard(FMutex);
  if (AUnsubscribe) {
    FSubscriptions.erase(text);
  } else if (firstCode >= 0 && firstCode < 0x80) {
    // Our SUBSCRIBE carries one filter; its code is the QoS granted.
    FSubscriptions[text] = static_cast<uint8_t>(firstCode);
  }
}

void TQORMQTTSession::HandleDisconnect(TBody& AIn, ISessionSink& ASink) {
  // Without a reason code the reason is 0.
  const uint8_t reason = AIn.Left() > 0 ? AIn.Byte() : 0;
  TBrokerWords words;
  if (FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0) {
    AIn.ForEachProperty([&](uint8_t AId) {
      if (AId != 0x11) return ReadWords(AIn, AId, words);
      AIn.DWord();  // session expiry interval
      return true;
    });
  }
  Log(ASink, "DISCONNECT received from broker reason=$%2.2X%s", reason, words.Describe().c_str());
  ASink.BrokerDisconnect(reason, words);
}

void TQORMQTTSession::SendAck(ISessionSink& ASink, TBytes APacket, const char* ASentFormat,
                              const char* AFailedPrefix, uint16_t APacketId) {
  if (ASink.Send(std::move(APacket))) {
    Log(ASink, ASentFormat, APacketId);
  } else {
    Log(ASink, "%sMQTT client is not connected", AFailedPrefix);
  }
}

std::string TQORMQTTSession::DescribeTruncated(uint8_t AHeader, const std::string& APartial) const {
  constexpr const char* kClosed = "Connection closed or read timeout";
  if ((AHeader >> 4) != MQTT_PUBLISH || APartial.size() < 2) return kClosed;
  // PUBLISH names the field the stream ended in: its topic or its payload.
  const size_t topicEnd = 2 + ((static_cast<uint8_t>(APartial[0]) << 8) | static_cast<uint8_t>(APartial[1]));
  if (APartial.size() < topicEnd) return "Short read on topic";
  size_t pos = topicEnd + (((AHeader >> 1) & 3) != 0 ? 2 : 0);
  if (FLevel == MQTT_PROTOCOL_LEVEL_50) {
    uint32_t length = 0;
    for (int i = 0;; ++i, ++pos) {
      if (pos >= APartial.size() || i == 4) return kClosed;
      const uint8_t b = static_cast<uint8_t>(APartial[pos]);
      length |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) break;
    }
    pos += 1 + length;
  }
  return APartial.size() < pos ? kClosed : "Short read on payload";
}

size_t TQORMQTTSession::Feed(IByteSource& ASource, ISessionSink& ASink) {
  TPacketFramer framer(ASource);
  size_t received = 0;
  uint8_t header;
  std::string body;
  try {
    while (framer.Next(header, body)) {
      Receive(header, body, ASink);
      ++received;
    }
  } catch (const ESocketError&) {
    // Truncated or malformed: where a reader would end the link.
  }
  return received;
}

}  // namespace qor
