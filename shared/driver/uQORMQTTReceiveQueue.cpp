#include "uQORMQTTReceiveQueue.h"

#include <algorithm>

namespace qor {

namespace {

using TLock = std::unique_lock<std::mutex>;
using namespace std::chrono_literals;

// A longer time-out waits as long as this, which no clock arithmetic overflows.
constexpr std::chrono::milliseconds kLongestTake = std::chrono::hours(24 * 365 * 100);

}  // namespace

size_t TReceiveQueue::Count() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FEntries.size();
}

bool TReceiveQueue::Put(TEntry& AEntry, const std::function<bool()>& AGone) {
  TLock lock(FMutex);
  while (FEntries.size() >= FLimit && !FClosed) {
    const uint64_t changes = FLinkChanges;
    // AGone looks at the link, under its own lock: never under this one.
    lock.unlock();
    if (AGone()) return false;
    lock.lock();
    FRoom.wait_for(lock, 1s, [&] { return FEntries.size() < FLimit || FLinkChanges != changes || FClosed; });
  }
  if (FClosed) return false;
  FEntries.push_back(std::move(AEntry));
  lock.unlock();
  FArrived.notify_one();
  return true;
}

void TReceiveQueue::LinkChanged() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    ++FLinkChanges;
  }
  FRoom.notify_all();
}

std::optional<TQORMQTTMessage> TReceiveQueue::Take(std::chrono::milliseconds ATimeout,
                                                   const std::function<bool()>& AIdle,
                                                   const std::function<void(TEntry&)>& AHandOver) {
  const auto deadline = std::chrono::steady_clock::now() + std::clamp(ATimeout, 0ms, kLongestTake);
  TLock lock(FMutex);
  if (FClosed) return std::nullopt;
  ++FTakers;
  // Leaves with FMutex held, whichever way Take ends.
  const auto leave = [&] {
    if (--FTakers == 0 && FClosed) FLeft.notify_all();
  };
  const uint64_t interrupts = FInterrupts;
  for (;;) {
    // AIdle reads an atomic state: no lock of another's under this one.
    FArrived.wait_until(lock, deadline,
                        [&] { return !FEntries.empty() || FClosed || FInterrupts != interrupts || AIdle(); });
    // Time-out, interrupt or idle: a message that is there goes out all the same.
    if (FClosed || FEntries.empty()) {
      leave();
      return std::nullopt;
    }
    // Another taker may be handing over the entry before this one: its
    // acknowledgement goes first.
    lock.unlock();
    TLock turn(FTurn);
    lock.lock();
    if (FEntries.empty()) continue;  // taken meanwhile
    TEntry entry = std::move(FEntries.front());
    FEntries.pop_front();
    lock.unlock();
    FRoom.notify_one();
    try {
      AHandOver(entry);
    } catch (...) {
      // The message is the program's all the same: only its acknowledgement failed.
    }
    turn.unlock();
    lock.lock();
    leave();
    return std::move(entry.Message);
  }
}

void TReceiveQueue::Interrupt() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    ++FInterrupts;
  }
  FArrived.notify_all();
}

void TReceiveQueue::Close() {
  TLock lock(FMutex);
  FClosed = true;
  FArrived.notify_all();
  FRoom.notify_all();
  FLeft.wait(lock, [&] { return FTakers == 0; });
}

}  // namespace qor
