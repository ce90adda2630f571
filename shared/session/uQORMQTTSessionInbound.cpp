// The broker's packets as the session takes them: each one checked against
// what MQTT allows the broker to send, its answers and events through the
// sink, and what a new link owes once its CONNACK has come.
#include <algorithm>

#include "uQORFormat.h"
#include "uQORMQTTFramer.h"
#include "uQORMQTTSession.h"
#include "uQORMQTTTopics.h"

namespace qor {

// The fields of one packet's body, with what the session's handlers add to
// reading them: the property block and the packets the broker must not send.
class TQORMQTTSession::TBody : public TFieldReader {
 public:
  TBody(const std::string& ABody, uint8_t AType) : TFieldReader(ABody, PacketName(AType)) {}

  // A property block (at level 5) into AOut.
  void ReadProperties(TQORMQTTProperties& AOut) {
    if (!NoProperties()) Skip(DecodeProperties(Data(), Position(), Packet(), AOut) - Position());
  }
  // True, and past it, when the property block is empty.
  bool NoProperties() {
    if (Left() == 0 || Data()[Position()] != 0) return false;
    Skip(1);
    return true;
  }
  // A packet the broker must not send: the link ends with AReasonCode.
  [[noreturn]] void Forbidden(uint8_t AReasonCode, const std::string& AWhy) const {
    throw EProtocolError(AReasonCode, Format("Protocol error: %s %s", Packet(), AWhy.c_str()));
  }
};

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
    case MQTT_PINGRESP: LogTo(ASink, "PINGRESP received"); break;
    case MQTT_DISCONNECT: HandleDisconnect(in, ASink); break;
    // Without enhanced authentication asked for, an AUTH is nothing the client knows.
    case MQTT_AUTH:
      if (Authenticating()) {
        HandleAuth(in, ASink);
        break;
      }
      [[fallthrough]];
    default: LogTo(ASink, "Unknown packet type $%2.2X - discarded", type);
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

namespace {

TBrokerWords WordsOf(const TQORMQTTProperties& AProperties) {
  return {AProperties.ReasonString.value_or(""), AProperties.UserProperties,
          AProperties.ServerReference.value_or("")};
}

// The words as a log line ends with them; nothing is copied when none came.
std::string Said(const TQORMQTTProperties& AProperties) {
  if (!AProperties.ReasonString && AProperties.UserProperties.empty() && !AProperties.ServerReference) return {};
  return WordsOf(AProperties).Describe();
}

}  // namespace

void TQORMQTTSession::Acknowledge(ISessionSink& ASink, uint8_t AType, uint16_t APacketId,
                                  std::vector<uint8_t> ACodes, TQORMQTTProperties& AProperties) {
  if (!ASink.WantsAcknowledgements()) return;
  ASink.Acknowledged({AType, APacketId, std::move(ACodes), std::move(AProperties.ReasonString),
                      std::move(AProperties.UserProperties)});
}

// What a CONNACK announces; a property it leaves out keeps its default.
TBrokerLimits TQORMQTTSession::ReadConnackProperties(TBody& AIn, TQORMQTTProperties& AProperties) {
  AIn.ReadProperties(AProperties);
  const TQORMQTTProperties& p = AProperties;
  TBrokerLimits limits;
  limits.ServerKeepAlive = p.ServerKeepAlive;
  limits.ReceiveMaximum = p.ReceiveMaximum.value_or(limits.ReceiveMaximum);
  limits.MaximumPacketSize = p.MaximumPacketSize.value_or(0);
  limits.MaximumQoS = p.MaximumQoS.value_or(2);
  limits.RetainAvailable = p.RetainAvailable.value_or(1) != 0;
  limits.AssignedClientIdentifier = p.AssignedClientIdentifier.value_or("");
  limits.TopicAliasMaximum = p.TopicAliasMaximum.value_or(0);
  limits.WildcardSubscriptionAvailable = p.WildcardSubscriptionAvailable.value_or(1) != 0;
  limits.SubscriptionIdentifiersAvailable = p.SubscriptionIdentifierAvailable.value_or(1) != 0;
  limits.SharedSubscriptionAvailable = p.SharedSubscriptionAvailable.value_or(1) != 0;
  limits.Words = WordsOf(p);
  return limits;
}

void TQORMQTTSession::HandleConnack(TBody& AIn, ISessionSink& ASink) {
  {
    // Taking a second one as a new session would republish what is in
    // flight under new identifiers, duplicating it at the receivers.
    std::lock_guard<std::mutex> guard(FMutex);
    if (FLinkPhase == TLinkPhase::Connacked) AIn.Forbidden(mqrcProtocolError, "received a second time on one link");
    FLinkPhase = TLinkPhase::Connacked;
  }
  const bool sessionPresent = (AIn.Byte() & 1) != 0;
  const uint8_t reason = AIn.Byte();
  // At level 5 the properties follow (a 3.1.1 broker refusing 5.0 sends none).
  TQORMQTTProperties properties;
  const TBrokerLimits limits =
      FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0 ? ReadConnackProperties(AIn, properties) : TBrokerLimits{};
  LogTo(ASink, "CONNACK received \xE2\x80\x94 session_present=%d reason=$%2.2X%s", sessionPresent ? 1 : 0, reason,
      limits.Words.Describe().c_str());
  if (RefusesLevel5(reason) && FLevel == MQTT_PROTOCOL_LEVEL_50) {
    LogTo(ASink, "Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1");
    FLevel = MQTT_PROTOCOL_LEVEL_311;
  }
  TRestore restore;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FLimits = limits;
    FMaxPacketSize = limits.MaximumPacketSize;
    FMaxQoS = limits.MaximumQoS;
    FRetainAvailable = limits.RetainAvailable;
    FServerKeepAlive = limits.ServerKeepAlive ? int32_t{*limits.ServerKeepAlive} : -1;
    if (reason == mqrcSuccess && !limits.AssignedClientIdentifier.empty())
      FAssignedClientID = limits.AssignedClientIdentifier;
    // Aliases, both ways, live as long as one link.
    FAliases.clear();
    ++FAliasEpoch;
    FAliasing = FAliasesWanted && FLevel == MQTT_PROTOCOL_LEVEL_50 && limits.TopicAliasMaximum > 0;
    FInAliases.assign(FInAliasMaximum, std::string());
    if (reason == mqrcSuccess) restore = RestoreLocked(sessionPresent);
  }
  // The sink may call back into the session (a log listener that publishes): never under the lock.
  if (ASink.Logging())
    for (const std::string& line : restore.Lines) ASink.Log(line);
  Acknowledge(ASink, MQTT_CONNACK, 0, {reason}, properties);
  for (const auto& [id, refusal] : restore.Refused) ASink.PublishComplete(id, refusal);
  for (TBytes& packet : restore.Packets) ASink.Send(std::move(packet));
  if (reason == mqrcSuccess) SendWaiting(ASink);
  ASink.Connack(reason, sessionPresent);
  // A publication accepted offline while the link came up joined the queue
  // after it was sent and before the link counted as up: it goes now.
  if (reason == mqrcSuccess) SendWaiting(ASink);
}

TQORMQTTSession::TRestore TQORMQTTSession::RestoreLocked(bool AResumed) {
  TRestore restore;
  // What was in flight on the last link is owed again, before all else.
  FOutbox.Requeue();
  // A resubscription still waiting is made anew below, when it is needed.
  FDeferred.clear();
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
  std::vector<TBytes>& packets = restore.Packets;
  if (!AResumed) {
    // A new session knows nothing of an old one's QoS 2 messages, and no
    // identifier of ours: what it never acknowledged goes out as new, under
    // the identifier the caller was given (which the complete events report).
    FAwaitingRelease.clear();
    FWindow = 0;
    for (const uint16_t id : FOutbox.Renew())
      restore.Lines.push_back(Format("Republishing packet_id=%d as a new message (the broker kept no session)", id));
    if (!FResubscribe) FSubscriptions.clear();
    // Every filter in force, in as few SUBSCRIBEs as the broker's packet
    // size allows; one per subscription identifier, which is the packet's.
    std::map<uint32_t, TFilters> byIdentifier;
    for (const auto& [filter, subscription] : FSubscriptions)
      byIdentifier[subscription.SubscriptionId].emplace_back(filter, subscription.Asked);
    for (const auto& [identifier, filters] : byIdentifier) {
      TFilterRequest again{{}, true, true, identifier};
      TQORMQTTProperties properties;
      if (identifier != 0) properties.SubscriptionIdentifiers = {identifier};
      const size_t empty = SubscribeContentSize({}, FLevel, properties);
      size_t size = empty;
      const auto flush = [&] {
        if (again.Filters.empty()) return;
        const uint16_t id = FOutbox.TakeId();
        if (id == 0) {
          // Every identifier is taken by publications: the subscription must
          // not be lost silently, it goes as soon as one comes free.
          restore.Lines.push_back(Format("Resubscribing to %zu topic filter(s) waits for a free packet identifier",
                                         again.Filters.size()));
          FDeferred.push_back(std::move(again));
        } else {
          packets.push_back(BuildFilterRequest(id, again));
          restore.Lines.push_back(
              Format("Resubscribing to %zu topic filter(s) packet_id=%d", again.Filters.size(), id));
          FFilterRequests[id] = std::move(again);
        }
        again = {{}, true, true, identifier};
        size = empty;
      };
      for (const auto& [filter, options] : filters) {
        const size_t more = SubscribeFilterSize(filter);
        if (FLimits.MaximumPacketSize != 0 && PacketSize(size + more) > FLimits.MaximumPacketSize) flush();
        again.Filters.emplace_back(filter, options);
        size += more;
      }
      flush();
    }
  }
  // After the resubscription, so that an unsubscribe still owed has the last word.
  for (TBytes& packet : unanswered) packets.push_back(std::move(packet));
  // What this broker forbids would end the link on every reconnect: given up
  // now, with the reason MQTT gives for it.
  const TPublishLimits limits{FLimits.MaximumQoS, FLimits.RetainAvailable, FLimits.MaximumPacketSize, FLevel};
  for (const auto& [message, reason] : FOutbox.TakeForbidden(limits)) {
    const std::string why = reason == 0x9B   ? Format("Maximum QoS is %d", limits.MaximumQoS)
                            : reason == 0x9A ? std::string("Retain Available is 0")
                                             : Format("Maximum Packet Size is %u bytes", limits.MaximumPacketSize);
    restore.Lines.push_back(Format("PUBLISH packet_id=%d topic=\"%s\" QoS=%d given up: the broker's %s (reason=$%2.2X)",
                                   message.PacketId, message.Topic.c_str(), message.QoS, why.c_str(), reason));
    if (message.QoS != 0) restore.Refused.emplace_back(message.PacketId, reason);
    // Ended before the lock goes: whoever sees it gone (a Flush) sees it ended.
    EndRequest(message.Handle, ocForbidden, reason);
  }
  Counted();
  return restore;
}

void TQORMQTTSession::HandlePublish(TBody& AIn, uint8_t AFlags, std::string& ABody, ISessionSink& ASink) {
  const uint8_t qos = (AFlags >> 1) & 3;
  if (qos == 3) throw EMalformedPacket("Malformed packet: PUBLISH with QoS 3");
  if (FLinkPhase == TLinkPhase::AwaitingConnack) AIn.Forbidden(mqrcProtocolError, "before the CONNACK");
  TQORMQTTMessage m;
  m.QoS = static_cast<TQORMQTTQoS>(qos);
  m.Retain = (AFlags & 1) != 0;
  m.Dup = (AFlags & 8) != 0;
  m.Topic = AIn.Text(AIn.Word());
  // A subscriber matching on it would take the wildcard for a literal level.
  if (HasWildcard(m.Topic))
    AIn.Forbidden(mqrcProtocolError, "with a wildcard in its topic name");
  const uint16_t packetId = m.PacketId = qos > 0 ? AIn.Word() : 0;
  // Its acknowledgement would carry identifier 0, which no exchange has.
  if (qos > 0 && packetId == 0) AIn.Forbidden(mqrcProtocolError, Format("at QoS %d with packet identifier 0", qos));
  // Most publications carry no property: the property set is not even made then.
  if (FLevel == MQTT_PROTOCOL_LEVEL_50 && !AIn.NoProperties()) {
    TQORMQTTProperties p;
    AIn.ReadProperties(p);
    if (p.TopicAlias) ResolveAlias(AIn, *p.TopicAlias, m.Topic);
    m.PayloadFormatIndicator = p.PayloadFormatIndicator;
    m.MessageExpiryInterval = p.MessageExpiryInterval;
    m.ContentType = std::move(p.ContentType);
    m.ResponseTopic = std::move(p.ResponseTopic);
    m.CorrelationData = std::move(p.CorrelationData);
    m.UserProperties = std::move(p.UserProperties);
    m.SubscriptionIdentifiers = std::move(p.SubscriptionIdentifiers);
  }
  if (m.Topic.empty()) AIn.Forbidden(mqrcProtocolError, "with an empty topic name and no topic alias");
  // A message the program pulls is acknowledged only once it has it: the
  // broker's own flow control then holds back what the program cannot take.
  const bool defer = qos > 0 && ASink.DefersAcknowledgements();
  bool firstDelivery = true;
  bool recOwed = false;  // a copy of one whose PUBREC waits for the program
  uint64_t link = 0;
  if (qos == 2 || defer) {
    std::lock_guard<std::mutex> guard(FMutex);
    link = FLinkCount;
    if (qos == 2) {
      firstDelivery = !FAwaitingRelease.contains(packetId);
      // Beyond the room the client announced: dropping it would lose it, as
      // the broker counts it delivered once PUBREC is sent.
      if (firstDelivery && FInReceiveMaximum != 0 && FAwaitingRelease.size() >= FInReceiveMaximum)
        AIn.Forbidden(mqrcReceiveMaximumExceeded,
                      Format("at QoS 2 beyond the client's Receive Maximum of %d", FInReceiveMaximum));
      FAwaitingRelease.insert(packetId);
      recOwed = !firstDelivery && FRecDeferred.contains(packetId);
      if (defer && firstDelivery) FRecDeferred.insert(packetId);
    }
  }
  // The payload is the rest of the body, taken over in place rather than copied.
  ABody.erase(0, AIn.Position());
  m.Payload = std::move(ABody);
  LogTo(ASink, "PUBLISH received topic=\"%s\" QoS=%d retain=%s payload_len=%d", m.Topic.c_str(), qos,
      m.Retain ? "True" : "False", static_cast<int>(m.Payload.size()));
  if (qos == 1 && !defer) {
    SendAck(ASink, BuildPubAckPacket(packetId, 0, FLevel), "PUBACK sent for packet id %d", "Failed to send PUBACK: ",
            packetId);
  } else if (qos == 2 && (!defer || !firstDelivery)) {
    if (recOwed) {
      LogTo(ASink, "PUBREC for packet id %d waits until the program takes the message", packetId);
    } else {
      SendAck(ASink, BuildPubRecPacket(packetId, 0, FLevel), "PUBREC sent for packet id %d",
              "Failed to send PUBREC: ", packetId);
    }
    // A redelivery before PUBREL is acknowledged again, delivered once only.
    if (!firstDelivery) return;
  }
  if (!defer) {
    ASink.Deliver(m);
    return;
  }
  try {
    ASink.Defer(m, {packetId, qos, link});
  } catch (...) {
    // Never acknowledged: a broker that sends it again is to be believed.
    if (qos == 2) {
      std::lock_guard<std::mutex> guard(FMutex);
      FAwaitingRelease.erase(packetId);
      FRecDeferred.erase(packetId);
    }
    throw;
  }
}

bool TQORMQTTSession::AcknowledgeTaken(const TInboundAck& AAck, ISessionSink& ASink) {
  const char* name = AAck.QoS == 2 ? "PUBREC" : "PUBACK";
  bool current;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    current = AAck.Link == FLinkCount;
    if (current && AAck.QoS == 2) FRecDeferred.erase(AAck.PacketId);
  }
  if (current) {
    TBytes packet = AAck.QoS == 2 ? BuildPubRecPacket(AAck.PacketId, 0, FLevel)
                                  : BuildPubAckPacket(AAck.PacketId, 0, FLevel);
    TSendMode mode;
    mode.SameLink = true;
    if (ASink.Send(std::move(packet), mode)) {
      LogTo(ASink, "%s sent for packet id %d", name, AAck.PacketId);
      return true;
    }
  }
  LogTo(ASink, "%s for packet id %d not sent: the message came on a link that has gone", name, AAck.PacketId);
  return false;
}

bool TQORMQTTSession::Authenticating() const {
  if (FLevel != MQTT_PROTOCOL_LEVEL_50) return false;
  std::lock_guard<std::mutex> guard(FMutex);
  return !FAuthMethod.empty();
}

void TQORMQTTSession::ResolveAlias(TBody& AIn, uint16_t AAlias, std::string& ATopic) {
  std::lock_guard<std::mutex> guard(FMutex);
  // A client that announced no aliases (Topic Alias Maximum 0) accepts none.
  if (FInAliasMaximum == 0) AIn.Forbidden(mqrcTopicAliasInvalid, "with a topic alias the client does not accept");
  if (AAlias > FInAliases.size())
    AIn.Forbidden(mqrcTopicAliasInvalid, "with a topic alias above the client's Topic Alias Maximum");
  std::string& known = FInAliases[AAlias - 1];
  if (!ATopic.empty()) {
    known = ATopic;
  } else if (known.empty()) {
    AIn.Forbidden(mqrcProtocolError, "with a topic alias the broker never named");
  } else {
    ATopic = known;
  }
}

void TQORMQTTSession::HandleAck(TBody& AIn, uint8_t AType, ISessionSink& ASink) {
  const uint16_t id = AIn.Word();
  uint8_t reason = 0;
  TQORMQTTProperties properties;
  if (FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0) {
    reason = AIn.Byte();
    if (AIn.Left() > 0) AIn.ReadProperties(properties);
  }
  LogTo(ASink, "%s received packet_id=%d reason=$%2.2X%s", PacketName(AType), id, reason, Said(properties).c_str());
  // For the handle: Acknowledge hands the words on.
  std::string reasonString = properties.ReasonString.value_or("");
  if (AType != MQTT_PUBREL) Acknowledge(ASink, AType, id, {reason}, properties);
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
      LogTo(ASink, "Quota exceeded for packet_id=%d: kept to be sent again, at most %d in flight from now on", id,
          window);
      return;
    }
  }
  // A PUBREC refusal ends the exchange; otherwise a QoS 2 publication stays
  // pending until PUBCOMP.
  if (AType == MQTT_PUBACK || AType == MQTT_PUBCOMP || (AType == MQTT_PUBREC && reason >= 0x80)) {
    bool found;
    bool downgraded = false;
    std::vector<TBytes> deferred;
    std::vector<std::string> lines;
    TRequestHandle handle;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      // A broker that speaks no QoS 2 (RabbitMQ) takes it at QoS 1 and says
      // so with a PUBACK: the publication has arrived, and no PUBREC will
      // come; keeping it would resend it after every reconnect.
      downgraded = AType == MQTT_PUBACK && FOutbox.InFlightQoS(id) == 2;
      found = FOutbox.Complete(id, &handle);
      Counted();
      // Ended before the lock goes: whoever sees it gone (a Flush) sees it ended.
      if (handle) handle->Answered(reason, std::move(reasonString));
      if (found && !FDeferred.empty()) deferred = TakeDeferredLocked(lines);
    }
    if (downgraded) LogTo(ASink, "PUBACK for QoS 2 packet_id=%d: the broker took it at QoS 1", id);
    for (const std::string& line : lines) LogTo(ASink, "%s", line.c_str());
    for (TBytes& packet : deferred) ASink.Send(std::move(packet));
    // An acknowledgement of nothing in flight (a duplicate) ends nothing.
    if (found) ASink.PublishComplete(id, reason);
    SendWaiting(ASink);
    Answered(ASink);
  } else if (AType == MQTT_PUBREC) {
    {
      std::lock_guard<std::mutex> guard(FMutex);
      FOutbox.MarkReceived(id);
    }
    SendAck(ASink, BuildPubRelPacket(id, 0, FLevel), "PUBREL sent for packet id %d", "Failed to send PUBREL: ", id);
  } else if (AType == MQTT_PUBREL) {
    bool known;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      known = FAwaitingRelease.erase(id) != 0;
    }
    // At 5.0 the broker learns that the client holds no such message.
    const uint8_t code = !known && FLevel == MQTT_PROTOCOL_LEVEL_50 ? mqrcPacketIdNotFound : mqrcSuccess;
    SendAck(ASink, BuildPubCompPacket(id, code, FLevel), "PUBCOMP sent for packet id %d", "Failed to send PUBCOMP: ",
            id);
  }
}

void TQORMQTTSession::HandleSubAck(TBody& AIn, bool AUnsubscribe, ISessionSink& ASink) {
  const uint16_t id = AIn.Word();
  TQORMQTTProperties properties;
  if (FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0) AIn.ReadProperties(properties);
  const std::string words = Said(properties);
  const char* format =
      AUnsubscribe ? "UNSUBACK packet_id=%d reason=$%2.2X%s" : "SUBACK packet_id=%d reason=$%2.2X%s";
  // One reason code per filter: the rest of the body (a 3.1.1 UNSUBACK has none).
  std::vector<TQORMQTTReasonCode> codes;
  while (AIn.Left() > 0) codes.push_back(static_cast<TQORMQTTReasonCode>(AIn.Byte()));
  {
    // Codes that match no filter of the request would be reported as its
    // results (or grant filters that were never asked for).
    std::lock_guard<std::mutex> guard(FMutex);
    const auto request = FFilterRequests.find(id);
    const bool counted = !AUnsubscribe || FLevel == MQTT_PROTOCOL_LEVEL_50;
    if (counted && request != FFilterRequests.end() && request->second.Subscribe != AUnsubscribe &&
        request->second.Filters.size() != codes.size())
      AIn.Forbidden(mqrcProtocolError, Format("with %zu reason codes for %zu topic filters", codes.size(),
                                              request->second.Filters.size()));
  }
  for (const TQORMQTTReasonCode code : codes) LogTo(ASink, format, id, code, words.c_str());
  std::string reasonString = properties.ReasonString.value_or("");
  Acknowledge(ASink, AUnsubscribe ? MQTT_UNSUBACK : MQTT_SUBACK, id, {codes.begin(), codes.end()}, properties);
  bool own = true;
  TRequestHandle handle;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    const auto request = FFilterRequests.find(id);
    if (request == FFilterRequests.end() || request->second.Subscribe == AUnsubscribe) return;
    own = request->second.Own;
    handle = std::move(request->second.Handle);
    const TFilters& filters = request->second.Filters;
    for (size_t i = 0; i < filters.size(); ++i) {
      const auto& [filter, asked] = filters[i];
      if (AUnsubscribe) {
        FSubscriptions.erase(filter);
      } else if (i < codes.size() && codes[i] < 0x80) {
        // A granted filter's code is the QoS granted.
        FSubscriptions[filter] = {asked, codes[i], request->second.SubscriptionId};
      } else {
        FSubscriptions.erase(filter);
      }
    }
    FFilterRequests.erase(request);
    FOutbox.ReleaseId(id);
    // Ended before the lock goes: whoever sees it gone (a Flush) sees it ended.
    if (handle) {
      TQORMQTTResult result{ocDelivered, mqrcSuccess, codes, std::move(reasonString)};
      for (const TQORMQTTReasonCode code : codes)
        if (code >= 0x80) {
          result.Outcome = ocRefused;
          result.ReasonCode = code;
          break;
        }
      handle->End(std::move(result));
    }
  }
  if (!own) ASink.SubscribeComplete(id, codes, AUnsubscribe);
  Answered(ASink);
}

void TQORMQTTSession::Answered(ISessionSink& ASink) {
  bool subscribed, last;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    subscribed = !FSubscriptions.empty();
    last = FOutbox.Pending() == 0 && FFilterRequests.empty();
  }
  if (subscribed) ASink.Answered(last);
}

void TQORMQTTSession::HandleDisconnect(TBody& AIn, ISessionSink& ASink) {
  // Without a reason code the reason is 0.
  const uint8_t reason = AIn.Left() > 0 ? AIn.Byte() : 0;
  TQORMQTTProperties properties;
  if (FLevel == MQTT_PROTOCOL_LEVEL_50 && AIn.Left() > 0) AIn.ReadProperties(properties);
  const TBrokerWords words = WordsOf(properties);
  LogTo(ASink, "DISCONNECT received from broker reason=$%2.2X%s", reason, words.Describe().c_str());
  if (reason == mqrcSessionTakenOver) LogTo(ASink, "Session taken over by another client with this client identifier");
  ASink.BrokerDisconnect(reason, words);
}


// Enhanced authentication: the broker challenges (0x18), the client's
// OnAuth answers; 0x00 ends a re-authentication.
void TQORMQTTSession::HandleAuth(TBody& AIn, ISessionSink& ASink) {
  const uint8_t reason = AIn.Left() > 0 ? AIn.Byte() : 0;
  TQORMQTTProperties properties;
  if (AIn.Left() > 0) AIn.ReadProperties(properties);
  LogTo(ASink, "AUTH received reason=$%2.2X%s", reason, Said(properties).c_str());
  std::string method;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    method = FAuthMethod;
  }
  if (properties.AuthenticationMethod != method)
    AIn.Forbidden(mqrcProtocolError, "without the client's authentication method");
  if (reason == mqrcSuccess) return;
  if (reason != 0x18) AIn.Malformed("with a reason code other than 0x00 and 0x18");
  std::optional<TBytes> answer = ASink.Authenticate(method, properties.AuthenticationData.value_or(TBytes{}));
  if (!answer)
    throw Exception(Format("AUTH challenge for method \"%s\" not answered: no OnAuth handler", method.c_str()));
  if (answer->size() > MQTT_MAX_STRING)
    throw Exception(Format("OnAuth answered %zu bytes; MQTT allows at most 65535", answer->size()));
  TQORMQTTProperties reply;
  reply.AuthenticationMethod = std::move(method);
  reply.AuthenticationData = std::move(*answer);
  SendAck(ASink, BuildAuthPacket(0x18, reply), "AUTH sent reason=$%2.2X", "Failed to send AUTH: ", 0x18);
}

void TQORMQTTSession::SendAck(ISessionSink& ASink, TBytes APacket, const char* ASentFormat,
                              const char* AFailedPrefix, uint16_t APacketId) {
  if (ASink.Send(std::move(APacket))) {
    LogTo(ASink, ASentFormat, APacketId);
  } else {
    LogTo(ASink, "%sMQTT client is not connected", AFailedPrefix);
  }
}

std::string TQORMQTTSession::DescribeTruncated(uint8_t AHeader, const std::string& APartial) const {
  constexpr const char* kClosed = "Connection closed or read timeout";
  if ((AHeader >> 4) != MQTT_PUBLISH || APartial.size() < 2) return kClosed;
  // PUBLISH names the field the stream ended in: its topic or its payload.
  TFieldReader in(APartial, PacketName(MQTT_PUBLISH));
  const uint16_t topic = in.Word();
  if (in.Left() < topic) return "Short read on topic";
  try {
    in.Skip(topic);
    if (((AHeader >> 1) & 3) != 0) in.Word();
    if (FLevel == MQTT_PROTOCOL_LEVEL_50) in.Skip(in.VarInt("property length"));
  } catch (const EMalformedPacket&) {
    // It ended before its payload began.
    return kClosed;
  }
  return "Short read on payload";
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
