#include "uQORMQTTProperties.h"

#include <algorithm>

#include "uQORFormat.h"
#include "uQORMQTTFramer.h"
#include "uQORMQTTProtocol.h"

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

size_t Field(std::string_view AText) { return 2 + std::min(AText.size(), MQTT_MAX_STRING); }
size_t Size(const std::optional<uint8_t>& V) { return V ? 2 : 0; }
size_t Size(const std::optional<uint16_t>& V) { return V ? 3 : 0; }
size_t Size(const std::optional<uint32_t>& V) { return V ? 5 : 0; }
size_t Size(const std::optional<std::string>& V) { return V ? 1 + Field(*V) : 0; }
size_t Size(const std::optional<TBytes>& V) {
  return V ? 1 + Field({reinterpret_cast<const char*>(V->data()), V->size()}) : 0;
}
size_t Size(const std::vector<uint32_t>& V) {
  size_t n = 0;
  for (const uint32_t id : V) n += 1 + VarIntSize(id);
  return n;
}
size_t Size(const TQORMQTTUserProperties& V) {
  size_t n = 0;
  for (const auto& [name, value] : V) n += 1 + Field(name) + Field(value);
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

class TReader {
 public:
  TReader(std::string_view AData, size_t APos, size_t AEnd, const char* APacket)
      : FData(AData), FPos(APos), FEnd(AEnd), FPacket(APacket) {}

  size_t Position() const { return FPos; }
  bool AtEnd() const { return FPos >= FEnd; }
  [[noreturn]] void Malformed(const char* AWhy) const {
    throw EMalformedPacket(Format("Malformed packet: %s %s", FPacket, AWhy));
  }
  uint8_t Byte() {
    Need(1);
    return static_cast<uint8_t>(FData[FPos++]);
  }
  uint16_t Word() {
    const uint16_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
  }
  uint32_t DWord() {
    const uint32_t high = Word();
    return high << 16 | Word();
  }
  uint32_t VarInt(const char* AWhat) {
    uint32_t value = 0;
    for (int i = 0;; ++i) {
      if (i == 4) throw EMalformedPacket(Format("Malformed packet: %s %s longer than four bytes", FPacket, AWhat));
      const uint8_t b = Byte();
      value |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) return value;
    }
  }
  std::string Text() {
    const size_t n = Word();
    Need(n);
    FPos += n;
    return std::string(FData.substr(FPos - n, n));
  }

 private:
  // The block's own end bounds every field: a property running past it is
  // as malformed as one running past the packet.
  void Need(size_t ACount) const {
    if (ACount > FEnd - FPos) {
      if (FEnd < FData.size()) Malformed("with a property running past its block");
      throw EMalformedPacket(Format("Malformed packet: %s with remaining length %zu is shorter than its fields",
                                    FPacket, FData.size()));
    }
  }

  std::string_view FData;
  size_t FPos;
  size_t FEnd;
  const char* FPacket;
};

template <typename T>
void Once(TReader& R, const std::optional<T>& V) {
  if (V) R.Malformed("with a property given twice");
}

void Read(TReader& R, std::optional<uint8_t>& V) {
  Once(R, V);
  V = R.Byte();
}
void Read(TReader& R, std::optional<uint16_t>& V) {
  Once(R, V);
  V = R.Word();
}
void Read(TReader& R, std::optional<uint32_t>& V) {
  Once(R, V);
  V = R.DWord();
}
void Read(TReader& R, std::optional<std::string>& V) {
  Once(R, V);
  V = R.Text();
}
void Read(TReader& R, std::optional<TBytes>& V) {
  Once(R, V);
  const std::string data = R.Text();
  V = TBytes(data.begin(), data.end());
}
void Read(TReader& R, std::vector<uint32_t>& V) {
  V.push_back(R.VarInt("subscription identifier"));
  if (V.back() == 0) R.Malformed("with an invalid property value");
}
void Read(TReader& R, TQORMQTTUserProperties& V) {
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
  TReader head(AData, APos, AData.size(), APacket);
  const uint32_t length = head.VarInt("property length");
  const size_t start = head.Position();
  if (length > AData.size() - start)
    throw EMalformedPacket(Format("Malformed packet: %s with remaining length %zu is shorter than its fields",
                                  APacket, AData.size()));
  TReader in(AData, start, start + length, APacket);
  while (!in.AtEnd()) {
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
  return in.Position();
}

}  // namespace qor
