// What the client sends and receives beyond a topic and a payload: a
// message with its MQTT 5.0 properties, the options of a subscription, and
// what a broker says in its acknowledgements. At MQTT 3.1.1 the properties
// are neither sent nor received; topic, payload, QoS, retain and DUP are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "uQORMQTTProperties.h"

namespace qor {

enum TQORMQTTQoS : uint8_t { mqQoS0 = 0, mqQoS1 = 1, mqQoS2 = 2 };

/// The MQTT 5.0 reason-code bytes. A received code is kept as the raw byte,
/// so values other than these can occur.
enum TQORMQTTReasonCode : uint8_t {
  mqrcSuccess = 0x00,
  mqrcNoMatchingSubscribers = 0x10,
  mqrcUnspecifiedError = 0x80,
  mqrcMalformedPacket = 0x81,
  mqrcProtocolError = 0x82,
  mqrcNotAuthorized = 0x87,
  mqrcServerBusy = 0x89,
  mqrcSessionTakenOver = 0x8E,
  mqrcTopicNameInvalid = 0x90,
  mqrcPacketIdInUse = 0x91,
  mqrcPacketIdNotFound = 0x92,
  mqrcReceiveMaximumExceeded = 0x93,
  mqrcTopicAliasInvalid = 0x94,
  mqrcQuotaExceeded = 0x97,
  mqrcUnsupportedProtocolVersion = 0x84,
};

/// A publication with its flags and MQTT 5.0 properties, to send or as received.
struct TQORMQTTMessage {
  std::string Topic;    ///< the topic name (received: aliases resolved)
  std::string Payload;  ///< bytes; UTF-8 for text
  TQORMQTTQoS QoS = mqQoS0;  ///< QoS 0, 1 or 2
  /// Sent: the broker keeps the message for later subscribers. Received: a
  /// retained message (or, with RetainAsPublished, the flag as published).
  bool Retain = false;
  bool Dup = false;       ///< received only: the broker sent it before
  uint16_t PacketId = 0;  ///< received only: the broker's identifier (0 at QoS 0)

  /// MQTT 5.0 publication properties; an empty field is not sent.
  std::optional<uint8_t> PayloadFormatIndicator;  ///< 0: bytes, 1: UTF-8 text
  std::optional<uint32_t> MessageExpiryInterval;  ///< seconds; received: what is left of it
  std::optional<std::string> ContentType;      ///< a MIME type, say, of the payload
  std::optional<std::string> ResponseTopic;    ///< where a request's answer should go
  std::optional<TBytes> CorrelationData;       ///< ties an answer to its request
  TQORMQTTUserProperties UserProperties;       ///< name/value pairs in order, names may repeat
  /// Received only: the identifiers of the subscriptions it matched.
  std::vector<uint32_t> SubscriptionIdentifiers;

  bool operator==(const TQORMQTTMessage&) const = default;  ///< field by field
};

/// Retain Handling: when the broker sends the retained messages of a new subscription.
enum TQORMQTTRetainHandling : uint8_t {
  mqrhSendOnSubscribe = 0,     ///< on every SUBSCRIBE
  mqrhSendIfNew = 1,           ///< only when the subscription did not exist
  mqrhDoNotSend = 2,           ///< never
};

/// One topic filter of a SUBSCRIBE with its options (MQTT 5.0; at 3.1.1 only
/// the QoS is sent).
struct TQORMQTTSubscription {
  std::string Filter;        ///< the topic filter, wildcards allowed
  TQORMQTTQoS QoS = mqQoS0;  ///< the QoS asked for
  bool NoLocal = false;            ///< not the client's own publications
  bool RetainAsPublished = false;  ///< keep the retain flag as published
  TQORMQTTRetainHandling RetainHandling = mqrhSendOnSubscribe;  ///< when retained messages come
};

/// The broker's answer to a request of the client: a CONNACK, PUBACK,
/// PUBREC, PUBCOMP, SUBACK or UNSUBACK with everything it said.
struct TQORMQTTAcknowledgement {
  uint8_t PacketType = 0;  ///< MQTT_CONNACK, MQTT_PUBACK, ...
  uint16_t PacketId = 0;   ///< 0 for CONNACK
  std::vector<uint8_t> ReasonCodes;  ///< one; SUBACK and UNSUBACK: one per filter
  std::optional<std::string> ReasonString;  ///< the broker's Reason String, when it sent one
  TQORMQTTUserProperties UserProperties;    ///< the broker's User Properties, in order
};

/// What a DISCONNECT of the client's may carry besides its reason code (MQTT 5.0).
struct TQORMQTTDisconnectProperties {
  std::optional<std::string> ReasonString;  ///< why the client leaves, for the broker's log
  /// Replaces the session's expiry; not above 0 when CONNECT announced 0.
  std::optional<uint32_t> SessionExpiryInterval;
  TQORMQTTUserProperties UserProperties;  ///< name/value pairs in order
};

}  // namespace qor
