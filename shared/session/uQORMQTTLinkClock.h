// The session's rules in time: when a quiet link is pinged, when a silent
// one is dead, how long the handshake may take, and how long to wait before
// each reconnect. No clock of its own: every call is given the time (in
// nanoseconds of a monotonic clock), so tests run these rules on a clock
// they move by hand, and the driver's threads only carry out what they say.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace qor {

inline constexpr int64_t kNsPerMs = 1'000'000;
inline constexpr int64_t kNsPerSecond = 1'000'000'000;
// No deadline at all.
inline constexpr int64_t kNever = INT64_MAX;

// What the transport can tell of a link at a tick.
struct TLinkProgress {
  int64_t LastReceived = 0;  // when bytes last arrived; 0: none yet
  // Bytes written so far that the broker's host has acknowledged; none
  // where that cannot be told (a Unix socket).
  std::optional<uint64_t> Acknowledged;
  bool BytesWaiting = false;  // bytes arrived that nobody has read yet
};

// Keepalive: a PINGREQ after half the interval without sending or without
// receiving (a client that only publishes QoS 0 hears nothing otherwise),
// one at a time. A link is given up only when a PINGREQ that has reached
// the broker's host goes unanswered for half the interval, with nothing
// received for all of it; before it has (it may sit behind megabytes still
// crossing a slow link), the link lives while those bytes move on. A write
// the link takes nothing of for the whole interval has stalled: a large
// write over a slow link takes as long as it takes, as long as it moves.
class TKeepalive {
 public:
  enum class TAction : uint8_t { None, Ping, Dead };

  // A session is established at ANow; AIntervalSecs 0: no keepalive at all.
  void Start(int64_t ANow, int32_t AIntervalSecs);
  // Bytes were handed to the link. Any thread.
  void Sent(int64_t ANow) { FLastSent.store(ANow, std::memory_order_relaxed); }
  // Until when a write may wait for the link to take more, after it last
  // did at ALastProgress: the interval; kNever without keepalive.
  int64_t WriteDeadline(int64_t ALastProgress) const;
  // A PINGREQ has been written; AEnd: the bytes written up to its end, when
  // the link can tell how many of them the broker's host has acknowledged.
  void PingWritten(int64_t ANow, std::optional<uint64_t> AEnd);
  // What is due at ANow; Ping: a PINGREQ is owed (counted as asked from now).
  // One thread ticks.
  TAction Tick(int64_t ANow, const TLinkProgress& AProgress);
  // When Tick may next have something to do; kNever without keepalive.
  // While a PINGREQ is awaited, the acknowledgements of the link move on
  // without telling: then within the second.
  int64_t NextDeadline(int64_t ANow) const;

 private:
  std::atomic<int32_t> FIntervalSecs{0};
  std::atomic<int64_t> FLastSent{0};
  std::atomic<int64_t> FLastReceived{0};
  std::atomic<int64_t> FPingQueuedAt{0};  // the PINGREQ awaiting an answer; 0: none
  std::atomic<int64_t> FPingSentAt{0};    // when a PINGREQ was last written
  std::atomic<uint64_t> FPingEnd{0};      // the bytes written up to its end
  // The ticking thread's own: the bytes acknowledged at its last look, when
  // that last grew, and when the PINGREQ was first seen to have arrived.
  uint64_t FLastAcknowledged = 0;
  int64_t FDrainingAt = 0;
  int64_t FPingArrivedAt = 0;
};

// How the reconnect delay grows and how many attempts follow one loss; the
// defaults are the client's of old. Checked by whoever sets them (the
// client's settings at Connect).
struct TBackoffRules {
  int64_t InitialMs = 1000;  // the first attempt's delay
  int64_t MaxMs = 60'000;    // the delay grows up to this
  double Multiplier = 2;     // each attempt's delay over the one before; 1 or more
  double Jitter = 0.25;      // each wait is up to this share of its delay longer
  int32_t MaxAttempts = 0;   // after one loss; 0: no limit
};

// The delay before each reconnect: it grows with each attempt up to the
// rules' maximum, and is back to the first only after a link that stayed
// up (or a new Connect): a broker that ends each link at once (a request it
// refuses, a session taken over) must not make the client reconnect ever
// faster. The attempts are counted from each loss on.
class TBackoff {
 public:
  struct TAttempt {
    int32_t DelaySecs;  // the base delay in whole seconds
    int64_t WaitMs;     // with up to the rules' jitter more (ARandom's share)
    int64_t DelayMs;    // the base delay, as the log names it
    int32_t Number;     // of the attempts since the loss, from 1
  };
  // New rules, from a new Connect, set while no reconnect loop runs; as Reset.
  void Start(const TBackoffRules& ARules);
  // A new Connect: the first delay again, no attempt counted.
  void Reset();
  void LinkUp(int64_t ANow) { FUpSince = ANow; }
  // A loss: its attempts count from 1; after a link that stayed up, the first delay again.
  void LinkLost(int64_t ANow);
  // The wait before the next attempt; the one after it grows whatever this
  // one brings. ARandom spreads clients a broker dropped together.
  TAttempt Next(uint32_t ARandom);
  // The rules' MaxAttempts have been made since the loss.
  bool Exhausted() const { return FRules.MaxAttempts > 0 && FAttempts >= FRules.MaxAttempts; }

 private:
  TBackoffRules FRules;
  std::atomic<int64_t> FDelayMs{1000};
  std::atomic<int32_t> FAttempts{0};
  std::atomic<int64_t> FUpSince{0};
};

// How long a CONNECT waits for its CONNACK: ATimeoutSecs after ANow (none
// left for 0 or less; a large value is kept within what a wait can take).
int64_t ConnackDeadline(int64_t ANow, int32_t ATimeoutSecs);

}  // namespace qor
