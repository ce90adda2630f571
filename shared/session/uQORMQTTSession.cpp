// The caller's requests as the session builds and keeps them: identifiers,
// publications in flight or waiting, topic aliases, subscriptions asked for.
#include "uQORMQTTSession.h"

#include <algorithm>

namespace qor {

// --- requests -------------------------------------------------------------------

bool TQORMQTTSession::Connect(const TConnectFields& AFields, ISessionSink& ASink) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    // At 3.1.1 CONNECT carries no method: there is nothing to authenticate with.
    FAuthMethod = FLevel == MQTT_PROTOCOL_LEVEL_50 ? AFields.Properties.AuthenticationMethod.value_or("") : "";
    FInAliasMaximum = FLevel == MQTT_PROTOCOL_LEVEL_50 ? AFields.Properties.TopicAliasMaximum.value_or(0) : 0;
    FInReceiveMaximum = FLevel == MQTT_PROTOCOL_LEVEL_50 ? AFields.Properties.ReceiveMaximum.value_or(0) : 0;
    // A new link: its CONNACK is still to come, and until the broker says
    // otherwise the link has the client's own limits.
    FLinkPhase = TLinkPhase::AwaitingConnack;
    ++FLinkCount;
    FRecDeferred.clear();
    FMaxPacketSize = 0;
    FMaxQoS = 2;
    FRetainAvailable = true;
    FServerKeepAlive = -1;
  }
  return ASink.Send(BuildConnectPacket(FLevel, AFields));
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
  FHeldBytes = FOutbox.HeldBytes();
}

std::shared_ptr<const std::string> TQORMQTTSession::Take(std::string_view& APayload, const TPublishExtras& AExtras) {
  if (!AExtras.Payload || APayload.size() < kTakePayloadSize) return nullptr;
  auto taken = std::make_shared<const std::string>(std::move(*AExtras.Payload));
  // What is sent is read from here on: the caller's string is empty now.
  APayload = *taken;
  return taken;
}

TRequestPacket TQORMQTTSession::Publish(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                                        ISessionSink& ASink, const TPublishExtras& AExtras) {
  TRequestPacket r;
  uint16_t alias = 0;
  bool aliasOnly = false;
  uint64_t aliasEpoch = 0;
  // Held until the packet is sent: a Discard meanwhile must not free what it is written from.
  const std::shared_ptr<const std::string> taken = AQoS != mqQoS0 ? Take(APayload, AExtras) : nullptr;
  // QoS 0 keeps nothing, and takes no lock unless something waits before it
  // or the link has topic aliases.
  if (AQoS != mqQoS0 || FWaitingCount != 0 || FAliasing) {
    // QoS 1 and 2 are kept for resending after a lost link: copied before
    // the lock (unless taken over). QoS 0 is copied only when it has to wait.
    TOutboundMessage kept{AQoS != mqQoS0 ? std::string(ATopic) : std::string(),
                          AQoS != mqQoS0 && !taken ? std::string(APayload) : std::string(), 0, AQoS};
    kept.Taken = taken;
    kept.Retain = AExtras.Retain;
    kept.Properties = AExtras.Properties;
    // Recorded before the packet exists: its acknowledgement may be read
    // before the writer has even returned.
    std::lock_guard<std::mutex> guard(FMutex);
    if (AQoS != mqQoS0) kept.PacketId = r.PacketId = NextPacketIdLocked();
    kept.Seq = ++FSeq;
    if (AExtras.Handle) AExtras.Handle->SetPacketId(kept.PacketId);
    if (!FOutbox.Sendable(WindowLocked())) {
      // Neither an acknowledgement nor a later publication may overtake it.
      if (AQoS == mqQoS0) {
        kept.Topic = ATopic;
        kept.Payload = APayload;
      }
      r.Held = true;
      kept.Handle = AExtras.Handle;
      FOutbox.AddWaiting(std::move(kept));
      Counted();
      return r;
    }
    if (AQoS != mqQoS0) {
      kept.Sent = true;
      kept.Handle = AExtras.Handle;
      FOutbox.AddInFlight(std::move(kept));
      Counted();
    }
    if (FAliasing) {
      alias = AliasLocked(ATopic, r, aliasOnly);
      aliasEpoch = FAliasEpoch;
      // The alias adds bytes to a short topic, and to the packet that names
      // it: one the broker's Maximum Packet Size has no room for goes without.
      const uint32_t limit = FMaxPacketSize;
      if (alias != 0 && limit != 0 &&
          PacketSize(PublishContentSize(aliasOnly ? 0 : ATopic.size(), APayload.size(), AQoS, FLevel,
                                        AExtras.Properties.get(), alias)) > limit) {
        if (r.NewAlias != 0) FAliases.erase(FAliases.find(ATopic));  // free for a packet it fits in
        alias = 0;
        aliasOnly = false;
        r.NewAlias = 0;
      }
    }
  }
  const std::string_view topic = aliasOnly ? std::string_view() : ATopic;
  const TQORMQTTProperties* properties = AExtras.Properties.get();
  const bool apart = APayload.size() >= kSeparatePayloadSize;
  TBytes packet = apart ? BuildPublishHeader(topic, APayload.size(), AQoS, r.PacketId, FLevel, AExtras.Retain, false,
                                             properties, alias)
                        : BuildPublishPacket(topic, APayload, AQoS, r.PacketId, FLevel, AExtras.Retain, false,
                                             properties, alias);
  r.Sent = ASink.Send(std::move(packet), {apart ? APayload : std::string_view(), true});
  if (r.Sent && r.NewAlias != 0) {
    // Until then another thread's packet could have overtaken it: the topic
    // went along with the alias.
    std::lock_guard<std::mutex> guard(FMutex);
    const auto it = FAliases.find(ATopic);
    if (aliasEpoch == FAliasEpoch && it != FAliases.end()) it->second.Known = true;
  }
  return r;
}

uint16_t TQORMQTTSession::AliasLocked(std::string_view ATopic, TRequestPacket& ARequest, bool& AOnly) {
  const auto it = FAliases.find(ATopic);
  if (it != FAliases.end()) {
    // Until the packet that announced it has gone, another thread's packet
    // could overtake it: the topic goes along, naming the alias again.
    AOnly = it->second.Known;
    return it->second.Alias;
  }
  if (FAliases.size() >= FLimits.TopicAliasMaximum) return 0;
  const uint16_t alias = static_cast<uint16_t>(FAliases.size() + 1);
  FAliases.emplace(std::string(ATopic), TAlias{alias, false});
  ARequest.NewAlias = alias;
  return alias;
}

uint16_t TQORMQTTSession::Queue(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                                size_t ALimit, const TPublishExtras& AExtras) {
  std::shared_ptr<const std::string> taken = Take(APayload, AExtras);
  TOutboundMessage kept{std::string(ATopic), taken ? std::string() : std::string(APayload), 0, AQoS};
  kept.Taken = std::move(taken);
  kept.Offline = true;
  kept.Retain = AExtras.Retain;
  kept.Properties = AExtras.Properties;
  kept.Handle = AExtras.Handle;
  std::lock_guard<std::mutex> guard(FMutex);
  if (FOutbox.Offline() >= ALimit) throw EQueueFull(ALimit, Format("Offline queue full (%zu messages)", ALimit));
  if (AQoS != mqQoS0) kept.PacketId = NextPacketIdLocked();
  kept.Seq = ++FSeq;
  const uint16_t id = kept.PacketId;
  if (kept.Handle) kept.Handle->SetPacketId(id);
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
      // A QoS 0 publication has left the box but not yet reached the link: a Flush waits for it.
      if (!packet.empty() && released.QoS == 0 && released.Seq != 0) ++FReleasing;
    }
    if (packet.empty()) return;
    const bool sent = ASink.Send(std::move(packet));
    // A QoS 0 publication has ended once it is handed to the link (or lost with it).
    EndRequest(released.Handle, sent ? ocDelivered : ocDiscarded, sent ? mqrcSuccess : mqrcUnspecifiedError);
    if (released.QoS == 0 && released.Seq != 0) --FReleasing;
    if (!sent) {
      // No link: the rest waits for the next one rather than fail one by one.
      LogTo(ASink, "Failed to send PUBLISH for packet id %d: MQTT client is not connected", released.PacketId);
      return;
    }
    if (!ASink.Logging()) continue;
    if (released.Received) {
      LogTo(ASink, "Resending PUBREL packet_id=%d", released.PacketId);
    } else if (released.Sent) {
      LogTo(ASink, "Resending PUBLISH packet_id=%d (DUP)", released.PacketId);
    } else if (released.Offline) {
      LogTo(ASink, "PUBLISH sent for packet id %d (queued while offline)", released.PacketId);
    } else {
      LogTo(ASink, "PUBLISH sent for packet id %d (the broker's Receive Maximum has room again)", released.PacketId);
    }
  }
}

TDiscarded TQORMQTTSession::Discard() {
  TDiscarded discarded;
  std::vector<TRequestHandle> handles;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    discarded.PacketIds = FOutbox.Clear(discarded.Messages, handles);
    for (auto& [id, request] : FFilterRequests) {
      FOutbox.ReleaseId(id);
      if (request.Handle) handles.push_back(std::move(request.Handle));
    }
    FFilterRequests.clear();
    FSubscriptions.clear();
    FDeferred.clear();
    Counted();
    // Before the lock goes: whoever sees them gone (a Flush) sees them ended.
    for (const TRequestHandle& handle : handles) EndRequest(handle, ocDiscarded, mqrcUnspecifiedError);
  }
  return discarded;
}

uint64_t TQORMQTTSession::Accepted() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FSeq;
}

bool TQORMQTTSession::OpenUpTo(uint64_t ASeq) const {
  std::lock_guard<std::mutex> guard(FMutex);
  if (FReleasing > 0 || FOutbox.OpenUpTo(ASeq)) return true;
  for (const auto& [id, request] : FFilterRequests)
    if (request.Seq != 0 && request.Seq <= ASeq) return true;
  return false;
}

TBytes TQORMQTTSession::BuildFilterRequest(uint16_t APacketId, const TFilterRequest& ARequest) const {
  TQORMQTTProperties properties;
  if (ARequest.SubscriptionId != 0) properties.SubscriptionIdentifiers = {ARequest.SubscriptionId};
  if (ARequest.Subscribe) return BuildSubscribePacket(ARequest.Filters, APacketId, FLevel, properties);
  std::vector<std::string> filters;
  for (const auto& [filter, options] : ARequest.Filters) filters.push_back(filter);
  return BuildUnsubscribePacket(filters, APacketId, FLevel, properties);
}

std::vector<TBytes> TQORMQTTSession::TakeDeferredLocked(std::vector<std::string>& ALines) {
  std::vector<TBytes> packets;
  while (!FDeferred.empty()) {
    const uint16_t id = FOutbox.TakeId();
    if (id == 0) break;
    TFilterRequest& request = FDeferred.front();
    packets.push_back(BuildFilterRequest(id, request));
    ALines.push_back(Format("Resubscribing to %zu topic filter(s) packet_id=%d", request.Filters.size(), id));
    FFilterRequests[id] = std::move(request);
    FDeferred.erase(FDeferred.begin());
  }
  return packets;
}

TRequestPacket TQORMQTTSession::Subscribe(std::string_view ATopic, TQORMQTTQoS AQoS, ISessionSink& ASink) {
  return Subscribe({{std::string(ATopic), AQoS}}, 0, ASink);
}

TRequestPacket TQORMQTTSession::Subscribe(const TFilters& AFilters, uint32_t ASubscriptionId, ISessionSink& ASink,
                                          TRequestHandle AHandle) {
  return FilterRequest({AFilters, true, false, ASubscriptionId, 0, std::move(AHandle)}, ASink);
}

TRequestPacket TQORMQTTSession::Unsubscribe(std::string_view ATopic, ISessionSink& ASink) {
  return Unsubscribe(std::vector<std::string>{std::string(ATopic)}, ASink);
}

TRequestPacket TQORMQTTSession::Unsubscribe(const std::vector<std::string>& AFilters, ISessionSink& ASink,
                                            TRequestHandle AHandle) {
  TFilterRequest request{{}, false, false, 0, 0, std::move(AHandle)};
  for (const std::string& filter : AFilters) request.Filters.emplace_back(filter, 0);
  return FilterRequest(std::move(request), ASink);
}

TRequestPacket TQORMQTTSession::FilterRequest(TFilterRequest ARequest, ISessionSink& ASink) {
  TRequestPacket r;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    r.PacketId = NextPacketIdLocked();
    ARequest.Seq = ++FSeq;
    if (ARequest.Handle) ARequest.Handle->SetPacketId(r.PacketId);
    FFilterRequests[r.PacketId] = ARequest;
  }
  r.Sent = ASink.Send(BuildFilterRequest(r.PacketId, ARequest), {{}, true});
  return r;
}

bool TQORMQTTSession::Disconnect(uint8_t AReasonCode, const TQORMQTTProperties& AProperties, ISessionSink& ASink,
                                 int AFlushMs) const {
  return ASink.Send(BuildDisconnectPacket(AReasonCode, FLevel, AProperties), {{}, false, AFlushMs >= 0, AFlushMs});
}

bool TQORMQTTSession::Reauthenticate(const TBytes& AData, ISessionSink& ASink) const {
  TQORMQTTProperties properties;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    if (FAuthMethod.empty())
      throw EInvalidArgument("AuthenticationMethod",
                             "Reauthenticate needs the AuthenticationMethod of an MQTT 5.0 connection");
    properties.AuthenticationMethod = FAuthMethod;
  }
  properties.AuthenticationData = AData;
  return ASink.Send(BuildAuthPacket(0x19, properties), {{}, true});
}

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

}  // namespace qor
