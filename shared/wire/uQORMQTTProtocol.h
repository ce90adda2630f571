// Byte-level encoding of the MQTT control packets a client sends, for
// MQTT 5.0 and 3.1.1. Pure functions over bytes: no state, no sockets, no
// exceptions. Inbound packets are parsed by the client itself. The basic
// forms they are made of are in uQORMQTTWire.h, included from here.
//
// Callers keep within the wire limits: a text's UTF-8 form at most 65535
// bytes, a packet's content at most 268435455 bytes. The encoders clamp
// rather than overrun when a caller does not, but the result is then not
// what was asked for; the client checks both limits before building.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "uQORMQTTExport.h"
#include "uQORMQTTProperties.h"
#include "uQORMQTTWire.h"

namespace qor {

inline constexpr uint8_t MQTT_PROTOCOL_LEVEL_50 = 5;
inline constexpr uint8_t MQTT_PROTOCOL_LEVEL_311 = 4;

inline constexpr uint8_t MQTT_CONNECT = 1;
inline constexpr uint8_t MQTT_CONNACK = 2;
inline constexpr uint8_t MQTT_PUBLISH = 3;
inline constexpr uint8_t MQTT_PUBACK = 4;
inline constexpr uint8_t MQTT_PUBREC = 5;
inline constexpr uint8_t MQTT_PUBREL = 6;
inline constexpr uint8_t MQTT_PUBCOMP = 7;
inline constexpr uint8_t MQTT_SUBSCRIBE = 8;
inline constexpr uint8_t MQTT_SUBACK = 9;
inline constexpr uint8_t MQTT_UNSUBSCRIBE = 10;
inline constexpr uint8_t MQTT_UNSUBACK = 11;
inline constexpr uint8_t MQTT_PINGREQ = 12;
inline constexpr uint8_t MQTT_PINGRESP = 13;
inline constexpr uint8_t MQTT_DISCONNECT = 14;
inline constexpr uint8_t MQTT_AUTH = 15;

// --- primitives -----------------------------------------------------------
// The basic encoders (EncodeVarInt, AppendString, VarIntSize...) are those
// of uQORMQTTWire.h.

/// Type in the high nibble, flags in the low one (both masked to four bits),
/// the remaining length, then the content.
QORMQTT_EXPORT TBytes WrapWithFixedHeader(uint8_t APacketType, uint8_t AFlags, const TBytes& AContent);

// --- sizes ----------------------------------------------------------------
// What the builders below allocate by, for a caller that holds a packet
// against a limit before it builds it. A packet's content is all of it after
// the remaining length.

/// Bytes of a whole packet with AContentSize bytes of content: the first
/// byte, the remaining length and the content.
QORMQTT_EXPORT size_t PacketSize(size_t AContentSize);

/// Content bytes of the PUBLISH BuildPublishPacket makes of a topic of
/// ATopicSize bytes and a payload of APayloadSize bytes; AProperties (may be
/// null) and ATopicAlias (when not 0) count at level 5 only.
QORMQTT_EXPORT size_t PublishContentSize(size_t ATopicSize, size_t APayloadSize, uint8_t AQoS, uint8_t AProtocolLevel,
                                         const TQORMQTTProperties* AProperties = nullptr, uint16_t ATopicAlias = 0);

/// Content bytes of the SUBSCRIBE BuildSubscribePacket makes of AFilters.
QORMQTT_EXPORT size_t SubscribeContentSize(const std::vector<std::pair<std::string, uint8_t>>& AFilters,
                                           uint8_t AProtocolLevel, const TQORMQTTProperties& AProperties);
/// Bytes one filter adds to a SUBSCRIBE's content: the filter and its options.
QORMQTT_EXPORT size_t SubscribeFilterSize(std::string_view AFilter);

/// Content bytes of the UNSUBSCRIBE BuildUnsubscribePacket makes of AFilters.
QORMQTT_EXPORT size_t UnsubscribeContentSize(const std::vector<std::string>& AFilters, uint8_t AProtocolLevel,
                                             const TQORMQTTProperties& AProperties);

// --- packet builders ------------------------------------------------------
/// Level 5 frames a packet for MQTT 5.0, every other level for 3.1.1.

/// At level 5, AReceiveMaximum and AMaximumPacketSize go in as properties
/// when not 0 (0: the client announces no limit).
QORMQTT_EXPORT TBytes BuildConnectPacket(uint8_t AProtocolLevel, bool ACleanStart, uint16_t AKeepAliveSecs,
                          std::string_view AClientID, std::string_view AUsername,
                          std::string_view APassword, uint32_t ASessionExpiryInterval,
                          uint16_t AReceiveMaximum = 0, uint32_t AMaximumPacketSize = 0);

QORMQTT_EXPORT TBytes BuildPublishPacket(std::string_view ATopic, const TBytes& APayload, uint8_t AQoS,
                          uint16_t APacketId, uint8_t AProtocolLevel, bool ARetain, bool ADup);
/// The same packet for a payload held as text; avoids copying it into a TBytes first.
QORMQTT_EXPORT TBytes BuildPublishPacket(std::string_view ATopic, std::string_view APayload, uint8_t AQoS,
                          uint16_t APacketId, uint8_t AProtocolLevel, bool ARetain, bool ADup);

/// The same packet without its payload: every byte before it, the remaining
/// length counting APayloadSize payload bytes. Sent together with a payload
/// from the caller's own memory it is BuildPublishPacket's packet, without
/// copying a large payload once more.
QORMQTT_EXPORT TBytes BuildPublishHeader(std::string_view ATopic, size_t APayloadSize, uint8_t AQoS, uint16_t APacketId,
                          uint8_t AProtocolLevel, bool ARetain, bool ADup);

QORMQTT_EXPORT TBytes BuildPubAckPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel);

/// The QoS 2 exchange, each in PUBACK's layout: the identifier and, at level
/// 5, the reason code and an empty property block. PUBREL carries flags 2.
QORMQTT_EXPORT TBytes BuildPubRecPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel);
QORMQTT_EXPORT TBytes BuildPubRelPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel);
QORMQTT_EXPORT TBytes BuildPubCompPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel);

QORMQTT_EXPORT TBytes BuildSubscribePacket(std::string_view ATopic, uint8_t AQoS, uint16_t APacketId,
                            uint8_t AProtocolLevel);

/// One SUBSCRIBE for several filters, each with its QoS; with one filter it
/// is the packet above.
QORMQTT_EXPORT TBytes BuildSubscribePacket(const std::vector<std::pair<std::string, uint8_t>>& AFilters, uint16_t APacketId,
                            uint8_t AProtocolLevel);

QORMQTT_EXPORT TBytes BuildUnsubscribePacket(std::string_view ATopic, uint16_t APacketId, uint8_t AProtocolLevel);

QORMQTT_EXPORT TBytes BuildPingReqPacket();

QORMQTT_EXPORT TBytes BuildDisconnectPacket(uint8_t AReasonCode, uint8_t AProtocolLevel);

// --- with MQTT 5.0 properties --------------------------------------------------
/// The packets above with a property block of the caller's (at level 5; at
/// level 4 the properties are left out). Without properties each is the
/// packet of the builder above.

/// A will: the message the broker publishes when the link ends without DISCONNECT.
struct TWillFields {
  std::string_view Topic;    ///< the topic it is published to
  std::string_view Payload;  ///< at most 65535 bytes
  uint8_t QoS = 0;       ///< QoS 0, 1 or 2
  bool Retain = false;   ///< published retained
  TQORMQTTProperties Properties;  ///< Will Delay Interval and the publication's properties
};

/// What a CONNECT carries.
struct TConnectFields {
  bool CleanStart = true;      ///< a new session rather than the broker's last one
  uint16_t KeepAliveSecs = 0;  ///< seconds; 0: none
  std::string_view ClientID;   ///< empty: the broker assigns one (MQTT 5.0)
  std::string_view Username;  ///< left out when empty
  std::string_view Password;  ///< left out when empty
  TQORMQTTProperties Properties;      ///< the CONNECT's own properties (level 5)
  const TWillFields* Will = nullptr;  ///< the will; null: none
};

QORMQTT_EXPORT TBytes BuildConnectPacket(uint8_t AProtocolLevel, const TConnectFields& AFields);

/// AProperties may be null (none). ATopicAlias, when not 0, goes into the
/// block first (a topic the broker knows by its alias is sent as an empty topic).
QORMQTT_EXPORT TBytes BuildPublishPacket(std::string_view ATopic, std::string_view APayload, uint8_t AQoS, uint16_t APacketId,
                          uint8_t AProtocolLevel, bool ARetain, bool ADup, const TQORMQTTProperties* AProperties,
                          uint16_t ATopicAlias = 0);
QORMQTT_EXPORT TBytes BuildPublishHeader(std::string_view ATopic, size_t APayloadSize, uint8_t AQoS, uint16_t APacketId,
                          uint8_t AProtocolLevel, bool ARetain, bool ADup, const TQORMQTTProperties* AProperties,
                          uint16_t ATopicAlias = 0);

/// The subscription options byte: QoS in bits 0-1, No Local bit 2, Retain As
/// Published bit 3, Retain Handling bits 4-5.
inline constexpr uint8_t SubscriptionOptions(uint8_t AQoS, bool ANoLocal, bool ARetainAsPublished,
                                             uint8_t ARetainHandling) {
  return static_cast<uint8_t>((AQoS & 3) | (ANoLocal ? 0x04 : 0) | (ARetainAsPublished ? 0x08 : 0) |
                              ((ARetainHandling & 3) << 4));
}

/// Each filter with its subscription options byte (at level 4 its QoS only).
QORMQTT_EXPORT TBytes BuildSubscribePacket(const std::vector<std::pair<std::string, uint8_t>>& AFilters, uint16_t APacketId,
                            uint8_t AProtocolLevel, const TQORMQTTProperties& AProperties);
QORMQTT_EXPORT TBytes BuildUnsubscribePacket(const std::vector<std::string>& AFilters, uint16_t APacketId, uint8_t AProtocolLevel,
                              const TQORMQTTProperties& AProperties);
QORMQTT_EXPORT TBytes BuildDisconnectPacket(uint8_t AReasonCode, uint8_t AProtocolLevel, const TQORMQTTProperties& AProperties);
/// MQTT 5.0 only: the reason code, then the properties (the method, the data).
QORMQTT_EXPORT TBytes BuildAuthPacket(uint8_t AReasonCode, const TQORMQTTProperties& AProperties);

}  // namespace qor
