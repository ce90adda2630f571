#include "uQORMQTTLinkClock.h"

#include <algorithm>
#include <climits>

namespace qor {

namespace {

// A link that stayed up this long was a good one.
constexpr int64_t kStableLinkNs = 10 * kNsPerSecond;

}  // namespace

void TKeepalive::Start(int64_t ANow, int32_t AIntervalSecs) {
  FIntervalSecs = std::max(AIntervalSecs, 0);
  FLastSent = ANow;
  FLastReceived = ANow;
  FPingQueuedAt = 0;
  FPingSentAt = 0;
  FPingEnd = 0;
  FLastAcknowledged = 0;
  FDrainingAt = 0;
  FPingArrivedAt = 0;
}

void TKeepalive::PingWritten(int64_t ANow, std::optional<uint64_t> AEnd) {
  FPingEnd = AEnd.value_or(0);
  FPingSentAt = ANow;
}

TKeepalive::TAction TKeepalive::Tick(int64_t ANow, const TLinkProgress& AProgress) {
  const int32_t interval = FIntervalSecs;
  if (interval <= 0) return TAction::None;
  const int64_t half = std::max<int64_t>(interval / 2, 1) * kNsPerSecond;
  const int64_t full = int64_t{interval} * kNsPerSecond;
  // Bytes arriving, not whole packets, are life: a large packet arriving
  // slowly, or a reply waiting while OnMessage runs long, keep the link.
  int64_t received = std::max<int64_t>(FLastReceived, AProgress.LastReceived);
  FLastReceived = received;
  const int64_t pingQueued = FPingQueuedAt;
  bool unanswered = pingQueued != 0 && received < pingQueued;
  const int64_t sentAt = FPingSentAt;
  // A PINGREQ still queued behind a write is not asked yet: the write itself
  // times out when the link takes nothing.
  if (unanswered && sentAt >= pingQueued) {
    int64_t asked = sentAt;
    if (AProgress.Acknowledged) {
      const uint64_t acknowledged = *AProgress.Acknowledged;
      const uint64_t end = FPingEnd;
      if (acknowledged >= end) {
        if (FPingArrivedAt < sentAt) FPingArrivedAt = ANow;
        asked = FPingArrivedAt;
      } else {
        if (acknowledged > FLastAcknowledged) FDrainingAt = ANow;
        asked = std::max(sentAt, FDrainingAt);
      }
      FLastAcknowledged = acknowledged;
    }
    if (ANow - asked >= half && ANow - received >= full) {
      // An answer may wait unread behind a long OnMessage: that is life too,
      // and the PINGREQ is answered. The next one is owed from the next tick
      // on, so that it cannot count as answered by this very moment.
      if (!AProgress.BytesWaiting) return TAction::Dead;
      FLastReceived = ANow;
      return TAction::None;
    }
  }
  if (!unanswered && (ANow - FLastSent >= half || ANow - FLastReceived >= half)) {
    FPingQueuedAt = ANow;
    return TAction::Ping;
  }
  return TAction::None;
}

int64_t TKeepalive::NextDeadline(int64_t ANow) const {
  const int32_t interval = FIntervalSecs;
  if (interval <= 0) return kNever;
  const int64_t half = std::max<int64_t>(interval / 2, 1) * kNsPerSecond;
  int64_t next = std::min(FLastSent.load(), FLastReceived.load()) + half;
  const int64_t pingQueued = FPingQueuedAt;
  if (pingQueued != 0 && FLastReceived < pingQueued) {
    // Awaiting an answer: dead once it is half an interval overdue with
    // nothing received for the whole; until then the link's acknowledgements
    // move on without telling, so within the second as well.
    next = ANow + kNsPerSecond;
    const int64_t sentAt = FPingSentAt;
    if (sentAt >= pingQueued) {
      const int64_t asked = FPingArrivedAt >= sentAt ? FPingArrivedAt : std::max(sentAt, FDrainingAt);
      next = std::min(next, std::max(asked + half, FLastReceived + int64_t{interval} * kNsPerSecond));
    }
  }
  // Never a time already past: the ticking thread would spin.
  return std::max(next, ANow + kNsPerMs);
}

int64_t TKeepalive::WriteDeadline(int64_t ALastProgress) const {
  const int32_t interval = FIntervalSecs;
  return interval > 0 ? ALastProgress + int64_t{interval} * kNsPerSecond : kNever;
}

void TBackoff::Start(const TBackoffRules& ARules) {
  FRules = ARules;
  Reset();
}

void TBackoff::Reset() {
  FDelayMs = FRules.InitialMs;
  FAttempts = 0;
}

void TBackoff::LinkLost(int64_t ANow) {
  FAttempts = 0;
  if (ANow - FUpSince >= kStableLinkNs) FDelayMs = FRules.InitialMs;
}

TBackoff::TAttempt TBackoff::Next(uint32_t ARandom) {
  const int64_t delay = FDelayMs;
  // In floating point, and kept within the maximum before it is an integer again.
  const double grown = static_cast<double>(delay) * FRules.Multiplier;
  FDelayMs = grown >= static_cast<double>(FRules.MaxMs) ? FRules.MaxMs : static_cast<int64_t>(grown);
  const auto jitter = static_cast<uint64_t>(static_cast<double>(delay) * FRules.Jitter);
  const int32_t number = ++FAttempts;
  return {static_cast<int32_t>(delay / 1000), delay + static_cast<int64_t>(ARandom % (jitter + 1)), delay, number};
}

int64_t ConnackDeadline(int64_t ANow, int32_t ATimeoutSecs) {
  return ANow + std::clamp<int64_t>(int64_t{ATimeoutSecs} * 1000, 0, INT_MAX) * kNsPerMs;
}

}  // namespace qor
