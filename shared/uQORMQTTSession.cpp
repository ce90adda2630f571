#include "uQORMQTTSession.h"

#include <algorithm>
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
  const uint16_t id = FOutbox.TakeId();
  if (id == 0) throw Exception("No packet identifier is free: 65535 requests await acknowledgement");
  return id;
}

uint16_t TQORMQTTSession::WindowLocked() const {
  return FWindow != 0 ? std::min(FWindow, FLimits.ReceiveMaximum) : FLimits.ReceiveMaximum;
}

void TQORMQTTSession::Counted() {
  FPendingCount = FOutbox.Pending();
  FWaitingCount = FOutbox.Waiting();
}

TRequestPacket TQORMQTTSession::Publish(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                                        bool AHeadOnly) {
  TRequestPacket r;
  // QoS 0 keeps nothing, and takes no lock unless something waits before it.
  if (AQoS != mqQoS0 || FWaitingCount != 0) {
    // QoS 1 and 2 are kept for resending after a lost link: copied before
    // the lock. QoS 0 is copied only when it has to wait.
    TOutboundMessage kept{AQoS != mqQoS0 ? std::string(ATopic) : std::string(),
                          AQoS != mqQoS0 ? std::string(APayload) : std::string(), 0, AQoS};
    // Recorded before the packet exists: its acknowledgement may be read
    // before the writer has even returned.
    std::lock_guard<std::mutex> guard(FMutex);
    if (AQoS != mqQoS0) kept.PacketId = r.PacketId = NextPacketIdLocked();
    if (!FOutbox.Sendable(WindowLocked())) {
      // Neither an acknowledgement nor a later publication may overtake it.
      if (AQoS == mqQoS0) {
        kept.Topic = ATopic;
        kept.Payload = APayload;
      }
      r.Held = true;
      FOutbox.AddWaiting(std::move(kept));
      Counted();
      return r;
    }
    if (AQoS != mqQoS0) {
      kept.Sent = true;
      FOutbox.AddInFlight(std::move(kept));
      Counted();
    }
  }
  r.Packet = AHeadOnly ? BuildPublishHeader(ATopic, APayload.size(), AQoS, r.PacketId, FLevel, false, false)
                       : BuildPublishPacket(ATopic, APayload, AQoS, r.PacketId, FLevel, false, false);
  return r;
}

uint16_t TQORMQTTSession::Queue(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                                size_t ALimit) {
  TOutboundMessage kept{std::string(ATopic), std::string(APayload), 0, AQoS};
  kept.Offline = true;
  std::lock_guard<std::mutex> guard(FMutex);
  if (FOutbox.Offline() >= ALimit) throw Exception(Format("Offline queue full (%zu messages)", ALimit));
  if (AQoS != mqQoS0) kept.PacketId = NextPacketIdLocked();
  const uint16_t id = kept.PacketId;
  FOutbox.AddWaiting(std::move(kept));
  Counted();
  return id;
}

void TQORMQTTSession::Unsent(uint16_t APacketId) {
  if (APacketId == 0) return;
  std::lock_guard<std::mutex> guard(FMutex);
  CompleteLocked(APacketId);
}

bool TQORMQTTSession::CompleteLocked(uint16_t APacketId) {
  const bool found = FOutbox.Complete(APacketId);
  Counted();
  return found;
}

void TQORMQTTSession::SendWaiting(ISessionSink& ASink) {
  if (FWaitingCount == 0) return;
  for (;;) {
    TOutboundMessage released;
    TBytes packet;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      packet = FOutbox.ReleaseNext(WindowLocked(), FLevel, released);
      Counted();
    }
    if (packet.empty()) return;
    const bool sent = ASink.Send(std::move(packet));
    if (!ASink.Logging()) continue;
    if (!sent) {
      Log(ASink, "Failed to send PUBLISH for packet id %d: MQTT client is not connected", released.PacketId);
    } else if (released.Received) {
      Log(ASink, "Resending PUBREL packet_id=%d", released.PacketId);
    } else if (released.Sent) {
      Log(ASink, "Resending PUBLISH packet_id=%d (DUP)", released.PacketId);
    } else if (released.Offline) {
      Log(ASink, "PUBLISH sent for packet id %d (queued while offline)", released.PacketId);
    } else {
      Log(ASink, "PUBLISH sent for packet id %d (the broker's Receive Maximum has room again)", released.PacketId);
    }
  }
}

TDiscarded TQORMQTTSession::Discard() {
  TDiscarded discarded;
  std::lock_guard<std::mutex> guard(FMutex);
  discarded.PacketIds = FOutbox.Clear(discarded.Messages);
  for (const auto& [id, request] : FFilterRequests) FOutbox.ReleaseId(id);
  FFilterRequests.clear();
  FSubscriptions.clear();
  Counted();
  return discarded;
}

TBytes TQORMQTTSession::BuildFilterRequest(uint16_t APacketId, const TFilterRequest& ARequest) const {
  if (ARequest.Subscribe) return BuildSubscribePacket(ARequest.Filters, APacketId, FLevel);
  return BuildUnsubscribePacket(ARequest.Filters.front().first, APacketId, FLevel);
}

TRequestPacket TQORMQTTSession::Subscribe(std::string_view ATopic, TQORMQTTQoS AQoS) {
  TRequestPacket r;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    r.PacketId = NextPacketIdLocked();
    FFilterRequests[r.PacketId] = {{{std::string(ATopic), AQoS}}, true, false};
  }
  r.Packet = BuildSubscribePacket(ATopic, AQoS, r.PacketId, FLevel);
  return r;
}

TRequestPacket TQORMQTTSession::Unsubscribe(std::string_view ATopic) {
  TRequestPacket r;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    r.PacketId = NextPacketIdLocked();
    FFilterRequests[r.PacketId] = {{{std::string(ATopic), 0}}, false, false};
  }
  r.Packet = BuildUnsubscribePacket(ATopic, r.PacketId, FLevel);
  return r;
}

TBytes TQORMQTTSession::PingReq() const { return BuildPingReqPacket(); }

TBytes TQORMQTTSession::Disconnect(uint8_t AReasonCode) const { return BuildDisconnectPacket(AReasonCode, FLevel); }

std::map<std::string, uint8_t> TQORMQTTSession::Subscriptions() const {
  std::map<std::string, uint8_t> granted;
  std::lock_guard<std::mutex> guard(FMutex);
  for (const auto& [filter, subscription] : FSubscriptions) granted.emplace(filter, subscription.Granted);
  return granted;
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
  std::vector<TBytes> restore;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FLimits = limits;
    if (reason == mqrcSuccess) restore = RestoreLocked(sessionPresent, ASink);
  }
  for (TBytes& packet : restore) ASink.Send(std::move(packet));
  if (reason == mqrcSuccess) SendWaiting(ASink);
  ASink.Connack(reason, sessionPresent);
  // A publication accepted offline while the link came up joined the queue
  // after it was sent and before the link counted as up: it goes now.
  if (reason == mqrcSuccess) SendWaiting(ASink);
}

std::vector<TBytes> TQORMQTTSession::RestoreLocked(bool AResumed, ISessionSink& ASink) {
  // What was in flight on the last link is owed again, before all else.
  FOutbox.Requeue();
  // Requests the last link never saw answered go again as they were; a
  // resubscription of the last link is made anew below when it is needed.
  std::vector<TBytes> unanswered;
  for (auto it = FFilterRequests.begin(); it != FFilterRequests.end();) {
    if (it->second.Own && !AResumed) {
      FOutbox.ReleaseId(it->first);
      it = FFilterRequests.erase(it);
    } else {
      unanswered.push_back(BuildFilterRequest(it->first, it->second));
      ++it;
    }
  }
  std::vector<TBytes> packets;
  if (!AResumed) {
    // A new session knows nothing of an old one's QoS 2 messages, and no
    // identifier of ours: what it never acknowledged goes out as new.
    FAwaitingRelease.clear();
    FWindow = 0;
    for (const auto& [was, now] : FOutbox.Renumber())
      Log(ASink, "Republishing packet_id=%d as packet_id=%d (the broker kept no session)", was, now);
    if (!FResubscribe) FSubscriptions.clear();
    // Every filter in force, in as few SUBSCRIBEs as the broker's packet size allows.
    TFilterRequest again{{}, true, true};
    size_t size = 0;
    const auto flush = [&] {
      const uint16_t id = again.Filters.empty() ? 0 : FOutbox.TakeId();
      if (id == 0) return;
      packets.push_back(BuildFilterRequest(id, again));
      Log(ASink, "Resubscribing to %zu topic filter(s) packet_id=%d", again.Filters.size(), id);
      FFilterRequests[id] = std::move(again);
      again = {{}, true, true};
      size = 0;
    };
    for (const auto& [filter, subscription] : FSubscriptions) {
      const size_t more = 2 + filter.size() + 1;
      // Fixed header (at most 5 bytes), identifier, property length.
      if (FLimits.MaximumPacketSize != 0 && 8 + size + more > FLimits.MaximumPacketSize) flush();
      again.Filters.emplace_back(filter, subscription.Asked);
      size += more;
    }
    flush();
  }
  // After the resubscription, so that an unsubscribe still owed has the last word.
  for (TBytes& packet : unanswered) packets.push_back(std::move(packet));
  Counted();
  return packets;
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
  // A broker that announced more room than it has (mosquitto, resuming a
  // session it restored from an older save, counts publications it holds
  // from before) refuses one with 0x97: it is kept and sent again, with
  // fewer in flight from then on. Only with one in flight is it given up.
  if ((AType == MQTT_PUBACK || AType == MQTT_PUBREC) && reason == mqrcQuotaExceeded) {
    uint16_t window = 0;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      const size_t inFlight = FOutbox.InFlight();
      if (inFlight > 1 && FOutbox.Refused(id)) window = FWindow = static_cast<uint16_t>(inFlight - 1);
      Counted();
    }
    if (window != 0) {
      Log(ASink, "Quota exceeded for packet_id=%d: kept to be sent again, at most %d in flight from now on", id,
          window);
      return;
    }
  }
  // A PUBREC refusal ends the exchange; otherwise a QoS 2 publication stays
  // pending until PUBCOMP.
  if (AType == MQTT_PUBACK || AType == MQTT_PUBCOMP || (AType == MQTT_PUBREC && reason >= 0x80)) {
    bool found;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      found = CompleteLocked(id);
    }
    // An acknowledgement of nothing in flight (a duplicate) ends nothing.
    if (found) ASink.PublishComplete(id, reason);
    SendWaiting(ASink);
  } else if (AType == MQTT_PUBREC) {
    {
      std::lock_guard<std::mutex> guard(FMutex);
      FOutbox.MarkReceived(id);
    }
    SendAck(ASink, BuildPubRelPacket(id, 0, FLevel), "PUBREL sent for packet id %d", "Failed to send PUBREL: ", id);
  } else if (AType == MQTT_PUBREL) {
    {
      std::lock_guard<std::mutex> guard(FMutex);
      FAwaitingRelease.erase(id);
    }
    SendAck(ASink, BuildPubCompPacket(id, 0, FLevel), "PUBCOMP sent for packet id %d", "Failed to send PUBCOMP: ", id);
  }
}

void TQORMQTTSession::HandleSubAck(TBody& AIn, bool AUnsubscribe, ISessionSink& ASink) {
  const uint16_t id = AIn.Word();
  if (FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0) AIn.SkipProperties();
  const char* format = AUnsubscribe ? "UNSUBACK packet_id=%d reason=$%2.2X" : "SUBACK packet_id=%d reason=$%2.2X";
  // One reason code per filter: the rest of the body (a 3.1.1 UNSUBACK has none).
  std::vector<TQORMQTTReasonCode> codes;
  while (AIn.Left() > 0) {
    codes.push_back(static_cast<TQORMQTTReasonCode>(AIn.Byte()));
    Log(ASink, format, id, codes.back());
  }
  bool own = true;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    const auto request = FFilterRequests.find(id);
    if (request == FFilterRequests.end() || request->second.Subscribe == AUnsubscribe) return;
    own = request->second.Own;
    const TFilters& filters = request->second.Filters;
    for (size_t i = 0; i < filters.size(); ++i) {
      const auto& [filter, asked] = filters[i];
      if (AUnsubscribe) {
        FSubscriptions.erase(filter);
      } else if (i < codes.size() && codes[i] < 0x80) {
        // A granted filter's code is the QoS granted.
        FSubscriptions[filter] = {asked, codes[i]};
      } else {
        FSubscriptions.erase(filter);
      }
    }
    FFilterRequests.erase(request);
    FOutbox.ReleaseId(id);
  }
  if (!own) ASink.SubscribeComplete(id, codes, AUnsubscribe);
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
