#include "uQORIOLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "uBrokerStream.h"

namespace qor {

namespace {

constexpr int kEventsPerWait = 256;

}  // namespace

// --- a loop -------------------------------------------------------------------------------

TIOLoop::TIOLoop() {
  FEpoll = epoll_create1(EPOLL_CLOEXEC);
  FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FEpoll < 0 || FWake < 0)
    throw std::runtime_error(std::string("An I/O context could not create its loop: ") + std::strerror(errno));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the wake-up has no port
  epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &event);
  Start();
}

TIOLoop::~TIOLoop() {
  Stop();
  close(FWake);
  close(FEpoll);
}

void TIOLoop::Post(std::function<void()> ATask) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FTasks.push_back(std::move(ATask));
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(FWake, &one, sizeof one);
}

void TIOLoop::Run(const std::function<void()>& ATask) {
  bool stopped;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    stopped = FStopped && Finished();
  }
  // Nobody else runs the loop's work once its thread has ended.
  if (OnThisThread() || stopped) {
    ATask();
    return;
  }
  std::mutex mutex;
  std::condition_variable ran;
  bool done = false;
  Post([&] {
    ATask();
    // Told under the lock: the waiter's stack outlives this task's last touch of it.
    std::lock_guard<std::mutex> guard(mutex);
    done = true;
    ran.notify_one();
  });
  std::unique_lock<std::mutex> lock(mutex);
  ran.wait(lock, [&] { return done; });
}

void TIOLoop::Stop() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FStopped = true;
  }
  Terminate();
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(FWake, &one, sizeof one);
  WaitFor();
  RunTasks();  // posted meanwhile: a Run waiting on one must not wait for ever
}

void TIOLoop::Add(IIOPort* APort) {
  FPorts.insert(APort);
  FPortCount = FPorts.size();
}

void TIOLoop::Remove(IIOPort* APort) {
  SetTimer(APort, INT64_MAX);
  FPorts.erase(APort);
  FPortCount = FPorts.size();
}

void TIOLoop::Watch(int AFd, uint32_t AEvents, IIOPort* APort, bool AFirst) {
  epoll_event event{};
  event.events = AEvents;
  event.data.ptr = APort;
  epoll_ctl(FEpoll, AFirst ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, AFd, &event);
}

void TIOLoop::Unwatch(int AFd) { epoll_ctl(FEpoll, EPOLL_CTL_DEL, AFd, nullptr); }

void TIOLoop::SetTimer(IIOPort* APort, int64_t ADeadline) {
  const auto due = FDue.find(APort);
  if (due != FDue.end()) {
    if (due->second == ADeadline) return;
    FTimers.erase({due->second, APort});
    FDue.erase(due);
  }
  if (ADeadline == INT64_MAX) return;
  FTimers.insert({ADeadline, APort});
  FDue[APort] = ADeadline;
}

void TIOLoop::Execute() {
  epoll_event events[kEventsPerWait];
  while (!Terminated()) {
    RunTasks();
    RunTimers();
    int waitMs = -1;
    if (!FTimers.empty()) {
      const int64_t left = FTimers.begin()->first - CoarseNowNs();
      // Rounded up: a timer is never run before it is due.
      waitMs = static_cast<int>(std::clamp<int64_t>((left + 999'999) / 1'000'000, 0, INT_MAX));
    }
    const int n = epoll_wait(FEpoll, events, kEventsPerWait, waitMs);
    for (int i = 0; i < n; ++i) {
      auto* port = static_cast<IIOPort*>(events[i].data.ptr);
      if (!port) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t r = read(FWake, &count, sizeof count);
        continue;
      }
      // A port removed by an earlier event of this batch gets no more.
      if (FPorts.count(port)) port->Ready(events[i].events);
    }
  }
  RunTasks();
}

void TIOLoop::RunTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    tasks.swap(FTasks);
  }
  for (std::function<void()>& task : tasks) task();
}

void TIOLoop::RunTimers() {
  const int64_t now = CoarseNowNs();
  while (!FTimers.empty() && FTimers.begin()->first <= now) {
    IIOPort* port = FTimers.begin()->second;
    FDue.erase(port);
    FTimers.erase(FTimers.begin());
    port->Due();
  }
}

void TIOLoop::Uncaught(std::exception_ptr AError) noexcept {
  // A port's handlers catch what they run; this is the loop's own failure.
  try {
    std::rethrow_exception(AError);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "QOR MQTT I/O context: loop thread failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "QOR MQTT I/O context: loop thread failed\n");
  }
}

// --- the connect threads --------------------------------------------------------------------

class TConnectPool::TWorker final : public TThread {
 public:
  TWorker(TConnectPool& APool, size_t AIndex) : FPool(APool), FIndex(AIndex) { Start(); }
  size_t Index() const { return FIndex; }

 protected:
  void Execute() override { FPool.Work(*this); }
  void Uncaught(std::exception_ptr) noexcept override {}

 private:
  TConnectPool& FPool;
  size_t FIndex;
};

TConnectPool::TConnectPool(int AThreads) {
  const size_t count = static_cast<size_t>(std::max(AThreads, 1));
  FRunning.assign(count, nullptr);
  for (size_t i = 0; i < count; ++i) FWorkers.push_back(std::make_unique<TWorker>(*this, i));
}

TConnectPool::~TConnectPool() { Stop(); }

void TConnectPool::Stop() {
  std::deque<TJob> dropped;  // what they hold goes outside the lock
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FStopped = true;
    dropped.swap(FJobs);
  }
  FChanged.notify_all();
  for (auto& worker : FWorkers) worker->WaitFor();
}

bool TConnectPool::Post(const void* AOwner, std::function<void()> AJob) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    if (FStopped) return false;
    FJobs.push_back({AOwner, std::move(AJob)});
  }
  FChanged.notify_all();
  return true;
}

void TConnectPool::Cancel(const void* AOwner) {
  std::deque<TJob> dropped;  // destroyed after the lock: what a job holds may hold the pool
  std::unique_lock<std::mutex> lock(FMutex);
  for (auto it = FJobs.begin(); it != FJobs.end();) {
    if (it->Owner != AOwner) {
      ++it;
      continue;
    }
    dropped.push_back(std::move(*it));
    it = FJobs.erase(it);
  }
  size_t self = FRunning.size();
  for (const auto& worker : FWorkers)
    if (worker->OnThisThread()) self = worker->Index();
  FChanged.wait(lock, [&] {
    for (size_t i = 0; i < FRunning.size(); ++i)
      if (i != self && FRunning[i] == AOwner) return false;
    return true;
  });
  lock.unlock();
}

bool TConnectPool::OnPoolThread() const {
  for (const auto& worker : FWorkers)
    if (worker->OnThisThread()) return true;
  return false;
}

void TConnectPool::Work(TWorker& AWorker) {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    FChanged.wait(lock, [&] { return FStopped || !FJobs.empty(); });
    if (FStopped) return;
    TJob job = std::move(FJobs.front());
    FJobs.pop_front();
    FRunning[AWorker.Index()] = job.Owner;
    lock.unlock();
    // A job reports its own failures; none escapes to end the thread.
    try {
      job.Run();
    } catch (...) {
    }
    job.Run = nullptr;  // what it holds goes before the owner may
    lock.lock();
    FRunning[AWorker.Index()] = nullptr;
    FChanged.notify_all();
  }
}

}  // namespace qor
