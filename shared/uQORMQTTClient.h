// TQORMQTTClient: a threaded MQTT 5.0 / 3.1.1 client for one broker, over
// TCP or TLS. It offers MQTT 5.0 first and falls back to 3.1.1 when the
// broker refuses 5.0, publishes and subscribes at QoS 0, 1 and 2, keeps the
// link alive and reconnects by itself with a doubling delay (1 s to 60 s).
//
// Thread rules
// - Configure the public fields and the callbacks before Connect, and leave
//   them alone while the client is connected or reconnecting.
// - Connect, Disconnect, Publish, Subscribe, Unsubscribe and the status
//   queries may be called from any thread, also at the same time.
// - Callbacks run directly on the client's own threads, never on yours:
//     OnMessage     the reader thread (one message at a time, in order);
//     OnDisconnect  the reader thread, the keepalive thread or the reconnect
//                   thread, whichever noticed the loss;
//     OnLog         any of those threads and the caller's, concurrently.
//   While OnMessage runs, nothing else is read from the broker. An exception
//   thrown by OnMessage is treated as a broken link (logged, OnDisconnect,
//   reconnect); one thrown by OnDisconnect is logged ("Callback error: ...")
//   and the reconnect goes on; one thrown by OnLog costs that line only.
// - A handler must never call Disconnect (it joins the very threads that run
//   the handler) or Connect (it waits for the reader that runs the handler):
//   the client raises an error instead. Nor may a handler destroy the client.
//   Publish, Subscribe and Unsubscribe are fine in handlers.
//
// Locks: one re-entrant lock, FLock, guards the packet-identifier counter,
// the pending lists, the stream pointer with every write to it, the thread
// objects and the short status changes. It is never held while sleeping,
// waiting, joining, reading or raising an event. IsConnected takes no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "uQORException.h"
#include "uQORMQTTProtocol.h"
#include "uQORThread.h"

namespace qor {

class TBrokerStream;
class TPacketReader;
class TQORMQTTReaderThread;
class TQORMQTTKeepaliveThread;
class TQORMQTTReconnectThread;

enum TQORMQTTQoS : uint8_t { mqQoS0 = 0, mqQoS1 = 1, mqQoS2 = 2 };

enum TQORMQTTConnectionStatus : uint8_t {
  mqDisconnected = 0,
  mqConnecting = 1,
  mqConnected = 2,
  mqDisconnecting = 3,  // declared for completeness; never entered
};

// The MQTT 5.0 reason-code bytes. A received code is kept as the raw byte,
// so values other than these can occur.
enum TQORMQTTReasonCode : uint8_t {
  mqrcSuccess = 0x00,
  mqrcNoMatchingSubscribers = 0x10,
  mqrcUnspecifiedError = 0x80,
  mqrcMalformedPacket = 0x81,
  mqrcNotAuthorized = 0x87,
  mqrcServerBusy = 0x89,
  mqrcTopicNameInvalid = 0x90,
  mqrcPacketIdInUse = 0x91,
  mqrcQuotaExceeded = 0x97,
  mqrcUnsupportedProtocolVersion = 0x84,
};

// Topic and payload arrive as the bytes the broker sent (UTF-8 for text).
using TQORMQTTMessageEvent =
    std::function<void(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS)>;
using TQORMQTTDisconnectEvent =
    std::function<void(TQORMQTTReasonCode AReasonCode, const std::string& AReason)>;
using TQORMQTTLogEvent = std::function<void(const std::string& ALine)>;

class TQORMQTTClient {
 public:
  TQORMQTTClient();
  // Disconnects when connected, stops and joins every thread of the client.
  virtual ~TQORMQTTClient();
  TQORMQTTClient(const TQORMQTTClient&) = delete;
  TQORMQTTClient& operator=(const TQORMQTTClient&) = delete;

  // --- configuration ------------------------------------------------------
  std::string BrokerHostName;
  int32_t BrokerPort = 8883;  // the low 16 bits are used
  bool UseSSL = true;
  std::string ClientID;
  std::string Username;  // left out of CONNECT when empty
  std::string Password;  // left out of CONNECT when empty
  // Seconds. Half of it without sending brings a PINGREQ, all of it without
  // receiving counts as a dead link; also the stream's I/O time-out. 0 turns
  // keepalive off.
  int32_t KeepAliveSecs = 60;
  bool CleanStart = true;
  uint32_t SessionExpiryInterval = 0;  // seconds; MQTT 5.0 only
  int32_t ConnectTimeoutSecs = 10;     // bounds the TCP connect, TLS handshake and CONNACK wait
  // TLS: check the broker's certificate chain and host name (off by default).
  bool VerifyPeer = false;
  std::string CAFile;  // with VerifyPeer: trusted CAs in PEM; empty: the system store

  TQORMQTTMessageEvent OnMessage;
  TQORMQTTDisconnectEvent OnDisconnect;
  TQORMQTTLogEvent OnLog;

  // --- operations ---------------------------------------------------------
  // Returns once the broker has accepted the session, or at once when an
  // attempt is already running (also a reconnect loop) or a session exists.
  // Raises Exception (refusal, time-out, over-long text) or ESocketError.
  void Connect();
  // Sends DISCONNECT when connected, stops every thread, closes the stream.
  // Returns within about a second, also during a reconnect delay.
  void Disconnect(TQORMQTTReasonCode AReasonCode = mqrcSuccess);
  // The packet identifier used (0 at QoS 0). Raises Exception when not
  // connected or when the topic or packet is too long for MQTT.
  uint16_t Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS);
  uint16_t Subscribe(const std::string& ATopic, TQORMQTTQoS AQoS);
  uint16_t Unsubscribe(const std::string& ATopic);

  // The stream is open (already during the handshake).
  bool IsConnected();
  TQORMQTTConnectionStatus ConnectionStatus() const { return FStatus; }
  TQORMQTTReasonCode LastConnectReasonCode() const {
    return static_cast<TQORMQTTReasonCode>(FLastConnectReasonCode.load());
  }
  // QoS 1 and 2 publications not yet acknowledged (QoS 2: PUBCOMP), oldest first.
  size_t PendingCount();
  // The protocol level in use: 5, or 4 after the broker refused MQTT 5.0.
  uint8_t ProtocolLevel() const { return FProtocolLevel; }

 private:
  friend class TQORMQTTReaderThread;
  friend class TQORMQTTKeepaliveThread;
  friend class TQORMQTTReconnectThread;
  friend class TQORMQTTInboundDriver;

  // Formats and hands a line to OnLog; costs nothing when nobody listens.
  template <typename TFirst, typename... TRest>
  void Log(const char* AFormat, TFirst AFirst, TRest... ARest) {
    if (OnLog) DoLog(Format(AFormat, AFirst, ARest...));
  }
  // A line without arguments is handed on as it is.
  void Log(const char* ALine) {
    if (OnLog) DoLog(ALine);
  }
  static std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
  void DoLog(const std::string& AMsg);
  void LogCallbackError(std::exception_ptr AError);
  // What ended a worker thread by surprise; never raises.
  void LogThreadError(const char* AThread, std::exception_ptr AError) noexcept;
  void DoDisconnectEvent(TQORMQTTReasonCode ARC, const std::string& AReason);
  void DoMessageEvent(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS);

  uint16_t NextPacketId();
  void AddPendingId(uint16_t AId);
  void RemovePendingId(uint16_t AId);

  TBytes BuildConnect();
  TBytes BuildPublish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS,
                      uint16_t APacketId);
  // BuildPublish's packet up to the payload, for SendBytes to send with it.
  TBytes BuildPublishHead(const std::string& ATopic, size_t APayloadSize, TQORMQTTQoS AQoS,
                          uint16_t APacketId);
  TBytes BuildPubAck(uint16_t APacketId);
  TBytes BuildSubscribe(const std::string& ATopic, TQORMQTTQoS AQoS, uint16_t APacketId);
  TBytes BuildUnsubscribe(const std::string& ATopic, uint16_t APacketId);
  TBytes BuildPingReq();
  TBytes BuildDisconnect(uint8_t AReasonCode);
  // False when there was no link to write to (nothing sent).
  bool SendBytes(const TBytes& AData);
  // One packet as AHead followed by ABody, in one write under FLock.
  bool SendBytes(const TBytes& AHead, std::string_view ABody);
  // SendBytes for the user's requests: raises when nothing could be sent.
  void SendRequest(const TBytes& AHead, std::string_view ABody = {});

  // Inbound packets, on the reader thread: one dispatch on the packet type,
  // one handler per type, each reading its packet from AIn. AFrom is the
  // stream the bytes came from.
  void Dispatch(TPacketReader& AIn, uint8_t AFixedHeader, const void* AFrom);
  void HandleConnack(TPacketReader& AIn, const void* AFrom);
  void HandlePublish(TPacketReader& AIn, uint8_t AFlags);
  void HandlePubAck(TPacketReader& AIn);
  void HandlePubRec(TPacketReader& AIn);
  void HandlePubRel(TPacketReader& AIn);
  void HandlePubComp(TPacketReader& AIn);
  void HandleSubAck(TPacketReader& AIn, const char* ALogFormat);
  void HandlePingResp(TPacketReader& AIn);
  void HandleDisconnect(TPacketReader& AIn);
  // Sends an acknowledgement from the reader thread; a failure is logged, not raised.
  void SendAck(const TBytes& APacket, const char* ASentFormat, const char* AFailedPrefix,
               uint16_t APacketId);

  void DoConnect();
  void DoDisconnect(TQORMQTTReasonCode AReasonCode, bool AUserInitiated);
  void StartThreads();
  void StopThreads();
  void ReconnectLoop();
  void StartReconnectThread();

  // The stream to read, when the transport is open; the reader keeps its own
  // reference, so a release by another thread cannot pull it away mid-read.
  std::shared_ptr<TBrokerStream> CurrentStream();
  // Closes and drops the stream; FLock must be held.
  void ReleaseStreamLocked();
  // Whether the calling thread is one of this client's worker threads.
  bool OnOwnThread() const;
  void CheckTextLength(const std::string& AText, const char* AWhat) const;

  static int64_t Now();
  double SecondsSince(const std::atomic<int64_t>& AStamp) const;

  std::shared_ptr<TBrokerStream> FSocket;  // FLock
  std::atomic<bool> FHasStream{false};     // whether FSocket holds a stream; changed with it
  std::atomic<bool> FConnected{false};
  std::atomic<TQORMQTTConnectionStatus> FStatus{mqDisconnected};
  uint16_t FNextPacketId = 1;  // FLock
  std::atomic<uint8_t> FProtocolLevel{MQTT_PROTOCOL_LEVEL_50};
  std::atomic<uint8_t> FLastConnectReasonCode{0};
  std::unique_ptr<TQORMQTTKeepaliveThread> FKeepaliveThread;  // FLock
  std::unique_ptr<TQORMQTTReaderThread> FReaderThread;        // FLock
  std::unique_ptr<TQORMQTTReconnectThread> FReconnectThread;  // FLock
  std::recursive_mutex FLock;
  TEvent FConnectEvent;
  // Set once the attempt has logged "CONNECT packet sent"; the reader waits
  // for it before logging the CONNACK, so the log reads in the order things happened.
  TEvent FConnectSent;
  std::atomic<int64_t> FLastSendTime;  // steady-clock nanoseconds
  std::atomic<int64_t> FLastRecvTime;
  std::atomic<bool> FUserDisconnect{false};
  std::atomic<bool> FReconnecting{false};
  // Set by StopThreads until the next Connect: no new threads, no more
  // attempts; FStopEvent cuts a reconnect delay short.
  std::atomic<bool> FStopping{false};
  TEvent FStopEvent;
  std::deque<uint16_t> FPendingIds;  // FLock; QoS 1 and 2 publications in flight
  std::atomic<size_t> FPendingCount{0};  // its size, changed with it
  std::set<uint16_t> FAwaitingRelease;  // FLock; inbound QoS 2 delivered, PUBREL not yet seen
};

}  // namespace qor
