// When the reader holds back before its next read. A broker that delays
// small writes (Nagle's algorithm, mosquitto's default) sends what it has
// gathered only once its last segment is acknowledged, and this host
// acknowledges when the reader empties the socket. A reader that takes each
// message the moment it lands therefore costs a segment, an ACK and a
// wake-up per message on both hosts, and the broker's CPU bounds the stream.
// While messages stream in back to back and the program awaits no answer, a
// short pause before each read lets a hundred of them gather in one segment.
// A lone message, a reply to the program's own request, or a burst on a
// quiet link is read the moment it lands. Sans-I/O: the reader tells the time.
#pragma once

#include <atomic>
#include <cstdint>

namespace qor {

class TReadPacer {
 public:
  // Reads at most this far apart (ns)
  static constexpr int64_t kStreamGapNs = 1'000'000;
  // and this many in a row, with no request in between, make a stream.
  static constexpr int kStreamReads = 4;

  // Any thread: the program sent a request the broker answers (a
  // publication, a subscription), whose answer must not wait.
  void Requested() { FRequested.store(true, std::memory_order_relaxed); }
  // The reader: a read returned bytes at ANowNs (a steady clock's ns).
  void Received(int64_t ANowNs);
  // The reader: whether messages are streaming in, so that the next read,
  // when nothing is waiting yet, should pause first.
  bool Streaming() const { return FReads >= kStreamReads && !FRequested.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> FRequested{false};
  int64_t FLastNs = 0;
  int FReads = 0;  // reads in a row that make the stream so far
};

}  // namespace qor
