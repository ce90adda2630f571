// The MQTT protocol as this client speaks it, with no socket, no thread and
// no clock of its own. The session owns the protocol level, the packet
// identifiers, the publications awaiting acknowledgement, the inbound QoS 2
// messages awaiting release and the subscriptions the broker granted. It
// builds the packets of the caller's requests, and takes the broker's
// packets whole (first byte and exact body), answering through a sink:
// bytes to send, a message to deliver, a CONNACK, a DISCONNECT, log lines.
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
#include "uQORMQTTClient.h"
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

// What the session asks of whoever drives it.
class ISessionSink {
 public:
  // Whether log lines are wanted: they are formatted only then.
  virtual bool Logging() const = 0;
  virtual void Log(const std::string& ALine) = 0;
  // An acknowledgement to send; false when there is no link to send it on.
  virtual bool Send(TBytes APacket) = 0;
  // A message, topic aliases resolved; the sink may take its fields.
  virtual void Deliver(TQORMQTTMessage& AMessage) = 0;
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

 protected:
  ~ISessionSink() = default;
};

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

// A request's packet and the identifier it carries (0 when none).
struct TRequestPacket {
  uint16_t PacketId = 0;
  TBytes Packet;
  // Kept by the session, behind publications waiting before it or held back
  // by the broker's Receive Maximum: it goes out with SendWaiting.
  bool Held = false;
  // The packet tells the broker a new topic alias: once it has been sent,
  // AliasSent lets later publications use the alias alone.
  uint16_t NewAlias = 0;
  uint64_t AliasEpoch = 0;
};

// What a publication carries besides topic, payload and QoS.
struct TPublishExtras {
  bool Retain = false;
  std::shared_ptr<const TQORMQTTProperties> Properties;  // null: none
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

class TQORMQTTSession {
 public:
  uint8_t ProtocolLevel() const { return FLevel; }
  // The level the next CONNECT is built at and inbound packets are parsed at.
  void SetProtocolLevel(uint8_t ALevel) { FLevel = ALevel; }

  // --- requests --------------------------------------------------------------
  // The CONNECT at the current level. Remembers what the broker's packets
  // are checked against: the authentication method and the client's Topic
  // Alias Maximum.
  TBytes Connect(const TConnectFields& AFields);
  // Publications go out with topic aliases when the broker allows them.
  void SetTopicAliases(bool AUse) { FAliasesWanted = AUse; }
  // At QoS 1 and 2 the publication is kept (payload too) from here on, until
  // its acknowledgement, Unsent or Discard. With AHeadOnly the packet stops
  // before the payload, which the caller sends from its own memory (unless
  // the publication is held). Raises when no packet identifier is free.
  TRequestPacket Publish(std::string_view ATopic, std::string_view APayload, TQORMQTTQoS AQoS, bool AHeadOnly,
                         const TPublishExtras& AExtras = {});
  // The packet that announced ARequest.NewAlias has been sent.
  void AliasSent(std::string_view ATopic, const TRequestPacket& ARequest);
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
  // The caller ends the session: every publication kept is dropped.
  TDiscarded Discard();
  // After a CONNACK without a session, subscribe again to every filter in force.
  void SetResubscribe(bool AResubscribe) { FResubscribe = AResubscribe; }
  TRequestPacket Subscribe(std::string_view ATopic, TQORMQTTQoS AQoS);
  // Each filter with its subscription options byte; ASubscriptionId 0: none.
  TRequestPacket Subscribe(const std::vector<std::pair<std::string, uint8_t>>& AFilters, uint32_t ASubscriptionId);
  TRequestPacket Unsubscribe(std::string_view ATopic);
  TRequestPacket Unsubscribe(const std::vector<std::string>& AFilters);
  TBytes PingReq() const;
  TBytes Disconnect(uint8_t AReasonCode, const TQORMQTTProperties& AProperties = {}) const;
  // AUTH 0x19 with the method of the last CONNECT; raises when it had none.
  TBytes Reauthenticate(const TBytes& AData) const;

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
  };
  TBytes BuildFilterRequest(uint16_t APacketId, const TFilterRequest& ARequest) const;
  // Resubscriptions that found no identifier free go out as identifiers come free.
  std::vector<TBytes> TakeDeferredLocked(std::vector<std::string>& ALines);
  TRequestPacket FilterRequest(TFilterRequest ARequest);
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
  std::atomic<bool> FResubscribe{true};
  mutable std::mutex FMutex;
  TQORMQTTOutbox FOutbox;                            // FMutex
  std::atomic<size_t> FPendingCount{0};              // FOutbox.Pending(), changed with it
  std::atomic<size_t> FWaitingCount{0};              // FOutbox.Waiting(), changed with it
  std::atomic<size_t> FHeldBytes{0};                 // FOutbox.HeldBytes(), changed with it
  std::set<uint16_t> FAwaitingRelease;               // FMutex; inbound QoS 2 delivered, PUBREL not yet seen
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
