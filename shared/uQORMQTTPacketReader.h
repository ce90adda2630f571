// Reading the fields of an inbound packet from a byte source. Every read
// that cannot be completed raises ESocketError; nothing is read ahead.
#pragma once

#include <cstdint>
#include <string>

#include "uQORByteSource.h"
#include "uQORException.h"

namespace qor {

// A packet whose fields run past its remaining length.
QOR_DECLARE_EXCEPTION(EMalformedPacket, ESocketError);

class TPacketReader {
 public:
  explicit TPacketReader(IByteSource& ASource) : FSource(ASource) {}

  // From here on every read stays inside the ALength bytes of one packet's
  // body: a field that would run past them raises EMalformedPacket instead
  // of reading into the next packet. APacketType names the packet in that error.
  void BeginBody(uint32_t ALength, uint8_t APacketType);
  // What the body still holds.
  uint32_t BodyLeft() const { return FBodyLeft; }
  // Skips what was not read of the body (properties and reason codes a
  // handler does not use) and ends it.
  void EndBody();

  // One byte, or false when the source delivered nothing.
  bool TryReadByte(uint8_t& AValue);
  // Raise ESocketError "Connection closed or read timeout" when the source runs dry.
  uint8_t ReadByte();
  uint16_t ReadWord();
  // A variable byte integer; false when it runs past four bytes (a fifth is
  // read before giving up).
  bool ReadVarInt(uint32_t& AValue);
  void SkipBytes(uint32_t ACount);
  // ALength bytes, over as many reads as the source needs; raises
  // ESocketError with AShortReadMessage when the source ends first. Memory
  // grows with what arrives, not with what the peer declared.
  std::string ReadText(uint32_t ALength, const char* AShortReadMessage);

 private:
  // Accounts for ACount bytes about to be read of the body.
  void Take(uint32_t ACount);

  IByteSource& FSource;
  bool FInBody = false;
  uint32_t FBodyLeft = 0;
  uint32_t FBodyLength = 0;
  uint8_t FPacketType = 0;
};

}  // namespace qor
