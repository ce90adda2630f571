#include "uQORMQTTSettings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>

#include "uQORFormat.h"
#include "uQORMQTTRequestRules.h"
#include "uQORMQTTTopics.h"

namespace qor {

namespace {

// A longer pause would be a delay, not a batch.
constexpr uint32_t kMaxReceiveBatchMicros = 10000;

// TLSMinVersion as OpenSSL's constant; 0 for none. Raises for a version it does not know.
int TLSVersion(const std::string& AVersion) {
  if (AVersion.empty()) return 0;
  if (AVersion == "1.2") return TLS1_2_VERSION;
  if (AVersion == "1.3") return TLS1_3_VERSION;
  throw EInvalidArgument("TLSMinVersion",
                         "TLSMinVersion is \"" + AVersion + "\"; it must be empty, \"1.2\" or \"1.3\"");
}

// Seconds from a configuration field as milliseconds for a wait: computed
// in 64 bits (a large value must not wrap) and kept within what an int holds.
int SecondsToMs(int32_t ASeconds) {
  return static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(ASeconds) * 1000, 0, INT_MAX));
}

// A port outside MQTT's range would be cut to its low 16 bits: another
// port than the one the log lines name. A URL brings its own.
void CheckPort(const std::string& AHost, int32_t APort, const std::string& AField) {
  if (!IsUnixSocket(AHost) && !IsWebSocketURL(AHost) && (APort < 1 || APort > 65535))
    throw EInvalidArgument(AField, Format("%s is %d; it must be 1 to 65535", AField.c_str(), APort));
}

// Delays that shrink, or a jitter beyond the delay, are no back-off.
void CheckReconnectPolicy(const TQORMQTTReconnectPolicy& APolicy) {
  if (APolicy.InitialDelayMs < 1)
    throw EInvalidArgument(
        "Reconnect.InitialDelayMs",
        Format("Reconnect.InitialDelayMs is %d; it must be at least 1 (milliseconds)", APolicy.InitialDelayMs));
  if (APolicy.MaxDelayMs < APolicy.InitialDelayMs)
    throw EInvalidArgument("Reconnect.MaxDelayMs",
                           Format("Reconnect.MaxDelayMs is %d; it must be at least Reconnect.InitialDelayMs (%d)",
                                  APolicy.MaxDelayMs, APolicy.InitialDelayMs));
  if (!std::isfinite(APolicy.Multiplier) || APolicy.Multiplier < 1)
    throw EInvalidArgument(
        "Reconnect.Multiplier",
        Format("Reconnect.Multiplier is %g; it must be a finite number of at least 1", APolicy.Multiplier));
  if (!(APolicy.Jitter >= 0 && APolicy.Jitter <= 1))
    throw EInvalidArgument("Reconnect.Jitter",
                           Format("Reconnect.Jitter is %g; it must be from 0 to 1", APolicy.Jitter));
  if (APolicy.MaxAttempts < 0)
    throw EInvalidArgument("Reconnect.MaxAttempts",
                           Format("Reconnect.MaxAttempts is %d; it must be 0 (no limit) or more", APolicy.MaxAttempts));
}

}  // namespace

TClientSettings TClientSettings::Take(const TQORMQTTClient& C) {
  CheckTextLength(C.ClientID, "Client identifier", "ClientID");
  CheckTextLength(C.Username, "User name", "Username");
  CheckTextLength(C.Password, "Password", "Password");
  // CONNECT carries it in two bytes: a larger value would be cut to
  // something the broker holds the client to.
  if (C.KeepAliveSecs < 0 || C.KeepAliveSecs > 65535)
    throw EInvalidArgument("KeepAliveSecs",
                           Format("KeepAliveSecs is %d; MQTT carries 0 to 65535 seconds", C.KeepAliveSecs));
  if (C.ReceiveBatchMicros > kMaxReceiveBatchMicros)
    throw EInvalidArgument("ReceiveBatchMicros", Format("ReceiveBatchMicros is %u; at most %u microseconds",
                                                        C.ReceiveBatchMicros, kMaxReceiveBatchMicros));
  TClientSettings s;
  s.TLSMinVersion = TLSVersion(C.TLSMinVersion);
  if (C.Will) {
    CheckTextLength(C.Will->Topic, "Will topic", "Will.Topic");
    CheckTopicName(C.Will->Topic, "Will topic", "Will.Topic");
    CheckTextLength(C.Will->Payload, "Will payload", "Will.Payload");
    if (C.Will->QoS > mqQoS2)
      throw EInvalidArgument("Will.QoS", Format("Will QoS %d is not 0, 1 or 2", C.Will->QoS));
    if (const auto properties = PublicationProperties(*C.Will)) CheckProperties(*properties, "Will ");
  }
  if (C.AuthenticationData.size() > MQTT_MAX_STRING)
    throw EInvalidArgument("AuthenticationData", "AuthenticationData is longer than MQTT allows (65535 bytes)");
  CheckString(C.AuthenticationMethod, "AuthenticationMethod", "AuthenticationMethod");
  for (const auto& [name, value] : C.UserProperties) {
    CheckString(name, "User property name", "UserProperties");
    CheckString(value, "User property value", "UserProperties");
  }
  if (C.ProtocolVersion != MQTT_PROTOCOL_LEVEL_50 && C.ProtocolVersion != MQTT_PROTOCOL_LEVEL_311)
    throw EInvalidArgument("ProtocolVersion", Format("ProtocolVersion is %d; it must be 5 (MQTT 5.0) or 4 (MQTT 3.1.1)",
                                                     C.ProtocolVersion));
  CheckReconnectPolicy(C.Reconnect);
  for (const auto& [name, value] : C.WebSocketHeaders)
    if (const std::string problem = WebSocketHeaderProblem(name, value); !problem.empty())
      throw EInvalidArgument("WebSocketHeaders", "WebSocketHeaders: " + problem);
  if (C.Brokers.empty()) CheckPort(C.BrokerHostName, C.BrokerPort, "BrokerPort");
  for (size_t i = 0; i < C.Brokers.size(); ++i) CheckPort(C.Brokers[i].Host, C.Brokers[i].Port, Format("Brokers[%zu].Port", i));

  s.Brokers = C.Brokers;
  if (s.Brokers.empty()) s.Brokers.push_back({C.BrokerHostName, C.BrokerPort, C.UseSSL});
  // "[::1]", as the log lines write an IPv6 address, names the address inside.
  for (TQORMQTTBrokerAddress& b : s.Brokers)
    if (b.Host.size() > 2 && b.Host.front() == '[' && b.Host.back() == ']') b.Host = b.Host.substr(1, b.Host.size() - 2);
  // A WebSocket URL decides port and TLS; the log lines name it so.
  for (size_t i = 0; i < s.Brokers.size(); ++i) {
    TQORMQTTBrokerAddress& b = s.Brokers[i];
    if (!IsWebSocketURL(b.Host)) continue;
    const std::string field = C.Brokers.empty() ? std::string("BrokerHostName") : Format("Brokers[%zu].Host", i);
    std::string error;
    const auto address = ParseWebSocketURL(b.Host, error);
    if (!address)
      throw EInvalidArgument(field, Format("%s \"%s\" is not a usable WebSocket address: %s", field.c_str(),
                                           RedactedURL(b.Host).c_str(), error.c_str()));
    b.Port = address->Port;
    b.UseSSL = address->Secure;
  }
  s.ClientID = C.ClientID;
  s.Username = C.Username;
  s.Password = C.Password;
  s.KeepAliveSecs = C.KeepAliveSecs;
  s.CleanStart = C.CleanStart;
  s.ProtocolVersion = C.ProtocolVersion;
  s.SessionExpiryInterval = C.SessionExpiryInterval;
  s.ReceiveMaximum = C.ReceiveMaximum;
  s.ReceiveQueueLimit = C.ReceiveQueueLimit;
  s.ReceiveBatchMicros = C.ReceiveBatchMicros;
  s.MaximumPacketSize = C.MaximumPacketSize;
  s.ConnectTimeoutSecs = C.ConnectTimeoutSecs;
  s.VerifyPeer = C.VerifyPeer;
  s.CAFile = C.CAFile;
  s.CAPath = C.CAPath;
  s.VerifyHostName = C.VerifyHostName;
  s.CertFile = C.CertFile;
  s.KeyFile = C.KeyFile;
  s.KeyPassword = C.KeyPassword;
  s.ALPNProtocols = C.ALPNProtocols;
  s.WebSocketHeaders = C.WebSocketHeaders;
  s.Ciphers = C.Ciphers;
  s.TLSSessionResumption = C.TLSSessionResumption;
  s.ResubscribeOnReconnect = C.ResubscribeOnReconnect;
  s.Reconnect = C.Reconnect;
  s.Will = C.Will;
  s.WillDelayInterval = C.WillDelayInterval;
  s.TopicAliasMaximum = C.TopicAliasMaximum;
  s.UseTopicAliases = C.UseTopicAliases;
  s.UserProperties = C.UserProperties;
  s.AuthenticationMethod = C.AuthenticationMethod;
  s.AuthenticationData = C.AuthenticationData;
  return s;
}

void TClientSettings::CheckCredentials(uint8_t ALevel) const {
  if (ALevel == MQTT_PROTOCOL_LEVEL_311 && Username.empty() && !Password.empty())
    throw EInvalidArgument("Password",
                           "Password is set without a Username; MQTT 3.1.1 sends a password only with a user name");
}

uint16_t TClientSettings::AnnouncedReceiveMaximum() const {
  if (ReceiveQueueLimit == 0) return ReceiveMaximum;
  const auto room = static_cast<uint16_t>(std::min<size_t>(ReceiveQueueLimit, 65535));
  return ReceiveMaximum == 0 ? room : std::min(ReceiveMaximum, room);
}

int TClientSettings::ConnectTimeoutMs() const { return SecondsToMs(ConnectTimeoutSecs); }

int TClientSettings::KeepAliveMs(int32_t ASeconds) const { return SecondsToMs(ASeconds); }

TBackoffRules TClientSettings::BackoffRules() const {
  return {Reconnect.InitialDelayMs, Reconnect.MaxDelayMs, Reconnect.Multiplier, Reconnect.Jitter,
          Reconnect.MaxAttempts};
}

TBrokerStreamOptions TClientSettings::StreamOptions(const TQORMQTTBrokerAddress& ABroker) const {
  TBrokerStreamOptions options;
  options.Host = ABroker.Host;
  options.Port = static_cast<uint16_t>(ABroker.Port);
  options.ConnectTimeoutMs = ConnectTimeoutMs();
  options.UseSSL = ABroker.UseSSL;
  options.VerifyPeer = VerifyPeer;
  options.CAFile = CAFile;
  options.CAPath = CAPath;
  options.VerifyHostName = VerifyHostName;
  options.CertFile = CertFile;
  options.KeyFile = KeyFile;
  options.KeyPassword = KeyPassword;
  options.ALPN = ALPNProtocols;
  options.MinTLSVersion = TLSMinVersion;
  options.Ciphers = Ciphers;
  options.ReadPauseNs = static_cast<int64_t>(ReceiveBatchMicros) * 1000;
  if (IsWebSocketURL(ABroker.Host)) {
    std::string error;  // checked by Take
    options.WebSocket = ParseWebSocketURL(ABroker.Host, error);
    if (options.WebSocket) {
      options.Host = options.WebSocket->Host;
      options.Port = options.WebSocket->Port;
      options.UseSSL = options.WebSocket->Secure;
      options.WebSocketHeaders = WebSocketHeaders;
    }
  }
  return options;
}

std::optional<TWillFields> TClientSettings::WillFields() const {
  if (!Will) return std::nullopt;
  TWillFields will{Will->Topic, Will->Payload, Will->QoS, Will->Retain, {}};
  if (const auto properties = PublicationProperties(*Will)) will.Properties = *properties;
  if (WillDelayInterval != 0) will.Properties.WillDelayInterval = WillDelayInterval;
  return will;
}

TConnectFields TClientSettings::ConnectFields(std::string_view AClientID, const TWillFields* AWill,
                                              bool ACleanStart) const {
  TConnectFields fields{ACleanStart, static_cast<uint16_t>(KeepAliveSecs), AClientID, Username, Password, {}, AWill};
  TQORMQTTProperties& p = fields.Properties;
  if (SessionExpiryInterval > 0) p.SessionExpiryInterval = SessionExpiryInterval;
  if (const uint16_t receiveMaximum = AnnouncedReceiveMaximum(); receiveMaximum > 0)
    p.ReceiveMaximum = receiveMaximum;
  if (MaximumPacketSize > 0) p.MaximumPacketSize = MaximumPacketSize;
  if (TopicAliasMaximum > 0) p.TopicAliasMaximum = TopicAliasMaximum;
  p.UserProperties = UserProperties;
  if (!AuthenticationMethod.empty()) {
    p.AuthenticationMethod = AuthenticationMethod;
    if (!AuthenticationData.empty()) p.AuthenticationData = AuthenticationData;
  }
  return fields;
}

TQORMQTTBrokerAddress ParseReference(const std::string& AReference, const TQORMQTTBrokerAddress& ABase) {
  const std::string first = AReference.substr(0, AReference.find(' '));
  TQORMQTTBrokerAddress address = ABase;
  size_t portAt = std::string::npos;
  if (!first.empty() && first[0] == '[') {
    const size_t close = first.find(']');
    address.Host = first.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && close + 1 < first.size() && first[close + 1] == ':') portAt = close + 2;
  } else if (std::count(first.begin(), first.end(), ':') == 1) {
    portAt = first.find(':') + 1;
    address.Host = first.substr(0, portAt - 1);
  } else {
    address.Host = first;
  }
  if (portAt != std::string::npos) {
    const std::string port = first.substr(portAt);
    if (!port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), ::isdigit))
      address.Port = std::stoi(port);
  }
  // From a WebSocket broker to another in the same way: its scheme and path.
  std::string error;
  if (const auto base = IsWebSocketURL(ABase.Host) ? ParseWebSocketURL(ABase.Host, error) : std::nullopt) {
    TWebSocketAddress referred = *base;
    referred.Host = address.Host;
    if (portAt != std::string::npos && address.Port >= 1 && address.Port <= 65535)
      referred.Port = static_cast<uint16_t>(address.Port);
    address.Host = (referred.Secure ? "wss://" : "ws://") + HostForDisplay(referred.Host) + ":" +
                   std::to_string(referred.Port) + referred.Target;
    address.Port = referred.Port;
  }
  return address;
}

}  // namespace qor
