#include "uQORThread.h"

namespace qor {

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

void TThread::WaitFor() {
  if (FThread.joinable() && !OnThisThread()) FThread.join();
}

}  // namespace qor
