// What a handle shares with the session: the request's identity and, once
// it has ended, its result. Ended once: the first end counts (a request
// acknowledged while Disconnect discards it has one outcome, not two).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "uQORMQTTHandle.h"

namespace qor {

class TQORMQTTRequestState {
 public:
  explicit TQORMQTTRequestState(uint64_t AId) : FId(AId) {}
  uint64_t Id() const { return FId; }
  uint16_t PacketId() const { return FPacketId; }
  void SetPacketId(uint16_t AId) { FPacketId = AId; }
  bool Done() const { return FDone; }

  void End(TQORMQTTResult AResult);
  // The broker's code: delivered below 0x80, refused from there on.
  void Answered(uint8_t AReasonCode, std::string AReasonString = {});
  bool Wait(std::chrono::milliseconds ATimeout) const;
  TQORMQTTResult Get() const;
  TQORMQTTResult Result() const;

 private:
  const uint64_t FId;
  std::atomic<uint16_t> FPacketId{0};
  std::atomic<bool> FDone{false};
  mutable std::mutex FMutex;
  mutable std::condition_variable FEnded;
  TQORMQTTResult FResult;  // FMutex
};

using TRequestHandle = std::shared_ptr<TQORMQTTRequestState>;

// A caller's time-out as a wait can take it: a century stands for longer
// ones (milliseconds::max() says "for ever", and added to the clock's now
// it would overflow into no wait at all), a negative one for none.
inline std::chrono::milliseconds BoundedWait(std::chrono::milliseconds ATimeout) {
  constexpr std::chrono::milliseconds kCentury = std::chrono::hours(24 * 365 * 100);
  return ATimeout < std::chrono::milliseconds::zero() ? std::chrono::milliseconds::zero()
                                                       : std::min(ATimeout, kCentury);
}

// Ends AHandle when there is one (most requests have none).
inline void EndRequest(const TRequestHandle& AHandle, TQORMQTTOutcome AOutcome, uint8_t AReasonCode) {
  if (AHandle) AHandle->End({AOutcome, static_cast<TQORMQTTReasonCode>(AReasonCode), {}, {}});
}

}  // namespace qor
