// A platform thread with a terminate flag, and a manual-reset event.
//
// Every wait here can be cut short: a thread's own sleeps end as soon as it
// is terminated, and an event wakes every waiter when it is set. Threads
// are always joined (WaitFor); none is ever detached.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace qor {

class TEvent {
 public:
  void Set();
  void Reset();
  bool IsSet() const { return FSet.load(); }
  // True when the event was (or became) set within AMilliseconds; a negative
  // value waits without limit.
  bool WaitFor(int64_t AMilliseconds);

 private:
  std::mutex FMutex;
  std::condition_variable FCondition;
  std::atomic<bool> FSet{false};
};

class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Terminates and joins a thread still running; the owner normally has done both.
  virtual ~TThread();

  void Terminate();
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
  // Sleeps up to AMilliseconds; true when the thread was terminated.
  bool Sleep(int64_t AMilliseconds) { return FTerminateEvent.WaitFor(AMilliseconds); }

 private:
  void Run();

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  TEvent FTerminateEvent;
  std::thread FThread;
};

}  // namespace qor
