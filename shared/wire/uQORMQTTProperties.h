// MQTT 5.0 properties: every property a packet can carry, their encoding
// into a property block and their decoding from one. The packet builders
// and the session's parser both go through here, so each property's wire
// form is written down once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "uQORMQTTExport.h"
#include "uQORMQTTWire.h"

namespace qor {

/// Name/value pairs in the order sent; a name may repeat.
using TQORMQTTUserProperties = std::vector<std::pair<std::string, std::string>>;

inline constexpr uint8_t PROP_PAYLOAD_FORMAT_INDICATOR = 0x01;
inline constexpr uint8_t PROP_MESSAGE_EXPIRY_INTERVAL = 0x02;
inline constexpr uint8_t PROP_CONTENT_TYPE = 0x03;
inline constexpr uint8_t PROP_RESPONSE_TOPIC = 0x08;
inline constexpr uint8_t PROP_CORRELATION_DATA = 0x09;
inline constexpr uint8_t PROP_SUBSCRIPTION_IDENTIFIER = 0x0B;
inline constexpr uint8_t PROP_SESSION_EXPIRY_INTERVAL = 0x11;
inline constexpr uint8_t PROP_ASSIGNED_CLIENT_IDENTIFIER = 0x12;
inline constexpr uint8_t PROP_SERVER_KEEP_ALIVE = 0x13;
inline constexpr uint8_t PROP_AUTHENTICATION_METHOD = 0x15;
inline constexpr uint8_t PROP_AUTHENTICATION_DATA = 0x16;
inline constexpr uint8_t PROP_REQUEST_PROBLEM_INFORMATION = 0x17;
inline constexpr uint8_t PROP_WILL_DELAY_INTERVAL = 0x18;
inline constexpr uint8_t PROP_REQUEST_RESPONSE_INFORMATION = 0x19;
inline constexpr uint8_t PROP_RESPONSE_INFORMATION = 0x1A;
inline constexpr uint8_t PROP_SERVER_REFERENCE = 0x1C;
inline constexpr uint8_t PROP_REASON_STRING = 0x1F;
inline constexpr uint8_t PROP_RECEIVE_MAXIMUM = 0x21;
inline constexpr uint8_t PROP_TOPIC_ALIAS_MAXIMUM = 0x22;
inline constexpr uint8_t PROP_TOPIC_ALIAS = 0x23;
inline constexpr uint8_t PROP_MAXIMUM_QOS = 0x24;
inline constexpr uint8_t PROP_RETAIN_AVAILABLE = 0x25;
inline constexpr uint8_t PROP_USER_PROPERTY = 0x26;
inline constexpr uint8_t PROP_MAXIMUM_PACKET_SIZE = 0x27;
inline constexpr uint8_t PROP_WILDCARD_SUBSCRIPTION_AVAILABLE = 0x28;
inline constexpr uint8_t PROP_SUBSCRIPTION_IDENTIFIER_AVAILABLE = 0x29;
inline constexpr uint8_t PROP_SHARED_SUBSCRIPTION_AVAILABLE = 0x2A;

/// One field per property; a field left empty is not sent. Encoded in the
/// order of the identifiers, user properties in their own order.
struct TQORMQTTProperties {
  /// @name Properties
  /// The MQTT 5.0 property of the same name (its identifier: the PROP_
  /// constant of that name); SubscriptionIdentifiers and UserProperties may
  /// hold several.
  ///@{
  std::optional<uint8_t> PayloadFormatIndicator;
  std::optional<uint32_t> MessageExpiryInterval;
  std::optional<std::string> ContentType;
  std::optional<std::string> ResponseTopic;
  std::optional<TBytes> CorrelationData;
  std::vector<uint32_t> SubscriptionIdentifiers;  ///< variable byte integers; may repeat
  std::optional<uint32_t> SessionExpiryInterval;
  std::optional<std::string> AssignedClientIdentifier;
  std::optional<uint16_t> ServerKeepAlive;
  std::optional<std::string> AuthenticationMethod;
  std::optional<TBytes> AuthenticationData;
  std::optional<uint8_t> RequestProblemInformation;
  std::optional<uint32_t> WillDelayInterval;
  std::optional<uint8_t> RequestResponseInformation;
  std::optional<std::string> ResponseInformation;
  std::optional<std::string> ServerReference;
  std::optional<std::string> ReasonString;
  std::optional<uint16_t> ReceiveMaximum;
  std::optional<uint16_t> TopicAliasMaximum;
  std::optional<uint16_t> TopicAlias;
  std::optional<uint8_t> MaximumQoS;
  std::optional<uint8_t> RetainAvailable;
  TQORMQTTUserProperties UserProperties;
  std::optional<uint32_t> MaximumPacketSize;
  std::optional<uint8_t> WildcardSubscriptionAvailable;
  std::optional<uint8_t> SubscriptionIdentifierAvailable;
  std::optional<uint8_t> SharedSubscriptionAvailable;
  ///@}

  bool operator==(const TQORMQTTProperties&) const = default;  ///< field by field
};

/// Bytes of the properties themselves, without the block's length in front.
QORMQTT_EXPORT size_t PropertiesSize(const TQORMQTTProperties& AProperties);
/// The whole block: its length as a variable byte integer, then the properties.
QORMQTT_EXPORT void AppendProperties(TBytes& AOut, const TQORMQTTProperties& AProperties);
/// The properties alone, for a block that holds more than these.
QORMQTT_EXPORT void AppendPropertyList(TBytes& AOut, const TQORMQTTProperties& AProperties);
/// The first text or binary field longer than an MQTT field can carry
/// (65535 bytes), by its property name; empty when all fit. The encoder
/// would cut such a field short.
QORMQTT_EXPORT std::string OverlongProperty(const TQORMQTTProperties& AProperties);

/// Reads the property block that starts at APos of AData into AOut and
/// returns the position behind it. Raises EMalformedPacket ("Malformed
/// packet: <APacket> ...") for a block running past the data, an unknown
/// identifier, a property given twice that may appear once, or a value out
/// of its range.
QORMQTT_EXPORT size_t DecodeProperties(std::string_view AData, size_t APos, const char* APacket, TQORMQTTProperties& AOut);

}  // namespace qor
