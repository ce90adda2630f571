// The encoders and DecodeVarInt: decoding never reads outside its input;
// every value survives an encode/decode round trip; and a PUBLISH built from
// arbitrary topic and payload bytes reads back, through the client's own
// session, as exactly those bytes (or is refused whole where MQTT forbids it).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "uQORMQTTSession.h"

namespace {

void Check(bool ACondition) {
  if (!ACondition) std::abort();
}

// Keeps the one message the session delivers.
struct TOneMessage final : qor::ISessionSink {
  int Count = 0;
  std::string Topic, Payload;
  qor::TQORMQTTQoS QoS = qor::mqQoS0;
  bool Logging() const override { return false; }
  void Log(const std::string&) override {}
  bool Send(qor::TBytes, const qor::TSendMode&) override { return true; }
  void Deliver(qor::TQORMQTTMessage& AMessage) override {
    ++Count;
    Topic = AMessage.Topic;
    Payload = AMessage.Payload;
    QoS = AMessage.QoS;
  }
  void Connack(uint8_t, bool) override {}
  void BrokerDisconnect(uint8_t, const qor::TBrokerWords&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  using namespace qor;
  const TBytes input(AData, AData + ASize);

  // Decoding arbitrary bytes from every early offset.
  for (int32_t start = 0; start <= 6 && static_cast<size_t>(start) <= ASize; ++start) {
    int32_t offset = start;
    uint32_t value = 0;
    if (DecodeVarInt(input, offset, value)) {
      Check(value <= MQTT_MAX_VARINT);
      Check(offset > start && offset - start <= 4 && static_cast<size_t>(offset) <= ASize);
    } else {
      Check(offset - start <= 5);
    }
  }
  if (ASize < 8) return 0;

  // Round trip of a 32-bit value.
  uint32_t raw;
  std::memcpy(&raw, AData, sizeof raw);
  const TBytes encoded = EncodeVarInt(raw);
  Check(encoded.size() == VarIntSize(raw) && encoded.size() <= 4);
  int32_t offset = 0;
  uint32_t decoded = 0;
  Check(DecodeVarInt(encoded, offset, decoded));
  Check(decoded == std::min(raw, MQTT_MAX_VARINT) && offset == static_cast<int32_t>(encoded.size()));

  // A PUBLISH of arbitrary bytes, parsed back.
  const uint8_t control = AData[4];
  const uint8_t qos = control % 3;
  const uint8_t level = (control & 0x80) ? 5 : 4;
  const uint16_t id = static_cast<uint16_t>(AData[5] << 8 | AData[6]);
  const size_t topicLength = std::min<size_t>(AData[7], ASize - 8);
  const std::string topic(reinterpret_cast<const char*>(AData) + 8, topicLength);
  const std::string payload(reinterpret_cast<const char*>(AData) + 8 + topicLength, ASize - 8 - topicLength);
  const TBytes packet = BuildPublishPacket(topic, std::string_view(payload), qos, id, level, false, false);
  int32_t lengthEnd = 1;
  uint32_t remaining = 0;
  Check(DecodeVarInt(packet, lengthEnd, remaining));
  Check(remaining == packet.size() - static_cast<size_t>(lengthEnd));
  // Header plus the payload sent apart is the same packet.
  const TBytes head = BuildPublishHeader(topic, payload.size(), qos, id, level, false, false);
  Check(head.size() + payload.size() == packet.size() && std::equal(head.begin(), head.end(), packet.begin()) &&
        std::equal(payload.begin(), payload.end(), packet.begin() + static_cast<std::ptrdiff_t>(head.size()),
                   [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; }));

  TQORMQTTSession session;
  session.SetProtocolLevel(level);
  TOneMessage message;
  TMemoryByteSource source(packet, 1 + AData[5] % 64);
  // One MQTT forbids a broker to send (no topic, a wildcard in it, no
  // identifier at QoS 1 or 2) is refused whole; any other reads back as built.
  const bool allowed = !topic.empty() && topic.find_first_of("+#") == std::string::npos && (qos == 0 || id != 0);
  Check(session.Feed(source, message) == (allowed ? 1u : 0u));
  Check(allowed ? message.Count == 1 && message.Topic == topic && message.Payload == payload && message.QoS == qos
                : message.Count == 0);

  // Whatever property block decodes encodes back to one that decodes the same.
  TQORMQTTProperties properties;
  bool readable = true;
  try {
    DecodeProperties(payload, 0, "X", properties);
  } catch (const Exception&) {
    readable = false;
  }
  if (readable) {
    TBytes block;
    AppendProperties(block, properties);
    TQORMQTTProperties again;
    Check(DecodeProperties(std::string(block.begin(), block.end()), 0, "X", again) == block.size() &&
          again == properties);
    // The size a caller holds against a limit is the size of what is built.
    Check(PacketSize(PublishContentSize(topic.size(), payload.size(), qos, level, &properties, id)) ==
          BuildPublishPacket(topic, payload, qos, id, level, false, false, &properties, id).size());
  }

  // The other builders take any text without complaint.
  BuildConnectPacket(level, control & 1, id, topic, payload, topic, raw);
  BuildSubscribePacket(topic, qos, id, level);
  BuildUnsubscribePacket(topic, id, level);
  BuildPubAckPacket(id, control, level);
  BuildDisconnectPacket(control, level);
  return 0;
}
