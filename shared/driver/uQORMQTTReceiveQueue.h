// The messages a program pulls (ReceiveQueueLimit above 0): the reader puts
// each one in, the program's Receive takes it out. Bounded: a reader that
// finds the queue full waits for room, so that the broker's TCP stream
// stops rather than the queue grows; that wait gives up when its link goes
// or the client stops. Whoever takes a message hands it over (its deferred
// acknowledgement goes out then) before the next taker gets one, so the
// acknowledgements leave in the order the messages came.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "uQORMQTTMessage.h"
#include "uQORMQTTSession.h"

namespace qor {

class TReceiveQueue {
 public:
  struct TEntry {
    TQORMQTTMessage Message;
    std::optional<TInboundAck> Ack;  // QoS 1 and 2: owed once the program has it
    uint64_t Epoch = 0;              // the driver's link it came on
  };

  // 0: off (the callbacks deliver). Set by Connect while no worker runs.
  void SetLimit(size_t ALimit) { FLimit = ALimit; }
  bool On() const { return FLimit > 0; }
  size_t Count() const;

  // The reader: appends AEntry (moved from) once there is room. False, with
  // AEntry untouched, when AGone says the wait is in vain first; AGone is
  // asked at every LinkChanged and at least once a second (a write that
  // failed ends a link without telling the queue).
  bool Put(TEntry& AEntry, const std::function<bool()>& AGone);
  // A link went or the client stops: a waiting Put asks its AGone again.
  void LinkChanged();

  // The oldest message, waiting up to ATimeout for one; its entry goes to
  // AHandOver before the next taker gets one. Empty on time-out, when
  // Interrupt or Close came meanwhile, after Close, and at once while the
  // queue is empty and AIdle holds (no link and none coming).
  std::optional<TQORMQTTMessage> Take(std::chrono::milliseconds ATimeout, const std::function<bool()>& AIdle,
                                      const std::function<void(TEntry&)>& AHandOver);
  // Every Take waiting now returns empty (Disconnect, once AIdle holds).
  void Interrupt();
  // For good: every Take returns empty from now on. Returns once no Take
  // is inside any more, so that the queue may go.
  void Close();

 private:
  mutable std::mutex FMutex;
  std::condition_variable FArrived;  // takers: a message, an interrupt, the close
  std::condition_variable FRoom;     // the reader: room, a link change, the close
  std::condition_variable FLeft;     // Close: the last taker has left
  std::deque<TEntry> FEntries;
  std::atomic<size_t> FLimit{0};
  uint64_t FInterrupts = 0;
  uint64_t FLinkChanges = 0;
  bool FClosed = false;
  size_t FTakers = 0;  // inside Take
  // Held by the taker handing an entry over, never with FMutex held while
  // it is being taken.
  std::mutex FTurn;
};

}  // namespace qor
