// The client's public face: every operation is the connection driver's
// (uQORMQTTConnection), which owns the stream, the session and the threads.
#include "uQORMQTTClient.h"

#include "uQORMQTTConnection.h"

namespace qor {

TQORMQTTClient::TQORMQTTClient() : FConnection(std::make_unique<TQORMQTTConnection>(*this)) {}

TQORMQTTClient::~TQORMQTTClient() { FConnection->Shutdown(); }

void TQORMQTTClient::Connect() { FConnection->Connect(); }

TQORMQTTHandle TQORMQTTClient::ConnectAsync() { return FConnection->ConnectAsync(); }

void TQORMQTTClient::Disconnect(TQORMQTTReasonCode AReasonCode) { FConnection->Disconnect(AReasonCode, {}); }

void TQORMQTTClient::Disconnect(TQORMQTTReasonCode AReasonCode, const TQORMQTTDisconnectProperties& AProperties) {
  FConnection->Disconnect(AReasonCode, AProperties);
}

uint16_t TQORMQTTClient::Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS) {
  return FConnection->Publish(ATopic, APayload, AQoS);
}

uint16_t TQORMQTTClient::Publish(const TQORMQTTMessage& AMessage) { return FConnection->Publish(AMessage); }

uint16_t TQORMQTTClient::Publish(const std::string& ATopic, std::string&& APayload, TQORMQTTQoS AQoS) {
  return FConnection->Publish(ATopic, std::move(APayload), AQoS);
}

uint16_t TQORMQTTClient::Publish(TQORMQTTMessage&& AMessage) { return FConnection->Publish(std::move(AMessage)); }

uint16_t TQORMQTTClient::Subscribe(const std::string& ATopic, TQORMQTTQoS AQoS) {
  return FConnection->Subscribe({{ATopic, AQoS}}, 0);
}

uint16_t TQORMQTTClient::Subscribe(const std::vector<TQORMQTTSubscription>& AFilters,
                                   uint32_t ASubscriptionIdentifier) {
  return FConnection->Subscribe(AFilters, ASubscriptionIdentifier);
}

uint16_t TQORMQTTClient::Unsubscribe(const std::string& ATopic) { return FConnection->Unsubscribe({ATopic}); }

uint16_t TQORMQTTClient::Unsubscribe(const std::vector<std::string>& AFilters) {
  return FConnection->Unsubscribe(AFilters);
}

TQORMQTTHandle TQORMQTTClient::PublishAsync(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS) {
  return FConnection->PublishAsync(ATopic, APayload, AQoS);
}

TQORMQTTHandle TQORMQTTClient::PublishAsync(const TQORMQTTMessage& AMessage) {
  return FConnection->PublishAsync(AMessage);
}

TQORMQTTHandle TQORMQTTClient::PublishAsync(TQORMQTTMessage&& AMessage) {
  return FConnection->PublishAsync(std::move(AMessage));
}

TQORMQTTHandle TQORMQTTClient::SubscribeAsync(const std::string& ATopic, TQORMQTTQoS AQoS) {
  return FConnection->SubscribeAsync({{ATopic, AQoS}}, 0);
}

TQORMQTTHandle TQORMQTTClient::SubscribeAsync(const std::vector<TQORMQTTSubscription>& AFilters,
                                              uint32_t ASubscriptionIdentifier) {
  return FConnection->SubscribeAsync(AFilters, ASubscriptionIdentifier);
}

TQORMQTTHandle TQORMQTTClient::UnsubscribeAsync(const std::string& ATopic) {
  return FConnection->UnsubscribeAsync({ATopic});
}

TQORMQTTHandle TQORMQTTClient::UnsubscribeAsync(const std::vector<std::string>& AFilters) {
  return FConnection->UnsubscribeAsync(AFilters);
}

bool TQORMQTTClient::Flush(std::chrono::milliseconds ATimeout) { return FConnection->Flush(ATimeout); }

void TQORMQTTClient::Disconnect(std::chrono::milliseconds AFlushFirst, TQORMQTTReasonCode AReasonCode) {
  FConnection->Flush(AFlushFirst);
  FConnection->Disconnect(AReasonCode, {});
}

void TQORMQTTClient::Reauthenticate(const TBytes& AData) { FConnection->Reauthenticate(AData); }

std::optional<TQORMQTTMessage> TQORMQTTClient::Receive(std::chrono::milliseconds ATimeout) {
  return FConnection->Receive(ATimeout);
}

std::optional<TQORMQTTMessage> TQORMQTTClient::TryReceive() {
  return FConnection->Receive(std::chrono::milliseconds(0));
}

size_t TQORMQTTClient::ReceiveQueueCount() const { return FConnection->ReceiveQueueCount(); }

// Without a lock: a caller polling the state must not wait behind anything.
bool TQORMQTTClient::IsConnected() { return FConnection->IsConnected(); }

TQORMQTTConnectionStatus TQORMQTTClient::ConnectionStatus() const { return FConnection->Status(); }

TQORMQTTReasonCode TQORMQTTClient::LastConnectReasonCode() const { return FConnection->LastConnectReasonCode(); }

// Without a lock as well: a publisher that paces itself by this count must
// not queue behind another thread.
size_t TQORMQTTClient::PendingCount() { return FConnection->PendingCount(); }

uint8_t TQORMQTTClient::ProtocolLevel() const { return FConnection->ProtocolLevel(); }

}  // namespace qor
