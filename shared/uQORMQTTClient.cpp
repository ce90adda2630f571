// The client's own operations: construction, the outgoing path, connect,
// disconnect and reconnect. Inbound packets: uQORMQTTInbound.cpp; the worker
// threads: uQORMQTTWorkers.cpp.
#include "uQORMQTTClient.h"

#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>

#include "uBrokerStream.h"
#include "uQORMQTTWorkers.h"

namespace qor {

namespace {

using TGuard = std::lock_guard<std::recursive_mutex>;

constexpr int kMaxReconnectDelaySecs = 60;
// From this payload size on, a PUBLISH is written as header plus the caller's
// payload rather than copied into one buffer.
constexpr size_t kSeparatePayloadSize = 16 * 1024;

const char* Bool(bool AValue) { return AValue ? "True" : "False"; }

// Seconds from a configuration field as milliseconds for a wait: computed
// in 64 bits (a large value must not wrap) and kept within what an int holds.
int SecondsToMs(int32_t ASeconds) {
  return static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(ASeconds) * 1000, 0, INT_MAX));
}

}  // namespace

// --- construction ------------------------------------------------------------

TQORMQTTClient::TQORMQTTClient() : FLastSendTime(Now()), FLastRecvTime(FLastSendTime.load()) {}

TQORMQTTClient::~TQORMQTTClient() {
  if (FStatus != mqDisconnected) Disconnect(mqrcSuccess);
  StopThreads();
  TGuard guard(FLock);
  ReleaseStreamLocked();
}

// --- events and helpers --------------------------------------------------------

std::string TQORMQTTClient::Format(const char* AFormat, ...) {
  // Almost every line fits the buffer: one formatting pass, one allocation.
  char buffer[256];
  va_list args;
  va_start(args, AFormat);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(buffer, sizeof buffer, AFormat, args);
  va_end(args);
  std::string text;
  if (n > 0 && static_cast<size_t>(n) < sizeof buffer) {
    text.assign(buffer, static_cast<size_t>(n));
  } else if (n > 0) {
    text.resize(static_cast<size_t>(n));
    std::vsnprintf(text.data(), text.size() + 1, AFormat, again);
  }
  va_end(again);
  return text;
}

void TQORMQTTClient::DoLog(const std::string& AMsg) {
  if (!OnLog) return;
  try {
    OnLog(AMsg);
  } catch (...) {
    // A log listener that fails loses that line only; asking it to log its
    // own failure would fail again.
  }
}

void TQORMQTTClient::DoDisconnectEvent(TQORMQTTReasonCode ARC, const std::string& AReason) {
  if (!OnDisconnect) return;
  try {
    OnDisconnect(ARC, AReason);
  } catch (...) {
    // The link is lost either way: the reconnect that follows must not
    // depend on the handler.
    LogCallbackError(std::current_exception());
  }
}

void TQORMQTTClient::LogCallbackError(std::exception_ptr AError) {
  const TErrorDescription error = DescribeError(AError);
  Log("Callback error: %s: %s", error.ClassName.c_str(), error.Message.c_str());
}

void TQORMQTTClient::LogThreadError(const char* AThread, std::exception_ptr AError) noexcept {
  try {
    const TErrorDescription error = DescribeError(AError);
    Log("%s thread ended by an error: %s: %s", AThread, error.ClassName.c_str(), error.Message.c_str());
  } catch (...) {
    // Out of memory while saying so: nothing more can be done.
  }
}

void TQORMQTTClient::DoMessageEvent(const std::string& ATopic, const std::string& APayload,
                                    TQORMQTTQoS AQoS) {
  if (OnMessage) OnMessage(ATopic, APayload, AQoS);
}

// The stamps only feed the keepalive's whole-second rules, and one is taken
// per packet: the coarse monotonic clock (a few milliseconds of resolution)
// costs a fraction of the precise one.
int64_t TQORMQTTClient::Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double TQORMQTTClient::SecondsSince(const std::atomic<int64_t>& AStamp) const {
  return static_cast<double>(Now() - AStamp.load()) / 1e9;
}

bool TQORMQTTClient::OnOwnThread() const { return OnWorkerThreadOf(*this); }

void TQORMQTTClient::CheckTextLength(const std::string& AText, const char* AWhat) const {
  if (AText.size() > MQTT_MAX_STRING)
    throw Exception(Format("%s is %zu bytes long; MQTT allows at most 65535", AWhat, AText.size()));
}

// --- packet identifiers ----------------------------------------------------------

uint16_t TQORMQTTClient::NextPacketId() {
  TGuard guard(FLock);
  const uint16_t id = FNextPacketId;
  if (++FNextPacketId == 0) FNextPacketId = 1;
  return id;
}

void TQORMQTTClient::AddPendingId(uint16_t AId) {
  TGuard guard(FLock);
  FPendingIds.push_back(AId);
  FPendingCount = FPendingIds.size();
}

void TQORMQTTClient::RemovePendingId(uint16_t AId) {
  TGuard guard(FLock);
  // Acknowledgements mostly come in order: the oldest entry is the usual match.
  for (auto it = FPendingIds.begin(); it != FPendingIds.end(); ++it) {
    if (*it == AId) {
      FPendingIds.erase(it);
      FPendingCount = FPendingIds.size();
      return;
    }
  }
}

// Without FLock, like IsConnected: a publisher that paces itself by this
// count must not queue behind the write of another thread.
size_t TQORMQTTClient::PendingCount() { return FPendingCount; }

// --- outgoing path -------------------------------------------------------------------

TBytes TQORMQTTClient::BuildConnect() {
  return BuildConnectPacket(FProtocolLevel, CleanStart, static_cast<uint16_t>(KeepAliveSecs), ClientID,
                            Username, Password, SessionExpiryInterval);
}

TBytes TQORMQTTClient::BuildPublish(const std::string& ATopic, const std::string& APayload,
                                    TQORMQTTQoS AQoS, uint16_t APacketId) {
  return BuildPublishPacket(ATopic, std::string_view(APayload), AQoS, APacketId, FProtocolLevel,
                            false, false);
}

TBytes TQORMQTTClient::BuildPublishHead(const std::string& ATopic, size_t APayloadSize, TQORMQTTQoS AQoS,
                                        uint16_t APacketId) {
  return BuildPublishHeader(ATopic, APayloadSize, AQoS, APacketId, FProtocolLevel, false, false);
}

TBytes TQORMQTTClient::BuildPubAck(uint16_t APacketId) {
  return BuildPubAckPacket(APacketId, 0, FProtocolLevel);
}

TBytes TQORMQTTClient::BuildSubscribe(const std::string& ATopic, TQORMQTTQoS AQoS,
                                      uint16_t APacketId) {
  return BuildSubscribePacket(ATopic, AQoS, APacketId, FProtocolLevel);
}

TBytes TQORMQTTClient::BuildUnsubscribe(const std::string& ATopic, uint16_t APacketId) {
  return BuildUnsubscribePacket(ATopic, APacketId, FProtocolLevel);
}

TBytes TQORMQTTClient::BuildPingReq() { return BuildPingReqPacket(); }

TBytes TQORMQTTClient::BuildDisconnect(uint8_t AReasonCode) {
  return BuildDisconnectPacket(AReasonCode, FProtocolLevel);
}

bool TQORMQTTClient::SendBytes(const TBytes& AData) { return SendBytes(AData, {}); }

bool TQORMQTTClient::SendBytes(const TBytes& AHead, std::string_view ABody) {
  if (AHead.empty()) return true;
  TGuard guard(FLock);
  // Not connected: the packet is dropped; the reader or the keepalive
  // thread is already dealing with the lost link.
  if (!FSocket || !FConnected) return false;
  FSocket->Write(AHead.data(), AHead.size(), reinterpret_cast<const uint8_t*>(ABody.data()), ABody.size());
  FLastSendTime = Now();
  return true;
}

void TQORMQTTClient::SendRequest(const TBytes& AHead, std::string_view ABody) {
  // The status said connected, but the link went meanwhile (a Disconnect
  // under way on another thread, a loss): the caller must not be told it was sent.
  if (!SendBytes(AHead, ABody)) throw Exception("MQTT client is not connected");
}

// Without FLock: a caller polling the state must not wait behind a write
// that SendBytes holds the lock for.
bool TQORMQTTClient::IsConnected() { return FConnected && FHasStream; }

uint16_t TQORMQTTClient::Publish(const std::string& ATopic, const std::string& APayload,
                                 TQORMQTTQoS AQoS) {
  if (FStatus != mqConnected) throw Exception("MQTT client is not connected");
  CheckTextLength(ATopic, "Topic");
  const size_t content = 2 + ATopic.size() + (AQoS != mqQoS0 ? 2 : 0) +
                         (FProtocolLevel == MQTT_PROTOCOL_LEVEL_50 ? 1 : 0) + APayload.size();
  if (content > MQTT_MAX_VARINT)
    throw Exception(Format("PUBLISH of %zu bytes exceeds the MQTT maximum of 268435455", content));

  const uint16_t id = AQoS == mqQoS0 ? 0 : NextPacketId();
  // A large payload goes out from the caller's string behind its header;
  // copying it into the packet would cost more than the write.
  const bool apart = APayload.size() >= kSeparatePayloadSize;
  const TBytes packet = apart ? BuildPublishHead(ATopic, APayload.size(), AQoS, id)
                              : BuildPublish(ATopic, APayload, AQoS, id);
  // Recorded before the write: the acknowledgement may be read before the
  // write call has even returned.
  if (id != 0) AddPendingId(id);
  try {
    SendRequest(packet, apart ? std::string_view(APayload) : std::string_view());
  } catch (...) {
    if (id != 0) RemovePendingId(id);
    throw;
  }
  Log("PUBLISH sent topic=\"%s\" QoS=%d packet_id=%d payload_len=%zu", ATopic.c_str(), AQoS, id,
      APayload.size());
  return id;
}

uint16_t TQORMQTTClient::Subscribe(const std::string& ATopic, TQORMQTTQoS AQoS) {
  if (FStatus != mqConnected) throw Exception("MQTT client is not connected");
  CheckTextLength(ATopic, "Topic filter");
  const uint16_t id = NextPacketId();
  SendRequest(BuildSubscribe(ATopic, AQoS, id));
  Log("SUBSCRIBE sent topic=\"%s\" QoS=%d packet_id=%d", ATopic.c_str(), AQoS, id);
  return id;
}

uint16_t TQORMQTTClient::Unsubscribe(const std::string& ATopic) {
  if (FStatus != mqConnected) throw Exception("MQTT client is not connected");
  CheckTextLength(ATopic, "Topic filter");
  const uint16_t id = NextPacketId();
  SendRequest(BuildUnsubscribe(ATopic, id));
  Log("UNSUBSCRIBE sent topic=\"%s\" packet_id=%d", ATopic.c_str(), id);
  return id;
}

// --- the stream ---------------------------------------------------------------------

std::shared_ptr<TBrokerStream> TQORMQTTClient::CurrentStream() {
  TGuard guard(FLock);
  return FConnected ? FSocket : nullptr;
}

void TQORMQTTClient::ReleaseStreamLocked() {
  FHasStream = false;
  if (FSocket) FSocket->Release();
  FSocket.reset();
}

// --- connecting ----------------------------------------------------------------------

void TQORMQTTClient::Connect() {
  // The reader that must read the CONNACK may be the very thread asking.
  if (OnOwnThread())
    throw Exception("Connect must not be called from the client's own threads (an event handler)");
  {
    TGuard guard(FLock);
    // A reconnect loop is an attempt already running: its stream is not to be shared.
    if (FStatus == mqConnecting || FStatus == mqConnected || FReconnecting) return;
    CheckTextLength(ClientID, "Client identifier");
    CheckTextLength(Username, "User name");
    CheckTextLength(Password, "Password");
    FStatus = mqConnecting;
    FUserDisconnect = false;
    FStopping = false;
    FStopEvent.Reset();
  }
  try {
    DoConnect();
  } catch (...) {
    TGuard guard(FLock);
    FStatus = mqDisconnected;
    throw;
  }
}

void TQORMQTTClient::DoConnect() {
  const uint8_t level = FProtocolLevel;
  Log("Connecting to %s:%d (SSL=%s, protocol=%d)", BrokerHostName.c_str(), BrokerPort, Bool(UseSSL),
      level);
  FConnectEvent.Reset();
  FConnectSent.Reset();
  {
    TGuard guard(FLock);
    ReleaseStreamLocked();
  }
  TBrokerStreamOptions options;
  options.Host = BrokerHostName;
  options.Port = static_cast<uint16_t>(BrokerPort);
  options.ConnectTimeoutMs = SecondsToMs(ConnectTimeoutSecs);
  options.UseSSL = UseSSL;
  options.VerifyPeer = VerifyPeer;
  options.CAFile = CAFile;
  options.Cancel = &FStopping;
  const std::shared_ptr<TBrokerStream> stream = TBrokerStream::Open(options);
  const int ioTimeoutMs = SecondsToMs(KeepAliveSecs);
  stream->SetIOTimeout(ioTimeoutMs);
  {
    TGuard guard(FLock);
    FSocket = stream;
    FHasStream = true;
  }
  FConnected = true;
  Log("TCP connected");

  // Undoes this attempt, so that neither IsConnected nor a late CONNACK can
  // make a failed attempt look like a session.
  const auto abandon = [&] {
    TGuard guard(FLock);
    if (FSocket == stream) {
      FConnected = false;
      ReleaseStreamLocked();
    }
  };
  try {
    StartThreads();
    SendBytes(BuildConnect());
  } catch (...) {
    FConnectSent.Set();
    abandon();
    throw;
  }
  Log("CONNECT packet sent");
  FConnectSent.Set();

  const bool answered = FConnectEvent.WaitFor(SecondsToMs(ConnectTimeoutSecs));
  if (!answered || FStopping) {
    abandon();
    throw Exception(answered ? "Connection attempt cancelled" : "Timeout waiting for CONNACK");
  }
  stream->SetIOTimeout(ioTimeoutMs);

  const uint8_t reason = FLastConnectReasonCode;
  if (reason == mqrcUnsupportedProtocolVersion && level == MQTT_PROTOCOL_LEVEL_50) {
    Log("Retrying with MQTT 3.1.1");
    {
      TGuard guard(FLock);
      FConnected = false;
      ReleaseStreamLocked();
    }
    DoConnect();
    return;
  }
  if (reason != mqrcSuccess) {
    {
      TGuard guard(FLock);
      FConnected = false;
      ReleaseStreamLocked();
      FStatus = mqDisconnected;
    }
    throw Exception(Format("Broker refused connection (reason=$%2.2X)", reason));
  }
  FLastSendTime = Now();
  FLastRecvTime = FLastSendTime.load();
  Log("MQTT session established");
}

void TQORMQTTClient::StartThreads() {
  std::unique_ptr<TQORMQTTReaderThread> oldReader;
  std::unique_ptr<TQORMQTTKeepaliveThread> oldKeepalive;
  bool readerStarted = false;
  bool keepaliveStarted = false;
  {
    TGuard guard(FLock);
    if (FStopping) throw Exception("MQTT client is stopping");
    // A reader that has given up after an error reads nothing more: a new
    // one takes over now, and the old one is joined below, outside the lock.
    if (!FReaderThread || FReaderThread->Finished() || FReaderThread->Ending()) {
      oldReader = std::move(FReaderThread);
      FReaderThread = std::make_unique<TQORMQTTReaderThread>(*this);
      readerStarted = true;
    }
    if (!FKeepaliveThread || FKeepaliveThread->Finished()) {
      oldKeepalive = std::move(FKeepaliveThread);
      FKeepaliveThread = std::make_unique<TQORMQTTKeepaliveThread>(*this);
      keepaliveStarted = true;
    }
  }
  // Joined outside the lock; each has finished or is about to.
  if (oldReader) oldReader->WaitFor();
  if (oldKeepalive) oldKeepalive->WaitFor();
  if (readerStarted) Log("Reader thread started");
  if (keepaliveStarted) Log("Keepalive thread started");
}

// --- disconnecting and reconnecting ---------------------------------------------------

void TQORMQTTClient::Disconnect(TQORMQTTReasonCode AReasonCode) {
  if (OnOwnThread())
    throw Exception("Disconnect must not be called from the client's own threads (an event handler)");
  FUserDisconnect = true;
  try {
    SendBytes(BuildDisconnect(AReasonCode));  // only while the stream is open
  } catch (...) {
    // The link is going away anyway.
  }
  StopThreads();
  FStatus = mqDisconnected;
  Log("Disconnected by user");
}

void TQORMQTTClient::StopThreads() {
  FStopping = true;
  FStopEvent.Set();
  {
    TGuard guard(FLock);
    if (FReaderThread) FReaderThread->Terminate();
    if (FKeepaliveThread) FKeepaliveThread->Terminate();
    FConnected = false;
    ReleaseStreamLocked();
  }
  FConnectEvent.Set();
  FConnectSent.Set();

  // The reconnect loop first: once it has ended, nothing starts threads any more.
  std::unique_ptr<TQORMQTTReconnectThread> reconnect;
  {
    TGuard guard(FLock);
    reconnect = std::move(FReconnectThread);
  }
  if (reconnect) reconnect->WaitFor();

  std::unique_ptr<TQORMQTTReaderThread> reader;
  std::unique_ptr<TQORMQTTKeepaliveThread> keepalive;
  {
    TGuard guard(FLock);
    reader = std::move(FReaderThread);
    keepalive = std::move(FKeepaliveThread);
  }
  if (reader) {
    reader->Terminate();
    reader->WaitFor();
  }
  if (keepalive) {
    keepalive->Terminate();
    keepalive->WaitFor();
  }
  // An attempt that was under way may have opened a stream meanwhile.
  TGuard guard(FLock);
  FConnected = false;
  ReleaseStreamLocked();
}

void TQORMQTTClient::DoDisconnect(TQORMQTTReasonCode AReasonCode, bool /*AUserInitiated*/) {
  {
    TGuard guard(FLock);
    if (!FConnected) return;
    FConnected = false;
    ReleaseStreamLocked();
    FStatus = mqDisconnected;
  }
  DoDisconnectEvent(AReasonCode, Format("Disconnected (reason=$%2.2X)", AReasonCode));
  if (OnReaderThreadOf(*this)) {
    StartReconnectThread();
  } else {
    ReconnectLoop();
  }
}

void TQORMQTTClient::StartReconnectThread() {
  std::unique_ptr<TQORMQTTReconnectThread> finished;
  {
    TGuard guard(FLock);
    if (FReconnecting || FUserDisconnect || FStopping) return;
    // A previous loop has ended (FReconnecting is false); its thread is done or about to be.
    finished = std::move(FReconnectThread);
  }
  if (finished) finished->WaitFor();
  TGuard guard(FLock);
  if (FReconnecting || FUserDisconnect || FStopping || FReconnectThread) return;
  FReconnectThread = std::make_unique<TQORMQTTReconnectThread>(*this);
}

void TQORMQTTClient::ReconnectLoop() {
  {
    TGuard guard(FLock);
    if (FReconnecting || FUserDisconnect || FStopping) return;
    FReconnecting = true;
  }
  struct TEndLoop {
    TQORMQTTClient& Client;
    ~TEndLoop() {
      TGuard guard(Client.FLock);
      Client.FReconnecting = false;
    }
  } endLoop{*this};

  int32_t delaySecs = 1;
  int32_t attempt = 0;
  while (!FUserDisconnect && !FStopping) {
    ++attempt;
    Log("Reconnect attempt %d in %ds...", attempt, delaySecs);
    // Disconnect and destruction cut the delay short.
    FStopEvent.WaitFor(static_cast<int64_t>(delaySecs) * 1000);
    if (FUserDisconnect || FStopping) break;
    try {
      DoConnect();
      Log("Reconnected successfully");
      break;
    } catch (...) {
      Log("Reconnect attempt %d failed: %s", attempt,
          DescribeError(std::current_exception()).Message.c_str());
      delaySecs = std::min(delaySecs * 2, kMaxReconnectDelaySecs);
    }
  }
}

}  // namespace qor
