#include "uQORMQTTConnection.h"

#include <sys/uio.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "uBrokerStream.h"
#include "uQORMQTTFramer.h"
#include "uQORMQTTTopics.h"
#include "uQORMQTTWorkers.h"

namespace qor {

namespace {

using TGuard = std::lock_guard<std::mutex>;
using TLock = std::unique_lock<std::mutex>;

constexpr int kMaxReconnectDelaySecs = 60;
// A link that stayed up this long was a good one: the next reconnect starts
// at the shortest delay again. One that a broker ends sooner (a request it
// refuses, a session taken over) must not make the client reconnect ever faster.
constexpr int64_t kStableLinkNs = 10'000'000'000;
constexpr int64_t kSecondNs = 1'000'000'000;
// From this payload size on, a PUBLISH is written as its head plus the
// caller's payload rather than copied into one buffer; Publish then waits
// until the writer is done with the caller's memory.
constexpr size_t kSeparatePayloadSize = 16 * 1024;
// What Publish, Subscribe and Unsubscribe may leave queued before they wait.
constexpr size_t kQueueBytes = 16 * 1024 * 1024;
// How long Disconnect lets the queue drain before it closes the link anyway.
constexpr int kDisconnectFlushMs = 1000;

const char* Bool(bool AValue) { return AValue ? "True" : "False"; }

// Seconds from a configuration field as milliseconds for a wait: computed
// in 64 bits (a large value must not wrap) and kept within what an int holds.
int SecondsToMs(int32_t ASeconds) {
  return static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(ASeconds) * 1000, 0, INT_MAX));
}

void CheckTextLength(const std::string& AText, const char* AWhat) {
  if (AText.size() > MQTT_MAX_STRING)
    throw Exception(Format("%s is %zu bytes long; MQTT allows at most 65535", AWhat, AText.size()));
}

// Raises when a property text or data of AProperties is too long for MQTT;
// AOf names whose properties they are in the message ("Will ", say).
void CheckPropertyLengths(const TQORMQTTProperties& AProperties, const std::string& AOf = "") {
  const std::string overlong = OverlongProperty(AProperties);
  if (!overlong.empty()) throw Exception(AOf + overlong + " is longer than MQTT allows (65535 bytes)");
}

// A broker as log lines and errors name it: host:port, or the socket's path.
std::string Where(const TQORMQTTBrokerAddress& ABroker) {
  if (IsUnixSocket(ABroker.Host)) return ABroker.Host;
  return HostForDisplay(ABroker.Host) + ":" + std::to_string(ABroker.Port);
}

// TLSMinVersion as OpenSSL's constant; 0 for none. Raises for a version it does not know.
int TLSVersion(const std::string& AVersion) {
  if (AVersion.empty()) return 0;
  if (AVersion == "1.2") return TLS1_2_VERSION;
  if (AVersion == "1.3") return TLS1_3_VERSION;
  throw Exception("TLSMinVersion is \"" + AVersion + "\"; it must be empty, \"1.2\" or \"1.3\"");
}

// "Use another server" and "server moved": what a Server Reference comes with.
bool IsReferral(uint8_t AReasonCode) { return AReasonCode == 0x9C || AReasonCode == 0x9D; }

// The first server of a Server Reference ("host", "host:port", "[v6]:port";
// several are separated by spaces), with the referring broker's port and TLS
// where it says nothing of them.
TQORMQTTBrokerAddress ParseReference(const std::string& AReference, const TQORMQTTBrokerAddress& ABase) {
  const std::string first = AReference.substr(0, AReference.find(' '));
  TQORMQTTBrokerAddress address = ABase;
  size_t portAt = std::string::npos;
  if (!first.empty() && first[0] == '[') {
    const size_t close = first.find(']');
    address.Host = first.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && close + 1 < first.size() && first[close + 1] == ':') portAt = close + 2;
  } else if (std::count(first.begin(), first.end(), ':') == 1) {
    portAt = first.find(':') + 1;
    address.Host = first.substr(0, portAt - 1);
  } else {
    address.Host = first;
  }
  if (portAt != std::string::npos) {
    const std::string port = first.substr(portAt);
    if (!port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), ::isdigit))
      address.Port = std::stoi(port);
  }
  return address;
}

// The MQTT 5.0 properties of a message; null when it has none.
std::shared_ptr<const TQORMQTTProperties> PublicationProperties(const TQORMQTTMessage& AMessage) {
  if (!AMessage.PayloadFormatIndicator && !AMessage.MessageExpiryInterval && !AMessage.ContentType &&
      !AMessage.ResponseTopic && !AMessage.CorrelationData && AMessage.UserProperties.empty())
    return nullptr;
  auto properties = std::make_shared<TQORMQTTProperties>();
  properties->PayloadFormatIndicator = AMessage.PayloadFormatIndicator;
  properties->MessageExpiryInterval = AMessage.MessageExpiryInterval;
  properties->ContentType = AMessage.ContentType;
  properties->ResponseTopic = AMessage.ResponseTopic;
  properties->CorrelationData = AMessage.CorrelationData;
  properties->UserProperties = AMessage.UserProperties;
  return properties;
}

}  // namespace

// What the session's answers to the reader's packets turn into: writes on
// the queue, events, and the state changes of a CONNACK or a DISCONNECT of
// the link the packets came from.
class TQORMQTTConnection::TReaderSink final : public ISessionSink {
 public:
  TReaderSink(TQORMQTTConnection& AConnection, uint64_t AEpoch) : FC(AConnection), FEpoch(AEpoch) {}
  bool Logging() const override { return static_cast<bool>(FC.FClient.OnLog); }
  void Log(const std::string& ALine) override { FC.DoLog(ALine); }
  bool Send(TBytes APacket) override { return FC.Send(std::move(APacket)); }
  void Deliver(TQORMQTTMessage& AMessage) override {
    if (FC.FClient.OnMessage) FC.FClient.OnMessage(AMessage.Topic, AMessage.Payload, AMessage.QoS);
    if (FC.FClient.OnMessageReceived) FC.FClient.OnMessageReceived(AMessage);
  }
  bool WantsAcknowledgements() const override { return static_cast<bool>(FC.FClient.OnAcknowledgement); }
  void Acknowledged(const TQORMQTTAcknowledgement& AAcknowledgement) override {
    FC.Fire(FC.FClient.OnAcknowledgement, AAcknowledgement);
  }
  // What OnAuth throws ends the link, as a broken one: the broker waits for an answer.
  std::optional<TBytes> Authenticate(const std::string& AMethod, const TBytes& AData) override {
    if (!FC.FClient.OnAuth) return std::nullopt;
    return FC.FClient.OnAuth(AMethod, AData);
  }
  void Connack(uint8_t AReasonCode, bool ASessionPresent) override {
    FC.OnConnack(FEpoch, AReasonCode, ASessionPresent);
  }
  void PublishComplete(uint16_t APacketId, uint8_t AReasonCode) override {
    FC.Fire(FC.FClient.OnPublishComplete, APacketId, static_cast<TQORMQTTReasonCode>(AReasonCode));
  }
  void SubscribeComplete(uint16_t APacketId, const std::vector<TQORMQTTReasonCode>& ACodes,
                         bool AUnsubscribe) override {
    FC.Fire(AUnsubscribe ? FC.FClient.OnUnsubscribeComplete : FC.FClient.OnSubscribeComplete, APacketId, ACodes);
  }
  void BrokerDisconnect(uint8_t AReasonCode, const TBrokerWords& AWords) override {
    if (IsReferral(AReasonCode) && !AWords.ServerReference.empty()) FC.ReferTo(AWords.ServerReference);
    FC.LinkLost(FEpoch, static_cast<TQORMQTTReasonCode>(AReasonCode),
                Format("Broker disconnected (reason=$%2.2X)", AReasonCode) + AWords.Describe());
  }

 private:
  TQORMQTTConnection& FC;
  uint64_t FEpoch;
};

TQORMQTTConnection::TQORMQTTConnection(TQORMQTTClient& AClient)
    : FClient(AClient), FQueue(kQueueBytes), FLastSendTime(Now()), FLastRecvTime(FLastSendTime.load()) {}

TQORMQTTConnection::~TQORMQTTConnection() = default;

void TQORMQTTConnection::Shutdown() {
  if (Status() != mqDisconnected) Disconnect(mqrcSuccess, {});
  StopThreads();
}

// --- events and helpers ------------------------------------------------------------

void TQORMQTTConnection::DoLog(const std::string& ALine) {
  if (!FClient.OnLog) return;
  try {
    FClient.OnLog(ALine);
  } catch (...) {
    // A log listener that fails loses that line only; asking it to log its
    // own failure would fail again.
  }
}

// The link is lost or up either way, and a publication ended: what follows
// (a reconnect, say) must not depend on the handler.
void TQORMQTTConnection::LogCallbackError() {
  const TErrorDescription error = DescribeError(std::current_exception());
  Log("Callback error: %s: %s", error.ClassName.c_str(), error.Message.c_str());
}

void TQORMQTTConnection::SendWaiting() {
  // Sending raises no CONNACK or DISCONNECT, so no link's epoch is needed.
  TReaderSink sink(*this, 0);
  FSession.SendWaiting(sink);
}

void TQORMQTTConnection::LogThreadError(const char* AThread, std::exception_ptr AError) noexcept {
  try {
    const TErrorDescription error = DescribeError(AError);
    Log("%s thread ended by an error: %s: %s", AThread, error.ClassName.c_str(), error.Message.c_str());
  } catch (...) {
    // Out of memory while saying so: nothing more can be done.
  }
}

int64_t TQORMQTTConnection::Now() { return CoarseNowNs(); }

bool TQORMQTTConnection::OnOwnThread() const {
  TGuard guard(FMutex);
  return (FReader && FReader->OnThisThread()) || (FKeepalive && FKeepalive->OnThisThread()) ||
         (FWriter && FWriter->OnThisThread());
}

// --- the state -------------------------------------------------------------------------

void TQORMQTTConnection::SetState(TLinkState AState) { FState = AState; }

bool TQORMQTTConnection::IsConnected() const {
  const TLinkState s = FState;
  return s == TLinkState::Handshake || s == TLinkState::Connected || s == TLinkState::Rehandshake;
}

TQORMQTTConnectionStatus TQORMQTTConnection::Status() const {
  switch (FState.load()) {
    case TLinkState::Connecting:
    case TLinkState::Handshake: return mqConnecting;
    case TLinkState::Connected:
    case TLinkState::Closing: return mqConnected;  // until Disconnect has joined the threads
    default: return mqDisconnected;
  }
}

void TQORMQTTConnection::ReleaseLinkLocked() {
  if (FStream) FStream->Release();
  FStream.reset();
  FQueue.Close();
}

bool TQORMQTTConnection::LinkLost(uint64_t AEpoch, TQORMQTTReasonCode ACode, const std::string& AReason) {
  {
    TGuard guard(FMutex);
    if (AEpoch != FEpoch || FState != TLinkState::Connected) return false;
    ReleaseLinkLocked();
    SetState(FUserDisconnect || FStopping ? TLinkState::Idle : TLinkState::Reconnecting);
    if (Now() - FConnectedAt >= kStableLinkNs) FReconnectDelaySecs = 1;
  }
  // A Publish waiting for held publications to leave gives up.
  FChanged.notify_all();
  Fire(FClient.OnDisconnect, ACode, AReason);
  // Asked for only now, so the loop's first line follows the event.
  {
    TGuard guard(FMutex);
    if (FState != TLinkState::Reconnecting) return true;
    FReconnectRequested = true;
  }
  FChanged.notify_all();
  return true;
}

void TQORMQTTConnection::OnConnack(uint64_t AEpoch, uint8_t AReasonCode, bool ASessionPresent) {
  FLastConnectReasonCode = AReasonCode;
  {
    TGuard guard(FMutex);
    // A CONNACK on a link its attempt has given up is too late.
    if (AEpoch != FEpoch || !FStream) return;
    if (AReasonCode == mqrcSuccess && (FState == TLinkState::Handshake || FState == TLinkState::Rehandshake)) {
      // The broker's limits hold before the first request can see the session.
      const TBrokerLimits limits = FSession.Limits();
      FMaxPacketSize = limits.MaximumPacketSize;
      FMaxQoS = limits.MaximumQoS;
      FRetainAvailable = limits.RetainAvailable;
      if (limits.ServerKeepAlive) FKeepAliveSecs = *limits.ServerKeepAlive;
      if (!limits.AssignedClientIdentifier.empty()) FAssignedClientID = limits.AssignedClientIdentifier;
      SetState(TLinkState::Connected);
    }
    FConnackEpoch = AEpoch;
    FConnackReason = AReasonCode;
    FConnackSessionPresent = ASessionPresent;
  }
  FChanged.notify_all();
}

// --- requests ----------------------------------------------------------------------------

void TQORMQTTConnection::CheckRequest(const std::string& ATopic, bool AFilter) const {
  if (FState != TLinkState::Connected) throw Exception("MQTT client is not connected");
  CheckTopic(ATopic, AFilter);
}

void TQORMQTTConnection::CheckTopic(const std::string& ATopic, bool AFilter) {
  CheckTextLength(ATopic, AFilter ? "Topic filter" : "Topic");
  if (AFilter) {
    CheckTopicFilter(ATopic);
  } else {
    CheckTopicName(ATopic);
  }
}

void TQORMQTTConnection::CheckPacketSize(size_t AContent, const char* APacket) const {
  const uint32_t limit = FMaxPacketSize;
  const size_t size = 1 + VarIntSize(static_cast<uint32_t>(std::min<size_t>(AContent, MQTT_MAX_VARINT))) + AContent;
  if (limit != 0 && size > limit)
    throw Exception(Format("%s of %zu bytes exceeds the broker's Maximum Packet Size of %u", APacket, size, limit));
}

void TQORMQTTConnection::SendRequest(TBytes APacket, std::string_view ATail) {
  // The state said connected, but the link went meanwhile (a Disconnect
  // under way on another thread, a loss): the caller must not be told it was sent.
  if (!Send(std::move(APacket), ATail, true)) throw Exception("MQTT client is not connected");
}

bool TQORMQTTConnection::Send(TBytes APacket, std::string_view ATail, bool ABounded) {
  std::shared_ptr<TBrokerStream> stream;
  // A lone packet on an idle plain-TCP link: handing it to the writer thread
  // would cost a wake-up on the way out. A TLS write must be retried whole,
  // and a payload in the caller's memory must be written to its end: both
  // go through the writer.
  if (ATail.empty() && FQueue.BeginDirect(stream)) {
    size_t sent = 0;
    if (!stream->IsTLS()) {
      try {
        const iovec part{APacket.data(), APacket.size()};
        sent = stream->TryWrite(&part, 1);
      } catch (...) {
        FQueue.EndDirect({}, stream.get());
        WriteFailed(*stream, DescribeError(std::current_exception()).Message);
        return false;
      }
      if (sent > 0) FLastSendTime = Now();
      if (sent == APacket.size()) NoteWritten(APacket, *stream);
    }
    // What the socket did not take goes first in the queue.
    if (sent > 0) APacket.erase(APacket.begin(), APacket.begin() + static_cast<std::ptrdiff_t>(sent));
    const bool rest = !APacket.empty();
    FQueue.EndDirect(std::move(APacket), stream.get());
    if (rest) EnsureWriter();
    return true;
  }
  EnsureWriter();
  return FQueue.Push(std::move(APacket), ATail, ABounded);
}

// Started with the first packet that has to wait: a client whose packets
// all leave at once (a quiet one, say) never pays for the thread.
void TQORMQTTConnection::EnsureWriter() {
  if (FWriterRunning) return;
  std::unique_ptr<TQORMQTTWriterThread> ended;
  {
    TGuard guard(FMutex);
    if (FStopping || FWriterRunning) return;
    ended = std::move(FWriter);
    FQueue.Restart();
    FWriter = std::make_unique<TQORMQTTWriterThread>(*this);
    FWriterRunning = true;
  }
  if (ended) ended->WaitFor();
}

bool TQORMQTTConnection::WriteOut(TBrokerStream& AStream, iovec* AParts, size_t ACount) {
  try {
    AStream.Write(AParts, ACount);
    FLastSendTime = Now();
    return true;
  } catch (...) {
    WriteFailed(AStream, DescribeError(std::current_exception()).Message);
    return false;
  }
}

// A link that cannot be written to is broken: its reader is told so by the
// stream, and reports the loss as for any broken link.
void TQORMQTTConnection::WriteFailed(TBrokerStream& AStream, const std::string& AError) {
  if (AStream.Released()) return;  // closed on purpose: nothing to report
  Log("Write failed: %s", AError.c_str());
  AStream.Abort(AError);
}

uint16_t TQORMQTTConnection::Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS) {
  return Publish(ATopic, APayload, AQoS, TPublishExtras{});
}

uint16_t TQORMQTTConnection::Publish(const TQORMQTTMessage& AMessage) {
  if (AMessage.QoS > mqQoS2) throw Exception(Format("QoS %d is not 0, 1 or 2", AMessage.QoS));
  TPublishExtras extras;
  extras.Retain = AMessage.Retain;
  extras.Properties = PublicationProperties(AMessage);
  if (extras.Properties) CheckPropertyLengths(*extras.Properties);
  if (AMessage.Retain && !FRetainAvailable && FState == TLinkState::Connected)
    throw Exception("The broker has no retained messages (Retain Available 0)");
  return Publish(AMessage.Topic, AMessage.Payload, AMessage.QoS, extras);
}

uint16_t TQORMQTTConnection::Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS,
                                     const TPublishExtras& AExtras) {
  const TLinkState state = FState;
  const bool offline = state != TLinkState::Connected && state != TLinkState::Closing && FClient.OfflineQueueLimit > 0;
  if (offline) {
    CheckTopic(ATopic, false);
  } else {
    CheckRequest(ATopic, false);
  }
  const size_t content = PublishContentSize(ATopic.size(), APayload.size(), AQoS, FSession.ProtocolLevel(),
                                            AExtras.Properties.get());
  if (content > MQTT_MAX_VARINT)
    throw Exception(Format("PUBLISH of %zu bytes exceeds the MQTT maximum of 268435455", content));
  if (offline) return Queue(ATopic, APayload, AQoS, "while not connected", AExtras);
  CheckPacketSize(content, "PUBLISH");
  if (AQoS > FMaxQoS)
    throw Exception(Format("QoS %d exceeds the broker's Maximum QoS of %d", AQoS, FMaxQoS.load()));
  WaitForHeldRoom();
  // A large payload goes out from the caller's string behind its head;
  // copying it into the packet would cost more than the write.
  const bool apart = APayload.size() >= kSeparatePayloadSize;
  TRequestPacket request = FSession.Publish(ATopic, APayload, AQoS, apart, AExtras);
  if (request.Held) {
    Log("PUBLISH held topic=\"%s\" QoS=%d packet_id=%d payload_len=%zu until the broker's Receive Maximum has room",
        ATopic.c_str(), AQoS, request.PacketId, APayload.size());
    return request.PacketId;
  }
  try {
    SendRequest(std::move(request.Packet), apart ? std::string_view(APayload) : std::string_view());
  } catch (...) {
    // The link went under the caller: with an offline queue the publication
    // waits for the next link (a QoS 1 or 2 one is kept already), else it is given up.
    if (FClient.OfflineQueueLimit == 0 || FUserDisconnect || FStopping) {
      FSession.Unsent(request.PacketId);
      throw;
    }
    if (AQoS == mqQoS0) return Queue(ATopic, APayload, AQoS, "after the link was lost", AExtras);
    Log("PUBLISH kept topic=\"%s\" QoS=%d packet_id=%d payload_len=%zu for the next link", ATopic.c_str(), AQoS,
        request.PacketId, APayload.size());
    return request.PacketId;
  }
  if (request.NewAlias != 0) {
    FSession.AliasSent(ATopic, request);
    Log("Topic alias %d stands for \"%s\" on this link", request.NewAlias, ATopic.c_str());
  }
  Log("PUBLISH sent topic=\"%s\" QoS=%d packet_id=%d payload_len=%zu", ATopic.c_str(), AQoS, request.PacketId,
      APayload.size());
  return request.PacketId;
}

uint16_t TQORMQTTConnection::Queue(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS,
                                   const char* AWhen, const TPublishExtras& AExtras) {
  const uint16_t id = FSession.Queue(ATopic, APayload, AQoS, FClient.OfflineQueueLimit, AExtras);
  Log("PUBLISH queued topic=\"%s\" QoS=%d packet_id=%d payload_len=%zu %s", ATopic.c_str(), AQoS, id,
      APayload.size(), AWhen);
  // A link that came up since the state was read has sent the queue already.
  if (FState == TLinkState::Connected) SendWaiting();
  return id;
}

uint16_t TQORMQTTConnection::Subscribe(const std::vector<TQORMQTTSubscription>& AFilters,
                                       uint32_t ASubscriptionIdentifier) {
  if (AFilters.empty()) throw Exception("SUBSCRIBE needs at least one topic filter");
  for (const TQORMQTTSubscription& f : AFilters) {
    CheckRequest(f.Filter, true);
    if (f.QoS > mqQoS2 || f.RetainHandling > mqrhDoNotSend)
      throw Exception(Format("Subscription options of \"%s\" out of range: QoS %d, retain handling %d",
                             f.Filter.c_str(), f.QoS, f.RetainHandling));
  }
  if (ASubscriptionIdentifier > MQTT_MAX_VARINT)
    throw Exception(Format("Subscription identifier %u exceeds 268435455", ASubscriptionIdentifier));
  const bool level5 = FSession.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50;
  if (ASubscriptionIdentifier != 0 && level5 && !FSession.Limits().SubscriptionIdentifiersAvailable)
    throw Exception("The broker has no subscription identifiers (Subscription Identifier Available 0)");
  std::vector<std::pair<std::string, uint8_t>> filters;
  size_t content = 2 + (level5 ? 1 : 0);
  if (level5 && ASubscriptionIdentifier != 0) content += 1 + VarIntSize(ASubscriptionIdentifier);
  for (const TQORMQTTSubscription& f : AFilters) {
    filters.emplace_back(f.Filter, SubscriptionOptions(f.QoS, f.NoLocal, f.RetainAsPublished, f.RetainHandling));
    content += 2 + f.Filter.size() + 1;
  }
  CheckPacketSize(content, "SUBSCRIBE");
  TRequestPacket request = FSession.Subscribe(filters, level5 ? ASubscriptionIdentifier : 0);
  SendRequest(std::move(request.Packet));
  for (const TQORMQTTSubscription& f : AFilters)
    Log("SUBSCRIBE sent topic=\"%s\" QoS=%d packet_id=%d", f.Filter.c_str(), f.QoS, request.PacketId);
  return request.PacketId;
}

uint16_t TQORMQTTConnection::Unsubscribe(const std::vector<std::string>& AFilters) {
  if (AFilters.empty()) throw Exception("UNSUBSCRIBE needs at least one topic filter");
  size_t content = 2 + (FSession.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50 ? 1 : 0);
  for (const std::string& filter : AFilters) {
    CheckRequest(filter, true);
    content += 2 + filter.size();
  }
  CheckPacketSize(content, "UNSUBSCRIBE");
  TRequestPacket request = FSession.Unsubscribe(AFilters);
  SendRequest(std::move(request.Packet));
  for (const std::string& filter : AFilters)
    Log("UNSUBSCRIBE sent topic=\"%s\" packet_id=%d", filter.c_str(), request.PacketId);
  return request.PacketId;
}

void TQORMQTTConnection::Reauthenticate(const TBytes& AData) {
  if (FState != TLinkState::Connected) throw Exception("MQTT client is not connected");
  if (AData.size() > MQTT_MAX_STRING) throw Exception("Authentication data is longer than MQTT allows (65535 bytes)");
  SendRequest(FSession.Reauthenticate(AData));
  Log("AUTH sent reason=$19");
}

// --- connecting ------------------------------------------------------------------------------

void TQORMQTTConnection::Connect() {
  // The reader that must read the CONNACK may be the very thread asking.
  if (OnOwnThread())
    throw Exception("Connect must not be called from the client's own threads (an event handler)");
  {
    TGuard guard(FMutex);
    // An attempt under way (also a reconnect loop's) or a session: nothing to do.
    if (FState != TLinkState::Idle) return;
    CheckTextLength(FClient.ClientID, "Client identifier");
    CheckTextLength(FClient.Username, "User name");
    CheckTextLength(FClient.Password, "Password");
    // CONNECT carries it in two bytes: a larger value would be cut to
    // something the broker holds the client to.
    if (FClient.KeepAliveSecs < 0 || FClient.KeepAliveSecs > 65535)
      throw Exception(Format("KeepAliveSecs is %d; MQTT carries 0 to 65535 seconds", FClient.KeepAliveSecs));
    TLSVersion(FClient.TLSMinVersion);
    if (FClient.Will) {
      CheckTextLength(FClient.Will->Topic, "Will topic");
      CheckTopicName(FClient.Will->Topic, "Will topic");
      CheckTextLength(FClient.Will->Payload, "Will payload");
      if (FClient.Will->QoS > mqQoS2) throw Exception(Format("Will QoS %d is not 0, 1 or 2", FClient.Will->QoS));
      if (const auto properties = PublicationProperties(*FClient.Will)) CheckPropertyLengths(*properties, "Will ");
    }
    if (FClient.AuthenticationData.size() > MQTT_MAX_STRING)
      throw Exception("AuthenticationData is longer than MQTT allows (65535 bytes)");
    CheckTextLength(FClient.AuthenticationMethod, "AuthenticationMethod");
    for (const auto& [name, value] : FClient.UserProperties) {
      CheckTextLength(name, "User property name");
      CheckTextLength(value, "User property value");
    }
    if (FClient.ProtocolVersion != MQTT_PROTOCOL_LEVEL_50 && FClient.ProtocolVersion != MQTT_PROTOCOL_LEVEL_311)
      throw Exception(Format("ProtocolVersion is %d; it must be 5 (MQTT 5.0) or 4 (MQTT 3.1.1)",
                             FClient.ProtocolVersion));
    // A client told the broker speaks 3.1.1 only skips the 5.0 attempt; one
    // that has fallen back stays at 3.1.1.
    if (FClient.ProtocolVersion == MQTT_PROTOCOL_LEVEL_311) FSession.SetProtocolLevel(MQTT_PROTOCOL_LEVEL_311);
    CheckCredentials(FSession.ProtocolLevel());
    // A port outside MQTT's range would be cut to its low 16 bits: another
    // port than the one the log lines name.
    const auto checkPort = [](const std::string& AHost, int32_t APort, const std::string& AField) {
      if (!IsUnixSocket(AHost) && (APort < 1 || APort > 65535))
        throw Exception(Format("%s is %d; it must be 1 to 65535", AField.c_str(), APort));
    };
    if (FClient.Brokers.empty()) checkPort(FClient.BrokerHostName, FClient.BrokerPort, "BrokerPort");
    for (size_t i = 0; i < FClient.Brokers.size(); ++i)
      checkPort(FClient.Brokers[i].Host, FClient.Brokers[i].Port, Format("Brokers[%zu].Port", i));
    SetState(TLinkState::Connecting);
    FReconnectDelaySecs = 1;
    FUserDisconnect = false;
    FStopping = false;
  }
  try {
    DoConnect(false);
  } catch (...) {
    // The failed attempt's reader and keepalive thread would idle until the
    // next Connect or Disconnect: they end with it (this is the caller's
    // thread, never the reconnect loop's).
    StopThreads();
    TGuard guard(FMutex);
    if (FState == TLinkState::Connecting) SetState(TLinkState::Idle);
    throw;
  }
}

void TQORMQTTConnection::CheckCredentials(uint8_t ALevel) const {
  if (ALevel == MQTT_PROTOCOL_LEVEL_311 && FClient.Username.empty() && !FClient.Password.empty())
    throw Exception("Password is set without a Username; MQTT 3.1.1 sends a password only with a user name");
}

void TQORMQTTConnection::ReferTo(const std::string& AServerReference) {
  TGuard guard(FMutex);
  FReferredBroker = ParseReference(AServerReference, FCurrentBroker);
}

void TQORMQTTConnection::DoConnect(bool AFromLoop, bool AReferred) {
  const TLinkState opening = AFromLoop ? TLinkState::Reconnecting : TLinkState::Connecting;
  const uint8_t level = FSession.ProtocolLevel();
  CheckCredentials(level);
  {
    TGuard guard(FMutex);
    ReleaseLinkLocked();
  }
  // The brokers of the list in order (or the one broker), until one opens.
  std::vector<TQORMQTTBrokerAddress> brokers = FClient.Brokers;
  if (brokers.empty()) brokers.push_back({FClient.BrokerHostName, FClient.BrokerPort, FClient.UseSSL});
  // "[::1]", as the log lines write an IPv6 address, names the address inside.
  for (TQORMQTTBrokerAddress& b : brokers)
    if (b.Host.size() > 2 && b.Host.front() == '[' && b.Host.back() == ']')
      b.Host = b.Host.substr(1, b.Host.size() - 2);
  {
    // A server a broker referred the client to comes first, once.
    TGuard guard(FMutex);
    if (FReferredBroker) brokers.insert(brokers.begin(), *FReferredBroker);
    FReferredBroker.reset();
  }
  std::shared_ptr<TBrokerStream> stream;
  TQORMQTTBrokerAddress broker;
  for (size_t i = 0; !stream; ++i) {
    broker = brokers[i];
    // A Unix socket is always plain.
    Log("Connecting to %s (SSL=%s, protocol=%d)", Where(broker).c_str(),
        Bool(broker.UseSSL && !IsUnixSocket(broker.Host)), level);
    TBrokerStreamOptions options;
    options.Host = broker.Host;
    options.Port = static_cast<uint16_t>(broker.Port);
    options.ConnectTimeoutMs = SecondsToMs(FClient.ConnectTimeoutSecs);
    options.UseSSL = broker.UseSSL;
    options.VerifyPeer = FClient.VerifyPeer;
    options.CAFile = FClient.CAFile;
    options.CertFile = FClient.CertFile;
    options.KeyFile = FClient.KeyFile;
    options.KeyPassword = FClient.KeyPassword;
    options.ALPN = FClient.ALPNProtocols;
    options.MinTLSVersion = TLSVersion(FClient.TLSMinVersion);
    options.Ciphers = FClient.Ciphers;
    options.Sessions = FClient.TLSSessionResumption ? &FTLSSessions : nullptr;
    options.Cancel = &FStopping;
    options.Resolver = &FResolver;
    try {
      stream = TBrokerStream::Open(options);
    } catch (const ESocketError& e) {
      if (i + 1 == brokers.size() || FStopping) throw;
      Log("Broker %s unreachable: %s", Where(broker).c_str(), e.Message().c_str());
    }
  }
  if (const std::string alpn = stream->ALPNSelected(); !alpn.empty()) Log("TLS ALPN protocol \"%s\"", alpn.c_str());
  if (stream->Resumed()) Log("TLS session resumed");
  stream->SetIOTimeout(SecondsToMs(FClient.KeepAliveSecs));
  FSession.SetResubscribe(FClient.ResubscribeOnReconnect);
  // Until a broker says otherwise, the link has the client's own limits.
  FKeepAliveSecs = FClient.KeepAliveSecs;
  FMaxPacketSize = 0;
  FMaxQoS = mqQoS2;
  FRetainAvailable = true;
  FSession.SetTopicAliases(FClient.UseTopicAliases);
  std::string clientID = FClient.ClientID;
  if (clientID.empty()) {
    // A broker that named this client earlier gets that name again, so that
    // its session can be resumed.
    TGuard guard(FMutex);
    clientID = FAssignedClientID;
  }
  // CleanStart starts the session afresh on Connect; a reconnect resumes what
  // the broker keeps for SessionExpiryInterval, or a blip would throw it away.
  const bool cleanStart = FClient.CleanStart && !(AFromLoop && FClient.SessionExpiryInterval > 0 &&
                                                  level == MQTT_PROTOCOL_LEVEL_50);
  if (cleanStart != FClient.CleanStart) Log("Reconnecting without clean start, to resume the session");
  std::optional<TWillFields> will;
  if (FClient.Will) {
    const TQORMQTTMessage& w = *FClient.Will;
    will = TWillFields{w.Topic, w.Payload, w.QoS, w.Retain, {}};
    if (const auto properties = PublicationProperties(w)) will->Properties = *properties;
    if (FClient.WillDelayInterval != 0) will->Properties.WillDelayInterval = FClient.WillDelayInterval;
  }
  uint64_t epoch;
  {
    TGuard guard(FMutex);
    if (FStopping) {
      stream->Release();
      throw Exception("Connection attempt cancelled");
    }
    FStream = stream;
    FCurrentBroker = broker;
    epoch = ++FEpoch;
    FQueue.Open(stream);
    SetState(AFromLoop ? TLinkState::Rehandshake : TLinkState::Handshake);
  }
  Log("TCP connected");

  // Undoes this attempt, so that neither IsConnected nor a late CONNACK can
  // make a failed attempt look like a session.
  const auto abandon = [&] {
    TGuard guard(FMutex);
    if (FEpoch != epoch) return;
    ReleaseLinkLocked();
    if (FState != TLinkState::Idle) SetState(opening);
  };
  try {
    // The CONNECT leaves before the threads start, so that the broker works
    // on its answer meanwhile; it is logged as sent after their lines.
    if (!Send(FSession.Connect(ConnectFields(clientID, will, cleanStart))))
      throw Exception("MQTT client is not connected");
    StartThreads();
  } catch (...) {
    abandon();
    throw;
  }
  Log("CONNECT packet sent");
  // Only now does the reader read the link: its CONNACK line follows this one.
  {
    TGuard guard(FMutex);
    FReadableEpoch = epoch;
  }
  FChanged.notify_all();

  bool answered;
  uint8_t reason = 0;
  std::string ended;
  bool failed = false;
  {
    TLock lock(FMutex);
    answered = FChanged.wait_for(lock, std::chrono::milliseconds(SecondsToMs(FClient.ConnectTimeoutSecs)),
                                 [&] { return FConnackEpoch == epoch || FEndedEpoch == epoch || FStopping; }) &&
               FConnackEpoch == epoch;
    reason = FConnackReason;
    ended = FEndedEpoch == epoch ? FEndedReason : std::string();
    failed = FEndedEpoch == epoch && FEndedFailed;
  }
  if (!answered && failed && !FStopping) {
    // The reader could not take what the broker sent (a malformed CONNACK,
    // a PUBLISH before it, an AUTH it cannot answer): waiting on is in vain.
    abandon();
    throw ESocketError(ended);
  }
  if (!answered && !ended.empty() && !FStopping) {
    abandon();
    const std::string error = "Connection to " + Where(broker) + " closed during the handshake: " + ended;
    // A 3.1.1-only broker (RabbitMQ) may close the link on an MQTT 5.0
    // CONNECT without a word: Connect's first attempt tries 3.1.1 once.
    // Only a plain close or reset: a TLS alert (a refused certificate) says why already.
    const bool closed = ended == "closed by the broker" || ended == std::strerror(ECONNRESET);
    if (level == MQTT_PROTOCOL_LEVEL_50 && !AFromLoop && !AReferred && closed && stream->LastReceived() == 0 &&
        FClient.ProtocolVersion == MQTT_PROTOCOL_LEVEL_50) {
      Log("Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1");
      Log("Retrying with MQTT 3.1.1");
      FSession.SetProtocolLevel(MQTT_PROTOCOL_LEVEL_311);
      try {
        DoConnect(AFromLoop, AReferred);
        return;
      } catch (const ESocketError&) {
        // Closed again, or gone: nothing was learnt of the broker's level,
        // and the first attempt's reason is the one to tell.
        FSession.SetProtocolLevel(MQTT_PROTOCOL_LEVEL_50);
        throw ESocketError(error);
      }
    }
    throw ESocketError(error);
  }
  if (!answered || FStopping) {
    abandon();
    throw Exception(FStopping ? "Connection attempt cancelled" : "Timeout waiting for CONNACK");
  }
  if (RefusesLevel5(reason) && level == MQTT_PROTOCOL_LEVEL_50) {
    Log("Retrying with MQTT 3.1.1");
    abandon();
    DoConnect(AFromLoop);
    return;
  }
  const TBrokerWords words = FSession.Limits().Words;
  if (IsReferral(reason) && !words.ServerReference.empty() && !AReferred) {
    Log("Broker refers to %s \xE2\x80\x94 trying it", words.ServerReference.c_str());
    abandon();
    ReferTo(words.ServerReference);
    DoConnect(AFromLoop, true);
    return;
  }
  if (reason != mqrcSuccess) {
    abandon();
    throw Exception(Format("Broker refused connection (reason=$%2.2X)", reason) + words.Describe());
  }
  if (FKeepAliveSecs != FClient.KeepAliveSecs) {
    Log("Broker's Server Keep Alive of %ds replaces KeepAliveSecs %d for this connection", FKeepAliveSecs.load(),
        FClient.KeepAliveSecs);
    stream->SetIOTimeout(SecondsToMs(FKeepAliveSecs));
  }
  FLastSendTime = Now();
  FLastRecvTime = FLastSendTime.load();
  FPingQueuedAt = 0;
  FPingSentAt = 0;
  FConnectedAt = FLastSendTime.load();
  Log("MQTT session established");
  bool sessionPresent;
  {
    TGuard guard(FMutex);
    sessionPresent = FConnackSessionPresent;
  }
  Fire(FClient.OnConnected, sessionPresent);
}

TConnectFields TQORMQTTConnection::ConnectFields(const std::string& AClientID, const std::optional<TWillFields>& AWill,
                                                 bool ACleanStart) const {
  TConnectFields fields{ACleanStart, static_cast<uint16_t>(FClient.KeepAliveSecs), AClientID,
                        FClient.Username, FClient.Password, {}, AWill ? &*AWill : nullptr};
  TQORMQTTProperties& p = fields.Properties;
  if (FClient.SessionExpiryInterval > 0) p.SessionExpiryInterval = FClient.SessionExpiryInterval;
  if (FClient.ReceiveMaximum > 0) p.ReceiveMaximum = FClient.ReceiveMaximum;
  if (FClient.MaximumPacketSize > 0) p.MaximumPacketSize = FClient.MaximumPacketSize;
  if (FClient.TopicAliasMaximum > 0) p.TopicAliasMaximum = FClient.TopicAliasMaximum;
  p.UserProperties = FClient.UserProperties;
  if (!FClient.AuthenticationMethod.empty()) {
    p.AuthenticationMethod = FClient.AuthenticationMethod;
    if (!FClient.AuthenticationData.empty()) p.AuthenticationData = FClient.AuthenticationData;
  }
  return fields;
}

void TQORMQTTConnection::HandshakeEnded(uint64_t AEpoch, const std::string& AReason, bool AFailed) {
  {
    TGuard guard(FMutex);
    if (AEpoch != FEpoch) return;
    FEndedEpoch = AEpoch;
    FEndedReason = AReason.empty() ? "closed" : AReason;
    FEndedFailed = AFailed;
  }
  FChanged.notify_all();
}

void TQORMQTTConnection::StartThreads() {
  std::unique_ptr<TQORMQTTReaderThread> oldReader;
  std::unique_ptr<TQORMQTTKeepaliveThread> oldKeepalive;
  bool readerStarted = false;
  bool keepaliveStarted = false;
  {
    TGuard guard(FMutex);
    if (FStopping) throw Exception("MQTT client is stopping");
    // A reader that has reported a loss reads nothing more: a new one takes
    // over, and the old one is joined below, outside the lock.
    if (!FReader || FReader->Retired()) {
      oldReader = std::move(FReader);
      FReader = std::make_unique<TQORMQTTReaderThread>(*this);
      readerStarted = true;
    }
    if (!FKeepalive || FKeepalive->Finished()) {
      oldKeepalive = std::move(FKeepalive);
      FKeepalive = std::make_unique<TQORMQTTKeepaliveThread>(*this);
      keepaliveStarted = true;
    }
  }
  // Joined outside the lock; each has finished or is about to.
  if (oldReader) oldReader->WaitFor();
  if (oldKeepalive) oldKeepalive->WaitFor();
  if (readerStarted) Log("Reader thread started");
  if (keepaliveStarted) Log("Keepalive thread started");
}

// --- disconnecting and reconnecting ---------------------------------------------------------

void TQORMQTTConnection::Disconnect(TQORMQTTReasonCode AReasonCode, const TQORMQTTDisconnectProperties& AProperties) {
  if (OnOwnThread())
    throw Exception("Disconnect must not be called from the client's own threads (an event handler)");
  TQORMQTTProperties properties;
  properties.ReasonString = AProperties.ReasonString;
  properties.SessionExpiryInterval = AProperties.SessionExpiryInterval;
  properties.UserProperties = AProperties.UserProperties;
  CheckPropertyLengths(properties);
  // A session that was to end with the link cannot be kept by its DISCONNECT.
  if (FClient.SessionExpiryInterval == 0 && properties.SessionExpiryInterval.value_or(0) != 0)
    throw Exception("A DISCONNECT cannot set a Session Expiry Interval when CONNECT's was 0");
  FUserDisconnect = true;
  // Only while a stream is open; what was queued before goes out first, but
  // a link that does not take it within a second is closed all the same.
  if (IsConnected()) {
    EnsureWriter();
    FQueue.Push(FSession.Disconnect(AReasonCode, properties), {}, false, true, kDisconnectFlushMs);
  }
  StopThreads();
  {
    TGuard guard(FMutex);
    SetState(TLinkState::Idle);
  }
  const TDiscarded discarded = FSession.Discard();
  if (discarded.Messages > 0)
    Log("Disconnect discarded %zu publication(s) queued or not acknowledged", discarded.Messages);
  Log("Disconnected by user");
  for (const uint16_t id : discarded.PacketIds) Fire(FClient.OnPublishComplete, id, mqrcUnspecifiedError);
}

void TQORMQTTConnection::StopThreads() {
  {
    TGuard guard(FMutex);
    // Set under the lock, so that no waiter can test it and then miss the wake-up.
    FStopping = true;
    if (FReader) FReader->Terminate();
    if (FKeepalive) FKeepalive->Terminate();
    if (FWriter) FWriter->Terminate();
    ReleaseLinkLocked();
    // The stream is gone; the status stays what it was until the caller sets it.
    switch (FState.load()) {
      case TLinkState::Connected: SetState(TLinkState::Closing); break;
      case TLinkState::Handshake: SetState(TLinkState::Connecting); break;
      case TLinkState::Rehandshake: SetState(TLinkState::Reconnecting); break;
      default: break;
    }
  }
  FChanged.notify_all();
  FQueue.Stop();

  // The keepalive thread first: it runs the reconnect loop, and once it has
  // ended nothing starts threads any more.
  std::unique_ptr<TQORMQTTKeepaliveThread> keepalive;
  {
    TGuard guard(FMutex);
    keepalive = std::move(FKeepalive);
  }
  if (keepalive) keepalive->WaitFor();
  std::unique_ptr<TQORMQTTReaderThread> reader;
  std::unique_ptr<TQORMQTTWriterThread> writer;
  {
    TGuard guard(FMutex);
    reader = std::move(FReader);
    writer = std::move(FWriter);
    FWriterRunning = false;
  }
  if (reader) reader->WaitFor();
  if (writer) writer->WaitFor();
  // An attempt that was under way may have opened a stream meanwhile.
  TGuard guard(FMutex);
  ReleaseLinkLocked();
}

void TQORMQTTConnection::ReconnectLoop() {
  // Up to a quarter more than the delay, so that clients a broker dropped
  // together do not all come back in the same instant.
  static thread_local std::minstd_rand jitter(std::random_device{}());
  int32_t attempt = 0;
  while (!FUserDisconnect && !FStopping) {
    ++attempt;
    const int32_t delaySecs = FReconnectDelaySecs;
    Log("Reconnect attempt %d in %ds...", attempt, delaySecs);
    // The delay after this attempt, whatever it brings: a link that does not
    // stay up for long does not bring the shortest delay back.
    FReconnectDelaySecs = std::min(delaySecs * 2, kMaxReconnectDelaySecs);
    const int64_t waitMs = int64_t{delaySecs} * 1000 +
                           static_cast<int64_t>(jitter() % static_cast<uint32_t>(delaySecs * 250 + 1));
    {
      // Disconnect and destruction cut the delay short.
      TLock lock(FMutex);
      FChanged.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return FStopping || FUserDisconnect; });
    }
    if (FUserDisconnect || FStopping) break;
    try {
      DoConnect(true);
      Log("Reconnected successfully");
      break;
    } catch (...) {
      Log("Reconnect attempt %d failed: %s", attempt, DescribeError(std::current_exception()).Message.c_str());
    }
  }
}

// --- the worker threads' work ------------------------------------------------------------------

TLink TQORMQTTConnection::WaitForLink(uint64_t AAfterEpoch, const TQORMQTTReaderThread& AReader) {
  TLock lock(FMutex);
  FChanged.wait(lock, [&] {
    return AReader.Terminated() || (FReadableEpoch > AAfterEpoch && FReadableEpoch == FEpoch && FStream);
  });
  if (AReader.Terminated()) return {};
  return {FStream, FEpoch};
}

bool TQORMQTTConnection::ReadLink(const TLink& ALink, const TQORMQTTReaderThread& AReader) {
  TBrokerStream& stream = *ALink.Stream;
  TPacketFramer framer(stream, FSession.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50 ? FClient.MaximumPacketSize : 0);
  TReaderSink sink(*this, ALink.Epoch);
  uint8_t header = 0;
  std::string body;
  const auto inSession = [&] {
    TGuard guard(FMutex);
    return FEpoch == ALink.Epoch && FState == TLinkState::Connected;
  };
  try {
    for (;;) {
      if (!framer.Next(header, body)) {
        if (AReader.Terminated() || FUserDisconnect) return false;
        if (stream.LastReadTimedOut()) continue;  // an idle link; the keepalive thread judges it
        // The stream has ended. In an established session that is a lost
        // link; during the handshake the attempt waiting for its CONNACK
        // learns why at once (a TLS alert refusing the client's certificate
        // comes only now); either way a new link is waited for.
        if (!stream.Released()) {
          if (inSession()) {
            // A write that failed ended it: that is the reason, not the broker.
            const std::string aborted = stream.AbortReason();
            throw ESocketError(aborted.empty() ? "Connection closed by broker" : aborted);
          }
          HandshakeEnded(ALink.Epoch, stream.EndReason());
        }
        return true;
      }
      FSession.Receive(header, body, sink);
      if (FHeldWaiters > 0) WakeHeldWaiters();
    }
  } catch (...) {
    if (AReader.Terminated() || FUserDisconnect) return false;
    // Released under us on purpose (a retry at 3.1.1, say): nothing was lost.
    if (stream.Released()) return true;
    TErrorDescription error = DescribeError(std::current_exception());
    // Only the session knows which field the stream ended in.
    if (error.ClassName == "ETruncatedPacket") error = {"ESocketError", FSession.DescribeTruncated(header, body)};
    Log("Reader thread error: %s: %s", error.ClassName.c_str(), error.Message.c_str());
    // A packet the broker must not send ends the link with MQTT's reason,
    // which the broker is told (at 5.0) and the caller too, so that a faulty
    // broker is not taken for a lost network.
    uint8_t code = mqrcUnspecifiedError;
    try {
      throw;
    } catch (const EProtocolError& e) {
      code = e.ReasonCode();
    } catch (const EPacketTooLarge&) {
      code = 0x95;
    } catch (const EMalformedPacket&) {
      code = mqrcMalformedPacket;
    } catch (...) {
    }
    const bool faulty = code != mqrcUnspecifiedError;
    if (faulty && FSession.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50) Send(FSession.Disconnect(code));
    if (!inSession()) {
      // No session yet, so no loss to report and no reconnect: the attempt
      // waiting for its CONNACK fails at once, for this reason.
      stream.Release();
      HandshakeEnded(ALink.Epoch, error.Message, true);
      return true;
    }
    LinkLost(ALink.Epoch, static_cast<TQORMQTTReasonCode>(code),
             faulty ? Format("Disconnected (reason=$%2.2X): %s", code, error.Message.c_str())
                    : Format("Disconnected (reason=$%2.2X)", code));
    return false;
  }
}

void TQORMQTTConnection::Supervise(const TQORMQTTKeepaliveThread& AKeepalive) {
  uint64_t epoch;
  std::shared_ptr<TBrokerStream> stream;
  {
    TLock lock(FMutex);
    FChanged.wait_for(lock, std::chrono::seconds(1),
                      [&] { return AKeepalive.Terminated() || FReconnectRequested; });
    if (AKeepalive.Terminated()) return;
    if (FReconnectRequested) {
      FReconnectRequested = false;
      lock.unlock();
      ReconnectLoop();
      return;
    }
    epoch = FEpoch;
    stream = FStream;
  }
  // Keepalive 0 means no keepalive at all: nothing to ping, nothing to time out.
  const int32_t fullInterval = FKeepAliveSecs;
  if (fullInterval <= 0 || FState != TLinkState::Connected || !stream) return;
  const int64_t half = std::max<int64_t>(fullInterval / 2, 1) * kSecondNs;
  const int64_t full = int64_t{fullInterval} * kSecondNs;
  const int64_t now = Now();
  // Bytes arriving, not whole packets, are life: a large packet arriving
  // slowly, or a reply waiting while OnMessage runs long, keep the link.
  int64_t received = std::max<int64_t>(FLastRecvTime, stream->LastReceived());
  if (epoch != FWatchedEpoch) {
    FWatchedEpoch = epoch;
    FLastAcknowledged = 0;
  }
  const int64_t pingQueued = FPingQueuedAt;
  bool unanswered = pingQueued != 0 && received < pingQueued;
  // A link is given up only when a PINGREQ that has reached the broker's
  // host goes unanswered. Before it has (it may sit behind megabytes still
  // crossing a slow link), the link lives while those bytes move on.
  bool dead = false;
  const int64_t sentAt = FPingSentAt;
  if (unanswered && sentAt >= pingQueued) {
    int64_t asked = sentAt;
    uint64_t acknowledged = 0, written = 0;
    if (stream->Delivery(acknowledged, written)) {
      if (acknowledged >= FPingEnd) {
        if (FPingArrivedAt < sentAt) FPingArrivedAt = now;
        asked = FPingArrivedAt;
      } else if (acknowledged > FLastAcknowledged) {
        FDrainingAt = now;
      }
      FLastAcknowledged = acknowledged;
      if (acknowledged < FPingEnd) asked = std::max(sentAt, FDrainingAt);
    }
    if (now - asked >= half && now - received >= full) {
      if (stream->BytesWaiting()) {
        FLastRecvTime = received = now;
        unanswered = false;
      } else {
        dead = true;
      }
    }
  }
  // A PINGREQ after half the interval without sending, or without receiving
  // (a client that only publishes QoS 0 hears nothing otherwise); one at a time.
  if (!unanswered && (now - FLastSendTime >= half || now - received >= half)) {
    FPingQueuedAt = now;
    if (Send(FSession.PingReq())) {
      Log("PINGREQ sent");
    } else {
      Log("Keepalive PINGREQ failed: MQTT client is not connected");
    }
  }
  if (dead) {
    Log("No data received for %ds \xE2\x80\x94 keepalive timeout, reconnecting", fullInterval);
    LinkLost(epoch, mqrcUnspecifiedError, Format("Disconnected (reason=$%2.2X)", mqrcUnspecifiedError));
  }
}

void TQORMQTTConnection::NoteWritten(const TBytes& APacket, const TBrokerStream& AStream) {
  if (APacket.size() != 2 || APacket[0] != (MQTT_PINGREQ << 4)) return;
  // The PINGREQ has reached the broker's host once every byte written so far has.
  uint64_t acknowledged = 0, written = 0;
  FPingEnd = AStream.Delivery(acknowledged, written) ? written : 0;
  FPingSentAt = Now();
}

void TQORMQTTConnection::WaitForHeldRoom() {
  if (FSession.HeldBytes() < kQueueBytes) return;
  // The reader would wait for acknowledgements only it can read: a handler
  // publishing goes beyond the bound rather than lock the client up.
  if (OnOwnThread()) return;
  TLock lock(FMutex);
  ++FHeldWaiters;
  FChanged.wait(lock, [&] {
    return FSession.HeldBytes() < kQueueBytes || FState != TLinkState::Connected || FStopping || FUserDisconnect;
  });
  --FHeldWaiters;
  if (FSession.HeldBytes() >= kQueueBytes) throw Exception("MQTT client is not connected");
}

void TQORMQTTConnection::WakeHeldWaiters() {
  // Taken and released so that a waiter between its test and its wait cannot miss this.
  { TGuard guard(FMutex); }
  FChanged.notify_all();
}

void TQORMQTTConnection::WriteLoop() {
  // However the loop ends, the next packet that has to wait starts a new writer.
  struct TEnded {
    std::atomic<bool>& Running;
    ~TEnded() { Running = false; }
  } ended{FWriterRunning};
  std::vector<TWriteQueue::TEntry> batch;
  std::vector<iovec> parts;
  while (const std::shared_ptr<TBrokerStream> stream = FQueue.Take(batch)) {
    parts.clear();
    for (const TWriteQueue::TEntry& e : batch) {
      parts.push_back({const_cast<uint8_t*>(e.Packet.data()), e.Packet.size()});
      if (!e.Tail.empty()) parts.push_back({const_cast<char*>(e.Tail.data()), e.Tail.size()});
    }
    const bool written = WriteOut(*stream, parts.data(), parts.size());
    if (written)
      for (const TWriteQueue::TEntry& e : batch) NoteWritten(e.Packet, *stream);
    FQueue.Finished(batch, written);
  }
}

}  // namespace qor
