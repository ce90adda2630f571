#include "uQORMQTTHandle.h"

#include "uQORErrors.h"
#include "uQORMQTTRequestState.h"

namespace qor {

void TQORMQTTRequestState::End(TQORMQTTResult AResult) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    if (FDone) return;
    FResult = std::move(AResult);
    FDone = true;
  }
  FEnded.notify_all();
}

void TQORMQTTRequestState::Answered(uint8_t AReasonCode, std::string AReasonString) {
  End({AReasonCode < 0x80 ? ocDelivered : ocRefused, static_cast<TQORMQTTReasonCode>(AReasonCode), {},
       std::move(AReasonString)});
}

bool TQORMQTTRequestState::Wait(std::chrono::milliseconds ATimeout) const {
  std::unique_lock<std::mutex> lock(FMutex);
  return FEnded.wait_for(lock, BoundedWait(ATimeout), [&] { return FDone.load(); });
}

TQORMQTTResult TQORMQTTRequestState::Get() const {
  std::unique_lock<std::mutex> lock(FMutex);
  FEnded.wait(lock, [&] { return FDone.load(); });
  return FResult;
}

TQORMQTTResult TQORMQTTRequestState::Result() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FResult;
}

const TQORMQTTRequestState& TQORMQTTHandle::State() const {
  if (!FState) throw EInvalidArgument("Handle", "The handle refers to no request");
  return *FState;
}

uint64_t TQORMQTTHandle::Id() const { return State().Id(); }
uint16_t TQORMQTTHandle::PacketId() const { return State().PacketId(); }
bool TQORMQTTHandle::Done() const { return State().Done(); }
bool TQORMQTTHandle::Wait(std::chrono::milliseconds ATimeout) const { return State().Wait(ATimeout); }
TQORMQTTResult TQORMQTTHandle::Get() const { return State().Get(); }
TQORMQTTResult TQORMQTTHandle::Result() const { return State().Result(); }

}  // namespace qor
