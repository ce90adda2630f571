// The connection driver behind TQORMQTTClient: it owns the stream to the
// broker, the protocol session, the write queue and the worker threads,
// and runs the handshake, keepalive and the reconnect policy. The link's
// state is one enum, changed only by SetState under FMutex; IsConnected
// and ConnectionStatus are both answered from it.
//
// Threads (uQORMQTTWorkers): the reader frames inbound packets and feeds
// the session; the writer drains the write queue; the keepalive thread
// pings, declares a silent link dead and runs the reconnect loop. FMutex
// is never held across a blocking call, a wait, a join or a callback.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "uQORFormat.h"
#include "uBrokerStream.h"
#include "uQORMQTTClient.h"
#include "uQORMQTTSession.h"
#include "uQORResolver.h"
#include "uQORWriteQueue.h"

namespace qor {

class TBrokerStream;
class TQORMQTTReaderThread;
class TQORMQTTKeepaliveThread;
class TQORMQTTWriterThread;

enum class TLinkState : uint8_t {
  Idle,          // no link and no attempt
  Connecting,    // Connect's attempt, opening the stream
  Handshake,     // Connect's attempt, stream open, waiting for the CONNACK
  Connected,     // the broker accepted the session
  Reconnecting,  // the reconnect loop, between attempts or opening a stream
  Rehandshake,   // the reconnect loop, stream open, waiting for the CONNACK
  Closing,       // Disconnect on a session: the link is closed, threads not yet joined
};

// One opened stream; Epoch tells it from every stream before and after it.
struct TLink {
  std::shared_ptr<TBrokerStream> Stream;
  uint64_t Epoch = 0;
};

class TQORMQTTConnection {
 public:
  explicit TQORMQTTConnection(TQORMQTTClient& AClient);
  // Its owner calls Shutdown first, while the client's fields and events the
  // threads use are still alive.
  ~TQORMQTTConnection();

  // --- the client's operations ----------------------------------------------------
  void Connect();
  void Disconnect(TQORMQTTReasonCode AReasonCode, const TQORMQTTDisconnectProperties& AProperties);
  uint16_t Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS);
  uint16_t Publish(const TQORMQTTMessage& AMessage);
  uint16_t Subscribe(const std::vector<TQORMQTTSubscription>& AFilters, uint32_t ASubscriptionIdentifier);
  uint16_t Unsubscribe(const std::vector<std::string>& AFilters);
  void Reauthenticate(const TBytes& AData);
  bool IsConnected() const;
  TQORMQTTConnectionStatus Status() const;
  TQORMQTTReasonCode LastConnectReasonCode() const {
    return static_cast<TQORMQTTReasonCode>(FLastConnectReasonCode.load());
  }
  size_t PendingCount() const { return FSession.PendingCount(); }
  uint8_t ProtocolLevel() const { return FSession.ProtocolLevel(); }
  // Stops every thread and closes the stream; the client destructor calls it.
  void Shutdown();

  // --- for the worker threads ----------------------------------------------------------
  // The reader: waits for a link newer than AAfterEpoch that an attempt has
  // handed over for reading; an empty link when AReader was terminated.
  TLink WaitForLink(uint64_t AAfterEpoch, const TQORMQTTReaderThread& AReader);
  // Reads ALink until it ends. False when the reader has reported its loss
  // and ends (a new reader serves the reconnect).
  bool ReadLink(const TLink& ALink, const TQORMQTTReaderThread& AReader);
  // The keepalive thread: one pass of at most a second.
  void Supervise(const TQORMQTTKeepaliveThread& AKeepalive);
  // The writer: drains the queue until stopped.
  void WriteLoop();
  // What ended a worker thread by surprise; never raises.
  void LogThreadError(const char* AThread, std::exception_ptr AError) noexcept;

  template <typename TFirst, typename... TRest>
  void Log(const char* AFormat, TFirst AFirst, TRest... ARest) {
    if (FClient.OnLog) DoLog(Format(AFormat, AFirst, ARest...));
  }
  void Log(const char* ALine) {
    if (FClient.OnLog) DoLog(ALine);
  }

 private:
  class TReaderSink;

  void DoLog(const std::string& ALine);
  // Calls an event when set; what it throws is logged and goes no further.
  template <typename TEvent, typename... TArgs>
  void Fire(const TEvent& AEvent, const TArgs&... AArgs) {
    if (!AEvent) return;
    try {
      AEvent(AArgs...);
    } catch (...) {
      LogCallbackError();
    }
  }
  void LogCallbackError();
  // Publications waiting in the session go out while the broker has room.
  void SendWaiting();
  // One attempt; AReferred: it follows a broker's Server Reference already.
  void DoConnect(bool AFromLoop, bool AReferred = false);
  // A broker names another server to use: the next attempt tries it first.
  void ReferTo(const std::string& AServerReference);
  void StartThreads();
  void StopThreads();
  void ReconnectLoop();
  void SetState(TLinkState AState);  // FMutex held
  void ReleaseLinkLocked();          // FMutex held
  // The link of AEpoch is lost: state, stream and queue first, then the
  // event, then the reconnect loop is asked for. False when it was not the
  // session's link (any more).
  bool LinkLost(uint64_t AEpoch, TQORMQTTReasonCode ACode, const std::string& AReason);
  void OnConnack(uint64_t AEpoch, uint8_t AReasonCode, bool ASessionPresent);
  // The stream of AEpoch ended before its CONNACK, for AReason; AFailed:
  // the reader ended it, refusing what the broker sent.
  void HandshakeEnded(uint64_t AEpoch, const std::string& AReason, bool AFailed = false);
  bool OnOwnThread() const;
  // Raises unless a session exists; then checks the topic name or filter.
  void CheckRequest(const std::string& ATopic, bool AFilter) const;
  // Raises for a topic name or filter MQTT does not allow.
  static void CheckTopic(const std::string& ATopic, bool AFilter);
  // Raises for credentials MQTT cannot carry at ALevel.
  void CheckCredentials(uint8_t ALevel) const;
  // Waits while the publications held back by the broker's Receive Maximum
  // hold as many bytes as the write queue may; raises when the link goes.
  void WaitForHeldRoom();
  void WakeHeldWaiters();
  // A packet has been written to AStream: a PINGREQ's answer is awaited from now on.
  void NoteWritten(const TBytes& APacket, const TBrokerStream& AStream);
  // Raises when a packet with AContent bytes after its fixed header would
  // exceed the broker's Maximum Packet Size.
  void CheckPacketSize(size_t AContent, const char* APacket) const;
  // Keeps a publication for the next link; its identifier.
  uint16_t Queue(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS, const char* AWhen,
                 const TPublishExtras& AExtras);
  uint16_t Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS,
                   const TPublishExtras& AExtras);
  // The CONNECT's fields from the client's configuration.
  TConnectFields ConnectFields(const std::string& AClientID, const std::optional<TWillFields>& AWill,
                               bool ACleanStart) const;
  // Queues a request's packet; raises when the link went meanwhile.
  void SendRequest(TBytes APacket, std::string_view ATail = {});
  // Sends a packet: written at once by the calling thread when the link is
  // idle and takes it without waiting, else queued for the writer. False
  // when there was no link to send it on, or writing it broke the link.
  bool Send(TBytes APacket, std::string_view ATail = {}, bool ABounded = false);
  // Writes AParts to AStream; a failure ends the link (logged, reader told).
  bool WriteOut(TBrokerStream& AStream, iovec* AParts, size_t ACount);
  void WriteFailed(TBrokerStream& AStream, const std::string& AError);
  void EnsureWriter();
  static int64_t Now();

  TQORMQTTClient& FClient;
  TQORMQTTSession FSession;
  TWriteQueue FQueue;
  TResolver FResolver;
  TTLSSessionCache FTLSSessions;

  mutable std::mutex FMutex;
  std::condition_variable FChanged;  // state, links, CONNACKs, stop requests
  std::atomic<TLinkState> FState{TLinkState::Idle};  // written by SetState only
  std::shared_ptr<TBrokerStream> FStream;            // FMutex
  uint64_t FEpoch = 0;                               // FMutex; the newest link's
  uint64_t FReadableEpoch = 0;                       // FMutex; handed to the reader
  uint64_t FConnackEpoch = 0;                        // FMutex; the link whose CONNACK came
  uint8_t FConnackReason = 0;                        // FMutex
  uint64_t FEndedEpoch = 0;                          // FMutex; the link that ended in its handshake
  std::string FEndedReason;                          // FMutex
  bool FEndedFailed = false;                         // FMutex; the reader refused the broker's packet
  bool FConnackSessionPresent = false;               // FMutex
  bool FReconnectRequested = false;                  // FMutex
  std::unique_ptr<TQORMQTTReaderThread> FReader;     // FMutex
  std::unique_ptr<TQORMQTTKeepaliveThread> FKeepalive;  // FMutex
  std::unique_ptr<TQORMQTTWriterThread> FWriter;     // FMutex
  std::atomic<bool> FWriterRunning{false};           // FWriter's loop runs; set under FMutex
  std::atomic<bool> FUserDisconnect{false};
  // Set by StopThreads until the next Connect: no new threads, no more attempts.
  std::atomic<bool> FStopping{false};
  std::atomic<uint8_t> FLastConnectReasonCode{0};
  // What the broker announced for the current link (set with its CONNACK).
  std::atomic<int32_t> FKeepAliveSecs{0};
  std::atomic<uint32_t> FMaxPacketSize{0};  // 0: no limit
  std::atomic<uint8_t> FMaxQoS{2};
  std::atomic<bool> FRetainAvailable{true};
  std::string FAssignedClientID;  // FMutex; the broker's name for a client that gave none
  TQORMQTTBrokerAddress FCurrentBroker;                 // FMutex; the broker of the newest link
  std::optional<TQORMQTTBrokerAddress> FReferredBroker;  // FMutex; to be tried first, once
  std::atomic<int64_t> FLastSendTime;  // CoarseNowNs
  std::atomic<int64_t> FLastRecvTime;  // the session's start; the stream stamps what arrives
  std::atomic<int64_t> FPingQueuedAt{0};  // the PINGREQ awaiting an answer; 0: none
  std::atomic<int64_t> FPingSentAt{0};    // when a PINGREQ was last written
  std::atomic<uint64_t> FPingEnd{0};      // the bytes written up to its end (Delivery)
  std::atomic<int64_t> FConnectedAt{0};   // when the newest session was established
  // The keepalive thread's own: the link it watches, the bytes the broker's
  // host had acknowledged at its last look, when that last grew, and when the
  // PINGREQ was first seen to have arrived.
  uint64_t FWatchedEpoch = 0;
  uint64_t FLastAcknowledged = 0;
  int64_t FDrainingAt = 0;
  int64_t FPingArrivedAt = 0;
  // The next reconnect's delay: doubles with each attempt, back to 1 s only
  // after a link that stayed up (or a new Connect).
  std::atomic<int32_t> FReconnectDelaySecs{1};
  std::atomic<int> FHeldWaiters{0};  // Publish calls waiting in WaitForHeldRoom
};

}  // namespace qor
