// The basic wire forms every MQTT packet is made of: variable byte
// integers, two-byte words and length-prefixed strings. Pure functions over
// bytes: no state, no exceptions. Packets are built in uQORMQTTProtocol.h.
#pragma once

// The library's headers are C++20 (std::source_location, defaulted
// comparisons); a consumer may compile with any later standard.
#if __cplusplus < 202002L
#error "QOR MQTT's headers need C++20 or later (for example -std=c++20)"
#endif

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "uQORMQTTExport.h"

namespace qor {

/// Bytes as they go over the wire.
using TBytes = std::vector<uint8_t>;

/// Largest value a variable byte integer can carry (four bytes).
inline constexpr uint32_t MQTT_MAX_VARINT = 268435455;
/// Largest UTF-8 byte count an MQTT string can carry.
inline constexpr size_t MQTT_MAX_STRING = 65535;

/// 1 to 4 bytes, least significant group first. Values above
/// MQTT_MAX_VARINT are clamped to it.
QORMQTT_EXPORT TBytes EncodeVarInt(uint32_t AValue);

/// Reads one variable byte integer at AOffset. True when a complete integer of
/// at most four bytes was read; AOffset then points behind it. False on
/// truncated or over-long input (AOffset has moved past what was read, AValue
/// is a partial sum) and, without touching anything, on a negative offset.
QORMQTT_EXPORT bool DecodeVarInt(const TBytes& AData, int32_t& AOffset, uint32_t& AValue);

/// Two-byte big-endian byte count, then the UTF-8 bytes unchanged. Text over
/// MQTT_MAX_STRING bytes is cut at that length so the prefix stays truthful.
QORMQTT_EXPORT TBytes EncodeMQTTString(std::string_view AStr);

/// Two bytes, big-endian.
QORMQTT_EXPORT TBytes EncodeWord(uint16_t AValue);

/// EncodeVarInt's bytes, appended to AOut in place.
QORMQTT_EXPORT void AppendVarInt(TBytes& AOut, uint32_t AValue);
/// EncodeMQTTString's bytes, appended to AOut in place.
QORMQTT_EXPORT void AppendString(TBytes& AOut, std::string_view AStr);
/// EncodeWord's bytes, appended to AOut in place.
QORMQTT_EXPORT void AppendWord(TBytes& AOut, uint16_t AValue);

/// Number of bytes EncodeVarInt produces for AValue (after clamping).
QORMQTT_EXPORT size_t VarIntSize(uint32_t AValue);

}  // namespace qor
