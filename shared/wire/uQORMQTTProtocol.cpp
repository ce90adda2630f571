#include "uQORMQTTProtocol.h"

#include <algorithm>
#include <cstdint>

#include "uQORMQTTFields.h"

namespace qor {

namespace {

// Every builder first adds up the size of its content, then fills exactly one
// buffer: the packet is allocated once and never moved.
class TPacketWriter {
 public:
  // AReserve: how much of the content this buffer will hold, when not all of it.
  TPacketWriter(uint8_t AFirstByte, size_t AContentSize, size_t AReserve = SIZE_MAX) {
    FData.reserve(PacketSize(AContentSize) - AContentSize + std::min(AContentSize, AReserve));
    FData.push_back(AFirstByte);
    VarInt(static_cast<uint32_t>(std::min<size_t>(AContentSize, MQTT_MAX_VARINT)));
  }

  void Byte(uint8_t AValue) { FData.push_back(AValue); }

  void Word(uint16_t AValue) { AppendWord(FData, AValue); }

  void DWord(uint32_t AValue) {
    Word(static_cast<uint16_t>(AValue >> 16));
    Word(static_cast<uint16_t>(AValue & 0xFFFF));
  }

  void VarInt(uint32_t AValue) { AppendVarInt(FData, AValue); }
  void String(std::string_view AStr) { AppendString(FData, AStr); }

  void Raw(std::string_view AData) { AppendRaw(FData, AData); }
  void Raw(const TBytes& AData) { FData.insert(FData.end(), AData.begin(), AData.end()); }
  void Properties(const TQORMQTTProperties& AProperties) { AppendProperties(FData, AProperties); }
  void PropertyList(const TQORMQTTProperties& AProperties) { AppendPropertyList(FData, AProperties); }

  TBytes Done() { return std::move(FData); }

 private:
  TBytes FData;
};

uint8_t FirstByte(uint8_t APacketType, uint8_t AFlags) {
  return static_cast<uint8_t>(((APacketType & 0x0F) << 4) | (AFlags & 0x0F));
}

bool IsLevel5(uint8_t AProtocolLevel) { return AProtocolLevel == MQTT_PROTOCOL_LEVEL_50; }

// The size of a property block with its length in front.
size_t BlockSize(size_t AProperties) {
  return VarIntSize(static_cast<uint32_t>(std::min<size_t>(AProperties, MQTT_MAX_VARINT))) + AProperties;
}

const TQORMQTTProperties kNoProperties;

// A PUBLISH's properties: the topic alias, then the caller's. Most
// publications carry none: the size is not added up field by field then.
size_t PublishPropertiesSize(const TQORMQTTProperties* AProperties, uint16_t ATopicAlias) {
  return (AProperties ? PropertiesSize(*AProperties) : 0) + (ATopicAlias != 0 ? 3 : 0);
}

// A PUBLISH's content around a property list of AProperties bytes (at
// level 5): the one place its layout is added up, for PublishContentSize and
// for the builder, which has the list's size at hand already.
size_t PublishContent(size_t ATopicSize, size_t APayloadSize, uint8_t AQoS, bool ALevel5, size_t AProperties) {
  return StringFieldSize(ATopicSize) + (AQoS != 0 ? 2 : 0) + (ALevel5 ? BlockSize(AProperties) : 0) + APayloadSize;
}

// What SUBSCRIBE and UNSUBSCRIBE carry before their filters: the packet
// identifier and, at level 5, the property block.
size_t FilterRequestHeadSize(uint8_t AProtocolLevel, const TQORMQTTProperties& AProperties) {
  return 2 + (IsLevel5(AProtocolLevel) ? BlockSize(PropertiesSize(AProperties)) : 0);
}

// A PUBLISH up to its payload, in a buffer with room for AReserve payload
// bytes more; the remaining length counts all APayloadSize of them.
TPacketWriter PublishHead(std::string_view ATopic, size_t APayloadSize, size_t AReserve, uint8_t AQoS,
                          uint16_t APacketId, uint8_t AProtocolLevel, bool ARetain, bool ADup,
                          const TQORMQTTProperties* AProperties = nullptr, uint16_t ATopicAlias = 0) {
  uint8_t flags = static_cast<uint8_t>((AQoS & 3) << 1);
  if (ADup) flags |= 0x08;
  if (ARetain) flags |= 0x01;
  const bool level5 = IsLevel5(AProtocolLevel);
  const size_t properties = level5 ? PublishPropertiesSize(AProperties, ATopicAlias) : 0;
  const size_t content = PublishContent(ATopic.size(), APayloadSize, AQoS, level5, properties);
  TPacketWriter w(FirstByte(MQTT_PUBLISH, flags), content, content - APayloadSize + AReserve);
  w.String(ATopic);
  if (AQoS != 0) w.Word(APacketId);
  if (level5) {
    w.VarInt(static_cast<uint32_t>(properties));
    if (ATopicAlias != 0) {
      w.Byte(PROP_TOPIC_ALIAS);
      w.Word(ATopicAlias);
    }
    if (AProperties) w.PropertyList(*AProperties);
  }
  return w;
}

template <typename TPayload>
TBytes BuildPublish(std::string_view ATopic, const TPayload& APayload, uint8_t AQoS,
                    uint16_t APacketId, uint8_t AProtocolLevel, bool ARetain, bool ADup,
                    const TQORMQTTProperties* AProperties = nullptr, uint16_t ATopicAlias = 0) {
  TPacketWriter w = PublishHead(ATopic, APayload.size(), APayload.size(), AQoS, APacketId, AProtocolLevel, ARetain,
                                ADup, AProperties, ATopicAlias);
  w.Raw(APayload);
  return w.Done();
}

// PUBACK, PUBREC, PUBREL and PUBCOMP share one layout.
TBytes BuildAck(uint8_t AFirstByte, uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel) {
  const bool level5 = IsLevel5(AProtocolLevel);
  TPacketWriter w(AFirstByte, level5 ? 4 : 2);
  w.Word(APacketId);
  if (level5) {
    w.Byte(AReasonCode);
    w.Byte(0);
  }
  return w.Done();
}

}  // namespace

size_t PacketSize(size_t AContentSize) {
  return 1 + VarIntSize(static_cast<uint32_t>(std::min<size_t>(AContentSize, MQTT_MAX_VARINT))) + AContentSize;
}

size_t PublishContentSize(size_t ATopicSize, size_t APayloadSize, uint8_t AQoS, uint8_t AProtocolLevel,
                          const TQORMQTTProperties* AProperties, uint16_t ATopicAlias) {
  const bool level5 = IsLevel5(AProtocolLevel);
  const size_t properties = level5 ? PublishPropertiesSize(AProperties, ATopicAlias) : 0;
  return PublishContent(ATopicSize, APayloadSize, AQoS, level5, properties);
}

size_t SubscribeFilterSize(std::string_view AFilter) { return StringFieldSize(AFilter) + 1; }

size_t SubscribeContentSize(const std::vector<std::pair<std::string, uint8_t>>& AFilters, uint8_t AProtocolLevel,
                            const TQORMQTTProperties& AProperties) {
  size_t size = FilterRequestHeadSize(AProtocolLevel, AProperties);
  for (const auto& [filter, options] : AFilters) size += SubscribeFilterSize(filter);
  return size;
}

size_t UnsubscribeContentSize(const std::vector<std::string>& AFilters, uint8_t AProtocolLevel,
                              const TQORMQTTProperties& AProperties) {
  size_t size = FilterRequestHeadSize(AProtocolLevel, AProperties);
  for (const std::string& filter : AFilters) size += StringFieldSize(filter);
  return size;
}

TBytes WrapWithFixedHeader(uint8_t APacketType, uint8_t AFlags, const TBytes& AContent) {
  TPacketWriter w(FirstByte(APacketType, AFlags), AContent.size());
  w.Raw(AContent);
  return w.Done();
}

TBytes BuildConnectPacket(uint8_t AProtocolLevel, bool ACleanStart, uint16_t AKeepAliveSecs,
                          std::string_view AClientID, std::string_view AUsername,
                          std::string_view APassword, uint32_t ASessionExpiryInterval,
                          uint16_t AReceiveMaximum, uint32_t AMaximumPacketSize) {
  TConnectFields fields{ACleanStart, AKeepAliveSecs, AClientID, AUsername, APassword, {}, nullptr};
  if (ASessionExpiryInterval > 0) fields.Properties.SessionExpiryInterval = ASessionExpiryInterval;
  if (AReceiveMaximum > 0) fields.Properties.ReceiveMaximum = AReceiveMaximum;
  if (AMaximumPacketSize > 0) fields.Properties.MaximumPacketSize = AMaximumPacketSize;
  return BuildConnectPacket(AProtocolLevel, fields);
}

TBytes BuildConnectPacket(uint8_t AProtocolLevel, const TConnectFields& AFields) {
  const TWillFields* will = AFields.Will;
  uint8_t flags = 0;
  if (!AFields.Username.empty()) flags |= 0x80;
  if (!AFields.Password.empty()) flags |= 0x40;
  if (will) flags |= static_cast<uint8_t>(0x04 | (will->QoS & 3) << 3 | (will->Retain ? 0x20 : 0));
  if (AFields.CleanStart) flags |= 0x02;

  const bool level5 = IsLevel5(AProtocolLevel);
  size_t size = 6 + 1 + 1 + 2;  // "MQTT", level, flags, keep alive
  if (level5) size += BlockSize(PropertiesSize(AFields.Properties));
  size += StringFieldSize(AFields.ClientID);
  if (will) {
    if (level5) size += BlockSize(PropertiesSize(will->Properties));
    size += StringFieldSize(will->Topic) + StringFieldSize(will->Payload);
  }
  if (!AFields.Username.empty()) size += StringFieldSize(AFields.Username);
  if (!AFields.Password.empty()) size += StringFieldSize(AFields.Password);

  TPacketWriter w(FirstByte(MQTT_CONNECT, 0), size);
  w.String("MQTT");
  w.Byte(AProtocolLevel);
  w.Byte(flags);
  w.Word(AFields.KeepAliveSecs);
  if (level5) w.Properties(AFields.Properties);
  w.String(AFields.ClientID);
  if (will) {
    if (level5) w.Properties(will->Properties);
    w.String(will->Topic);
    w.String(will->Payload);
  }
  if (!AFields.Username.empty()) w.String(AFields.Username);
  if (!AFields.Password.empty()) w.String(AFields.Password);
  return w.Done();
}

TBytes BuildPublishPacket(std::string_view ATopic, const TBytes& APayload, uint8_t AQoS,
                          uint16_t APacketId, uint8_t AProtocolLevel, bool ARetain, bool ADup) {
  return BuildPublish(ATopic, APayload, AQoS, APacketId, AProtocolLevel, ARetain, ADup);
}

TBytes BuildPublishPacket(std::string_view ATopic, std::string_view APayload, uint8_t AQoS,
                          uint16_t APacketId, uint8_t AProtocolLevel, bool ARetain, bool ADup) {
  return BuildPublish(ATopic, APayload, AQoS, APacketId, AProtocolLevel, ARetain, ADup);
}

TBytes BuildPublishHeader(std::string_view ATopic, size_t APayloadSize, uint8_t AQoS, uint16_t APacketId,
                          uint8_t AProtocolLevel, bool ARetain, bool ADup) {
  return PublishHead(ATopic, APayloadSize, 0, AQoS, APacketId, AProtocolLevel, ARetain, ADup).Done();
}

TBytes BuildPublishPacket(std::string_view ATopic, std::string_view APayload, uint8_t AQoS, uint16_t APacketId,
                          uint8_t AProtocolLevel, bool ARetain, bool ADup, const TQORMQTTProperties* AProperties,
                          uint16_t ATopicAlias) {
  return BuildPublish(ATopic, APayload, AQoS, APacketId, AProtocolLevel, ARetain, ADup, AProperties, ATopicAlias);
}

TBytes BuildPublishHeader(std::string_view ATopic, size_t APayloadSize, uint8_t AQoS, uint16_t APacketId,
                          uint8_t AProtocolLevel, bool ARetain, bool ADup, const TQORMQTTProperties* AProperties,
                          uint16_t ATopicAlias) {
  return PublishHead(ATopic, APayloadSize, 0, AQoS, APacketId, AProtocolLevel, ARetain, ADup, AProperties,
                     ATopicAlias)
      .Done();
}

TBytes BuildPubAckPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel) {
  return BuildAck(FirstByte(MQTT_PUBACK, 0), APacketId, AReasonCode, AProtocolLevel);
}

TBytes BuildPubRecPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel) {
  return BuildAck(FirstByte(MQTT_PUBREC, 0), APacketId, AReasonCode, AProtocolLevel);
}

TBytes BuildPubRelPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel) {
  return BuildAck(FirstByte(MQTT_PUBREL, 2), APacketId, AReasonCode, AProtocolLevel);
}

TBytes BuildPubCompPacket(uint16_t APacketId, uint8_t AReasonCode, uint8_t AProtocolLevel) {
  return BuildAck(FirstByte(MQTT_PUBCOMP, 0), APacketId, AReasonCode, AProtocolLevel);
}

TBytes BuildSubscribePacket(std::string_view ATopic, uint8_t AQoS, uint16_t APacketId,
                            uint8_t AProtocolLevel) {
  TPacketWriter w(FirstByte(MQTT_SUBSCRIBE, 2),
                  FilterRequestHeadSize(AProtocolLevel, kNoProperties) + SubscribeFilterSize(ATopic));
  w.Word(APacketId);
  if (IsLevel5(AProtocolLevel)) w.Byte(0);
  w.String(ATopic);
  w.Byte(AQoS & 3);
  return w.Done();
}

TBytes BuildSubscribePacket(const std::vector<std::pair<std::string, uint8_t>>& AFilters, uint16_t APacketId,
                            uint8_t AProtocolLevel) {
  std::vector<std::pair<std::string, uint8_t>> filters = AFilters;
  for (auto& filter : filters) filter.second &= 3;
  return BuildSubscribePacket(filters, APacketId, AProtocolLevel, kNoProperties);
}

TBytes BuildSubscribePacket(const std::vector<std::pair<std::string, uint8_t>>& AFilters, uint16_t APacketId,
                            uint8_t AProtocolLevel, const TQORMQTTProperties& AProperties) {
  const bool level5 = IsLevel5(AProtocolLevel);
  TPacketWriter w(FirstByte(MQTT_SUBSCRIBE, 2), SubscribeContentSize(AFilters, AProtocolLevel, AProperties));
  w.Word(APacketId);
  if (level5) w.Properties(AProperties);
  // 3.1.1 reserves every bit of the byte but the QoS.
  for (const auto& [filter, options] : AFilters) {
    w.String(filter);
    w.Byte(level5 ? options : options & 3);
  }
  return w.Done();
}

TBytes BuildUnsubscribePacket(std::string_view ATopic, uint16_t APacketId, uint8_t AProtocolLevel) {
  TPacketWriter w(FirstByte(MQTT_UNSUBSCRIBE, 2),
                  FilterRequestHeadSize(AProtocolLevel, kNoProperties) + StringFieldSize(ATopic));
  w.Word(APacketId);
  if (IsLevel5(AProtocolLevel)) w.Byte(0);
  w.String(ATopic);
  return w.Done();
}

TBytes BuildUnsubscribePacket(const std::vector<std::string>& AFilters, uint16_t APacketId, uint8_t AProtocolLevel,
                              const TQORMQTTProperties& AProperties) {
  TPacketWriter w(FirstByte(MQTT_UNSUBSCRIBE, 2), UnsubscribeContentSize(AFilters, AProtocolLevel, AProperties));
  w.Word(APacketId);
  if (IsLevel5(AProtocolLevel)) w.Properties(AProperties);
  for (const std::string& filter : AFilters) w.String(filter);
  return w.Done();
}

TBytes BuildPingReqPacket() { return TBytes{0xC0, 0x00}; }

TBytes BuildDisconnectPacket(uint8_t AReasonCode, uint8_t AProtocolLevel) {
  return BuildDisconnectPacket(AReasonCode, AProtocolLevel, kNoProperties);
}

TBytes BuildDisconnectPacket(uint8_t AReasonCode, uint8_t AProtocolLevel, const TQORMQTTProperties& AProperties) {
  const bool level5 = IsLevel5(AProtocolLevel);
  TPacketWriter w(FirstByte(MQTT_DISCONNECT, 0), level5 ? 1 + BlockSize(PropertiesSize(AProperties)) : 0);
  if (level5) {
    w.Byte(AReasonCode);
    w.Properties(AProperties);
  }
  return w.Done();
}

TBytes BuildAuthPacket(uint8_t AReasonCode, const TQORMQTTProperties& AProperties) {
  TPacketWriter w(FirstByte(MQTT_AUTH, 0), 1 + BlockSize(PropertiesSize(AProperties)));
  w.Byte(AReasonCode);
  w.Properties(AProperties);
  return w.Done();
}

}  // namespace qor
