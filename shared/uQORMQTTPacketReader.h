// Reading the fields of an inbound packet from a byte source. Every read
// that cannot be completed raises ESocketError; nothing is read ahead.
#pragma once

#include <cstdint>
#include <string>

#include "uQORByteSource.h"
#include "uQORException.h"

namespace qor {

class TPacketReader {
 public:
  explicit TPacketReader(IByteSource& ASource) : FSource(ASource) {}

  // One byte, or false when the source delivered nothing.
  bool TryReadByte(uint8_t& AValue);
  // Raise ESocketError "Connection closed or read timeout" when the source runs dry.
  uint8_t ReadByte();
  uint16_t ReadWord();
  // A variable byte integer; false when it runs past four bytes (a fifth is
  // read before giving up).
  bool ReadVarInt(uint32_t& AValue);
  void SkipBytes(uint32_t ACount);
  // Reads a remaining length and, when it decodes, skips that many bytes.
  void SkipPacketBody();
  // ALength bytes, over as many reads as the source needs; raises
  // ESocketError with AShortReadMessage when the source ends first. Memory
  // grows with what arrives, not with what the peer declared.
  std::string ReadText(uint32_t ALength, const char* AShortReadMessage);

 private:
  IByteSource& FSource;
};

}  // namespace qor
