// The wire's own toolkit, behind the public encoders: the sizes and raw
// bytes the builders share, and reading the broker's packets field by field
// (the variable byte integer decoder, the bounded field reader every
// inbound packet goes through, the packets' names for errors and the log).
// The errors a packet that breaks its layout raises are in uQORErrors.h,
// where a caller can catch them. Internal: not installed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "uQORErrors.h"
#include "uQORMQTTWire.h"

namespace qor {

// Bytes of a string field: its two-byte length and the text, cut where
// AppendString cuts it.
inline size_t StringFieldSize(size_t ALength) { return 2 + std::min(ALength, MQTT_MAX_STRING); }
inline size_t StringFieldSize(std::string_view AStr) { return StringFieldSize(AStr.size()); }

// Through uint8_t pointers: inserting a char range into a byte vector would
// convert element by element instead of one memmove.
inline void AppendRaw(TBytes& AOut, std::string_view AData) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(AData.data());
  AOut.insert(AOut.end(), bytes, bytes + AData.size());
}

// The name of a packet type (the high nibble of its first byte) as errors
// and log lines give it.
inline const char* PacketName(uint8_t AType) {
  static constexpr const char* kNames[16] = {"reserved", "CONNECT", "CONNACK", "PUBLISH", "PUBACK", "PUBREC",
                                             "PUBREL", "PUBCOMP", "SUBSCRIBE", "SUBACK", "UNSUBSCRIBE",
                                             "UNSUBACK", "PINGREQ", "PINGRESP", "DISCONNECT", "AUTH"};
  return kNames[AType & 0x0F];
}

// A variable byte integer, one byte at a time: the framer has its bytes only
// as they come off the stream, the reader has them all; both decide alike.
class TVarIntDecoder {
 public:
  enum TStep {
    More,     // another byte follows
    Done,     // Value() is complete
    TooLong,  // a fourth byte announced a fifth: no integer is that long
  };

  TStep Add(uint8_t AByte) {
    FValue |= static_cast<uint32_t>(AByte & 0x7F) << (7 * FCount);
    if ((AByte & 0x80) == 0) return Done;
    return ++FCount == 4 ? TooLong : More;
  }
  uint32_t Value() const { return FValue; }

 private:
  uint32_t FValue = 0;
  int FCount = 0;
};

// The fields of one packet, read in order from a position up to an end. A
// field that runs past the end makes the packet malformed, so nothing is
// ever read beyond it: not the next packet, not the field after a block.
class TFieldReader {
 public:
  // APacket names the packet in the errors; it must outlive the reader.
  TFieldReader(std::string_view AData, const char* APacket) : FData(AData), FEnd(AData.size()), FPacket(APacket) {}

  size_t Left() const { return FEnd - FPos; }
  size_t Position() const { return FPos; }
  // The whole packet, of which Position() is an offset.
  std::string_view Data() const { return FData; }
  const char* Packet() const { return FPacket; }

  uint8_t Byte() {
    Need(1);
    return static_cast<uint8_t>(FData[FPos++]);
  }
  uint16_t Word() {
    Need(2);
    const uint16_t w = static_cast<uint16_t>(static_cast<uint8_t>(FData[FPos]) << 8 |
                                             static_cast<uint8_t>(FData[FPos + 1]));
    FPos += 2;
    return w;
  }
  uint32_t DWord() {
    const uint32_t high = Word();
    return high << 16 | Word();
  }
  // AWhat names the integer in the error for one longer than four bytes.
  uint32_t VarInt(const char* AWhat);
  // The next ALength bytes.
  std::string Text(size_t ALength) { return std::string(Take(ALength)); }
  // A two-byte length, then that many bytes.
  std::string Text() { return Text(Word()); }
  // The same as bytes.
  TBytes Binary() {
    const std::string_view data = Take(Word());
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    return TBytes(bytes, bytes + data.size());
  }
  void Skip(size_t ACount) { Take(ACount); }

  // The next ALength bytes as a reader of their own, whose end bounds its
  // fields (a property block); this one moves behind them.
  TFieldReader Block(size_t ALength) {
    TFieldReader block(*this);
    Skip(ALength);
    block.FEnd = FPos;
    return block;
  }

  // Raises EMalformedPacket: "Malformed packet: <packet> <AWhy>".
  [[noreturn]] void Malformed(const char* AWhy) const;

 private:
  std::string_view Take(size_t ACount) {
    Need(ACount);
    FPos += ACount;
    return FData.substr(FPos - ACount, ACount);
  }
  void Need(size_t ACount) const {
    if (ACount > Left()) Short();
  }
  [[noreturn]] void Short() const;

  std::string_view FData;  // the whole packet, for its length in the errors
  size_t FPos = 0;
  size_t FEnd;
  const char* FPacket;
};

}  // namespace qor
