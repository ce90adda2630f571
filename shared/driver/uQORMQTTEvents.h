// The client's events as the driver raises them: log lines (formatted only
// when someone listens), and callbacks whose exceptions go no further than
// a log line, so that what follows (a reconnect, say) never depends on a handler.
#pragma once

#include <exception>
#include <string>

#include "uQORFormat.h"
#include "uQORMQTTClient.h"

namespace qor {

class TClientEvents {
 public:
  explicit TClientEvents(const TQORMQTTClient& AClient) : FClient(AClient) {}

  bool Logging() const { return static_cast<bool>(FClient.OnLog); }
  template <typename TFirst, typename... TRest>
  void Log(const char* AFormat, TFirst AFirst, TRest... ARest) const {
    if (FClient.OnLog) Line(Format(AFormat, AFirst, ARest...));
  }
  void Log(const char* ALine) const {
    if (FClient.OnLog) Line(ALine);
  }
  // A line to the log listener; one that fails loses that line only.
  void Line(const std::string& ALine) const;
  // Calls an event when set; what it throws is logged and goes no further.
  template <typename TEvent, typename... TArgs>
  void Fire(const TEvent& AEvent, const TArgs&... AArgs) const {
    if (!AEvent) return;
    try {
      AEvent(AArgs...);
    } catch (...) {
      CallbackFailed();
    }
  }
  // What ended a worker thread by surprise; never raises.
  void ThreadFailed(const char* AThread, std::exception_ptr AError) const noexcept;

 private:
  void CallbackFailed() const;

  const TQORMQTTClient& FClient;
};

}  // namespace qor
