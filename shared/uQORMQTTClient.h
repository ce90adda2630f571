// TQORMQTTClient: a threaded MQTT 5.0 / 3.1.1 client for one broker, over
// TCP or TLS. It offers MQTT 5.0 first and falls back to 3.1.1 when the
// broker refuses 5.0 (reason 0x84, or 3.1.1's return code 1, or a close
// without a CONNACK on Connect's first attempt), publishes and subscribes at
// QoS 0, 1 and 2, keeps the link alive and reconnects by itself with a
// doubling delay (1 s to 60 s, back to 1 s only after a link stayed up 10 s).
//
// Reconnects follow the Reconnect policy (TQORMQTTReconnectPolicy; the
// defaults above, unlimited attempts). Each lost link raises OnDisconnect
// once, with its reason. The client gives up:
// - after MaxAttempts failed attempts since the loss: "Reconnect gave up
//   after N attempt(s)" is logged, and a second OnDisconnect follows with
//   mqrcUnspecifiedError and that text;
// - at once, with no attempt, when Enabled is false ("Reconnecting is off"),
//   or when StopOnSessionTakenOver is set and the broker ended the link with
//   DISCONNECT 0x8E ("Not reconnecting: another client took the session
//   over"): the loss's OnDisconnect is the last one, no second follows.
// Giving up discards what the client owed as Disconnect does ("Giving up
// discarded N publication(s) queued or not acknowledged", OnPublishComplete
// with mqrcUnspecifiedError on the keepalive thread), ends every thread of
// the client and leaves it idle (mqDisconnected): Connect works as the first
// did. A Connect called while the client gives up waits until it has (so
// never make a handler wait for one); during a reconnect loop it still
// returns at once.
//
// Thread rules (for a client with threads of its own; one attached to an
// I/O context by IOContext follows uQORMQTTIOContext.h instead)
// - Configure the public fields and the callbacks before Connect, and leave
//   them alone while the client is connected or reconnecting.
// - Connect, Disconnect, Publish, Subscribe, Unsubscribe and the status
//   queries may be called from any thread, also at the same time.
// - Callbacks run directly on the client's own threads, never on yours:
//     OnMessage, OnMessageReceived, OnAuth
//                   the reader thread (one message at a time, in order);
//     OnDisconnect  the reader thread or the keepalive thread (which also
//                   runs the reconnect loop), whichever noticed the loss;
//     OnLog         any of those threads, the writer thread and the
//                   caller's, concurrently;
//     OnConnected   the thread that completed the connect: the caller's
//                   of Connect, or the keepalive thread after a reconnect;
//     OnPublishComplete, OnSubscribeComplete, OnUnsubscribeComplete,
//     OnAcknowledgement
//                   the reader thread (Disconnect's caller for discards,
//                   the keepalive thread for a give-up's).
//   While OnMessage runs, nothing else is read from the broker. An exception
//   thrown by OnMessage, OnMessageReceived or OnAuth is treated as a broken
//   link (logged, OnDisconnect, reconnect); one thrown by OnDisconnect,
//   OnConnected, OnAcknowledgement or a complete event
//   is logged ("Callback error: ...") and the client goes on (so does the
//   reconnect); one thrown by OnLog costs that line only.
// - A handler must never call Disconnect (it joins the very threads that run
//   the handler) or Connect (it waits for the reader that runs the handler):
//   the client raises an error instead. Nor may a handler destroy the client.
//   Publish, Subscribe and Unsubscribe are fine in handlers (in OnMessage,
//   one that waits for room in the write queue holds up the reading too).
// - Receiving by pulling (ReceiveQueueLimit above 0): messages wait in a
//   queue of at most that many instead of going to OnMessage and
//   OnMessageReceived (neither is called), and Receive or TryReceive take
//   them on any thread, on several at once too (each message goes to one,
//   in order). A QoS 1 or 2 message is acknowledged when it is taken, and
//   only on the link it came on; at MQTT 5.0 the Receive Maximum announced
//   is at most the limit, so the broker holds back what the queue has no
//   room for while the reader goes on reading everything else. When the
//   queue is full all the same (QoS 0, a broker that ignores the Receive
//   Maximum), the reader waits for room and reads nothing meanwhile.
//   Disconnect and the destructor wake a waiting Receive: it returns empty.
//
// Writes: Publish, Subscribe, Unsubscribe and the client's acknowledgements
// put whole packets on one write queue, which the client's writer thread
// sends in batches. Publish returns once its packet is queued (a payload of
// 16 KiB or more: once it has been written, since it is sent from the
// caller's string). The queue holds up to 16 MiB: a Publish, Subscribe or
// Unsubscribe that finds it full waits until the writer has made room, or
// raises ENotConnected when the link goes meanwhile.
// Publications held back by the broker's Receive Maximum count against the
// same 16 MiB, with the same rule (on the reader thread Publish does not
// wait there). A write that fails, or takes nothing for KeepAliveSecs, ends
// the link as a lost one. Disconnect sends what was
// queued before its DISCONNECT, waiting up to a second for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "uQORException.h"
#include "uQORMQTTErrors.h"
#include "uQORMQTTHandle.h"
#include "uQORMQTTIOContext.h"
#include "uQORMQTTMessage.h"
#include "uQORMQTTProtocol.h"

namespace qor {

class TQORMQTTConnection;

enum TQORMQTTConnectionStatus : uint8_t {
  mqDisconnected = 0,
  mqConnecting = 1,
  mqConnected = 2,
  mqDisconnecting = 3,  ///< declared for completeness; never entered
};

/// Topic and payload arrive as the bytes the broker sent (UTF-8 for text).
using TQORMQTTMessageEvent =
    std::function<void(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS)>;
using TQORMQTTDisconnectEvent =
    std::function<void(TQORMQTTReasonCode AReasonCode, const std::string& AReason)>;
using TQORMQTTLogEvent = std::function<void(const std::string& ALine)>;
/// The broker accepted a connection (Connect's or a reconnect's);
/// ASessionPresent: it kept the session of an earlier one.
using TQORMQTTConnectedEvent = std::function<void(bool ASessionPresent)>;
/// A QoS 1 or 2 publication has ended: the broker's code of its PUBACK, of
/// its PUBCOMP or of a refusing PUBREC, or mqrcUnspecifiedError when
/// Disconnect (or giving up reconnecting) discarded it unacknowledged.
/// APacketId is the identifier Publish returned, also after a reconnect to
/// a broker that kept no session.
using TQORMQTTPublishCompleteEvent = std::function<void(uint16_t APacketId, TQORMQTTReasonCode AReason)>;
/// The broker's codes for a Subscribe or Unsubscribe, one per topic filter
/// (MQTT 3.1.1 gives an UNSUBSCRIBE none). For SUBSCRIBE a code below 0x80
/// is the QoS granted.
using TQORMQTTSubscribeCompleteEvent =
    std::function<void(uint16_t APacketId, const std::vector<TQORMQTTReasonCode>& AReasons)>;
/// A message with everything the broker sent: flags, identifier, properties.
using TQORMQTTMessageReceivedEvent = std::function<void(const TQORMQTTMessage& AMessage)>;
/// Every acknowledgement of the broker's with its reason string and user properties.
using TQORMQTTAcknowledgementEvent = std::function<void(const TQORMQTTAcknowledgement& AAcknowledgement)>;
/// Enhanced authentication: the broker's AUTH challenge (its method and
/// data); the answer is the data of the client's next AUTH.
using TQORMQTTAuthEvent = std::function<TBytes(const std::string& AMethod, const TBytes& AData)>;

/// One broker of a list (a cluster, or brokers standing in for each other).
struct TQORMQTTBrokerAddress {
  /// A name, an IPv4 or an IPv6 address, "unix:/path" for a Unix-domain
  /// socket (always plain: Port and UseSSL do not apply), or a WebSocket
  /// URL "ws://host[:port][/path]" / "wss://…" (the URL decides port and
  /// TLS, as for TQORMQTTClient::BrokerHostName).
  std::string Host;
  int32_t Port = 8883;  ///< 1 to 65535; Connect raises for another
  bool UseSSL = true;   ///< TLS, as TQORMQTTClient::UseSSL
};

/// How the client reconnects after a lost link: checked by Connect (which
/// raises, naming the field, for a value below), in force until the next
/// Connect. The defaults are the client's behaviour without it.
struct TQORMQTTReconnectPolicy {
  /// false: a lost link leaves the client idle, with no attempt at all.
  bool Enabled = true;
  /// The first attempt's delay, in milliseconds (1 or more); each attempt
  /// after it waits Multiplier times as long, up to MaxDelayMs (at least
  /// InitialDelayMs). Back to InitialDelayMs only after a link that stayed
  /// up for 10 s, or on a new Connect.
  int32_t InitialDelayMs = 1000;
  int32_t MaxDelayMs = 60000;  ///< see InitialDelayMs
  double Multiplier = 2;       ///< 1 (a steady delay) or more
  /// Each wait is longer than its delay by up to this share of it, at random
  /// (0 to 1), so that clients a broker dropped together do not come back together.
  double Jitter = 0.25;
  /// Attempts after one loss before the client gives up; 0: no limit.
  int32_t MaxAttempts = 0;
  /// A broker's DISCONNECT "Session taken over" (0x8E: another client
  /// connected with this ClientID) ends reconnecting, rather than take the
  /// session back: two clients with one identifier would otherwise take it
  /// from each other for as long as they run. MQTT 5.0 only, and only with a
  /// broker that says so: one that just closes the link (mosquitto 2.0.11
  /// does) looks like any other loss.
  bool StopOnSessionTakenOver = false;
};

/// A threaded MQTT 5.0 / 3.1.1 client for one broker (or a list of them);
/// the thread rules at the top of this header apply to every member.
class QORMQTT_EXPORT TQORMQTTClient {
 public:
  /// A client with the defaults below; nothing connects until Connect.
  TQORMQTTClient();
  /// Disconnects when connected, stops and joins every thread of the client.
  virtual ~TQORMQTTClient();
  TQORMQTTClient(const TQORMQTTClient&) = delete;
  TQORMQTTClient& operator=(const TQORMQTTClient&) = delete;

  // --- configuration ------------------------------------------------------
  /// A name, an IPv4 or IPv6 address, "unix:/path" (always plain), or MQTT
  /// over WebSockets: "ws://host[:port][/path]" (plain) or "wss://…" (TLS,
  /// with the TLS fields below and the URL's host for SNI and the name
  /// check). The URL decides port and TLS: its port or 80 / 443, its path or
  /// "/mqtt"; BrokerPort and UseSSL do not apply. An IPv6 address goes in
  /// brackets ("ws://[::1]:8080"). Connect raises EInvalidArgument for a
  /// malformed URL, and for one with user info.
  std::string BrokerHostName;
  int32_t BrokerPort = 8883;  ///< 1 to 65535; Connect raises for another
  bool UseSSL = true;         ///< TLS over the TCP connection
  /// When not empty, replaces BrokerHostName, BrokerPort and UseSSL: every
  /// connection attempt (Connect's and each reconnect's) tries these in order
  /// and takes the first that accepts the connection.
  std::vector<TQORMQTTBrokerAddress> Brokers;
  std::string ClientID;  ///< empty: the broker assigns one (MQTT 5.0), reused for the reconnects
  std::string Username;  ///< left out of CONNECT when empty
  std::string Password;  ///< left out of CONNECT when empty
  /// Seconds, 0 to 65535. Half of it without sending or without receiving
  /// brings a PINGREQ; a PINGREQ unanswered for half of it, with nothing
  /// received for all of it, is a dead link. Also how long a read or a
  /// write may make no progress. 0 turns keepalive off.
  int32_t KeepAliveSecs = 60;
  /// Connect starts a new session rather than resume the broker's; the
  /// automatic reconnects resume it when SessionExpiryInterval is above 0.
  bool CleanStart = true;
  /// The MQTT version offered first: 5 (MQTT 5.0, falling back to 3.1.1 when
  /// the broker refuses it) or 4 (MQTT 3.1.1 from the start).
  uint8_t ProtocolVersion = MQTT_PROTOCOL_LEVEL_50;
  uint32_t SessionExpiryInterval = 0;  ///< seconds; MQTT 5.0 only
  /// MQTT 5.0, told to the broker in CONNECT; 0 announces no limit.
  /// ReceiveMaximum: QoS 1 and 2 messages the broker may have unacknowledged
  /// towards this client (with ReceiveQueueLimit: at most that many).
  /// MaximumPacketSize: the largest packet (bytes, whole) the client
  /// accepts; a larger one ends the link with reason 0x95.
  uint16_t ReceiveMaximum = 0;
  uint32_t MaximumPacketSize = 0;  ///< see ReceiveMaximum
  int32_t ConnectTimeoutSecs = 10;     ///< bounds the TCP connect, TLS handshake and CONNACK wait
  /// TLS: check the broker's certificate chain and, with VerifyHostName, that
  /// it names the host connected to (off by default).
  bool VerifyPeer = false;
  std::string CAFile;  ///< with VerifyPeer: trusted CAs in PEM; CAFile and CAPath empty: the system store
  /// With VerifyPeer: a directory of trusted CA certificates named by their
  /// subject hash (as "openssl rehash" leaves them), used beside CAFile.
  std::string CAPath;
  /// With VerifyPeer: the certificate must name the host connected to (its
  /// name or address as given). false: only the chain is checked, for a
  /// broker reached by a name or address its certificate does not carry.
  bool VerifyHostName = true;
  /// TLS client certificate: the chain and its private key (PEM; KeyFile
  /// empty: the key is in CertFile), sent when the broker asks for one.
  /// KeyPassword decrypts an encrypted key and is never logged.
  std::string CertFile;
  std::string KeyFile;      ///< the private key of CertFile (PEM); empty: in CertFile
  std::string KeyPassword;  ///< decrypts an encrypted KeyFile; never logged
  /// TLS: protocols offered by ALPN (e.g. {"mqtt"} for a broker on port 443);
  /// the oldest version accepted ("1.2", "1.3"; empty: any OpenSSL offers);
  /// an OpenSSL cipher list for TLS 1.2 and below (empty: OpenSSL's).
  std::vector<std::string> ALPNProtocols;
  /// WebSockets: further headers of the upgrade request (e.g.
  /// {"Authorization", "Bearer …"} for a cloud broker); never logged. Connect
  /// raises EInvalidArgument for a name that is no HTTP token or one the
  /// handshake sets itself, and for a value with a line break.
  std::vector<std::pair<std::string, std::string>> WebSocketHeaders;
  std::string TLSMinVersion;  ///< "1.2" or "1.3"; empty: any version OpenSSL offers
  std::string Ciphers;        ///< an OpenSSL cipher list for TLS 1.2 and below; empty: OpenSSL's
  /// A reconnect to the same broker resumes the last TLS session (a shorter
  /// handshake, "TLS session resumed" in the log).
  bool TLSSessionResumption = true;

  /// Publications accepted while the client is not connected (also before
  /// Connect, during the handshake and while it reconnects): kept and sent in
  /// order after the next connect, behind what is owed from before. 0 keeps
  /// none: Publish then raises when not connected.
  size_t OfflineQueueLimit = 0;
  /// Receiving by pulling: above 0, every message received waits in a queue
  /// of at most this many for Receive (OnMessage and OnMessageReceived are
  /// not called). A QoS 1 or 2 message is acknowledged only once taken; at
  /// MQTT 5.0 CONNECT announces a Receive Maximum of at most this many (the
  /// smaller of it and ReceiveMaximum, 65535 at most). A full queue stops
  /// the reading until Receive makes room. 0: messages go to the callbacks.
  size_t ReceiveQueueLimit = 0;
  /// While messages stream in back to back and the program awaits no answer
  /// of its own, the reader pauses this long before a read that would find
  /// nothing waiting. A broker that holds back small writes until the last
  /// is acknowledged (Nagle's algorithm, as mosquitto's default) then sends
  /// a hundred messages in one TCP segment rather than one each: far less
  /// CPU for the broker and both hosts, for at most this much more latency
  /// per message while the stream lasts. A lone message, a burst on a quiet
  /// link and the answer to a request are read the moment they land. 0:
  /// every read at once. At most 10 000; not over a Unix socket.
  uint32_t ReceiveBatchMicros = 100;
  /// After a reconnect to a broker that kept no session, subscribe again to
  /// every topic filter in force (in one SUBSCRIBE where the broker's packet
  /// size allows).
  bool ResubscribeOnReconnect = true;
  /// How the client reconnects after a lost link, and when it gives up (see
  /// the top of this header).
  TQORMQTTReconnectPolicy Reconnect;
  /// Set: the client has no threads of its own; the context's threads
  /// drive it (see uQORMQTTIOContext.h, also for which thread runs each
  /// callback). Read by Connect; the context must outlive the client.
  TQORMQTTIOContext* IOContext = nullptr;

  // --- MQTT 5.0 ---------------------------------------------------------------
  /// The last will: published by the broker when the link ends without a
  /// DISCONNECT (at 3.1.1 without its properties), after WillDelayInterval
  /// seconds unless the client is back by then. Payload at most 65535 bytes.
  std::optional<TQORMQTTMessage> Will;
  uint32_t WillDelayInterval = 0;  ///< seconds the broker waits before it publishes the Will
  /// Topic aliases the broker may use towards this client (announced in
  /// CONNECT; 0: none). The client resolves them before OnMessage.
  uint16_t TopicAliasMaximum = 0;
  /// Send a topic published again as its alias (an empty topic), as far as
  /// the broker's Topic Alias Maximum allows. Aliases are per link.
  bool UseTopicAliases = false;
  /// User properties of CONNECT.
  TQORMQTTUserProperties UserProperties;
  /// Enhanced authentication: the method and initial data go into CONNECT;
  /// OnAuth answers each AUTH challenge of the broker (on the reader thread).
  std::string AuthenticationMethod;
  TBytes AuthenticationData;  ///< the initial data of AuthenticationMethod, in CONNECT

  /// Every message received: topic, payload, QoS (not with ReceiveQueueLimit).
  TQORMQTTMessageEvent OnMessage;
  /// Beside OnMessage (called after it when both are set), on the reader thread.
  TQORMQTTMessageReceivedEvent OnMessageReceived;
  /// Beside the complete events (just before them), on the reader thread; also the CONNACK.
  TQORMQTTAcknowledgementEvent OnAcknowledgement;
  TQORMQTTAuthEvent OnAuth;                ///< answers the broker's AUTH challenges
  /// A link lost (0x80), ended by the broker (its code), or ended by the
  /// client for a packet MQTT forbids the broker to send (MQTT's code for it);
  /// once more (0x80, "Reconnect gave up after N attempt(s)") when the
  /// Reconnect policy's attempts are exhausted.
  TQORMQTTDisconnectEvent OnDisconnect;
  TQORMQTTLogEvent OnLog;                  ///< every log line of the client
  TQORMQTTConnectedEvent OnConnected;      ///< a connect or reconnect succeeded
  TQORMQTTPublishCompleteEvent OnPublishComplete;        ///< a QoS 1 or 2 publication has ended
  TQORMQTTSubscribeCompleteEvent OnSubscribeComplete;    ///< the SUBACK of a Subscribe
  TQORMQTTSubscribeCompleteEvent OnUnsubscribeComplete;  ///< the UNSUBACK of an Unsubscribe

  // --- operations ---------------------------------------------------------
  /// Returns once the broker has accepted the session, or at once when an
  /// attempt is already running (also a reconnect loop) or a session exists.
  /// While the client gives up reconnecting, it waits for that first.
  /// Raises EBrokerRefused (the broker's code and words), ETimeout (no
  /// CONNACK within ConnectTimeoutSecs), EInvalidArgument (a field CONNECT
  /// cannot carry, an over-long text; Field() names it) or ESocketError
  /// (EResolveError: a name that does not resolve; ETLSError: TLS failed);
  /// Exception when Disconnect cancels it or a handler calls it.
  void Connect();
  /// Connects without waiting: on IOContext's connect threads (a bounded
  /// number at once), or without a context as Connect does, on this thread.
  /// The handle ends delivered once the broker accepted (OnConnected has
  /// run), refused with the broker's code and words, or discarded with the
  /// error's text (a broker out of reach, a time-out, a Disconnect first).
  /// Bad settings raise here, as from Connect.
  TQORMQTTHandle ConnectAsync();
  /// Sends DISCONNECT when connected, stops every thread, closes the stream.
  /// Returns within about a second, also during a reconnect delay (or once
  /// a handler that is running returns: nothing more is delivered). What is
  /// still queued or unacknowledged is discarded (logged, and reported by
  /// OnPublishComplete on the calling thread), and the subscriptions are forgotten.
  void Disconnect(TQORMQTTReasonCode AReasonCode = mqrcSuccess);
  /// The same with a reason string, user properties or a new Session Expiry
  /// Interval in the DISCONNECT (MQTT 5.0).
  void Disconnect(TQORMQTTReasonCode AReasonCode, const TQORMQTTDisconnectProperties& AProperties);
  /// The packet identifier used (0 at QoS 0). Raises ENotConnected when not
  /// connected (unless OfflineQueueLimit lets it wait: EQueueFull "Offline
  /// queue full" when that many wait already), EInvalidArgument when the
  /// topic is no valid MQTT topic name (empty, a wildcard, a NUL, not UTF-8),
  /// when the topic or packet is too long for MQTT or beyond the broker's
  /// limits, and Exception when all 65535 identifiers are in use. A QoS 1
  /// or 2 publication is kept until the broker acknowledges it:
  /// a link lost before that sends it again after the reconnect (with DUP
  /// when the broker kept the session, as a new message when it did not).
  uint16_t Publish(const std::string& ATopic, const std::string& APayload, TQORMQTTQoS AQoS);
  /// The same for a message with its retain flag and MQTT 5.0 properties.
  /// Also raises EInvalidArgument for a retained message when the broker has
  /// no retain, and for a property text or data over 65535 bytes.
  uint16_t Publish(const TQORMQTTMessage& AMessage);
  /// The same, for a payload (or a message) the caller gives up: a large
  /// QoS 1 or 2 payload is kept for resending without a copy, and the
  /// message's properties are moved. The caller's string is left empty or
  /// unspecified; a call that raises may already have taken it.
  uint16_t Publish(const std::string& ATopic, std::string&& APayload, TQORMQTTQoS AQoS);
  uint16_t Publish(TQORMQTTMessage&& AMessage);  ///< a message given up, as above
  /// Subscribes to one topic filter at AQoS: the packet identifier. Raises
  /// as Publish does (ENotConnected; EInvalidArgument: no valid topic filter,
  /// too long, beyond the broker's limits).
  uint16_t Subscribe(const std::string& ATopic, TQORMQTTQoS AQoS);
  /// Several filters in one SUBSCRIBE, each with its options; ASubscriptionIdentifier
  /// (1 to 268435455, 0: none) comes back with each message they match.
  /// The subscriptions are remembered with their options for resubscribing.
  uint16_t Subscribe(const std::vector<TQORMQTTSubscription>& AFilters, uint32_t ASubscriptionIdentifier = 0);
  /// Ends the subscription to one topic filter: the packet identifier.
  uint16_t Unsubscribe(const std::string& ATopic);
  /// Several topic filters in one UNSUBSCRIBE.
  uint16_t Unsubscribe(const std::vector<std::string>& AFilters);
  // --- the same requests with a handle ----------------------------------------
  /// Each raises as its counterpart above and then returns a handle on the
  /// request: its identity (Id, unique for the client's lifetime) and its
  /// outcome to wait for (Wait, Get) from any thread. The handle ends with
  /// the broker's acknowledgement (QoS 1: PUBACK; QoS 2: PUBCOMP or a
  /// refusing PUBREC; SUBACK; UNSUBACK), at QoS 0 once the link has the
  /// packet, as discarded by Disconnect, or as forbidden when a new link's
  /// broker does not allow it; it survives reconnects. The complete events
  /// fire as well. Never wait on a handle in a handler: the reader thread
  /// reads the very acknowledgement it waits for.
  TQORMQTTHandle PublishAsync(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS);
  TQORMQTTHandle PublishAsync(const TQORMQTTMessage& AMessage);  ///< as Publish(const TQORMQTTMessage&)
  TQORMQTTHandle PublishAsync(TQORMQTTMessage&& AMessage);       ///< as Publish(TQORMQTTMessage&&)
  TQORMQTTHandle SubscribeAsync(const std::string& ATopic, TQORMQTTQoS AQoS);  ///< as Subscribe
  /// As Subscribe with several filters; the handle ends with one code per filter.
  TQORMQTTHandle SubscribeAsync(const std::vector<TQORMQTTSubscription>& AFilters,
                                uint32_t ASubscriptionIdentifier = 0);
  TQORMQTTHandle UnsubscribeAsync(const std::string& ATopic);                ///< as Unsubscribe
  TQORMQTTHandle UnsubscribeAsync(const std::vector<std::string>& AFilters);  ///< as Unsubscribe
  /// Waits until every request accepted before the call has ended
  /// (acknowledged, refused, discarded or forbidden; QoS 0: written to the
  /// link) or ATimeout has passed: whether all have. Also waits while the
  /// client reconnects. Raises when called from a handler.
  bool Flush(std::chrono::milliseconds ATimeout);
  /// Disconnect after waiting up to AFlushFirst for Flush.
  void Disconnect(std::chrono::milliseconds AFlushFirst, TQORMQTTReasonCode AReasonCode = mqrcSuccess);

  /// Enhanced authentication again on the open link (AUTH, reason 0x19),
  /// with AuthenticationMethod and AData; OnAuth answers the challenges.
  void Reauthenticate(const TBytes& AData);

  /// Receiving by pulling (ReceiveQueueLimit above 0): the oldest message of
  /// the receive queue, waiting up to ATimeout for one. A QoS 1 or 2 message
  /// is acknowledged now (PUBACK, or PUBREC), provided the link it came on is
  /// still up: one taken after its link went is not acknowledged on another,
  /// and a broker that kept the session sends it again. Empty on time-out,
  /// when Disconnect or the destructor runs meanwhile, and at once when the
  /// queue is empty and the client disconnected (before Connect, after
  /// Disconnect; not while it reconnects). Messages left in the queue at
  /// Disconnect stay there for Receive. Raises EInvalidArgument when
  /// ReceiveQueueLimit is 0 and the queue is empty.
  std::optional<TQORMQTTMessage> Receive(std::chrono::milliseconds ATimeout);
  /// Receive without waiting.
  std::optional<TQORMQTTMessage> TryReceive();
  /// Messages waiting in the receive queue.
  size_t ReceiveQueueCount() const;

  /// The stream is open (already during the handshake).
  bool IsConnected();
  /// Connecting, connected or disconnected (see TQORMQTTConnectionStatus).
  TQORMQTTConnectionStatus ConnectionStatus() const;
  /// The reason code of the last CONNACK.
  TQORMQTTReasonCode LastConnectReasonCode() const;
  /// QoS 1 and 2 publications not yet acknowledged (QoS 2: PUBCOMP), also
  /// those queued offline or waiting to be sent again.
  size_t PendingCount();
  /// The protocol level in use: 5, or 4 after the broker refused MQTT 5.0.
  uint8_t ProtocolLevel() const;

 private:
  /// The connection driver: the stream, the protocol session, the write
  /// queue and the worker threads.
  std::unique_ptr<TQORMQTTConnection> FConnection;
};

}  // namespace qor
