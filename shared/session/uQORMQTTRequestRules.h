// What MQTT allows a request to carry, checked before anything is built: a
// request that breaks a rule raises EInvalidArgument saying what was wrong
// and naming the argument or field, and nothing of it is sent.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "uQORErrors.h"
#include "uQORMQTTMessage.h"

namespace qor {

// Raises when AText is longer than an MQTT text field carries; AWhat names
// it in the message, AField in the error's Field().
void CheckTextLength(std::string_view AText, const char* AWhat, const char* AField);
// Raises when a property of AProperties is one MQTT cannot carry: a text or
// data too long, a text with a NUL or not UTF-8, a Response Topic no topic
// name, a Payload Format Indicator other than 0 or 1. A broker ends the link
// on such a packet, and a publication kept for resending would end every
// link after it. AOf names whose properties they are in the message ("Will ",
// say; Field() then "Will.ContentType").
void CheckProperties(const TQORMQTTProperties& AProperties, const std::string& AOf = "");
// Raises for a topic name (AFilter: a topic filter) MQTT does not allow.
void CheckTopic(std::string_view ATopic, bool AFilter);
// The MQTT 5.0 properties of a message; null when it has none.
std::shared_ptr<const TQORMQTTProperties> PublicationProperties(const TQORMQTTMessage& AMessage);
// The same, moved out of a message the caller gives up (topic and payload stay in it).
std::shared_ptr<const TQORMQTTProperties> PublicationProperties(TQORMQTTMessage&& AMessage);

}  // namespace qor
