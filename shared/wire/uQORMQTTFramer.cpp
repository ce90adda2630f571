#include "uQORMQTTFramer.h"

#include <algorithm>
#include <string>

#include "uQORMQTTProtocol.h"

namespace qor {

namespace {

// A body is first allocated at most this large, then doubled as it fills,
// so a declared length that never arrives costs little; anything up to it
// (nearly every packet) is allocated once, at its exact length.
constexpr size_t kFirstBodyBlock = 64 * 1024;

}  // namespace

uint8_t TPacketFramer::ReadByte() {
  uint8_t b;
  if (FSource.Read(&b, 1) <= 0) throw ETruncatedPacket("Connection closed or read timeout");
  return b;
}

bool TPacketFramer::Next(uint8_t& AHeader, std::string& ABody) {
  if (FSource.Read(&AHeader, 1) <= 0) return false;
  ABody.clear();
  TVarIntDecoder remaining;
  TVarIntDecoder::TStep step;
  while ((step = remaining.Add(ReadByte())) == TVarIntDecoder::More) {
  }
  if (step == TVarIntDecoder::TooLong)
    throw EMalformedPacket("Malformed packet: remaining length longer than four bytes");
  const uint32_t length = remaining.Value();
  if (FMaxPacketSize != 0) {
    const size_t size = PacketSize(length);
    if (size > FMaxPacketSize)
      throw EPacketTooLarge("Packet of " + std::to_string(size) + " bytes exceeds the MaximumPacketSize of " +
                            std::to_string(FMaxPacketSize));
  }
  size_t filled = 0;
  while (filled < length) {
    if (filled == ABody.size())
      ABody.resize(std::min<size_t>(length, std::max(kFirstBodyBlock, 2 * ABody.size())));
    const int n = FSource.Read(reinterpret_cast<uint8_t*>(ABody.data()) + filled,
                               static_cast<int>(std::min<size_t>(ABody.size() - filled, INT32_MAX)));
    if (n <= 0) {
      ABody.resize(filled);
      throw ETruncatedPacket("Connection closed or read timeout");
    }
    filled += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace qor
