// A handle on one request of the caller's (a publication, a subscription, an
// unsubscription): its identity for the caller's bookkeeping, and its
// outcome, which the caller can wait for from any thread. Copies share the
// request; a handle stays valid after the client is gone (what the client
// dropped then has ended as discarded).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "uQORMQTTExport.h"
#include "uQORMQTTMessage.h"

namespace qor {

/// How a request ended.
enum TQORMQTTOutcome : uint8_t {
  ocPending = 0,    ///< not yet ended
  ocDelivered = 1,  ///< acknowledged with a success code (QoS 0: handed to the link)
  ocRefused = 2,    ///< the broker answered with a code of 0x80 or above
  ocDiscarded = 3,  ///< dropped unacknowledged by Disconnect (or the client's end)
  ocForbidden = 4,  ///< given up unsent: a later broker's limits forbid it (0x9B, 0x9A, 0x95)
};

/// The outcome of a request and what the broker said about it.
struct TQORMQTTResult {
  TQORMQTTOutcome Outcome = ocPending;  ///< how it ended (ocPending: not yet)
  /// The broker's code (PUBACK, PUBCOMP or a refusing PUBREC; for SUBACK and
  /// UNSUBACK the first refusing one, else mqrcSuccess), the limit's code
  /// when forbidden, mqrcUnspecifiedError when discarded.
  TQORMQTTReasonCode ReasonCode = mqrcSuccess;
  /// SUBACK and UNSUBACK: one code per topic filter, in the order asked
  /// (for SUBACK a code below 0x80 is the QoS granted; MQTT 3.1.1's UNSUBACK has none).
  std::vector<TQORMQTTReasonCode> ReasonCodes;
  std::string ReasonString;  ///< the broker's words (MQTT 5.0), when it said any
  bool Succeeded() const { return Outcome == ocDelivered; }  ///< delivered
};

class TQORMQTTRequestState;

/// One request's identity and outcome; see the top of this header.
class QORMQTT_EXPORT TQORMQTTHandle {
 public:
  /// A handle on no request: only operator bool may be asked.
  TQORMQTTHandle() = default;
  /// The client's: a handle on the request AState tracks.
  explicit TQORMQTTHandle(std::shared_ptr<TQORMQTTRequestState> AState) : FState(std::move(AState)) {}

  explicit operator bool() const { return FState != nullptr; }  ///< it refers to a request
  /// 1, 2, 3 … in the order the client accepted its requests; never reused,
  /// whatever becomes of packet identifiers.
  uint64_t Id() const;
  /// The packet identifier the request was given (0 at QoS 0), as the
  /// complete events report it; unique only among requests not yet ended.
  uint16_t PacketId() const;
  /// The request has ended.
  bool Done() const;
  /// Waits until the request has ended or ATimeout has passed: whether it ended.
  bool Wait(std::chrono::milliseconds ATimeout) const;
  /// Waits until the request has ended, however long that takes, and returns its result.
  TQORMQTTResult Get() const;
  /// The result as it stands (ocPending until the request ends).
  TQORMQTTResult Result() const;

 private:
  const TQORMQTTRequestState& State() const;
  std::shared_ptr<TQORMQTTRequestState> FState;
};

}  // namespace qor
