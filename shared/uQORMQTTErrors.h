// The errors of the client a caller can tell apart by class: the general
// ones (uQORErrors.h) and the broker's refusal of a connection, which
// carries the broker's reason code and words.
#pragma once

#include <string>

#include "uQORErrors.h"
#include "uQORMQTTExport.h"
#include "uQORMQTTMessage.h"

namespace qor {

/// The broker answered CONNECT with a refusal: "Broker refused connection
/// (reason=$87) "why"" (its Reason String, user properties and Server
/// Reference follow the code in the message as the broker sent them).
class QORMQTT_EXPORT EBrokerRefused : public Exception {
 public:
  /// The broker's AReasonCode and AReasonString (MQTT 5.0; empty when none), with AMessage.
  EBrokerRefused(TQORMQTTReasonCode AReasonCode, std::string AReasonString, const std::string& AMessage,
                 std::source_location AWhere = std::source_location::current());
  /// The CONNACK's code as the broker sent it (at MQTT 3.1.1 its return code, 1 to 5).
  TQORMQTTReasonCode ReasonCode() const noexcept { return FReasonCode; }
  /// The CONNACK's Reason String; empty when the broker sent none.
  const std::string& ReasonString() const noexcept { return FReasonString; }

 private:
  TQORMQTTReasonCode FReasonCode;
  std::string FReasonString;
};

}  // namespace qor
