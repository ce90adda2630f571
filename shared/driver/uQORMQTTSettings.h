// The client's configuration as the driver's threads use it: copied from the
// public fields and checked once, at Connect, so that no worker thread reads
// a field the caller might be changing, and every later attempt (the
// reconnects) works from what was checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "uBrokerStream.h"
#include "uQORMQTTClient.h"
#include "uQORMQTTLinkClock.h"

namespace qor {

struct TClientSettings {
  // Raises Exception for what MQTT or this client cannot carry: an over-long
  // text, a keepalive or port out of range, an unknown TLS version, a will
  // MQTT does not allow, an unknown protocol version, a reconnect policy
  // out of its ranges.
  static TClientSettings Take(const TQORMQTTClient& AClient);
  // Raises for credentials MQTT cannot carry at ALevel.
  void CheckCredentials(uint8_t ALevel) const;
  // The brokers to try, in order: the list, or the one broker.
  std::vector<TQORMQTTBrokerAddress> Brokers;
  // How to open a stream to ABroker (the caller adds what is its own: the
  // session cache, the resolver, the cancel flag).
  TBrokerStreamOptions StreamOptions(const TQORMQTTBrokerAddress& ABroker) const;
  // The CONNECT's fields; AWill (from WillFields) must outlive them.
  TConnectFields ConnectFields(std::string_view AClientID, const TWillFields* AWill, bool ACleanStart) const;
  std::optional<TWillFields> WillFields() const;
  int ConnectTimeoutMs() const;
  // The Receive Maximum CONNECT announces: with a receive queue no more than
  // it holds, so that the broker keeps the QoS 1 and 2 messages it cannot
  // take; 0: none.
  uint16_t AnnouncedReceiveMaximum() const;
  int KeepAliveMs(int32_t ASeconds) const;
  // The reconnect delays and attempts as the back-off counts them.
  TBackoffRules BackoffRules() const;

  std::string ClientID;
  std::string Username;
  std::string Password;
  int32_t KeepAliveSecs = 60;
  bool CleanStart = true;
  uint8_t ProtocolVersion = MQTT_PROTOCOL_LEVEL_50;
  uint32_t SessionExpiryInterval = 0;
  uint16_t ReceiveMaximum = 0;
  size_t ReceiveQueueLimit = 0;
  uint32_t ReceiveBatchMicros = 100;
  uint32_t MaximumPacketSize = 0;
  int32_t ConnectTimeoutSecs = 10;
  bool VerifyPeer = false;
  std::string CAFile;
  std::string CAPath;
  bool VerifyHostName = true;
  std::string CertFile;
  std::string KeyFile;
  std::string KeyPassword;
  std::vector<std::string> ALPNProtocols;
  TWebSocketHeaders WebSocketHeaders;
  int TLSMinVersion = 0;  // OpenSSL's constant; 0: any
  std::string Ciphers;
  bool TLSSessionResumption = true;
  bool ResubscribeOnReconnect = true;
  TQORMQTTReconnectPolicy Reconnect;
  std::optional<TQORMQTTMessage> Will;
  uint32_t WillDelayInterval = 0;
  uint16_t TopicAliasMaximum = 0;
  bool UseTopicAliases = false;
  TQORMQTTUserProperties UserProperties;
  std::string AuthenticationMethod;
  TBytes AuthenticationData;
};

// "Use another server" and "server moved": what a Server Reference comes with.
inline bool IsReferral(uint8_t AReasonCode) { return AReasonCode == 0x9C || AReasonCode == 0x9D; }

// The first server of a Server Reference ("host", "host:port", "[v6]:port";
// several are separated by spaces), with the referring broker's port and TLS
// where it says nothing of them.
TQORMQTTBrokerAddress ParseReference(const std::string& AReference, const TQORMQTTBrokerAddress& ABase);

}  // namespace qor
