#include "uQORMQTTRequestRules.h"

#include <string>
#include <string_view>

#include "uQORFormat.h"
#include "uQORMQTTSession.h"
#include "uQORMQTTTopics.h"

namespace qor {

void CheckTextLength(std::string_view AText, const char* AWhat, const char* AField) {
  if (AText.size() > MQTT_MAX_STRING)
    throw EInvalidArgument(AField, Format("%s is %zu bytes long; MQTT allows at most 65535", AWhat, AText.size()));
}

void CheckProperties(const TQORMQTTProperties& AProperties, const std::string& AOf) {
  // The field as the API spells it: the property's name without its spaces
  // ("Reason String": ReasonString), under whose properties they are
  // ("Will ": "Will.ContentType").
  const std::string of = AOf.empty() ? "" : AOf.substr(0, AOf.find_last_not_of(' ') + 1) + ".";
  const auto field = [&](std::string AName) {
    std::erase(AName, ' ');
    return of + (AName == "UserProperty" ? "UserProperties" : AName);
  };
  const std::string overlong = OverlongProperty(AProperties);
  if (!overlong.empty())
    throw EInvalidArgument(field(overlong), AOf + overlong + " is longer than MQTT allows (65535 bytes)");
  const TQORMQTTProperties& p = AProperties;
  if (p.PayloadFormatIndicator && *p.PayloadFormatIndicator > 1)
    throw EInvalidArgument(field("PayloadFormatIndicator"),
                           AOf + Format("Payload Format Indicator is %d; it must be 0 (bytes) or 1 (UTF-8 text)",
                                        *p.PayloadFormatIndicator));
  const auto text = [&](const std::optional<std::string>& AText, const char* AName) {
    if (AText) CheckString(*AText, (AOf + AName).c_str(), field(AName).c_str());
  };
  text(p.ContentType, "Content Type");
  text(p.ReasonString, "Reason String");
  text(p.AuthenticationMethod, "Authentication Method");
  if (p.ResponseTopic)
    CheckTopicName(*p.ResponseTopic, (AOf + "Response Topic").c_str(), field("ResponseTopic").c_str());
  for (const auto& [name, value] : p.UserProperties) {
    CheckString(name, (AOf + "User property name").c_str(), field("UserProperties").c_str());
    CheckString(value, (AOf + "User property value").c_str(), field("UserProperties").c_str());
  }
}

void CheckTopic(std::string_view ATopic, bool AFilter) {
  CheckTextLength(ATopic, AFilter ? "Topic filter" : "Topic", AFilter ? "Filter" : "Topic");
  const std::string topic(ATopic);
  if (AFilter) {
    CheckTopicFilter(topic);
  } else {
    CheckTopicName(topic);
  }
}

namespace {

template <typename TMessage>
std::shared_ptr<const TQORMQTTProperties> PropertiesOf(TMessage&& AMessage) {
  if (!AMessage.PayloadFormatIndicator && !AMessage.MessageExpiryInterval && !AMessage.ContentType &&
      !AMessage.ResponseTopic && !AMessage.CorrelationData && AMessage.UserProperties.empty())
    return nullptr;
  auto properties = std::make_shared<TQORMQTTProperties>();
  properties->PayloadFormatIndicator = AMessage.PayloadFormatIndicator;
  properties->MessageExpiryInterval = AMessage.MessageExpiryInterval;
  properties->ContentType = std::forward<TMessage>(AMessage).ContentType;
  properties->ResponseTopic = std::forward<TMessage>(AMessage).ResponseTopic;
  properties->CorrelationData = std::forward<TMessage>(AMessage).CorrelationData;
  properties->UserProperties = std::forward<TMessage>(AMessage).UserProperties;
  return properties;
}

}  // namespace

std::shared_ptr<const TQORMQTTProperties> PublicationProperties(const TQORMQTTMessage& AMessage) {
  return PropertiesOf(AMessage);
}

std::shared_ptr<const TQORMQTTProperties> PublicationProperties(TQORMQTTMessage&& AMessage) {
  return PropertiesOf(std::move(AMessage));
}

// --- against the broker's limits ---------------------------------------------------

void TQORMQTTSession::CheckPacketSize(size_t AContent, const char* APacket) const {
  const uint32_t limit = FMaxPacketSize;
  const size_t size = PacketSize(AContent);
  if (limit != 0 && size > limit)
    throw EInvalidArgument(
        std::string_view(APacket) == "PUBLISH" ? "Payload" : "Filters",
        Format("%s of %zu bytes exceeds the broker's Maximum Packet Size of %u", APacket, size, limit));
}

void TQORMQTTSession::CheckPublish(std::string_view ATopic, size_t APayloadSize, TQORMQTTQoS AQoS,
                                   const TPublishExtras& AExtras, bool AOnline) const {
  CheckTopic(ATopic, false);
  const size_t content = PublishContentSize(ATopic.size(), APayloadSize, AQoS, FLevel, AExtras.Properties.get());
  if (content > MQTT_MAX_VARINT)
    throw EInvalidArgument("Payload", Format("PUBLISH of %zu bytes exceeds the MQTT maximum of 268435455", content));
  // Offline, the broker that will take it is not known yet: its limits are
  // applied when the link comes up.
  if (!AOnline) return;
  if (AExtras.Retain && !FRetainAvailable)
    throw EInvalidArgument("Retain", "The broker has no retained messages (Retain Available 0)");
  CheckPacketSize(content, "PUBLISH");
  if (AQoS > FMaxQoS)
    throw EInvalidArgument("QoS", Format("QoS %d exceeds the broker's Maximum QoS of %d", AQoS, FMaxQoS.load()));
}

void TQORMQTTSession::CheckSubscribe(const std::vector<TQORMQTTSubscription>& AFilters,
                                     uint32_t ASubscriptionIdentifier) const {
  for (const TQORMQTTSubscription& f : AFilters) {
    CheckTopic(f.Filter, true);
    if (f.QoS > mqQoS2 || f.RetainHandling > mqrhDoNotSend)
      throw EInvalidArgument(f.QoS > mqQoS2 ? "QoS" : "RetainHandling",
                             Format("Subscription options of \"%s\" out of range: QoS %d, retain handling %d",
                                    f.Filter.c_str(), f.QoS, f.RetainHandling));
  }
  if (ASubscriptionIdentifier > MQTT_MAX_VARINT)
    throw EInvalidArgument("SubscriptionIdentifier",
                           Format("Subscription identifier %u exceeds 268435455", ASubscriptionIdentifier));
  const bool level5 = FLevel == MQTT_PROTOCOL_LEVEL_50;
  if (ASubscriptionIdentifier != 0 && level5 && !Limits().SubscriptionIdentifiersAvailable)
    throw EInvalidArgument("SubscriptionIdentifier",
                           "The broker has no subscription identifiers (Subscription Identifier Available 0)");
  TQORMQTTProperties properties;
  if (ASubscriptionIdentifier != 0) properties.SubscriptionIdentifiers = {ASubscriptionIdentifier};
  size_t content = SubscribeContentSize({}, FLevel, properties);
  for (const TQORMQTTSubscription& f : AFilters) content += SubscribeFilterSize(f.Filter);
  CheckPacketSize(content, "SUBSCRIBE");
}

void TQORMQTTSession::CheckUnsubscribe(const std::vector<std::string>& AFilters) const {
  for (const std::string& filter : AFilters) CheckTopic(filter, true);
  CheckPacketSize(UnsubscribeContentSize(AFilters, FLevel, {}), "UNSUBSCRIBE");
}

}  // namespace qor
