#include "uQORMQTTConnection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <random>
#include <utility>
#include <vector>

#include "uQORIOContextCore.h"
#include "uQORMQTTContextPort.h"
#include "uQORMQTTIOContext.h"
#include "uQORMQTTRequestRules.h"
#include "uQORMQTTWorkers.h"

namespace qor {

namespace {

using TGuard = std::lock_guard<std::mutex>;

// How long Disconnect lets the queue drain, and then waits for the broker
// to close its side (at once, normally), before it closes the link anyway.
constexpr int kDisconnectFlushMs = 1000;

std::string Where(const TQORMQTTBrokerAddress& ABroker) { return Endpoint(ABroker.Host, ABroker.Port); }

}  // namespace

// --- what the session's output turns into ---------------------------------------------

bool TQORMQTTConnection::TOutput::Send(TBytes APacket, const TSendMode& AMode) {
  if (AMode.Request) FC.FLink.Requested();
  if (FReader) {
    const uint8_t type = APacket.empty() ? 0 : APacket[0] >> 4;
    if (type >= MQTT_PUBACK && type <= MQTT_PUBCOMP && !AMode.Request && !AMode.Flush && AMode.Tail.empty()) {
      FHeld.insert(FHeld.end(), APacket.begin(), APacket.end());
      if (!FBatch) SendHeld();
      return true;
    }
    Flush();  // what was held goes first
  }
  return SendNow(std::move(APacket), AMode);
}

bool TQORMQTTConnection::TOutput::SendNow(TBytes APacket, const TSendMode& AMode) {
  FAck = TAck::None;  // the packet carries the ACK
  if (!AMode.SameLink) return FC.FOutput.Send(std::move(APacket), AMode);
  // The stream is held while sending: no later link's stream can take its
  // address, so the write queue tells its own link from any other.
  const TLink link = FC.FLink.Current();
  if (link.Epoch != FEpoch || !link.Stream) return false;
  return FC.FOutput.Send(std::move(APacket), AMode, link.Stream.get());
}

void TQORMQTTConnection::TOutput::SendHeld() {
  if (FHeld.empty()) return;
  // Owed on this link only: on the next they would acknowledge nothing.
  const bool sent = SendNow(std::exchange(FHeld, {}), {{}, false, false, -1, true});
  // Behind the program's DISCONNECT nothing more may go: the broker, never
  // told, keeps these messages for the session's next link, and a handler
  // that had them too would see them twice.
  if (!sent && FC.FLink.UserDisconnect()) FUnacknowledged = true;
}

void TQORMQTTConnection::TOutput::Flush() {
  SendHeld();
  if (FDeferred.empty()) return;
  // Acknowledged already: every one is delivered, whatever a handler throws
  // (the first error then ends the link).
  std::exception_ptr error;
  for (TQORMQTTMessage& message : FDeferred) {
    try {
      DeliverTimed(message);
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
  FDeferred.clear();
  if (error) std::rethrow_exception(error);
}

void TQORMQTTConnection::TOutput::Deliver(TQORMQTTMessage& AMessage) {
  // Its acknowledgement waits for the batch's: so does the message, which
  // must not reach its handler before the broker has been told.
  const bool hold = FBatch && !FC.FInbox.On() && (!FHeld.empty() || !FDeferred.empty()) &&
                    FDeferred.size() < FDeferLimit;
  if (!hold && FDeferred.empty()) {
    SendHeld();
    DeliverTimed(AMessage);
    return;
  }
  FDeferred.push_back(std::move(AMessage));
  if (!hold) Flush();
}

void TQORMQTTConnection::TOutput::DeliverTimed(TQORMQTTMessage& AMessage) {
  // Acknowledged messages wait for their handlers only as long as these
  // would take about a millisecond, at most 16 of them: a Disconnect, which
  // lets every acknowledged message reach its handler, waits no longer for
  // slow handlers than it did when each was acknowledged on its own.
  constexpr int64_t kBudgetNs = 1'000'000;
  constexpr size_t kMostDeferred = 16;
  const auto start = std::chrono::steady_clock::now();
  DeliverNow(AMessage);
  const int64_t took = (std::chrono::steady_clock::now() - start) / std::chrono::nanoseconds(1);
  // A slow handler counts at once, a fast one by halves.
  FHandlerNs = std::max(took, FHandlerNs / 2);
  FDeferLimit = FHandlerNs <= 0 ? kMostDeferred : std::min<size_t>(kMostDeferred, kBudgetNs / FHandlerNs);
}

void TQORMQTTConnection::TOutput::DeliverNow(TQORMQTTMessage& AMessage) {
  if (FUnacknowledged) return;
  if (FC.FInbox.On()) {
    Hold(AMessage, std::nullopt);
    return;
  }
  // What a handler throws ends the link as a broken one: not through Fire.
  const TQORMQTTClient& handlers = FC.FClient;
  if (handlers.OnMessage) handlers.OnMessage(AMessage.Topic, AMessage.Payload, AMessage.QoS);
  if (handlers.OnMessageReceived) handlers.OnMessageReceived(AMessage);
}

void TQORMQTTConnection::TOutput::Hold(TQORMQTTMessage& AMessage, const std::optional<TInboundAck>& AAck) {
  SendHeld();  // the wait for room below may be long
  TReceiveQueue::TEntry entry{std::move(AMessage), AAck, FEpoch};
  const auto aborted = [&] {
    const TLink link = FC.FLink.Current();
    return link.Epoch == FEpoch && link.Stream ? link.Stream->AbortReason() : std::string();
  };
  // The reader waits here while the queue is full: only a link that went
  // (lost, closed by Disconnect, or a write that failed, which tells the
  // reader nothing while it waits) ends the wait.
  const auto gone = [&] { return FC.FLink.Ending() || !FC.FLink.InSession(FEpoch) || !aborted().empty(); };
  if (FC.FInbox.Put(entry, gone)) return;
  FC.FEvents.Log("PUBLISH packet_id=%d QoS=%d dropped: its link went while it waited for room in the receive queue",
                 entry.Message.PacketId, entry.Message.QoS);
  const std::string reason = aborted();
  throw ESocketError(reason.empty() ? std::string("The link went while a message waited for room in the receive queue")
                                    : reason);
}

// What OnAuth throws ends the link, as a broken one: the broker waits for an answer.
std::optional<TBytes> TQORMQTTConnection::TOutput::Authenticate(const std::string& AMethod, const TBytes& AData) {
  if (!FC.FClient.OnAuth) return std::nullopt;
  return FC.FClient.OnAuth(AMethod, AData);
}

void TQORMQTTConnection::TOutput::BrokerDisconnect(uint8_t AReasonCode, const TBrokerWords& AWords) {
  if (IsReferral(AReasonCode) && !AWords.ServerReference.empty()) FC.FLink.ReferTo(AWords.ServerReference);
  FC.LinkLost(FEpoch, static_cast<TQORMQTTReasonCode>(AReasonCode),
              Format("Broker disconnected (reason=$%2.2X)", AReasonCode) + AWords.Describe());
}

TQORMQTTConnection::TQORMQTTConnection(TQORMQTTClient& AClient)
    : FClient(AClient), FEvents(AClient), FQueue(kQueueBytes), FLink(FQueue), FOutput(FQueue, FSession, FEvents, FLink) {}

TQORMQTTConnection::~TQORMQTTConnection() = default;

void TQORMQTTConnection::Shutdown() {
  // A connect still queued on a context must not start once the client is going.
  FLink.UserDisconnecting();
  if (Status() != mqDisconnected) Disconnect(mqrcSuccess, {});
  StopThreads();
  // A Receive still waiting on another thread returns before the queue goes.
  FInbox.Close();
}

bool TQORMQTTConnection::OnOwnThread() const {
  // A context's threads serve many clients: any client's call that waits
  // for them would wait for itself.
  if (const TIOContextCore* core = FCore; core && core->OnOwnThread()) return true;
  TGuard guard(FThreadsMutex);
  return (FReader && FReader->OnThisThread()) || (FKeepalive && FKeepalive->OnThisThread()) ||
         FOutput.OnWriterThread();
}

void TQORMQTTConnection::OnConnack(uint64_t AEpoch, uint8_t AReasonCode, bool ASessionPresent) {
  FLastConnectReasonCode = AReasonCode;
  FLink.ConnackArrived(AEpoch, AReasonCode, ASessionPresent);
}

bool TQORMQTTConnection::LinkLost(uint64_t AEpoch, TQORMQTTReasonCode ACode, const std::string& AReason) {
  // No attempt at all when reconnecting is off, or when the broker says
  // another client took the session over and the program leaves it to that
  // one (only a broker's DISCONNECT carries this code).
  const TQORMQTTReconnectPolicy& policy = FSettings.Reconnect;
  const bool giveUp = !policy.Enabled || (ACode == mqrcSessionTakenOver && policy.StopOnSessionTakenOver);
  if (!FLink.Lose(AEpoch, giveUp)) return false;
  FSession.Lost(CoarseNowNs());
  // A reader waiting for room in the receive queue gives its message up.
  FInbox.LinkChanged();
  FEvents.Fire(FClient.OnDisconnect, ACode, AReason);
  // Asked for only now, so the loop's first line follows the event.
  if (FLink.AskReconnect())
    if (const std::shared_ptr<TContextPort> port = Port()) port->Reconnect();
  return true;
}

// --- connecting ------------------------------------------------------------------------------

void TQORMQTTConnection::Connect() {
  // The reader that must read the CONNACK may be the very thread asking.
  if (OnOwnThread() || (FClient.IOContext && FClient.IOContext->Core()->OnOwnThread()))
    throw Exception("Connect must not be called from the client's own threads (an event handler)");
  ConnectNow();
}

TQORMQTTHandle TQORMQTTConnection::ConnectAsync() {
  if (OnOwnThread() || (FClient.IOContext && FClient.IOContext->Core()->OnOwnThread()))
    throw Exception("ConnectAsync must not be called from the client's own threads (an event handler)");
  const TRequestHandle handle = NewHandle();
  const uint64_t disconnects = FLink.Disconnects();
  const auto run = [this, handle, disconnects] {
    {
      // Started: this job ends the handle, not a Disconnect's cancel.
      TGuard guard(FThreadsMutex);
      std::erase(FConnecting, handle);
    }
    TQORMQTTResult result;
    try {
      ConnectNow(disconnects);
      result.Outcome = Status() == mqConnected ? ocDelivered : ocDiscarded;
      if (result.Outcome == ocDiscarded) {
        result.ReasonCode = mqrcUnspecifiedError;
        result.ReasonString = "Another connect was under way";
      }
    } catch (const EBrokerRefused& e) {
      result = {ocRefused, e.ReasonCode(), {}, e.Message()};
    } catch (...) {
      result = {ocDiscarded, mqrcUnspecifiedError, {}, DescribeError(std::current_exception()).Message};
    }
    handle->End(result);
  };
  TQORMQTTIOContext* context = FClient.IOContext;
  if (!context) {
    run();
    return TQORMQTTHandle(handle);
  }
  // Bad settings raise here, to the caller, as they would from Connect.
  TClientSettings::Take(FClient);
  {
    TGuard guard(FThreadsMutex);
    FConnecting.push_back(handle);
    FConnectingOn = context->Core();
  }
  if (!context->Core()->Connects().Post(this, run)) {
    {
      TGuard guard(FThreadsMutex);
      std::erase(FConnecting, handle);
    }
    handle->End({ocDiscarded, mqrcUnspecifiedError, {}, "The I/O context has stopped"});
  }
  return TQORMQTTHandle(handle);
}

std::shared_ptr<TContextPort> TQORMQTTConnection::Port() const {
  TGuard guard(FThreadsMutex);
  return FPort;
}

void TQORMQTTConnection::ConnectNow(std::optional<uint64_t> AUnlessAfter) {
  // A client giving up is idle in a moment: this Connect is not one to skip.
  FLink.AwaitGiveUp();
  // An attempt under way (also a reconnect loop's) or a session: nothing to do.
  if (FLink.State() != TLinkState::Idle) return;
  TClientSettings settings = TClientSettings::Take(FClient);
  // A client told the broker speaks 3.1.1 only skips the 5.0 attempt; one
  // that has fallen back stays at 3.1.1.
  FSession.Offer(settings.ProtocolVersion);
  settings.CheckCredentials(FSession.ProtocolLevel());
  bool cancelled = false;
  if (!FLink.BeginConnect(AUnlessAfter, &cancelled)) {
    if (cancelled) throw Exception("Connection attempt cancelled");
    return;
  }
  // No worker thread runs while the link is idle: nobody reads the settings now.
  FSettings = std::move(settings);
  FCoreHeld = FClient.IOContext ? FClient.IOContext->Core() : nullptr;
  FCore = FCoreHeld.get();
  // A loop serves many clients: it never pauses for one.
  if (FCore) FSettings.ReceiveBatchMicros = 0;
  FInbox.SetLimit(FSettings.ReceiveQueueLimit);
  FSession.ResetBackoff(FSettings.BackoffRules());
  try {
    DoConnect(false);
  } catch (...) {
    // The failed attempt's reader and keepalive thread would idle until the
    // next Connect or Disconnect: they end with it (this is the caller's
    // thread, never the reconnect loop's).
    StopThreads();
    FLink.Move(TLinkState::Connecting, TLinkState::Idle);
    throw;
  }
}

void TQORMQTTConnection::DoConnect(bool AFromLoop, bool AReferred) {
  const uint8_t level = FSession.ProtocolLevel();
  FSettings.CheckCredentials(level);
  TQORMQTTBrokerAddress broker;
  const std::shared_ptr<TBrokerStream> stream = FLink.Open(FSettings, FEvents, level, broker);
  if (const std::string alpn = stream->ALPNSelected(); !alpn.empty())
    FEvents.Log("TLS ALPN protocol \"%s\"", alpn.c_str());
  if (stream->Resumed()) FEvents.Log("TLS session resumed");
  stream->SetIOTimeout(FSettings.KeepAliveMs(FSettings.KeepAliveSecs));
  FSession.SetResubscribe(FSettings.ResubscribeOnReconnect);
  FSession.SetTopicAliases(FSettings.UseTopicAliases);
  // A broker that named a client that gave no name gets that name again,
  // so that its session can be resumed.
  const std::string clientID = FSession.ClientIdentifier(FSettings.ClientID);
  // CleanStart starts the session afresh on Connect; a reconnect resumes what
  // the broker keeps for SessionExpiryInterval, or a blip would throw it away.
  const bool cleanStart = FSettings.CleanStart && !(AFromLoop && FSettings.SessionExpiryInterval > 0 &&
                                                    level == MQTT_PROTOCOL_LEVEL_50);
  if (cleanStart != FSettings.CleanStart) FEvents.Log("Reconnecting without clean start, to resume the session");
  const std::optional<TWillFields> will = FSettings.WillFields();
  const uint64_t epoch = FLink.Attach(stream, broker, AFromLoop);
  FEvents.Log("TCP connected");
  TOutput output(*this, epoch);
  try {
    // On a context the loop writes what the socket does not take at once
    // (all of a TLS CONNECT): attached first, or a writer thread would start.
    if (FCore) StartThreads();
    // The CONNECT leaves before the threads start, so that the broker works
    // on its answer meanwhile; it is logged as sent after their lines.
    if (!FSession.Connect(FSettings.ConnectFields(clientID, will ? &*will : nullptr, cleanStart), output))
      throw ENotConnected("MQTT client is not connected");
    StartThreads();
  } catch (...) {
    FLink.Abandon(epoch, AFromLoop);
    throw;
  }
  FEvents.Log("CONNECT packet sent");
  // Only now does the reader read the link: its CONNACK line follows this one.
  FLink.MakeReadable(epoch);
  if (const std::shared_ptr<TContextPort> port = Port()) port->Read(epoch);
  const THandshake handshake =
      FLink.AwaitHandshake(epoch, ConnackDeadline(CoarseNowNs(), FSettings.ConnectTimeoutSecs));
  const bool stopping = FLink.Stopping();
  if (!handshake.Answered && handshake.Failed && !stopping) {
    // The reader could not take what the broker sent (a malformed CONNACK,
    // a PUBLISH before it, an AUTH it cannot answer): waiting on is in vain.
    FLink.Abandon(epoch, AFromLoop);
    throw ESocketError(handshake.Ended);
  }
  if (!handshake.Answered && !handshake.Ended.empty() && !stopping) {
    FLink.Abandon(epoch, AFromLoop);
    const std::string error = "Connection to " + Where(broker) + " closed during the handshake: " + handshake.Ended;
    // A WebSocket broker that will not take MQTT 5.0 may close the WebSocket rather than the connection.
    const bool closed = handshake.Ended == "closed by the broker" || handshake.Ended == std::strerror(ECONNRESET) ||
                        handshake.Ended.rfind(kWebSocketClosedByBroker, 0) == 0;
    if (FSession.FallBackAfterClose(!AFromLoop && !AReferred, closed, stream->LastReceived() == 0,
                                    FSettings.ProtocolVersion, output)) {
      try {
        DoConnect(AFromLoop, AReferred);
        return;
      } catch (const ESocketError&) {
        // Closed again, or gone: the first attempt's reason is the one to tell.
        FSession.FallBackFailed();
        throw ESocketError(error);
      }
    }
    throw ESocketError(error);
  }
  if (!handshake.Answered || stopping) {
    FLink.Abandon(epoch, AFromLoop);
    if (stopping) throw Exception("Connection attempt cancelled");
    throw ETimeout("Timeout waiting for CONNACK");
  }
  if (FSession.RefusedLevel5(handshake.Reason, level)) {
    FEvents.Log("Retrying with MQTT 3.1.1");
    FLink.Abandon(epoch, AFromLoop);
    DoConnect(AFromLoop);
    return;
  }
  const TBrokerWords words = FSession.Limits().Words;
  if (IsReferral(handshake.Reason) && !words.ServerReference.empty() && !AReferred) {
    FEvents.Log("Broker refers to %s \xE2\x80\x94 trying it", words.ServerReference.c_str());
    FLink.Abandon(epoch, AFromLoop);
    FLink.ReferTo(words.ServerReference);
    DoConnect(AFromLoop, true);
    return;
  }
  if (handshake.Reason != mqrcSuccess) {
    FLink.Abandon(epoch, AFromLoop);
    throw EBrokerRefused(static_cast<TQORMQTTReasonCode>(handshake.Reason), words.ReasonString,
                         Format("Broker refused connection (reason=$%2.2X)", handshake.Reason) + words.Describe());
  }
  const int32_t keepAlive = FSession.KeepAliveSecs(FSettings.KeepAliveSecs);
  if (keepAlive != FSettings.KeepAliveSecs) {
    FEvents.Log("Broker's Server Keep Alive of %ds replaces KeepAliveSecs %d for this connection", keepAlive,
                FSettings.KeepAliveSecs);
    stream->SetIOTimeout(FSettings.KeepAliveMs(keepAlive));
  }
  FSession.Established(CoarseNowNs(), FSettings.KeepAliveSecs);
  FLink.Retick();
  if (const std::shared_ptr<TContextPort> port = Port()) port->Retick();
  FEvents.Log("MQTT session established");
  FEvents.Fire(FClient.OnConnected, handshake.SessionPresent);
}

void TQORMQTTConnection::StartThreads() {
  std::unique_ptr<TQORMQTTReaderThread> oldReader;
  std::unique_ptr<TQORMQTTKeepaliveThread> oldKeepalive;
  bool readerStarted = false;
  bool keepaliveStarted = false;
  if (FCore) {
    std::shared_ptr<TContextPort> attach;
    {
      TGuard guard(FThreadsMutex);
      if (FLink.Stopping()) throw Exception("MQTT client is stopping");
      if (FPort) return;
      FPort = attach = std::make_shared<TContextPort>(*this, FCoreHeld);
    }
    FQueue.Restart();
    FQueue.SetDriver(attach.get());
    attach->Attach();
    return;
  }
  {
    TGuard guard(FThreadsMutex);
    if (FLink.Stopping()) throw Exception("MQTT client is stopping");
    // A reader that has reported a loss reads nothing more: a new one takes
    // over, and the old one is joined below, outside the lock.
    if (!FReader || FReader->Retired()) {
      oldReader = std::move(FReader);
      FReader = std::make_unique<TQORMQTTReaderThread>(*this);
      readerStarted = true;
    }
    // One that gave up reconnecting is terminated and about to finish.
    if (!FKeepalive || FKeepalive->Terminated() || FKeepalive->Finished()) {
      oldKeepalive = std::move(FKeepalive);
      FKeepalive = std::make_unique<TQORMQTTKeepaliveThread>(*this);
      keepaliveStarted = true;
    }
  }
  // Joined outside the lock; each has finished or is about to.
  if (oldReader) oldReader->WaitFor();
  if (oldKeepalive) oldKeepalive->WaitFor();
  if (readerStarted) FEvents.Log("Reader thread started");
  if (keepaliveStarted) FEvents.Log("Keepalive thread started");
}

// --- disconnecting and reconnecting ---------------------------------------------------------

void TQORMQTTConnection::Disconnect(TQORMQTTReasonCode AReasonCode, const TQORMQTTDisconnectProperties& AProperties) {
  if (OnOwnThread())
    throw Exception("Disconnect must not be called from the client's own threads (an event handler)");
  TQORMQTTProperties properties;
  properties.ReasonString = AProperties.ReasonString;
  properties.SessionExpiryInterval = AProperties.SessionExpiryInterval;
  properties.UserProperties = AProperties.UserProperties;
  CheckProperties(properties);
  // A session that was to end with the link cannot be kept by its DISCONNECT.
  if (FClient.SessionExpiryInterval == 0 && properties.SessionExpiryInterval.value_or(0) != 0)
    throw EInvalidArgument("SessionExpiryInterval",
                           "A DISCONNECT cannot set a Session Expiry Interval when CONNECT's was 0");
  FLink.UserDisconnecting();
  // Only while a stream is open; what was queued before goes out first, but
  // a link that does not take it within a second is closed all the same.
  std::shared_ptr<TBrokerStream> told;  // the stream the DISCONNECT went on
  bool said = false;                     // and was written
  const auto start = std::chrono::steady_clock::now();
  if (IsConnected()) {
    told = FLink.Current().Stream;
    TOutput output(*this, 0);
    said = FSession.Disconnect(AReasonCode, properties, output, kDisconnectFlushMs);
  }
  // A broker busy with a long session queue may take a while to read up to the DISCONNECT.
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (told && said) told->Finish(std::max<int>(0, kDisconnectFlushMs - static_cast<int>(spent.count())));
  StopThreads();
  FLink.SetState(TLinkState::Idle);
  DiscardOwed("Disconnect", "Disconnected by user");
}

void TQORMQTTConnection::DiscardOwed(const char* AWho, const char* AThen) {
  // Nothing more comes: a Receive waiting on another thread returns empty.
  FInbox.Interrupt();
  const TDiscarded discarded = FSession.Discard();
  RequestsEnded();
  if (discarded.Messages > 0)
    FEvents.Log("%s discarded %zu publication(s) queued or not acknowledged", AWho, discarded.Messages);
  if (const size_t left = FInbox.Count(); left > 0)
    FEvents.Log("%s leaves %zu received message(s) in the receive queue", AWho, left);
  if (AThen) FEvents.Log(AThen);
  for (const uint16_t id : discarded.PacketIds) FEvents.Fire(FClient.OnPublishComplete, id, mqrcUnspecifiedError);
}

void TQORMQTTConnection::StopThreads() {
  // First no new attempt or thread, then every thread told, then woken:
  // each wait tests its thread's flag or the link's under the link's lock.
  FLink.Stop();
  {
    TGuard guard(FThreadsMutex);
    if (FReader) FReader->Terminate();
    if (FKeepalive) FKeepalive->Terminate();
  }
  FOutput.Terminate();
  FLink.Wake();
  FInbox.LinkChanged();
  FQueue.Stop();

  // The keepalive thread first: it runs the reconnect loop, and once it has
  // ended nothing starts threads any more. On that very thread (giving up)
  // it stays, terminated, for whoever starts or stops threads next.
  std::unique_ptr<TQORMQTTKeepaliveThread> keepalive;
  {
    TGuard guard(FThreadsMutex);
    if (!FKeepalive || !FKeepalive->OnThisThread()) keepalive = std::move(FKeepalive);
  }
  if (keepalive) keepalive->WaitFor();
  std::unique_ptr<TQORMQTTReaderThread> reader;
  {
    TGuard guard(FThreadsMutex);
    reader = std::move(FReader);
  }
  if (reader) reader->WaitFor();
  FOutput.Join();
  std::shared_ptr<TContextPort> port;
  std::vector<TRequestHandle> connecting;
  {
    TGuard guard(FThreadsMutex);
    port = FPort;
  }
  if (port) {
    // The loop first: then nothing posts another attempt of this client.
    port->Detach();
    FQueue.SetDriver(nullptr);
    TGuard guard(FThreadsMutex);
    FRetiredPort = std::move(FPort);
  }
  std::shared_ptr<TIOContextCore> connectingOn;
  {
    TGuard guard(FThreadsMutex);
    connectingOn = FConnectingOn;
  }
  // Connects queued on a context (maybe not yet the one of the last Connect) are dropped.
  for (TIOContextCore* core : {FCore.load(), connectingOn.get()})
    if (core) core->Connects().Cancel(this);
  {
    TGuard guard(FThreadsMutex);
    connecting.swap(FConnecting);
  }
  for (const TRequestHandle& handle : connecting)
    handle->End({ocDiscarded, mqrcUnspecifiedError, {}, "Connection attempt cancelled"});
  // An attempt that was under way may have opened a stream meanwhile.
  FLink.Release();
}

void TQORMQTTConnection::ReconnectLoop() {
  while (const std::optional<TBackoff::TAttempt> next = NextReconnect()) {
    // Disconnect and destruction cut the delay short.
    if (!FLink.WaitDelay(next->WaitMs) || AttemptReconnect(next->Number)) break;
  }
}

std::optional<TBackoff::TAttempt> TQORMQTTConnection::NextReconnect() {
  // Up to the policy's share more than the delay, so that clients a broker
  // dropped together do not all come back in the same instant.
  static thread_local std::minstd_rand jitter(std::random_device{}());
  if (FLink.Ending()) return std::nullopt;
  // The loss asked for no attempt: its OnDisconnect was the last.
  if (FLink.GivingUp()) {
    GiveUp(FSettings.Reconnect.Enabled ? "Not reconnecting: another client took the session over"
                                       : "Reconnecting is off",
           false);
    return std::nullopt;
  }
  if (FSession.ReconnectsExhausted()) {
    GiveUp(Format("Reconnect gave up after %d attempt(s)", FSettings.Reconnect.MaxAttempts), true);
    return std::nullopt;
  }
  const TBackoff::TAttempt next = FSession.NextReconnect(static_cast<uint32_t>(jitter()));
  // Whole seconds as ever; a policy's finer delay to the millisecond.
  if (next.DelayMs % 1000 == 0)
    FEvents.Log("Reconnect attempt %d in %ds...", next.Number, next.DelaySecs);
  else
    FEvents.Log("Reconnect attempt %d in %dms...", next.Number, static_cast<int>(next.DelayMs));
  return next;
}

bool TQORMQTTConnection::AttemptReconnect(int32_t ANumber) {
  try {
    DoConnect(true);
    FEvents.Log("Reconnected successfully");
    return true;
  } catch (...) {
    FEvents.Log("Reconnect attempt %d failed: %s", ANumber, DescribeError(std::current_exception()).Message.c_str());
    return false;
  }
}

void TQORMQTTConnection::GiveUp(const std::string& ALine, bool AEvent) {
  // From here a Connect waits for the client to be idle rather than return.
  FLink.GiveUp();
  FEvents.Line(ALine);
  // No thread of this client is left to run (this one ends with its loop),
  // so that a later Connect starts from nothing, as the first did.
  StopThreads();
  DiscardOwed("Giving up");
  if (AEvent) FEvents.Fire(FClient.OnDisconnect, mqrcUnspecifiedError, ALine);
  FLink.GaveUp();
}

}  // namespace qor
