#include "uQORMQTTEvents.h"

namespace qor {

void TClientEvents::Line(const std::string& ALine) const {
  if (!FClient.OnLog) return;
  try {
    FClient.OnLog(ALine);
  } catch (...) {
    // Asking the listener to log its own failure would fail again.
  }
}

void TClientEvents::CallbackFailed() const {
  const TErrorDescription error = DescribeError(std::current_exception());
  Log("Callback error: %s: %s", error.ClassName.c_str(), error.Message.c_str());
}

void TClientEvents::ThreadFailed(const char* AThread, std::exception_ptr AError) const noexcept {
  try {
    const TErrorDescription error = DescribeError(AError);
    Log("%s thread ended by an error: %s: %s", AThread, error.ClassName.c_str(), error.Message.c_str());
  } catch (...) {
    // Out of memory while saying so: nothing more can be done.
  }
}

}  // namespace qor
