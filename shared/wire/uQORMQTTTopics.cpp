#include "uQORMQTTTopics.h"

#include <string>

#include "uQORErrors.h"
#include "uQORFormat.h"
#include "uQORMQTTProtocol.h"

namespace qor {

namespace {

// The offset of the first byte that is not well-formed UTF-8 (an overlong
// form, a surrogate, beyond U+10FFFF or cut short), or npos.
size_t InvalidUTF8At(std::string_view AText) {
  size_t i = 0;
  while (i < AText.size()) {
    const auto b = static_cast<uint8_t>(AText[i]);
    size_t length;
    uint32_t min, code;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2, min = 0x80, code = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3, min = 0x800, code = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, code = b & 0x07;
    } else {
      return i;
    }
    if (i + length > AText.size()) return i;
    for (size_t k = 1; k < length; ++k) {
      const auto c = static_cast<uint8_t>(AText[i + k]);
      if ((c & 0xC0) != 0x80) return i;
      code = code << 6 | (c & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
    i += length;
  }
  return std::string_view::npos;
}

// What names and filters share: not empty, and a string MQTT can carry.
void CheckText(std::string_view AText, const char* AWhat, const char* AField) {
  if (AText.empty()) throw EInvalidArgument(AField, Format("%s is empty; MQTT requires at least one character", AWhat));
  CheckString(AText, AWhat, AField);
}

}  // namespace

void CheckString(std::string_view AText, const char* AWhat, const char* AField) {
  if (AText.size() > MQTT_MAX_STRING)
    throw EInvalidArgument(AField, Format("%s is %zu bytes long; MQTT allows at most 65535", AWhat, AText.size()));
  if (AText.find('\0') != std::string_view::npos)
    throw EInvalidArgument(AField, Format("%s contains a NUL character, which MQTT forbids", AWhat));
  if (const size_t at = InvalidUTF8At(AText); at != std::string_view::npos)
    throw EInvalidArgument(AField, Format("%s is not valid UTF-8 (byte %zu)", AWhat, at));
}

namespace {

// The levels of a filter: '#' alone and last, '+' alone.
void CheckLevels(std::string_view AFilter, const std::string& AShown) {
  size_t start = 0;
  for (;;) {
    const size_t end = AFilter.find('/', start);
    const std::string_view level = AFilter.substr(start, end == std::string_view::npos ? end : end - start);
    const size_t hash = level.find('#');
    if (hash != std::string_view::npos && (level.size() != 1 || end != std::string_view::npos))
      throw EInvalidArgument("Filter", "Topic filter " + AShown + ": '#' must stand alone as the last level");
    if (level.find('+') != std::string_view::npos && level.size() != 1)
      throw EInvalidArgument("Filter", "Topic filter " + AShown + ": '+' must stand alone in its level");
    if (end == std::string_view::npos) return;
    start = end + 1;
  }
}

}  // namespace

void CheckTopicName(std::string_view AName, const char* AWhat, const char* AField) {
  CheckText(AName, AWhat, AField);
  if (!HasWildcard(AName)) return;
  const size_t wildcard = AName.find_first_of("+#");
  throw EInvalidArgument(AField,
                         Format("%s \"%.*s\" contains the wildcard '%c'; wildcards belong in topic filters only", AWhat,
                                static_cast<int>(AName.size()), AName.data(), AName[wildcard]));
}

void CheckTopicFilter(std::string_view AFilter) {
  CheckText(AFilter, "Topic filter", "Filter");
  const std::string shown = "\"" + std::string(AFilter) + "\"";
  constexpr std::string_view kShare = "$share/";
  if (AFilter.substr(0, kShare.size()) == kShare) {
    // $share/{name}/{filter}: a name without wildcards, then a whole filter.
    const std::string_view rest = AFilter.substr(kShare.size());
    const size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    if (slash == std::string_view::npos || name.empty() || slash + 1 == rest.size())
      throw EInvalidArgument("Filter", "Shared subscription " + shown +
                                           " needs a share name and a topic filter: $share/name/filter");
    if (name.find_first_of("+#") != std::string_view::npos)
      throw EInvalidArgument("Filter", "Shared subscription " + shown + ": the share name must not hold a wildcard");
    CheckLevels(rest.substr(slash + 1), shown);
    return;
  }
  CheckLevels(AFilter, shown);
}

}  // namespace qor
