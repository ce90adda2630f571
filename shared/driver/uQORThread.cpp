#include "uQORThread.h"

#include <chrono>

namespace qor {

void TEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FSet = true;
  }
  FCondition.notify_all();
}

void TEvent::Reset() {
  std::lock_guard<std::mutex> guard(FMutex);
  FSet = false;
}

bool TEvent::WaitFor(int64_t AMilliseconds) {
  std::unique_lock<std::mutex> lock(FMutex);
  if (AMilliseconds < 0) {
    FCondition.wait(lock, [this] { return FSet.load(); });
    return true;
  }
  return FCondition.wait_for(lock, std::chrono::milliseconds(AMilliseconds),
                             [this] { return FSet.load(); });
}

TThread::~TThread() {
  Terminate();
  WaitFor();
}

void TThread::Start() { FThread = std::thread([this] { Run(); }); }

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    // An error that escapes a worker's body ends that thread, never the process.
    Uncaught(std::current_exception());
  }
  FFinished = true;
}

void TThread::Terminate() {
  FTerminated = true;
  FTerminateEvent.Set();
}

void TThread::WaitFor() {
  if (FThread.joinable() && !OnThisThread()) FThread.join();
}

}  // namespace qor
