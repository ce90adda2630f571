// The MQTT protocol as this client speaks it, with no socket, no thread and
// no clock of its own. The session owns the protocol level and the decision
// to fall back to 3.1.1, the broker's limits and the rules a request must
// keep, the packet identifiers, the publications awaiting acknowledgement,
// the inbound QoS 2 messages awaiting release, the subscriptions the broker
// granted, and the link's rules in time (keepalive, reconnect back-off: the
// time is passed in). Every byte it wants sent leaves through a sink: the
// caller's requests, acknowledgements, PINGREQ, DISCONNECT; the broker's
// packets come in whole (first byte and exact body), and what they bring
// goes out through the sink as well: a message, a CONNACK, a DISCONNECT, log lines.
//
// Requests may come from any thread while one thread feeds inbound packets;
// the session's own lock is short and never held while the sink is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "uQORByteSource.h"
#include "uQORFormat.h"
#include "uQORMQTTLinkClock.h"
#include "uQORErrors.h"
#include "uQORMQTTMessage.h"
#include "uQORMQTTOutbox.h"
#include "uQORMQTTProtocol.h"

namespace qor {

// What an MQTT 5.0 broker may say beside a reason code.
struct TBrokerWords {
  std::string ReasonString;
  std::vector<std::pair<std::string, std::string>> UserProperties;
  std::string ServerReference;  // another server to use ("host", "host:port")
  // As appended to a log line or an error text: empty when nothing was said.
  std::string Describe() const;
};

// How a packet is to be sent.
struct TSendMode {
  // Sent right after the packet, from the caller's memory (a large payload):
  // Send returns once it has been written.
  std::string_view Tail;
  // A caller's request: it waits while the write queue is full.
  bool Request = false;
  // Send returns once the packet has been written, or after FlushMs.
  bool Flush = false;
  int FlushMs = -1;
  // Only on the link the sink stands for: false, and nothing sent, once that
  // link has gone (an acknowledgement owed there means nothing on the next).
  bool SameLink = false;
};

// What a sink that took over the acknowledgement of a QoS 1 or 2 message
// hands back to TQORMQTTSession::AcknowledgeTaken once the program has the
// message.
struct TInboundAck {
  uint16_t PacketId = 0;
  uint8_t QoS = 0;    // 1: a PUBACK is owed, 2: a PUBREC
  uint64_t Link = 0;  // the session's link the message came on
};

// What the session asks of whoever drives it.
class ISessionSink {
 public:
  // Whether log lines are wanted: they are formatted only then.
  virtual bool Logging() const = 0;
  virtual void Log(const std::string& ALine) = 0;
  // A packet to send; false when there is no link to send it on (or, with
  // AMode.Tail or Flush, when it was not written).
  virtual bool Send(TBytes APacket, const TSendMode& AMode = {}) = 0;
  // A message, topic aliases resolved; the sink may take its fields.
  virtual void Deliver(TQORMQTTMessage& AMessage) = 0;
  // Whether the sink takes over the acknowledgement of QoS 1 and 2 messages,
  // to send it once the program has taken the message: such a message then
  // goes to Defer, unacknowledged, instead of Deliver.
  virtual bool DefersAcknowledgements() const { return false; }
  // A QoS 1 or 2 message whose acknowledgement the sink took over: it calls
  // AcknowledgeTaken(AAck) later. What the sink raises passes through, and
  // the message counts as never received (a QoS 2 one sent again is
  // delivered, not taken for a duplicate).
  virtual void Defer(TQORMQTTMessage& AMessage, const TInboundAck& /*AAck*/) { Deliver(AMessage); }
  virtual void Connack(uint8_t AReasonCode, bool ASessionPresent) = 0;
  virtual void BrokerDisconnect(uint8_t AReasonCode, const TBrokerWords& AWords) = 0;
  // A QoS 1 or 2 publication of the caller's has ended with the broker's code.
  virtual void PublishComplete(uint16_t /*APacketId*/, uint8_t /*AReasonCode*/) {}
  // The broker's codes for a SUBSCRIBE or UNSUBSCRIBE of the caller's, one per filter.
  virtual void SubscribeComplete(uint16_t /*APacketId*/, const std::vector<TQORMQTTReasonCode>& /*ACodes*/,
                                 bool /*AUnsubscribe*/) {}
  // Whether Acknowledged is wanted: an acknowledgement is described only then.
  virtual bool WantsAcknowledgements() const { return false; }
  // Every CONNACK, PUBACK, PUBREC, PUBCOMP, SUBACK and UNSUBACK, with the broker's words.
  virtual void Acknowledged(const TQORMQTTAcknowledgement& /*AAcknowledgement*/) {}
  // The answer to an AUTH challenge (the data of the client's AUTH); none
  // when the client cannot answer, which ends the link.
  virtual std::optional<TBytes> Authenticate(const std::string& /*AMethod*/, const TBytes& /*AData*/) {
    return std::nullopt;
  }
  // An answer the program awaited has come while subscriptions are in
  // force; ALast: nothing else is awaited. What the broker sends next may be
  // a publication (the answer to the program's own question, say) that it
  // holds until this host acknowledges what it read (a broker that delays
  // small writes waits for that), which a link that also sends would delay.
  virtual void Answered(bool /*ALast*/) {}

 protected:
  ~ISessionSink() = default;
};

// A line to ASink's log, formatted only when it listens.
template <typename TFirst, typename... TRest>
void LogTo(ISessionSink& ASink, const char* AFormat, TFirst AFirst, TRest... ARest) {
  if (ASink.Logging()) ASink.Log(Format(AFormat, AFirst, ARest...));
}
inline void LogTo(ISessionSink& ASink, const char* ALine) {
  if (ASink.Logging()) ASink.Log(ALine);
}

// What an MQTT 5.0 broker announced in its CONNACK; a field it did not send
// keeps the value the standard gives for its absence.
struct TBrokerLimits {
  std::optional<uint16_t> ServerKeepAlive;  // replaces the client's keepalive
  uint16_t ReceiveMaximum = 65535;          // QoS 1 and 2 publications in flight
  uint32_t MaximumPacketSize = 0;           // bytes of a whole packet; 0: no limit
  uint8_t MaximumQoS = 2;
  bool RetainAvailable = true;
  std::string AssignedClientIdentifier;
  uint16_t TopicAliasMaximum = 0;
  bool WildcardSubscriptionAvailable = true;
  bool SubscriptionIdentifiersAvailable = true;
  bool SharedSubscriptionAvailable = true;
  TBrokerWords Words;
};

// What became of a request: the identifier it carries (0 when none).
struct TRequestPacket {
  uint16_t PacketId = 0;
  // The sink took the packet (with a tail or a flush: wrote it).
  bool Sent = false;
  // Kept by the session, behind publications waiting before it or held back
  // by the broker's Receive Maximum: it goes out with SendWaiting.
  bool Held = false;
  // The packet told the broker a new topic alias (later publications of
  // the topic on this link carry the alias alone).
  uint16_t NewAlias = 0;
};

// What a publication carries besides topic, payload and QoS.
struct TPublishExtras {
  bool Retain = false;
  std::shared_ptr<const TQORMQTTProperties> Properties;  // null: none
  // The caller's handle, ended with the publication; null: none. At QoS 0
  // a packet sent at once (TRequestPacket::Sent) leaves it to the caller.
  TRequestHandle Handle{};
  // The caller's payload, which it gives up: at QoS 1 and 2 one of
  // kTakePayloadSize or more is taken over rather than copied. Null: copied.
  std::string* Payload = nullptr;
};

// What Discard dropped.
struct TDiscarded {
  size_t Messages = 0;            // publications of every QoS
  std::vector<uint16_t> PacketIds;  // those at QoS 1 and 2
};

// A CONNACK code that, in answer to an MQTT 5.0 CONNECT, means the broker
// does not speak 5.0: 0x84, or 0x01, which a 3.1.1-only broker answers
// ("unacceptable protocol version") and which is no MQTT 5.0 reason code.
inline bool RefusesLevel5(uint8_t AReasonCode) {
  return AReasonCode == mqrcUnsupportedProtocolVersion || AReasonCode == 0x01;
}

// From this payload size on, a PUBLISH is sent as its head plus the caller's
// payload rather than copied into one buffer (the sink then returns only
// once the payload is written): copying it would cost more than the write.
inline constexpr size_t kSeparatePayloadSize = 16 * 1024;
// From this size on, a payload the caller gives up is kept without a copy:
// below it, the copy costs less than sharing.
inline constexpr size_t kTakePayloadSize = 256;

class TQORMQTTSession {
 public:
  uint8_t ProtocolLevel() const { return FLevel; }
  // The level the next CONNECT is built at and inbound packets are parsed at.
  void SetProtocolLevel(uint8_t ALevel) { FLevel = ALevel; }
  // Connect with AVersion offered first: 4 skips the 5.0 attempt; a session
  // that has fallen back stays at 3.1.1.
  void Offer(uint8_t AVersion) {
    if (AVersion == MQTT_PROTOCOL_LEVEL_311) FLevel = MQTT_PROTOCOL_LEVEL_311;
  }
  // A 3.1.1-only broker (RabbitMQ) may close the link on an MQTT 5.0
  // CONNECT without a word: the first attempt of a Connect that offered 5.0
  // tries 3.1.1 once, when the link was closed or reset (a TLS alert says
  // why already) before a byte arrived. True, at level 4 now, when it does.
  bool FallBackAfterClose(bool AFirstAttempt, bool APlainClose, bool ANothingReceived, uint8_t AVersion,
                          ISessionSink& ASink);
  // The 3.1.1 attempt went no better: nothing was learnt of the broker's level.
  void FallBackFailed() { FLevel = MQTT_PROTOCOL_LEVEL_50; }
  // A CONNACK refused 5.0 (the session is at level 4 since): try again.
  bool RefusedLevel5(uint8_t AReasonCode, uint8_t AOffered) const {
    return RefusesLevel5(AReasonCode) && AOffered == MQTT_PROTOCOL_LEVEL_50;
  }
  // The client identifier to connect with: AConfigured, or when empty the
  // one a broker assigned before, so that its session can be resumed.
  std::string ClientIdentifier(const std::string& AConfigured) const;

  // --- requests --------------------------------------------------------------
  // Each request is checked against MQTT's rules and the broker's limits
  // before anything is built: a bad one raises Exception saying what was wrong.
  // AOnline: a link is up (else the publication waits offline, and only the
  // rules that do not depend on the broker apply).
  void CheckPublish(std::string_view ATopic, size_t APayloadSize, TQORMQTTQoS AQoS, const TPublishExtras& AExtras,
                    bool AOnline) const;
  void CheckSubscribe(const std::vector<TQORMQTTSubscription>& AFilters, uint32_t ASubscriptionIdentifier) const;
  void CheckUnsubscribe(const std::vector<std::string>& AFilters) const;
  // The CONNECT at the current level. Remembers what the broker's packets
  // are checked against: the authentication method and the client's Topic
  // Alias Maximum. False when the sink had no link for it.
  bool Connect(const TConnectFields& AFields, ISessionSink& ASink);
  // Publications go out with topic aliases when the broker allows them.
  void SetTopicAliases(bool AUse) { FAliasesWanted = AUse; }
  // At QoS 1 and 2 the publication is kept (payload too) from here on, until
  // its acknowledgement, Unsent or Discard. Sent as a request (see
  // TSendMode); a payload of kSeparatePayloadSize or more from the caller's
  // memory, unless the publication is held. Raises when no packet identifier is free.
  TRequestPacket Publish(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS, ISessionSink& ASink,
                         const TPublishExtras& AExtras = {});
  // Accepted while there is no link: kept, to go out after the next CONNACK
  // behind what is owed already. The identifier (0 at QoS 0). Raises
  // "Offline queue full" when ALimit publications accepted so wait already.
  uint16_t Queue(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS, size_t ALimit,
                 const TPublishExtras& AExtras = {});
  // A publication that never reached the link and is given up.
  void Unsent(uint16_t APacketId);
  // Sends waiting publications, oldest first, while the broker's Receive
  // Maximum has room.
  void SendWaiting(ISessionSink& ASink);
  // Tells ASink that an answer came while the broker may send publications.
  void Answered(ISessionSink& ASink);
  // The caller ends the session: every publication kept is dropped, and
  // every handle on what was dropped ends as discarded.
  TDiscarded Discard();
  // How many requests have been accepted so far (the Seq of the last), and
  // whether one accepted at or before ASeq has not ended yet: what waiting
  // for everything accepted so far looks at.
  uint64_t Accepted() const;
  bool OpenUpTo(uint64_t ASeq) const;
  // After a CONNACK without a session, subscribe again to every filter in force.
  void SetResubscribe(bool AResubscribe) { FResubscribe = AResubscribe; }
  TRequestPacket Subscribe(std::string_view ATopic, TQORMQTTQoS AQoS, ISessionSink& ASink);
  // Each filter with its subscription options byte; ASubscriptionId 0:
  // none. AHandle (may be null) ends with the broker's answer.
  TRequestPacket Subscribe(const std::vector<std::pair<std::string, uint8_t>>& AFilters, uint32_t ASubscriptionId,
                           ISessionSink& ASink, TRequestHandle AHandle = nullptr);
  TRequestPacket Unsubscribe(std::string_view ATopic, ISessionSink& ASink);
  TRequestPacket Unsubscribe(const std::vector<std::string>& AFilters, ISessionSink& ASink,
                             TRequestHandle AHandle = nullptr);
  // Sent when a link can take it, waiting up to AFlushMs for what was
  // queued before it (negative: not at all).
  bool Disconnect(uint8_t AReasonCode, const TQORMQTTProperties& AProperties, ISessionSink& ASink,
                  int AFlushMs = -1) const;
  // AUTH 0x19 with the method of the last CONNECT; raises when it had none.
  bool Reauthenticate(const TBytes& AData, ISessionSink& ASink) const;

  // --- time -------------------------------------------------------------------
  // The broker accepted the session at ANow: keepalive counts from here.
  void Established(int64_t ANow, int32_t AClientKeepAliveSecs);
  // The link of an established session is gone at ANow.
  void Lost(int64_t ANow);
  // The keepalive interval of this link: the broker's Server Keep Alive
  // replaces the client's.
  int32_t KeepAliveSecs(int32_t AClientKeepAliveSecs) const;
  // Bytes were written at ANow.
  void Written(int64_t ANow) { FKeepalive.Sent(ANow); }
  // Until when a write may wait for the link to take more, after it last
  // did at ALastProgress: a large write over a slow link takes as long as it
  // takes while it moves; one the link takes nothing of for the keepalive
  // interval has failed.
  int64_t WriteDeadline(int64_t ALastProgress) const { return FKeepalive.WriteDeadline(ALastProgress); }
  // A PINGREQ has been written at ANow; AEnd: the bytes written up to its
  // end, where the link tells how far its bytes have got.
  void PingWritten(int64_t ANow, std::optional<uint64_t> AEnd) { FKeepalive.PingWritten(ANow, AEnd); }
  // Keepalive at ANow: a PINGREQ goes out through ASink when one is owed;
  // Dead when the link is silent past the rules.
  TKeepalive::TAction Tick(int64_t ANow, const TLinkProgress& AProgress, ISessionSink& ASink);
  int64_t NextDeadline(int64_t ANow) const { return FKeepalive.NextDeadline(ANow); }
  // Reconnecting: the wait before the next attempt; a new Connect starts
  // the back-off over, with its rules.
  TBackoff::TAttempt NextReconnect(uint32_t ARandom) { return FBackoff.Next(ARandom); }
  void ResetBackoff(const TBackoffRules& ARules) { FBackoff.Start(ARules); }
  // The attempts the rules allow after a loss have all been made.
  bool ReconnectsExhausted() const { return FBackoff.Exhausted(); }

  // QoS 1 and 2 publications not yet acknowledged (QoS 2: PUBCOMP), also
  // those waiting to go out.
  size_t PendingCount() const { return FPendingCount; }
  // Bytes of publications held back by the broker's Receive Maximum (topic
  // and payload; not those accepted offline, which OfflineQueueLimit bounds).
  size_t HeldBytes() const { return FHeldBytes; }
  // Topic filter -> granted QoS of the subscriptions in force, as the
  // broker's acknowledgements left them.
  std::map<std::string, uint8_t> Subscriptions() const;
  // What the last CONNACK announced (all defaults at level 4), also a refusal's.
  TBrokerLimits Limits() const;
  uint32_t MaximumPacketSize() const { return FMaxPacketSize; }  // 0: no limit
  uint8_t MaximumQoS() const { return FMaxQoS; }
  bool RetainAvailable() const { return FRetainAvailable; }

  // --- the broker's packets ----------------------------------------------------
  // One whole packet. Raises EMalformedPacket when the body is shorter than
  // its fields (what it holds beyond them is ignored), EProtocolError, with
  // the reason code to end the link with, for a packet the broker must not
  // send (then nothing of it is delivered or acknowledged); ABody may be
  // consumed. Errors raised by the sink pass through.
  void Receive(uint8_t AHeader, std::string& ABody, ISessionSink& ASink);
  // The message for a stream that ended inside a packet, after APartial of
  // its body had arrived: which field was being read.
  std::string DescribeTruncated(uint8_t AHeader, const std::string& APartial) const;
  // Sends the acknowledgement a sink took over (ISessionSink::Defer) when the
  // message's link is still the session's; a message taken after its link
  // went is acknowledged on no later link (a broker that kept the session
  // sends it again). True when it was sent.
  bool AcknowledgeTaken(const TInboundAck& AAck, ISessionSink& ASink);
  // Frames packets from ASource and receives them until it runs dry or one
  // cannot be read whole or is malformed: the number received whole.
  size_t Feed(IByteSource& ASource, ISessionSink& ASink);

 private:
  class TBody;
  void HandleConnack(TBody& AIn, ISessionSink& ASink);
  static TBrokerLimits ReadConnackProperties(TBody& AIn, TQORMQTTProperties& AProperties);
  void HandleAuth(TBody& AIn, ISessionSink& ASink);
  bool Authenticating() const;  // the last CONNECT asked for enhanced authentication
  // The packet's words to the sink, when it listens.
  static void Acknowledge(ISessionSink& ASink, uint8_t AType, uint16_t APacketId, std::vector<uint8_t> ACodes,
                          TQORMQTTProperties& AProperties);
  // The alias for ATopic on this link, 0 when none; AOnly: the broker knows it.
  uint16_t AliasLocked(std::string_view ATopic, TRequestPacket& ARequest, bool& AOnly);
  void HandlePublish(TBody& AIn, uint8_t AFlags, std::string& ABody, ISessionSink& ASink);
  void ResolveAlias(TBody& AIn, uint16_t AAlias, std::string& ATopic);
  void HandleAck(TBody& AIn, uint8_t AType, ISessionSink& ASink);
  void HandleSubAck(TBody& AIn, bool AUnsubscribe, ISessionSink& ASink);
  void HandleDisconnect(TBody& AIn, ISessionSink& ASink);
  void SendAck(ISessionSink& ASink, TBytes APacket, const char* ASentFormat, const char* AFailedPrefix,
               uint16_t APacketId);
  // The caller's payload taken over (APayload then views it), when it may be and is worth it.
  static std::shared_ptr<const std::string> Take(std::string_view& APayload, const TPublishExtras& AExtras);
  // How many publications may be in flight now.
  uint16_t WindowLocked() const;
  // Raises when every identifier is in use.
  uint16_t NextPacketIdLocked();
  // The publication is acknowledged or given up: its slot comes free.
  bool CompleteLocked(uint16_t APacketId);
  void Counted();  // FMutex held: the counters follow the outbox
  // What a new link that accepted the session owes: the packets that
  // restore what the caller asked for, in the order to send; the
  // publications the broker's limits forbid, given up with MQTT's reason;
  // the lines that say so, logged once the lock is released.
  struct TRestore {
    std::vector<TBytes> Packets;
    std::vector<std::pair<uint16_t, uint8_t>> Refused;  // QoS 1 and 2: identifier, reason
    std::vector<std::string> Lines;
  };
  // AResumed: the broker kept our session.
  TRestore RestoreLocked(bool AResumed);

  using TFilters = std::vector<std::pair<std::string, uint8_t>>;  // filter, QoS asked for
  struct TFilterRequest {
    TFilters Filters;  // SUBSCRIBE: with the options byte
    bool Subscribe;
    bool Own;  // the client's resubscription: no result event
    uint32_t SubscriptionId = 0;
    uint64_t Seq = 0;         // as TOutboundMessage's; 0 for the client's own
    TRequestHandle Handle{};  // the caller's; null: none
  };
  TBytes BuildFilterRequest(uint16_t APacketId, const TFilterRequest& ARequest) const;
  // Raises for a packet of AContent bytes after its fixed header beyond the
  // broker's Maximum Packet Size.
  void CheckPacketSize(size_t AContent, const char* APacket) const;
  // Resubscriptions that found no identifier free go out as identifiers come free.
  std::vector<TBytes> TakeDeferredLocked(std::vector<std::string>& ALines);
  TRequestPacket FilterRequest(TFilterRequest ARequest, ISessionSink& ASink);
  struct TSubscription {
    uint8_t Asked;  // the options byte
    uint8_t Granted;
    uint32_t SubscriptionId;
  };
  struct TAlias {
    uint16_t Alias;
    bool Known;  // a packet that announced it has been sent
  };

  std::atomic<uint8_t> FLevel{MQTT_PROTOCOL_LEVEL_50};
  // The broker's limits a request is checked against (FLimits's, readable
  // without the lock: every Publish asks).
  std::atomic<uint32_t> FMaxPacketSize{0};
  std::atomic<uint8_t> FMaxQoS{2};
  std::atomic<bool> FRetainAvailable{true};
  std::atomic<int32_t> FServerKeepAlive{-1};  // -1: the broker said nothing
  std::string FAssignedClientID;  // FMutex; the broker's name for a client that gave none
  TKeepalive FKeepalive;
  TBackoff FBackoff;
  std::atomic<bool> FResubscribe{true};
  mutable std::mutex FMutex;
  TQORMQTTOutbox FOutbox;                            // FMutex
  uint64_t FSeq = 0;                                 // FMutex; requests accepted so far
  std::atomic<int> FReleasing{0};                    // QoS 0 publications on their way from the box to the link
  std::atomic<size_t> FPendingCount{0};              // FOutbox.Pending(), changed with it
  std::atomic<size_t> FWaitingCount{0};              // FOutbox.Waiting(), changed with it
  std::atomic<size_t> FHeldBytes{0};                 // FOutbox.HeldBytes(), changed with it
  std::set<uint16_t> FAwaitingRelease;               // FMutex; inbound QoS 2 delivered, PUBREL not yet seen
  // FMutex; inbound QoS 2 whose PUBREC a sink took over on this link and has
  // not sent yet: a copy sent again meanwhile must not bring one of its own.
  std::set<uint16_t> FRecDeferred;
  uint64_t FLinkCount = 0;                           // FMutex; counts the links (each CONNECT, each loss)
  std::map<uint16_t, TFilterRequest> FFilterRequests;  // FMutex; SUBSCRIBE/UNSUBSCRIBE awaiting acknowledgement
  std::map<std::string, TSubscription> FSubscriptions;  // FMutex; in force
  std::vector<TFilterRequest> FDeferred;                // FMutex; resubscriptions awaiting an identifier
  TBrokerLimits FLimits;                             // FMutex
  // Publications in flight at most, below the broker's Receive Maximum once
  // it refused one for want of room (quota exceeded); 0: no such limit. A
  // resumed session keeps it: what filled the broker's room stays there.
  uint16_t FWindow = 0;                              // FMutex
  std::atomic<bool> FAliasesWanted{false};
  std::atomic<bool> FAliasing{false};                // this link sends topic aliases
  std::map<std::string, TAlias, std::less<>> FAliases;  // FMutex; this link's outbound aliases
  uint64_t FAliasEpoch = 0;                          // FMutex; counts the links
  std::vector<std::string> FInAliases;               // FMutex; the broker's aliases (index alias - 1)
  uint16_t FInAliasMaximum = 0;                      // FMutex
  uint16_t FInReceiveMaximum = 0;                    // FMutex; QoS 2 awaiting release at most; 0: not announced
  // Where the link is: a session fed without a CONNECT (tests, tools)
  // checks no order.
  enum class TLinkPhase : uint8_t { Unknown, AwaitingConnack, Connacked };
  std::atomic<TLinkPhase> FLinkPhase{TLinkPhase::Unknown};
  std::string FAuthMethod;                           // FMutex; empty: no enhanced authentication
};

}  // namespace qor
