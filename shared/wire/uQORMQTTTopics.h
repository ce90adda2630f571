// Topic names and topic filters as MQTT allows them. A request with a name
// or filter a broker must refuse would end the link, be kept and sent again
// after every reconnect: the caller is told instead, before anything is
// sent or an identifier taken.
#pragma once

#include <cstring>
#include <string_view>

namespace qor {

// Whether a topic holds '+' or '#': two vectorised scans, where
// find_first_of("+#") looks the set up once per byte (it doubled the cost
// of reading a small PUBLISH).
inline bool HasWildcard(std::string_view ATopic) {
  return std::memchr(ATopic.data(), '+', ATopic.size()) != nullptr ||
         std::memchr(ATopic.data(), '#', ATopic.size()) != nullptr;
}

// Raises EInvalidArgument naming the rule a text breaks that MQTT carries
// as a UTF-8 string (a property's, say): a NUL character, not UTF-8, longer
// than 65535 bytes. AWhat names it in the message, AField for the error's
// Field() (as the API spells it: "ContentType", "Will.Topic").
void CheckString(std::string_view AText, const char* AWhat, const char* AField);

// Raises EInvalidArgument naming the rule a topic name breaks: empty, a
// wildcard ('+' or '#'), a NUL character, not UTF-8, longer than 65535
// bytes. AWhat names it in the message ("Will topic", say), AField for the
// error's Field().
void CheckTopicName(std::string_view AName, const char* AWhat = "Topic name", const char* AField = "Topic");

// Raises EInvalidArgument (Field() "Filter") naming the rule a topic filter
// breaks: empty, '#' not alone as the last level, '+' not alone in its
// level, a NUL character, not UTF-8, longer than 65535 bytes, or a shared
// subscription without a share name or filter ("$share/name/filter").
void CheckTopicFilter(std::string_view AFilter);

}  // namespace qor
