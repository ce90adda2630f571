// A platform thread with a terminate flag. Its owner wakes whatever the
// thread waits on after terminating it; threads are always joined
// (WaitFor), none is ever detached.
#pragma once

#include <atomic>
#include <exception>
#include <thread>

namespace qor {

class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Terminates and joins a thread still running; the owner normally has done both.
  virtual ~TThread();

  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated.load(); }
  // Joins the thread; returns at once when it was never started or already joined.
  void WaitFor();
  // Execute has returned.
  bool Finished() const { return FFinished.load(); }
  bool OnThisThread() const { return FThread.get_id() == std::this_thread::get_id(); }

 protected:
  // Derived classes call Start at the end of their constructor, once the
  // object Execute runs on is complete.
  void Start();
  virtual void Execute() = 0;
  // An error that escaped Execute: the thread ends after this. Derived
  // classes say so where their owner will see it; it must not raise.
  virtual void Uncaught(std::exception_ptr AError) noexcept = 0;

 private:
  void Run();

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::thread FThread;
};

}  // namespace qor
