#include "uQORMQTTPacketReader.h"

#include <algorithm>
#include <string>

namespace qor {

namespace {

constexpr const char* kClosed = "Connection closed or read timeout";
// Text is allocated at most this much ahead of what has arrived, so a declared
// length that never arrives costs little; anything up to it (nearly every
// message) is allocated once, at its exact length.
constexpr uint32_t kTextStep = 1024 * 1024;

const char* PacketName(uint8_t AType) {
  static const char* const kNames[16] = {"reserved", "CONNECT", "CONNACK", "PUBLISH", "PUBACK", "PUBREC",
                                         "PUBREL", "PUBCOMP", "SUBSCRIBE", "SUBACK", "UNSUBSCRIBE",
                                         "UNSUBACK", "PINGREQ", "PINGRESP", "DISCONNECT", "AUTH"};
  return kNames[AType & 0x0F];
}

}  // namespace

void TPacketReader::BeginBody(uint32_t ALength, uint8_t APacketType) {
  FInBody = true;
  FBodyLeft = FBodyLength = ALength;
  FPacketType = APacketType;
}

void TPacketReader::EndBody() {
  const uint32_t rest = FBodyLeft;
  SkipBytes(rest);
  FInBody = false;
}

void TPacketReader::Take(uint32_t ACount) {
  if (!FInBody) return;
  if (ACount > FBodyLeft)
    throw EMalformedPacket("Malformed packet: " + std::string(PacketName(FPacketType)) + " with remaining length " +
                           std::to_string(FBodyLength) + " is shorter than its fields");
  FBodyLeft -= ACount;
}

bool TPacketReader::TryReadByte(uint8_t& AValue) { return FSource.Read(&AValue, 1) > 0; }

uint8_t TPacketReader::ReadByte() {
  Take(1);
  uint8_t b;
  if (FSource.Read(&b, 1) <= 0) throw ESocketError(kClosed);
  return b;
}

uint16_t TPacketReader::ReadWord() {
  const uint8_t hi = ReadByte();
  return static_cast<uint16_t>((hi << 8) | ReadByte());
}

bool TPacketReader::ReadVarInt(uint32_t& AValue) {
  AValue = 0;
  uint32_t multiplier = 1;
  for (int iterations = 1;; ++iterations) {
    const uint8_t b = ReadByte();
    AValue += (b & 0x7Fu) * multiplier;
    multiplier *= 128;
    if (iterations > 4) return false;
    if ((b & 0x80) == 0) return true;
  }
}

void TPacketReader::SkipBytes(uint32_t ACount) {
  Take(ACount);
  uint8_t scratch[1024];
  while (ACount > 0) {
    const int n = FSource.Read(scratch, static_cast<int>(std::min<uint32_t>(ACount, sizeof scratch)));
    if (n <= 0) throw ESocketError(kClosed);
    ACount -= static_cast<uint32_t>(n);
  }
}

std::string TPacketReader::ReadText(uint32_t ALength, const char* AShortReadMessage) {
  Take(ALength);
  std::string text;
  size_t filled = 0;
  while (filled < ALength) {
    if (filled == text.size()) text.resize(std::min<size_t>(ALength, text.size() + std::max<size_t>(kTextStep, text.size())));
    const int n = FSource.Read(reinterpret_cast<uint8_t*>(text.data()) + filled,
                               static_cast<int>(text.size() - filled));
    if (n <= 0) throw ESocketError(AShortReadMessage);
    filled += static_cast<size_t>(n);
  }
  return text;
}

}  // namespace qor
