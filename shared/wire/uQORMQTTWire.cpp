#include "uQORMQTTWire.h"

#include <algorithm>

#include "uQORMQTTFields.h"

namespace qor {

void AppendWord(TBytes& AOut, uint16_t AValue) {
  AOut.push_back(static_cast<uint8_t>(AValue >> 8));
  AOut.push_back(static_cast<uint8_t>(AValue & 0xFF));
}

void AppendVarInt(TBytes& AOut, uint32_t AValue) {
  AValue = std::min(AValue, MQTT_MAX_VARINT);
  do {
    uint8_t b = AValue & 0x7F;
    AValue >>= 7;
    if (AValue != 0) b |= 0x80;
    AOut.push_back(b);
  } while (AValue != 0);
}

void AppendString(TBytes& AOut, std::string_view AStr) {
  const size_t n = std::min(AStr.size(), MQTT_MAX_STRING);
  AppendWord(AOut, static_cast<uint16_t>(n));
  AppendRaw(AOut, AStr.substr(0, n));
}

size_t VarIntSize(uint32_t AValue) {
  if (AValue < 128) return 1;
  if (AValue < 16384) return 2;
  if (AValue < 2097152) return 3;
  return 4;
}

TBytes EncodeVarInt(uint32_t AValue) {
  TBytes result;
  result.reserve(VarIntSize(AValue));
  AppendVarInt(result, AValue);
  return result;
}

bool DecodeVarInt(const TBytes& AData, int32_t& AOffset, uint32_t& AValue) {
  AValue = 0;
  if (AOffset < 0) return false;
  TVarIntDecoder value;
  for (;;) {
    if (static_cast<size_t>(AOffset) >= AData.size()) return false;
    const TVarIntDecoder::TStep step = value.Add(AData[static_cast<size_t>(AOffset)]);
    ++AOffset;
    AValue = value.Value();
    if (step == TVarIntDecoder::Done) return true;
    if (step == TVarIntDecoder::TooLong) {
      // Callers have always seen the offset move past a fifth byte before
      // the integer is refused, even one that would end it.
      if (static_cast<size_t>(AOffset) < AData.size()) ++AOffset;
      return false;
    }
  }
}

TBytes EncodeMQTTString(std::string_view AStr) {
  TBytes result;
  result.reserve(StringFieldSize(AStr));
  AppendString(result, AStr);
  return result;
}

TBytes EncodeWord(uint16_t AValue) {
  TBytes result;
  AppendWord(result, AValue);
  return result;
}

}  // namespace qor
