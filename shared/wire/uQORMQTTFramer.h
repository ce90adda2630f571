// Cuts the byte stream from the broker into packets: the first byte and a
// body of exactly the length the packet declares. Nothing is read ahead of
// the packet, and memory follows what arrives, not what the peer declared.
#pragma once

#include <cstdint>
#include <string>

#include "uQORByteSource.h"
#include "uQORMQTTFields.h"

namespace qor {

class TPacketFramer {
 public:
  // AMaxPacketSize: the largest whole packet taken; 0: no limit but the
  // protocol's. A larger one raises EPacketTooLarge before its body is read.
  explicit TPacketFramer(IByteSource& ASource, uint32_t AMaxPacketSize = 0)
      : FSource(ASource), FMaxPacketSize(AMaxPacketSize) {}

  // The next packet. False when the source delivered nothing where a packet
  // would begin (end of stream, idle time-out). Raises EMalformedPacket for a
  // remaining length of more than four bytes, and ETruncatedPacket when the
  // source ends inside a packet; ABody then holds what did arrive of it.
  bool Next(uint8_t& AHeader, std::string& ABody);

 private:
  uint8_t ReadByte();

  IByteSource& FSource;
  uint32_t FMaxPacketSize;
};

}  // namespace qor
