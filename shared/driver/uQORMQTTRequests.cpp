// The caller's requests to the connection driver: publications (also kept
// offline), subscriptions, the handles on them and waiting for them all,
// re-authentication, and taking what the receive queue holds.
#include <algorithm>
#include <type_traits>

#include "uQORMQTTConnection.h"
#include "uQORMQTTRequestRules.h"

namespace qor {

// --- requests ----------------------------------------------------------------------------

void TQORMQTTConnection::RequireConnected() const {
  if (FLink.State() != TLinkState::Connected) throw ENotConnected("MQTT client is not connected");
}

void TQORMQTTConnection::WaitForHeldRoom() {
  if (FSession.HeldBytes() < kQueueBytes) return;
  // The reader would wait for acknowledgements only it can read: a handler
  // publishing goes beyond the bound rather than lock the client up.
  if (OnOwnThread()) return;
  ++FHeldWaiters;
  // Another publisher may fill the room again the moment it is made: the
  // bound is kept loosely, and only a link that went ends the wait in error.
  const bool linked = FLink.WaitWhile([&] { return FSession.HeldBytes() >= kQueueBytes; });
  --FHeldWaiters;
  if (!linked) throw ENotConnected("MQTT client is not connected");
}

uint16_t TQORMQTTConnection::Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS) {
  return Publish(ATopic, APayload, AQoS, TPublishExtras{});
}

namespace {

// What a message adds to topic, payload and QoS, checked; from a message
// the caller gives up, its properties are moved and its payload may be taken.
template <typename TMessage>
TPublishExtras ExtrasOf(TMessage&& AMessage) {
  if (AMessage.QoS > mqQoS2) throw EInvalidArgument("QoS", Format("QoS %d is not 0, 1 or 2", AMessage.QoS));
  TPublishExtras extras;
  extras.Retain = AMessage.Retain;
  if constexpr (!std::is_lvalue_reference_v<TMessage>)
    extras.Payload = &AMessage.Payload;
  extras.Properties = PublicationProperties(std::forward<TMessage>(AMessage));
  if (extras.Properties) CheckProperties(*extras.Properties);
  return extras;
}

}  // namespace

uint16_t TQORMQTTConnection::Publish(const std::string& ATopic, std::string&& APayload, TQORMQTTQoS AQoS) {
  TPublishExtras extras;
  extras.Payload = &APayload;
  return Publish(ATopic, APayload, AQoS, extras);
}

uint16_t TQORMQTTConnection::Publish(TQORMQTTMessage&& AMessage) {
  const TPublishExtras extras = ExtrasOf(std::move(AMessage));
  return Publish(AMessage.Topic, AMessage.Payload, AMessage.QoS, extras);
}

TQORMQTTHandle TQORMQTTConnection::PublishAsync(TQORMQTTMessage&& AMessage) {
  TPublishExtras extras = ExtrasOf(std::move(AMessage));
  extras.Handle = NewHandle();
  Publish(AMessage.Topic, AMessage.Payload, AMessage.QoS, extras);
  return TQORMQTTHandle(extras.Handle);
}

uint16_t TQORMQTTConnection::Publish(const TQORMQTTMessage& AMessage) {
  return Publish(AMessage.Topic, AMessage.Payload, AMessage.QoS, ExtrasOf(AMessage));
}

TQORMQTTHandle TQORMQTTConnection::PublishAsync(std::string_view ATopic, std::string_view APayload,
                                                TQORMQTTQoS AQoS) {
  TPublishExtras extras;
  extras.Handle = NewHandle();
  Publish(ATopic, APayload, AQoS, extras);
  return TQORMQTTHandle(extras.Handle);
}

TQORMQTTHandle TQORMQTTConnection::PublishAsync(const TQORMQTTMessage& AMessage) {
  TPublishExtras extras = ExtrasOf(AMessage);
  extras.Handle = NewHandle();
  Publish(AMessage.Topic, AMessage.Payload, AMessage.QoS, extras);
  return TQORMQTTHandle(extras.Handle);
}

uint16_t TQORMQTTConnection::Publish(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                                     const TPublishExtras& AExtras) {
  const TLinkState state = FLink.State();
  const bool offline = state != TLinkState::Connected && state != TLinkState::Closing && FClient.OfflineQueueLimit > 0;
  if (!offline) RequireConnected();
  FSession.CheckPublish(ATopic, APayload.size(), AQoS, AExtras, !offline);
  if (offline) return Queue(ATopic, APayload, AQoS, "while not connected", AExtras);
  WaitForHeldRoom();
  TOutput output(*this, 0);
  const TRequestPacket request = FSession.Publish(ATopic, APayload, AQoS, output, AExtras);
  const int topicLength = static_cast<int>(ATopic.size());
  if (request.Held) {
    FEvents.Log("PUBLISH held topic=\"%.*s\" QoS=%d packet_id=%d payload_len=%zu until the broker's Receive Maximum has room",
                topicLength, ATopic.data(), AQoS, request.PacketId, APayload.size());
    return request.PacketId;
  }
  if (!request.Sent) {
    // The link went under the caller: with an offline queue the publication
    // waits for the next link (a QoS 1 or 2 one is kept already), else it is given up.
    if (FClient.OfflineQueueLimit == 0 || FLink.Ending()) {
      FSession.Unsent(request.PacketId);
      throw ENotConnected("MQTT client is not connected");
    }
    if (AQoS == mqQoS0) return Queue(ATopic, APayload, AQoS, "after the link was lost", AExtras);
    FEvents.Log("PUBLISH kept topic=\"%.*s\" QoS=%d packet_id=%d payload_len=%zu for the next link", topicLength,
                ATopic.data(), AQoS, request.PacketId, APayload.size());
    return request.PacketId;
  }
  // A QoS 0 publication has ended once the link has it; the others end with their acknowledgement.
  if (AQoS == mqQoS0) EndRequest(AExtras.Handle, ocDelivered, mqrcSuccess);
  if (request.NewAlias != 0)
    FEvents.Log("Topic alias %d stands for \"%.*s\" on this link", request.NewAlias, topicLength, ATopic.data());
  FEvents.Log("PUBLISH sent topic=\"%.*s\" QoS=%d packet_id=%d payload_len=%zu", topicLength, ATopic.data(), AQoS,
              request.PacketId, APayload.size());
  return request.PacketId;
}

uint16_t TQORMQTTConnection::Queue(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                                   const char* AWhen, const TPublishExtras& AExtras) {
  const uint16_t id = FSession.Queue(ATopic, APayload, AQoS, FClient.OfflineQueueLimit, AExtras);
  FEvents.Log("PUBLISH queued topic=\"%.*s\" QoS=%d packet_id=%d payload_len=%zu %s", static_cast<int>(ATopic.size()),
              ATopic.data(), AQoS, id, APayload.size(), AWhen);
  // A link that came up since the state was read has sent the queue already.
  if (FLink.State() == TLinkState::Connected) {
    TOutput output(*this, 0);
    FSession.SendWaiting(output);
  }
  return id;
}

uint16_t TQORMQTTConnection::Subscribe(const std::vector<TQORMQTTSubscription>& AFilters,
                                       uint32_t ASubscriptionIdentifier, const TRequestHandle& AHandle) {
  if (AFilters.empty()) throw EInvalidArgument("Filters", "SUBSCRIBE needs at least one topic filter");
  RequireConnected();
  FSession.CheckSubscribe(AFilters, ASubscriptionIdentifier);
  const bool level5 = FSession.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50;
  std::vector<std::pair<std::string, uint8_t>> filters;
  for (const TQORMQTTSubscription& f : AFilters)
    filters.emplace_back(f.Filter, SubscriptionOptions(f.QoS, f.NoLocal, f.RetainAsPublished, f.RetainHandling));
  TOutput output(*this, 0);
  const TRequestPacket request = FSession.Subscribe(filters, level5 ? ASubscriptionIdentifier : 0, output, AHandle);
  // The state said connected, but the link went meanwhile (a Disconnect
  // under way on another thread, a loss): the caller must not be told it was sent.
  if (!request.Sent) throw ENotConnected("MQTT client is not connected");
  for (const TQORMQTTSubscription& f : AFilters)
    FEvents.Log("SUBSCRIBE sent topic=\"%s\" QoS=%d packet_id=%d", f.Filter.c_str(), f.QoS, request.PacketId);
  return request.PacketId;
}

uint16_t TQORMQTTConnection::Unsubscribe(const std::vector<std::string>& AFilters, const TRequestHandle& AHandle) {
  if (AFilters.empty()) throw EInvalidArgument("Filters", "UNSUBSCRIBE needs at least one topic filter");
  RequireConnected();
  FSession.CheckUnsubscribe(AFilters);
  TOutput output(*this, 0);
  const TRequestPacket request = FSession.Unsubscribe(AFilters, output, AHandle);
  if (!request.Sent) throw ENotConnected("MQTT client is not connected");
  for (const std::string& filter : AFilters)
    FEvents.Log("UNSUBSCRIBE sent topic=\"%s\" packet_id=%d", filter.c_str(), request.PacketId);
  return request.PacketId;
}

TQORMQTTHandle TQORMQTTConnection::SubscribeAsync(const std::vector<TQORMQTTSubscription>& AFilters,
                                                  uint32_t ASubscriptionIdentifier) {
  const TRequestHandle handle = NewHandle();
  Subscribe(AFilters, ASubscriptionIdentifier, handle);
  return TQORMQTTHandle(handle);
}

TQORMQTTHandle TQORMQTTConnection::UnsubscribeAsync(const std::vector<std::string>& AFilters) {
  const TRequestHandle handle = NewHandle();
  Unsubscribe(AFilters, handle);
  return TQORMQTTHandle(handle);
}

void TQORMQTTConnection::RequestsEnded() {
  if (FFlushWaiters == 0) return;
  // Under the lock, so that a Flush between its look and its wait is not missed.
  std::lock_guard<std::mutex> guard(FFlushMutex);
  FFlushed.notify_all();
}

bool TQORMQTTConnection::Flush(std::chrono::milliseconds ATimeout) {
  // The reader that must read the acknowledgements may be the very thread asking.
  if (OnOwnThread()) throw Exception("Flush must not be called from the client's own threads (an event handler)");
  const auto deadline = std::chrono::steady_clock::now() + BoundedWait(ATimeout);
  const uint64_t accepted = FSession.Accepted();
  {
    std::unique_lock<std::mutex> lock(FFlushMutex);
    ++FFlushWaiters;
    // Acknowledgements wake it; a QoS 0 publication sent from the queue, or
    // one a new link's limits forbid, is seen at the next look.
    while (FSession.OpenUpTo(accepted) && std::chrono::steady_clock::now() < deadline)
      FFlushed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    --FFlushWaiters;
  }
  if (FSession.OpenUpTo(accepted)) return false;
  // QoS 0 publications handed to the link: written once what it holds now is.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return FQueue.WaitWritten(left.count());
}

void TQORMQTTConnection::Reauthenticate(const TBytes& AData) {
  RequireConnected();
  if (AData.size() > MQTT_MAX_STRING)
    throw EInvalidArgument("Data", "Authentication data is longer than MQTT allows (65535 bytes)");
  TOutput output(*this, 0);
  if (!FSession.Reauthenticate(AData, output)) throw ENotConnected("MQTT client is not connected");
  FEvents.Log("AUTH sent reason=$19");
}

// --- receiving by pulling -------------------------------------------------------------------

std::optional<TQORMQTTMessage> TQORMQTTConnection::Receive(std::chrono::milliseconds ATimeout) {
  // It would wait in vain: nothing ever comes to the queue.
  if (FClient.ReceiveQueueLimit == 0 && !FInbox.On() && FInbox.Count() == 0)
    throw EInvalidArgument("ReceiveQueueLimit", "Receive needs ReceiveQueueLimit above 0 (messages go to OnMessage)");
  // Before Connect and after Disconnect nothing comes: an empty queue answers at once.
  const auto idle = [this] { return FLink.State() == TLinkState::Idle; };
  return FInbox.Take(ATimeout, idle, [this](TReceiveQueue::TEntry& AEntry) {
    if (!AEntry.Ack) return;
    TOutput output(*this, AEntry.Epoch);
    FSession.AcknowledgeTaken(*AEntry.Ack, output);
  });
}

}  // namespace qor
