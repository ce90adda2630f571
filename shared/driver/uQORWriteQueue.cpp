#include "uQORWriteQueue.h"

#include <algorithm>
#include <chrono>

namespace qor {

namespace {

// A batch stops at this many packets or bytes: one write of it stays short
// enough that acknowledgements queued behind it are not held up for long.
constexpr size_t kBatchPackets = 256;
constexpr size_t kBatchBytes = 256 * 1024;

}  // namespace

void TWriteQueue::Open(std::shared_ptr<TBrokerStream> AStream) {
  std::lock_guard<std::mutex> guard(FMutex);
  DropLocked();
  FStream = std::move(AStream);
}

void TWriteQueue::Close() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    DropLocked();
    FStream.reset();
  }
}

void TWriteQueue::DropLocked() {
  for (TEntry& e : FEntries) {
    FBytes -= Size(e);
    if (e.Waiter) e.Waiter->Done = true;
  }
  FEndedTotal += FEntries.size();
  FEntries.clear();
  FRoom.notify_all();
}

bool TWriteQueue::Push(TBytes APacket, std::string_view ATail, bool ABounded, bool AWaitWritten, int64_t AWaitMs,
                       const TBrokerStream* AOnly) {
  const size_t size = APacket.size() + ATail.size();
  const bool wait = AWaitWritten || !ATail.empty();
  // Shared with the entry: a pusher that gives up must not leave the writer
  // a pointer into its stack.
  const std::shared_ptr<TWaiter> waiter = wait ? std::make_shared<TWaiter>() : nullptr;
  std::unique_lock<std::mutex> lock(FMutex);
  if (ABounded && FStream && FBytes > 0 && FBytes + size > FMaxBytes) {
    ++FPushersWaiting;
    FRoom.wait(lock, [&] { return !FStream || FBytes == 0 || FBytes + size <= FMaxBytes; });
    --FPushersWaiting;
  }
  if (!FStream || (AOnly && FStream.get() != AOnly)) return false;
  const std::shared_ptr<TBrokerStream> link = FStream;
  FEntries.push_back({std::move(APacket), ATail, waiter});
  FBytes += size;
  ++FQueuedTotal;
  if (FWriterWaiting) FWork.notify_one();
  if (IWriteDriver* driver = FDriver) {
    lock.unlock();
    driver->WantWrite();
    if (!wait) return true;
    lock.lock();
  }
  if (!wait) return true;
  ++FPushersWaiting;
  const auto done = [&] { return waiter->Done; };
  // A tail lives in the pusher's memory: its wait is never cut short.
  if (AWaitMs < 0 || !ATail.empty()) {
    FRoom.wait(lock, done);
  } else {
    FRoom.wait_for(lock, std::chrono::milliseconds(AWaitMs), done);
  }
  --FPushersWaiting;
  return waiter->Written;
}

std::shared_ptr<TBrokerStream> TWriteQueue::Take(std::vector<TEntry>& ABatch) {
  ABatch.clear();
  std::unique_lock<std::mutex> lock(FMutex);
  FWriterWaiting = true;
  FWork.wait(lock, [&] { return FStopped || (!FEntries.empty() && FStream && !FWriting); });
  FWriterWaiting = false;
  if (FStopped) return nullptr;
  return TakeLocked(ABatch);
}

std::shared_ptr<TBrokerStream> TWriteQueue::TakeNow(std::vector<TEntry>& ABatch) {
  ABatch.clear();
  std::lock_guard<std::mutex> guard(FMutex);
  if (FStopped || FEntries.empty() || !FStream || FWriting) return nullptr;
  return TakeLocked(ABatch);
}

std::shared_ptr<TBrokerStream> TWriteQueue::TakeLocked(std::vector<TEntry>& ABatch) {
  FWriting = true;
  size_t bytes = 0;
  while (!FEntries.empty() && ABatch.size() < kBatchPackets && (ABatch.empty() || bytes < kBatchBytes)) {
    bytes += Size(FEntries.front());
    ABatch.push_back(std::move(FEntries.front()));
    FEntries.pop_front();
  }
  return FStream;
}

void TWriteQueue::Finished(std::vector<TEntry>& ABatch, bool AWritten) {
  bool notify;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FWriting = false;
    FEndedTotal += ABatch.size();
    for (TEntry& e : ABatch) {
      FBytes -= Size(e);
      if (e.Waiter) {
        e.Waiter->Done = true;
        e.Waiter->Written = AWritten;
      }
    }
    notify = FPushersWaiting > 0;
  }
  ABatch.clear();
  if (notify) FRoom.notify_all();
}

bool TWriteQueue::BeginDirect(std::shared_ptr<TBrokerStream>& AStream) {
  std::lock_guard<std::mutex> guard(FMutex);
  if (!FStream || FWriting || !FEntries.empty()) return false;
  FWriting = true;
  AStream = FStream;
  return true;
}

void TWriteQueue::EndDirect(TBytes ARest, const TBrokerStream* AStream) {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FWriting = false;
    if (!ARest.empty() && FStream.get() == AStream) {
      FBytes += ARest.size();
      FEntries.push_front({std::move(ARest), {}, nullptr});
      ++FQueuedTotal;
    }
    if (FEntries.empty()) return;
    if (!FDriver && !FWriterWaiting) return;
  }
  if (IWriteDriver* driver = FDriver) {
    driver->WantWrite();
    return;
  }
  FWork.notify_one();
}

bool TWriteQueue::WaitWritten(int64_t AWaitMs) {
  std::unique_lock<std::mutex> lock(FMutex);
  const uint64_t queued = FQueuedTotal;
  ++FPushersWaiting;
  const bool ended =
      FRoom.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(AWaitMs, 0)), [&] { return FEndedTotal >= queued; });
  --FPushersWaiting;
  return ended;
}

void TWriteQueue::Stop() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FStopped = true;
  }
  FWork.notify_all();
}

void TWriteQueue::Restart() {
  std::lock_guard<std::mutex> guard(FMutex);
  FStopped = false;
}

}  // namespace qor
