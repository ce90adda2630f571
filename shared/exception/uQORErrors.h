// The errors a caller of the client can act on, each a class of its own
// derived from Exception (or ESocketError), so that a catch of those still
// takes them and the message is the same text as before. The broker's
// refusal, which carries a reason code, is in uQORMQTTErrors.h.
#pragma once

#include <cstddef>
#include <string>

#include "uQORException.h"

namespace qor {

/// A request that needs a link found none: "MQTT client is not connected".
class ENotConnected : public Exception {
 public:
  /// With AMessage, raised at AWhere.
  explicit ENotConnected(const std::string& AMessage,
                         std::source_location AWhere = std::source_location::current());
};

/// A wait that ran out: "Timeout waiting for CONNACK".
class ETimeout : public Exception {
 public:
  /// With AMessage, raised at AWhere.
  explicit ETimeout(const std::string& AMessage, std::source_location AWhere = std::source_location::current());
};

/// An argument of a call or a field of the client that MQTT, the broker or
/// the client does not take; nothing was sent for it.
class EInvalidArgument : public Exception {
 public:
  /// AField names the argument or field as the API spells it ("Topic",
  /// "QoS", "BrokerPort", "Will.Topic", "ReasonString"); with AMessage.
  EInvalidArgument(std::string AField, const std::string& AMessage,
                   std::source_location AWhere = std::source_location::current());
  /// The argument or field that was refused.
  const std::string& Field() const noexcept { return FField; }

 private:
  std::string FField;
};

/// The offline queue holds OfflineQueueLimit publications already.
class EQueueFull : public Exception {
 public:
  /// ALimit: the limit that was reached; with AMessage.
  EQueueFull(size_t ALimit, const std::string& AMessage,
             std::source_location AWhere = std::source_location::current());
  /// The limit that was reached (OfflineQueueLimit).
  size_t Limit() const noexcept { return FLimit; }

 private:
  size_t FLimit;
};

/// TLS failed: the certificates or key would not load, the settings were
/// not usable, or the handshake failed (the broker's certificate refused,
/// timed out).
class ETLSError : public ESocketError {
 public:
  /// With AMessage, raised at AWhere.
  explicit ETLSError(const std::string& AMessage, std::source_location AWhere = std::source_location::current());
};

/// The broker's host name did not resolve (or not within the time-out).
class EResolveError : public ESocketError {
 public:
  /// With AMessage, raised at AWhere.
  explicit EResolveError(const std::string& AMessage,
                         std::source_location AWhere = std::source_location::current());
};

}  // namespace qor
