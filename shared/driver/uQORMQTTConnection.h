// The connection driver behind TQORMQTTClient: the coordinator of the
// rooms that do the work. The settings (checked once, at Connect), the
// protocol session (state, rules and time), the link (state, stream,
// epochs, handshake results, referrals), the output (the one way bytes
// leave), the events, and the worker threads (uQORMQTTWorkers) that run
// their own loops. Here (uQORMQTTConnection.cpp): connect, disconnect,
// the handshake of each attempt, a lost link and the reconnect loop,
// starting and stopping the threads; the caller's requests, their handles
// and pulling received messages are in uQORMQTTRequests.cpp.
//
// No lock here is held across a blocking call, a wait, a join or a callback.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "uBrokerStream.h"
#include "uQORMQTTClient.h"
#include "uQORMQTTEvents.h"
#include "uQORMQTTLink.h"
#include "uQORMQTTOutput.h"
#include "uQORMQTTReceiveQueue.h"
#include "uQORMQTTSession.h"
#include "uQORMQTTSettings.h"
#include "uQORWriteQueue.h"

namespace qor {

class TQORMQTTReaderThread;
class TQORMQTTKeepaliveThread;
class TContextPort;
class TIOContextCore;

class TQORMQTTConnection {
 public:
  // What Publish, Subscribe and Unsubscribe may leave queued before they wait.
  static constexpr size_t kQueueBytes = 16 * 1024 * 1024;

  explicit TQORMQTTConnection(TQORMQTTClient& AClient);
  // Its owner calls Shutdown first, while the client's fields and events the
  // threads use are still alive.
  ~TQORMQTTConnection();

  // --- the client's operations ----------------------------------------------------
  void Connect();
  // On the client's I/O context's connect threads, or without one as Connect.
  TQORMQTTHandle ConnectAsync();
  void Disconnect(TQORMQTTReasonCode AReasonCode, const TQORMQTTDisconnectProperties& AProperties);
  uint16_t Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS);
  uint16_t Publish(const TQORMQTTMessage& AMessage);
  // The caller gives its payload (and the message's properties) up: kept without a copy.
  uint16_t Publish(const std::string& ATopic, std::string&& APayload, TQORMQTTQoS AQoS);
  uint16_t Publish(TQORMQTTMessage&& AMessage);
  uint16_t Subscribe(const std::vector<TQORMQTTSubscription>& AFilters, uint32_t ASubscriptionIdentifier,
                     const TRequestHandle& AHandle = nullptr);
  uint16_t Unsubscribe(const std::vector<std::string>& AFilters, const TRequestHandle& AHandle = nullptr);
  // The same requests with a handle on each.
  TQORMQTTHandle PublishAsync(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS);
  TQORMQTTHandle PublishAsync(const TQORMQTTMessage& AMessage);
  TQORMQTTHandle PublishAsync(TQORMQTTMessage&& AMessage);
  TQORMQTTHandle SubscribeAsync(const std::vector<TQORMQTTSubscription>& AFilters, uint32_t ASubscriptionIdentifier);
  TQORMQTTHandle UnsubscribeAsync(const std::vector<std::string>& AFilters);
  bool Flush(std::chrono::milliseconds ATimeout);
  void Reauthenticate(const TBytes& AData);
  // The oldest message of the receive queue, its acknowledgement sent.
  std::optional<TQORMQTTMessage> Receive(std::chrono::milliseconds ATimeout);
  size_t ReceiveQueueCount() const { return FInbox.Count(); }
  bool IsConnected() const { return FLink.IsConnected(); }
  TQORMQTTConnectionStatus Status() const { return FLink.Status(); }
  TQORMQTTReasonCode LastConnectReasonCode() const {
    return static_cast<TQORMQTTReasonCode>(FLastConnectReasonCode.load());
  }
  size_t PendingCount() const { return FSession.PendingCount(); }
  uint8_t ProtocolLevel() const { return FSession.ProtocolLevel(); }
  // Stops every thread and closes the stream; the client destructor calls it.
  void Shutdown();

  // --- for the worker threads ----------------------------------------------------------
  // What the session sends and tells, for the link of one epoch (0: whichever is open).
  class TOutput;
  TBrokerLink& Link() { return FLink; }
  TQORMQTTSession& Session() { return FSession; }
  const TClientEvents& Events() const { return FEvents; }
  const TClientSettings& Settings() const { return FSettings; }
  TLinkOutput& Output() { return FOutput; }
  // The largest packet the reader takes (0: no limit but MQTT's).
  uint32_t InboundPacketLimit() const {
    return FSession.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50 ? FSettings.MaximumPacketSize : 0;
  }
  // The link of AEpoch is lost: state, stream and queue first, then the
  // event, then the reconnect loop is asked for (which gives up at once
  // when the policy makes no attempt for this loss). False when it was not
  // the session's link (any more).
  bool LinkLost(uint64_t AEpoch, TQORMQTTReasonCode ACode, const std::string& AReason);
  // On the keepalive thread, until a link is back, the client stops or the
  // policy gives up.
  void ReconnectLoop();
  // The reconnect loop's turns, for a client on an I/O context, whose loop
  // waits out the delay: the next attempt (logged), or none when the client
  // gives up (done here) or stops.
  std::optional<TBackoff::TAttempt> NextReconnect();
  // Attempt ANumber; whether the link is back.
  bool AttemptReconnect(int32_t ANumber);
  // The reader has taken a packet: a Publish waiting for held room may go on.
  void PacketRead() {
    if (FHeldWaiters > 0) FLink.Wake();
  }
  // Requests have ended: a Flush waiting looks again.
  void RequestsEnded();

 private:
  // One attempt; AReferred: it follows a broker's Server Reference already.
  void DoConnect(bool AFromLoop, bool AReferred = false);
  // Connect, on whichever thread: the caller's or a context's connect thread.
  // AUnlessAfter: as TBrokerLink::BeginConnect (raises "Connection attempt cancelled").
  void ConnectNow(std::optional<uint64_t> AUnlessAfter = std::nullopt);
  // The port on the client's I/O context, while attached.
  std::shared_ptr<TContextPort> Port() const;
  void StartThreads();
  // Every thread ends and is joined; on the keepalive thread, every other
  // one, and the keepalive thread itself ends when its loop comes round
  // (the next StartThreads or StopThreads joins it).
  void StopThreads();
  // The reconnect loop gives up, on the keepalive thread: ALine logged, the
  // other threads joined, what the client owed discarded, with AEvent a
  // last OnDisconnect saying ALine; then the client is idle.
  void GiveUp(const std::string& ALine, bool AEvent);
  // What the client still owes (publications kept or queued, subscribe and
  // unsubscribe requests, the subscriptions) is dropped: the count logged
  // as "<AWho> discarded ...", then AThen when given, then each QoS 1 and 2
  // publication reported to OnPublishComplete with mqrcUnspecifiedError, on
  // this thread.
  void DiscardOwed(const char* AWho, const char* AThen = nullptr);
  bool OnOwnThread() const;
  // Raises unless the session is up.
  void RequireConnected() const;
  // Waits while the publications held back by the broker's Receive Maximum
  // hold as many bytes as the write queue may; raises when the link goes.
  void WaitForHeldRoom();
  // Keeps a publication for the next link; its identifier.
  uint16_t Queue(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS, const char* AWhen,
                 const TPublishExtras& AExtras);
  uint16_t Publish(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS,
                   const TPublishExtras& AExtras);
  // A new request's handle: the next identity.
  TRequestHandle NewHandle() { return std::make_shared<TQORMQTTRequestState>(++FRequests); }
  void OnConnack(uint64_t AEpoch, uint8_t AReasonCode, bool ASessionPresent);

  TQORMQTTClient& FClient;
  TClientEvents FEvents;
  TClientSettings FSettings;  // replaced only by Connect, while no worker runs
  TQORMQTTSession FSession;
  TWriteQueue FQueue;
  TBrokerLink FLink;
  TLinkOutput FOutput;
  TReceiveQueue FInbox;

  mutable std::mutex FThreadsMutex;  // the thread objects
  std::unique_ptr<TQORMQTTReaderThread> FReader;
  std::unique_ptr<TQORMQTTKeepaliveThread> FKeepalive;
  // On an I/O context (set by Connect while idle): the port instead of threads.
  // Held until the next Connect: the client's calls may look at it after
  // the program's context object has gone.
  std::shared_ptr<TIOContextCore> FCoreHeld;
  std::atomic<TIOContextCore*> FCore{nullptr};  // FCoreHeld's, for any thread
  std::shared_ptr<TContextPort> FPort;
  // The last port detached, kept one generation: a Publish racing a
  // Disconnect may still be telling it of a packet.
  std::shared_ptr<TContextPort> FRetiredPort;
  std::vector<TRequestHandle> FConnecting;  // ConnectAsync's handles whose connect has not started
  std::shared_ptr<TIOContextCore> FConnectingOn;  // the context they wait on
  std::atomic<uint8_t> FLastConnectReasonCode{0};
  std::atomic<int> FHeldWaiters{0};  // Publish calls waiting in WaitForHeldRoom
  std::atomic<uint64_t> FRequests{0};  // handles given out
  std::mutex FFlushMutex;
  std::condition_variable FFlushed;  // Flush waits here for requests to end
  std::atomic<int> FFlushWaiters{0};
};

// What the session's output turns into: writes, events, and the state
// changes of a CONNACK or a DISCONNECT of the link the packets came from.
class TQORMQTTConnection::TOutput final : public ISessionSink {
 public:
  // AReader: the reader's own, which batches its acknowledgements (see Batch).
  TOutput(TQORMQTTConnection& AConnection, uint64_t AEpoch, bool AReader = false)
      : FC(AConnection), FEpoch(AEpoch), FReader(AReader) {}
  bool Logging() const override { return FC.FEvents.Logging(); }
  void Log(const std::string& ALine) override { FC.FEvents.Line(ALine); }
  bool Send(TBytes APacket, const TSendMode& AMode) override;
  void Deliver(TQORMQTTMessage& AMessage) override;
  bool DefersAcknowledgements() const override { return FC.FInbox.On(); }
  void Defer(TQORMQTTMessage& AMessage, const TInboundAck& AAck) override { Hold(AMessage, AAck); }
  bool WantsAcknowledgements() const override { return static_cast<bool>(FC.FClient.OnAcknowledgement); }
  void Acknowledged(const TQORMQTTAcknowledgement& AAcknowledgement) override {
    FC.FEvents.Fire(FC.FClient.OnAcknowledgement, AAcknowledgement);
  }
  std::optional<TBytes> Authenticate(const std::string& AMethod, const TBytes& AData) override;
  void Connack(uint8_t AReasonCode, bool ASessionPresent) override {
    FC.OnConnack(FEpoch, AReasonCode, ASessionPresent);
  }
  void PublishComplete(uint16_t APacketId, uint8_t AReasonCode) override {
    FC.RequestsEnded();
    FC.FEvents.Fire(FC.FClient.OnPublishComplete, APacketId, static_cast<TQORMQTTReasonCode>(AReasonCode));
  }
  void SubscribeComplete(uint16_t APacketId, const std::vector<TQORMQTTReasonCode>& ACodes,
                         bool AUnsubscribe) override {
    FC.RequestsEnded();
    FC.FEvents.Fire(AUnsubscribe ? FC.FClient.OnUnsubscribeComplete : FC.FClient.OnSubscribeComplete, APacketId,
                    ACodes);
  }
  void BrokerDisconnect(uint8_t AReasonCode, const TBrokerWords& AWords) override;
  // The last answer has its ACK at once; an earlier one soon, unless a
  // packet of the program's carries it first (a steady publisher's next
  // publication, which an ACK of its own would only double).
  void Answered(bool ALast) override {
    if (FReader) FAck = std::max(FAck, ALast ? TAck::AtOnce : TAck::Soon);
  }
  enum class TAck : uint8_t { None, Soon, AtOnce };
  // The reader's, once its read is handled: how soon the stream should
  // acknowledge what it read, as nothing sent since has carried the ACK.
  TAck TakeAck() { return std::exchange(FAck, TAck::None); }
  // The reader's: while ABatch (the next packet has arrived whole), the
  // acknowledgements it sends are held, and so are the messages that follow
  // one (as many as fast handlers get through in about a millisecond; none
  // while handlers are slow), until Flush. Each batch's acknowledgements then
  // leave in one write (one segment, one wake-up of the broker, rather than
  // one each), before any of its messages reaches a handler.
  void Batch(bool ABatch) { FBatch = ABatch; }
  // Sends what is held, then delivers the messages held back, in order;
  // raises the first error of a handler once all are delivered.
  void Flush();

 private:
  bool SendNow(TBytes APacket, const TSendMode& AMode);
  void SendHeld();
  void DeliverNow(TQORMQTTMessage& AMessage);
  void DeliverTimed(TQORMQTTMessage& AMessage);
  // Into the receive queue, once it has room; raises when the link goes
  // first (the message is dropped, never acknowledged).
  void Hold(TQORMQTTMessage& AMessage, const std::optional<TInboundAck>& AAck);

  TQORMQTTConnection& FC;
  uint64_t FEpoch;
  bool FReader;
  bool FBatch = false;
  TAck FAck = TAck::None;                  // see Answered
  bool FUnacknowledged = false;            // the program disconnects: acknowledgements are refused
  TBytes FHeld;                            // acknowledgements not yet sent, in order
  std::vector<TQORMQTTMessage> FDeferred;  // messages behind them, in order
  int64_t FHandlerNs = 0;                  // how long a handler takes, as last seen
  size_t FDeferLimit = 0;                  // messages that may wait behind their acknowledgements
};

}  // namespace qor
