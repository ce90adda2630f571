// Whole packets on their way to the broker. Any thread puts packets on the
// queue; one writer takes them off in batches and sends a batch with one
// write, so packets never interleave and nobody writes while holding the
// client's state. The queue belongs to one link at a time: Open binds it to
// a stream, Close drops what the link did not send.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "uQORMQTTProtocol.h"

namespace qor {

class TBrokerStream;

// Who writes what waits in a queue that has no writer thread (an I/O
// context's loop): told of every packet that waits.
class IWriteDriver {
 public:
  virtual ~IWriteDriver() = default;
  // Packets wait for the socket to take them; any thread, no lock held.
  virtual void WantWrite() = 0;
  // The caller is a thread of the driver's, which must never wait for room
  // in the queue: it is the one that makes it.
  virtual bool OnDriverThread() const = 0;
};

class TWriteQueue {
 public:
  // Waits for one packet to be written (or dropped).
  struct TWaiter {
    bool Done = false;
    bool Written = false;
  };
  struct TEntry {
    TBytes Packet;
    std::string_view Tail;  // sent right after Packet, from the pusher's memory
    std::shared_ptr<TWaiter> Waiter;  // set when the pusher waits for it
  };

  // AMaxBytes bounds what bounded pushes may leave queued.
  explicit TWriteQueue(size_t AMaxBytes) : FMaxBytes(AMaxBytes) {}

  void Open(std::shared_ptr<TBrokerStream> AStream);
  void Close();

  // Appends a packet, APacket then ATail. False when no link is open (the
  // queue closed). ABounded: first waits while the queue holds AMaxBytes or
  // more (a packet larger than that goes alone). With ATail, or with
  // AWaitWritten, returns only once the writer is done with the packet: true
  // when it was written. AWaitMs bounds that wait (negative: no bound).
  // AOnly: false, nothing queued, unless the queue belongs to that stream.
  bool Push(TBytes APacket, std::string_view ATail = {}, bool ABounded = false, bool AWaitWritten = false,
            int64_t AWaitMs = -1, const TBrokerStream* AOnly = nullptr);

  // The writer's side. Waits for packets, moves a batch of them into ABatch
  // and returns the stream they are for; null once Stop was called.
  std::shared_ptr<TBrokerStream> Take(std::vector<TEntry>& ABatch);
  // As Take, without waiting: null when nothing is queued or someone writes.
  std::shared_ptr<TBrokerStream> TakeNow(std::vector<TEntry>& ABatch);
  // The batch has been written (AWritten) or has failed.
  void Finished(std::vector<TEntry>& ABatch, bool AWritten);
  // The caller may write a packet itself, saving the hand-over to the
  // writer: when no one is writing and nothing is queued it takes the
  // writing role and the stream to write to (true), and must end with
  // EndDirect, giving any bytes the socket did not take (they go first,
  // provided the queue still belongs to AStream's link).
  bool BeginDirect(std::shared_ptr<TBrokerStream>& AStream);
  void EndDirect(TBytes ARest, const TBrokerStream* AStream);

  // Waits until every packet queued so far has been written or dropped with
  // its link, at most AWaitMs: whether it has.
  bool WaitWritten(int64_t AWaitMs);

  // Set (or cleared) while nothing is pushed: ADriver then writes what waits.
  void SetDriver(IWriteDriver* ADriver) { FDriver = ADriver; }
  bool Driven() const { return FDriver.load() != nullptr; }
  bool OnDriverThread() const {
    const IWriteDriver* driver = FDriver;
    return driver && driver->OnDriverThread();
  }

  // Ends Take for good (until Restart): the writer is stopping.
  void Stop();
  void Restart();


 private:
  static size_t Size(const TEntry& AEntry) { return AEntry.Packet.size() + AEntry.Tail.size(); }
  std::shared_ptr<TBrokerStream> TakeLocked(std::vector<TEntry>& ABatch);
  void DropLocked();

  const size_t FMaxBytes;
  mutable std::mutex FMutex;
  std::condition_variable FWork;  // the writer waits here for packets
  std::condition_variable FRoom;  // pushers wait here for room, or for their packet
  std::shared_ptr<TBrokerStream> FStream;
  std::deque<TEntry> FEntries;
  size_t FBytes = 0;  // queued and in the writer's hands
  bool FWriterWaiting = false;
  bool FWriting = false;  // someone holds the writing role (the writer with a batch, or a direct writer)
  size_t FPushersWaiting = 0;
  uint64_t FQueuedTotal = 0;  // packets queued since the start
  uint64_t FEndedTotal = 0;   // of those, written or dropped
  bool FStopped = false;
  std::atomic<IWriteDriver*> FDriver{nullptr};
};

}  // namespace qor
