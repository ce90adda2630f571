#include "uQORMQTTProperties.h"

#include <algorithm>

#include "uQORMQTTFields.h"

namespace qor {

namespace {

// Every property with its identifier and name, in the order they are sent.
// One list for encoding, decoding and checking: the visitor is called for
// each field, const or not.
template <typename TProps, typename TVisit>
void Fields(TProps& P, TVisit&& AVisit) {
  AVisit(PROP_PAYLOAD_FORMAT_INDICATOR, P.PayloadFormatIndicator, "Payload Format Indicator");
  AVisit(PROP_MESSAGE_EXPIRY_INTERVAL, P.MessageExpiryInterval, "Message Expiry Interval");
  AVisit(PROP_CONTENT_TYPE, P.ContentType, "Content Type");
  AVisit(PROP_RESPONSE_TOPIC, P.ResponseTopic, "Response Topic");
  AVisit(PROP_CORRELATION_DATA, P.CorrelationData, "Correlation Data");
  AVisit(PROP_SUBSCRIPTION_IDENTIFIER, P.SubscriptionIdentifiers, "Subscription Identifier");
  AVisit(PROP_SESSION_EXPIRY_INTERVAL, P.SessionExpiryInterval, "Session Expiry Interval");
  AVisit(PROP_ASSIGNED_CLIENT_IDENTIFIER, P.AssignedClientIdentifier, "Assigned Client Identifier");
  AVisit(PROP_SERVER_KEEP_ALIVE, P.ServerKeepAlive, "Server Keep Alive");
  AVisit(PROP_AUTHENTICATION_METHOD, P.AuthenticationMethod, "Authentication Method");
  AVisit(PROP_AUTHENTICATION_DATA, P.AuthenticationData, "Authentication Data");
  AVisit(PROP_REQUEST_PROBLEM_INFORMATION, P.RequestProblemInformation, "Request Problem Information");
  AVisit(PROP_WILL_DELAY_INTERVAL, P.WillDelayInterval, "Will Delay Interval");
  AVisit(PROP_REQUEST_RESPONSE_INFORMATION, P.RequestResponseInformation, "Request Response Information");
  AVisit(PROP_RESPONSE_INFORMATION, P.ResponseInformation, "Response Information");
  AVisit(PROP_SERVER_REFERENCE, P.ServerReference, "Server Reference");
  AVisit(PROP_REASON_STRING, P.ReasonString, "Reason String");
  AVisit(PROP_RECEIVE_MAXIMUM, P.ReceiveMaximum, "Receive Maximum");
  AVisit(PROP_TOPIC_ALIAS_MAXIMUM, P.TopicAliasMaximum, "Topic Alias Maximum");
  AVisit(PROP_TOPIC_ALIAS, P.TopicAlias, "Topic Alias");
  AVisit(PROP_MAXIMUM_QOS, P.MaximumQoS, "Maximum QoS");
  AVisit(PROP_RETAIN_AVAILABLE, P.RetainAvailable, "Retain Available");
  AVisit(PROP_USER_PROPERTY, P.UserProperties, "User Property");
  AVisit(PROP_MAXIMUM_PACKET_SIZE, P.MaximumPacketSize, "Maximum Packet Size");
  AVisit(PROP_WILDCARD_SUBSCRIPTION_AVAILABLE, P.WildcardSubscriptionAvailable, "Wildcard Subscription Available");
  AVisit(PROP_SUBSCRIPTION_IDENTIFIER_AVAILABLE, P.SubscriptionIdentifierAvailable,
         "Subscription Identifier Available");
  AVisit(PROP_SHARED_SUBSCRIPTION_AVAILABLE, P.SharedSubscriptionAvailable, "Shared Subscription Available");
}

// --- encoding: the size of one property, then its bytes ---------------------------

size_t Size(const std::optional<uint8_t>& V) { return V ? 2 : 0; }
size_t Size(const std::optional<uint16_t>& V) { return V ? 3 : 0; }
size_t Size(const std::optional<uint32_t>& V) { return V ? 5 : 0; }
size_t Size(const std::optional<std::string>& V) { return V ? 1 + StringFieldSize(*V) : 0; }
size_t Size(const std::optional<TBytes>& V) {
  return V ? 1 + StringFieldSize({reinterpret_cast<const char*>(V->data()), V->size()}) : 0;
}
size_t Size(const std::vector<uint32_t>& V) {
  size_t n = 0;
  for (const uint32_t id : V) n += 1 + VarIntSize(id);
  return n;
}
size_t Size(const TQORMQTTUserProperties& V) {
  size_t n = 0;
  for (const auto& [name, value] : V) n += 1 + StringFieldSize(name) + StringFieldSize(value);
  return n;
}

void Append(TBytes& O, uint8_t AId, const std::optional<uint8_t>& V) {
  if (V) O.insert(O.end(), {AId, *V});
}
void Append(TBytes& O, uint8_t AId, const std::optional<uint16_t>& V) {
  if (!V) return;
  O.push_back(AId);
  AppendWord(O, *V);
}
void Append(TBytes& O, uint8_t AId, const std::optional<uint32_t>& V) {
  if (!V) return;
  O.push_back(AId);
  AppendWord(O, static_cast<uint16_t>(*V >> 16));
  AppendWord(O, static_cast<uint16_t>(*V));
}
void Append(TBytes& O, uint8_t AId, const std::optional<std::string>& V) {
  if (!V) return;
  O.push_back(AId);
  AppendString(O, *V);
}
void Append(TBytes& O, uint8_t AId, const std::optional<TBytes>& V) {
  if (!V) return;
  O.push_back(AId);
  AppendString(O, {reinterpret_cast<const char*>(V->data()), V->size()});
}
void Append(TBytes& O, uint8_t AId, const std::vector<uint32_t>& V) {
  for (const uint32_t id : V) {
    O.push_back(AId);
    AppendVarInt(O, id);
  }
}
void Append(TBytes& O, uint8_t AId, const TQORMQTTUserProperties& V) {
  for (const auto& [name, value] : V) {
    O.push_back(AId);
    AppendString(O, name);
    AppendString(O, value);
  }
}

bool Overlong(const std::optional<std::string>& V) { return V && V->size() > MQTT_MAX_STRING; }
bool Overlong(const std::optional<TBytes>& V) { return V && V->size() > MQTT_MAX_STRING; }
bool Overlong(const TQORMQTTUserProperties& V) {
  return std::any_of(V.begin(), V.end(), [](const auto& P) {
    return P.first.size() > MQTT_MAX_STRING || P.second.size() > MQTT_MAX_STRING;
  });
}
template <typename T>
bool Overlong(const T&) {
  return false;
}

// --- decoding ----------------------------------------------------------------------

template <typename T>
void Once(TFieldReader& R, const std::optional<T>& V) {
  if (V) R.Malformed("with a property given twice");
}

void Read(TFieldReader& R, std::optional<uint8_t>& V) {
  Once(R, V);
  V = R.Byte();
}
void Read(TFieldReader& R, std::optional<uint16_t>& V) {
  Once(R, V);
  V = R.Word();
}
void Read(TFieldReader& R, std::optional<uint32_t>& V) {
  Once(R, V);
  V = R.DWord();
}
void Read(TFieldReader& R, std::optional<std::string>& V) {
  Once(R, V);
  V = R.Text();
}
void Read(TFieldReader& R, std::optional<TBytes>& V) {
  Once(R, V);
  V = R.Binary();
}
void Read(TFieldReader& R, std::vector<uint32_t>& V) {
  V.push_back(R.VarInt("subscription identifier"));
  if (V.back() == 0) R.Malformed("with an invalid property value");
}
void Read(TFieldReader& R, TQORMQTTUserProperties& V) {
  std::string name = R.Text();
  V.emplace_back(std::move(name), R.Text());
}

}  // namespace

size_t PropertiesSize(const TQORMQTTProperties& AProperties) {
  size_t size = 0;
  Fields(AProperties, [&](uint8_t, const auto& AField, const char*) { size += Size(AField); });
  return size;
}

void AppendProperties(TBytes& AOut, const TQORMQTTProperties& AProperties) {
  AppendVarInt(AOut, static_cast<uint32_t>(PropertiesSize(AProperties)));
  AppendPropertyList(AOut, AProperties);
}

void AppendPropertyList(TBytes& AOut, const TQORMQTTProperties& AProperties) {
  Fields(AProperties, [&](uint8_t AId, const auto& AField, const char*) { Append(AOut, AId, AField); });
}

std::string OverlongProperty(const TQORMQTTProperties& AProperties) {
  std::string name;
  Fields(AProperties, [&](uint8_t, const auto& AField, const char* AName) {
    if (name.empty() && Overlong(AField)) name = AName;
  });
  return name;
}

size_t DecodeProperties(std::string_view AData, size_t APos, const char* APacket, TQORMQTTProperties& AOut) {
  TFieldReader packet(AData, APacket);
  packet.Skip(APos);
  TFieldReader in = packet.Block(packet.VarInt("property length"));
  while (in.Left() > 0) {
    const uint8_t id = in.Byte();
    bool known = false;
    Fields(AOut, [&](uint8_t AId, auto& AField, const char*) {
      if (AId != id) return;
      known = true;
      Read(in, AField);
    });
    if (!known) in.Malformed("with an unknown property");
  }
  // Values a broker must not send: no room, no alias, no packet at all.
  if (AOut.ReceiveMaximum == 0 || AOut.TopicAlias == 0 || AOut.MaximumPacketSize == 0 ||
      (AOut.MaximumQoS && *AOut.MaximumQoS > 2) || (AOut.PayloadFormatIndicator && *AOut.PayloadFormatIndicator > 1))
    in.Malformed("with an invalid property value");
  return packet.Position();
}

}  // namespace qor
