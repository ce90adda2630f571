// The errors a caller of the client can act on, each a class of its own
// derived from Exception (or ESocketError), so that a catch of those still
// takes them and the message is the same text as before. The broker's
// refusal, which carries a reason code, is in uQORMQTTErrors.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

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

/// A packet that breaks the rules of its layout: its fields run past its
/// remaining length, or the remaining length itself is longer than four
/// bytes. Raised by the public decoders (DecodeProperties, say); the link
/// it arrives on ends with it.
class EMalformedPacket : public ESocketError {
 public:
  /// With AMessage ("Malformed packet: …"), raised at AWhere.
  explicit EMalformedPacket(const std::string& AMessage,
                            std::source_location AWhere = std::source_location::current());

 protected:
  /// For classes derived from it, with their own name.
  EMalformedPacket(std::string AClassName, const std::string& AMessage, std::source_location AWhere,
                   const void* AAddress)
      : ESocketError(std::move(AClassName), AMessage, AWhere, AAddress) {}
};

/// A packet larger than the client said it accepts (its Maximum Packet Size).
class EPacketTooLarge : public EMalformedPacket {
 public:
  /// With AMessage, raised at AWhere.
  explicit EPacketTooLarge(const std::string& AMessage,
                           std::source_location AWhere = std::source_location::current());
};

/// A packet whose layout is sound but which MQTT forbids the broker to send
/// (a PUBLISH before the CONNACK, a second CONNACK, a topic alias the client
/// never allowed, more QoS 2 messages than the client's Receive Maximum):
/// the link ends with MQTT's reason code, sent to the broker at level 5, so
/// that a faulty broker is told from a lost network.
class EProtocolError : public EMalformedPacket {
 public:
  /// AReasonCode: the MQTT reason code the link ends with; with AMessage.
  EProtocolError(uint8_t AReasonCode, const std::string& AMessage,
                 std::source_location AWhere = std::source_location::current());
  /// The MQTT reason code (0x82 Protocol error, 0x94 Topic Alias invalid, ...).
  uint8_t ReasonCode() const noexcept { return FReasonCode; }

 private:
  uint8_t FReasonCode;
};

/// The stream ended inside a packet.
class ETruncatedPacket : public ESocketError {
 public:
  /// With AMessage, raised at AWhere.
  explicit ETruncatedPacket(const std::string& AMessage,
                            std::source_location AWhere = std::source_location::current());
};

}  // namespace qor
