// The threads of an I/O context. A loop thread waits in epoll for the
// sockets of the ports it drives and for their timers, and runs tasks other
// threads post to it; each port belongs to one loop for its life, so nothing
// of a port ever runs on two threads at once. The connect threads run the
// jobs that may block (a name lookup, a TCP connect, a TLS handshake, the
// wait for a CONNACK), a bounded number at a time.
//
// Locks: a loop's task list and a pool's job list, each held for a list
// operation only, never across a system call that blocks or a callback.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "uQORThread.h"

namespace qor {

// What a loop drives: one socket and one timer. Called on its loop only.
class IIOPort {
 public:
  virtual ~IIOPort() = default;
  // The socket's epoll events.
  virtual void Ready(uint32_t AEvents) = 0;
  // The timer came due.
  virtual void Due() = 0;
};

class TIOLoop final : public TThread {
 public:
  TIOLoop();
  ~TIOLoop() override;

  // Any thread. ATask runs on the loop, after those posted before it.
  void Post(std::function<void()> ATask);
  // Runs ATask on the loop and returns once it has run; on the loop's own
  // thread, at once.
  void Run(const std::function<void()>& ATask);
  // Stops the loop (the tasks posted so far still run) and joins it.
  void Stop();

  // --- on the loop's thread --------------------------------------------------------
  void Add(IIOPort* APort);
  // No event and no timer of APort is delivered after this.
  void Remove(IIOPort* APort);
  // Watches AFd for AEvents (0: stops watching it) on behalf of APort.
  void Watch(int AFd, uint32_t AEvents, IIOPort* APort, bool AFirst);
  void Unwatch(int AFd);
  // APort's timer at ADeadline (CoarseNowNs); INT64_MAX: none.
  void SetTimer(IIOPort* APort, int64_t ADeadline);
  size_t Ports() const { return FPortCount; }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  void RunTasks();
  void RunTimers();

  int FEpoll = -1;
  int FWake = -1;  // an eventfd: a task was posted
  std::mutex FMutex;
  std::vector<std::function<void()>> FTasks;  // FMutex
  bool FStopped = false;                      // FMutex
  // The loop's own.
  std::unordered_set<IIOPort*> FPorts;
  std::set<std::pair<int64_t, IIOPort*>> FTimers;
  std::unordered_map<IIOPort*, int64_t> FDue;
  std::atomic<size_t> FPortCount{0};
};

// Threads that run jobs which may block, in the order posted.
class TConnectPool {
 public:
  explicit TConnectPool(int AThreads);
  ~TConnectPool();

  // AOwner tells whose job it is (for Cancel). False, and nothing runs, once stopped.
  bool Post(const void* AOwner, std::function<void()> AJob);
  // Drops what waits and joins the threads.
  void Stop();
  // AOwner's queued jobs are dropped (the owner ends what they were for),
  // and the call waits while one of its jobs runs on another thread.
  void Cancel(const void* AOwner);
  bool OnPoolThread() const;

 private:
  class TWorker;
  struct TJob {
    const void* Owner;
    std::function<void()> Run;
  };
  void Work(TWorker& AWorker);

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::deque<TJob> FJobs;
  std::vector<const void*> FRunning;  // the owner of each worker's job now (null: none)
  bool FStopped = false;
  std::vector<std::unique_ptr<TWorker>> FWorkers;
};

}  // namespace qor
