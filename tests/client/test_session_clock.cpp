// The session's rules in time on a clock the test moves by hand: hours of
// keepalive, back-off and handshake time-out in no time at all, to the
// millisecond, where the threaded client could show them only in real
// seconds and to within one.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "uQORMQTTLinkClock.h"
#include "uReadPacer.h"

namespace qor {
// Names in a failure message rather than bytes.
void PrintTo(TKeepalive::TAction AAction, std::ostream* AOut) {
  *AOut << (AAction == TKeepalive::TAction::None ? "None" : AAction == TKeepalive::TAction::Ping ? "Ping" : "Dead");
}
}  // namespace qor

using namespace qor;

namespace {

using TAction = TKeepalive::TAction;
constexpr TAction None = TAction::None, Ping = TAction::Ping, Dead = TAction::Dead;

constexpr int64_t Ns(int64_t AMs) { return AMs * kNsPerMs; }

enum class TKind { Sent, Received, Acked, Waiting, Written, Start };

// Something the link does at a time; repeated every EveryMs up to UntilMs
// (acknowledgements then grow by a byte a millisecond, as a steady stream's do).
struct TEvent {
  int64_t AtMs;
  TKind Kind;
  int64_t Value = 0;  // Acked: bytes; Waiting: 1 or 0; Written: the PINGREQ's end, -1 untold; Start: interval
  int64_t EveryMs = 0;
  int64_t UntilMs = 0;
};

struct TDue {
  int64_t AtMs;
  TAction Action;
  bool operator==(const TDue&) const = default;
};
void PrintTo(const TDue& ADue, std::ostream* AOut) {
  *AOut << ADue.AtMs << " ms ";
  qor::PrintTo(ADue.Action, AOut);
}

struct TRow {
  const char* Name;
  int32_t IntervalSecs;
  int64_t WriteAfterMs;   // a PINGREQ owed is written this long after; -1: it stays queued
  int64_t AnswerAfterMs;  // and answered this long after that; -1: never
  int64_t PingEnd;        // the bytes written up to a PINGREQ's end; -1: the link cannot tell
  std::vector<TEvent> Script;
  int64_t EndMs;
  std::vector<TDue> Expected;  // every Ping and Dead
};

struct TRun {
  std::vector<TDue> Actions;
  TAction Last = None;  // of the look at the limit
};

// Plays the driver as it will be: a thread that sleeps until NextDeadline and
// ticks, while the link does what the row says meanwhile. Events before the
// limit and ticks before it run; then one more tick looks at the limit itself.
TRun Drive(const TRow& ARow, int64_t ALimitMs) {
  std::multimap<int64_t, TEvent> pending;  // equal times keep the script's order
  for (const TEvent& e : ARow.Script)
    for (int64_t t = e.AtMs;; t += e.EveryMs) {
      pending.emplace(t, TEvent{t, e.Kind, e.Kind == TKind::Acked ? e.Value + t - e.AtMs : e.Value});
      if (e.EveryMs == 0 || t + e.EveryMs > e.UntilMs) break;
    }
  TKeepalive keepalive;
  TLinkProgress link;
  keepalive.Start(0, ARow.IntervalSecs);
  const auto deadline = [&](int64_t ANowMs) {
    const int64_t at = keepalive.NextDeadline(Ns(ANowMs));
    return at == kNever ? INT64_MAX : at / kNsPerMs;
  };
  bool up = true;
  int64_t tickAt = deadline(0);
  TRun run;
  for (;;) {
    const int64_t eventAt = pending.empty() ? INT64_MAX : pending.begin()->first;
    const bool tickDue = up && tickAt < ALimitMs;
    if (eventAt <= ALimitMs && (!tickDue || eventAt <= tickAt)) {
      const auto [at, e] = *pending.begin();
      pending.erase(pending.begin());
      switch (e.Kind) {
        case TKind::Sent: keepalive.Sent(Ns(at)); break;
        case TKind::Received: link.LastReceived = Ns(at); break;
        case TKind::Acked: link.Acknowledged = e.Value; break;
        case TKind::Waiting: link.BytesWaiting = e.Value != 0; break;
        case TKind::Written:
          keepalive.Sent(Ns(at));
          keepalive.PingWritten(Ns(at), e.Value < 0 ? std::nullopt : std::optional<uint64_t>(e.Value));
          break;
        case TKind::Start:
          link = {};
          keepalive.Start(Ns(at), static_cast<int32_t>(e.Value));
          up = true;
          tickAt = deadline(at);
          break;
      }
      continue;
    }
    if (!tickDue) break;
    const int64_t now = tickAt;
    const TAction action = keepalive.Tick(Ns(now), link);
    if (action != None) run.Actions.push_back({now, action});
    if (action == Ping && ARow.WriteAfterMs >= 0) {
      pending.emplace(now + ARow.WriteAfterMs, TEvent{0, TKind::Written, ARow.PingEnd});
      if (ARow.AnswerAfterMs >= 0)
        pending.emplace(now + ARow.WriteAfterMs + ARow.AnswerAfterMs, TEvent{0, TKind::Received});
    }
    up = action != Dead;  // the link is gone until a Start
    tickAt = deadline(now);
    if (tickAt <= now) {
      ADD_FAILURE() << "after a tick at " << now << " ms the next deadline is not ahead: the driver ticks again "
                    << "at once and is told " << testing::PrintToString(keepalive.Tick(Ns(now), link));
      return run;
    }
  }
  if (up) run.Last = keepalive.Tick(Ns(ALimitMs), link);
  return run;
}

void Check(const TRow& ARow) {
  SCOPED_TRACE(ARow.Name);
  TRun run = Drive(ARow, ARow.EndMs);
  if (run.Last != None) run.Actions.push_back({ARow.EndMs, run.Last});
  EXPECT_EQ(run.Actions, ARow.Expected);
  // The driver slept until each: a look a millisecond earlier finds nothing due.
  for (const TDue& due : run.Actions) EXPECT_EQ(Drive(ARow, due.AtMs - 1).Last, None) << "at " << due.AtMs - 1 << " ms";
}

}  // namespace

TEST(SessionClock, KeepaliveOnAVirtualClock) {
  using enum TKind;
  const std::vector<TRow> rows = {
      {"a quiet link is pinged after half the interval, and lives while answered", 4, 0, 100, -1, {}, 9000,
       {{2000, Ping}, {4000, Ping}, {6000, Ping}, {8000, Ping}}},
      {"a silent broker: dead once the interval has passed without a byte", 4, 0, -1, -1, {}, 9000,
       {{2000, Ping}, {4000, Dead}}},
      {"dead needs the whole interval silent, not only half of it after the PINGREQ", 4, 0, -1, -1,
       {{1000, Received}}, 9000, {{2000, Ping}, {5000, Dead}}},
      {"interval 3: half of it is one whole second", 3, 0, -1, -1, {}, 9000, {{1000, Ping}, {3000, Dead}}},
      {"interval 1: a ping each second still", 1, 0, -1, -1, {}, 9000, {{1000, Ping}, {2000, Dead}}},
      {"a PINGREQ is asked from when it is written, not queued", 4, 1000, -1, -1, {}, 9000,
       {{2000, Ping}, {5000, Dead}}},
      {"a PINGREQ never written is never asked, and no second one is queued", 4, -1, -1, -1, {}, 60000,
       {{2000, Ping}}},
      {"only sends (QoS 0 each 300 ms): pinged for want of receiving, never dead", 4, 0, 100, -1,
       {{300, Sent, 0, 300, 12000}}, 12000,
       {{2000, Ping}, {4100, Ping}, {6200, Ping}, {8300, Ping}, {10400, Ping}}},
      // Bytes, not packets: a PUBLISH trickling in is life just the same.
      {"only receives, no PINGRESP at all: pinged for want of sending, never dead", 4, 0, -1, -1,
       {{350, Received, 0, 300, 11000}}, 11000,
       {{2000, Ping}, {4000, Ping}, {6000, Ping}, {8000, Ping}, {10000, Ping}}},
      {"a PINGREQ that reached the host goes unanswered: half the interval from then", 4, 0, -1, 100,
       {{2200, Acked, 100}}, 9000, {{2000, Ping}, {5000, Dead}}},
      // Acknowledgements past the PINGREQ's end are the client's own bytes leaving.
      {"a steady publisher's own bytes are no life for a silent broker", 4, 0, -1, 2000,
       {{300, Sent, 0, 300, 9000}, {300, Acked, 300, 300, 9000}}, 9000, {{2000, Ping}, {5000, Dead}}},
      {"a PINGREQ behind bytes draining lives while they move, and half the interval after", 4, 0, -1, 1000,
       {{2500, Acked, 200}, {3500, Acked, 400}, {4500, Acked, 600}, {5500, Acked, 800}}, 12000,
       {{2000, Ping}, {8000, Dead}}},
      {"a PINGREQ that drained through is asked from its arrival", 4, 0, -1, 1000,
       {{2500, Acked, 200}, {3500, Acked, 400}, {4500, Acked, 600}, {5500, Acked, 800}, {6500, Acked, 1000}},
       12000, {{2000, Ping}, {9000, Dead}}},
      {"a PINGRESP waiting behind a long OnMessage is life", 4, 0, -1, -1,
       {{500, Sent, 0, 500, 8500}, {2100, Waiting, 1}, {7000, Waiting, 0}, {7000, Received}}, 8500,
       {{2000, Ping}, {6000, Ping}}},
      // The old link's acknowledgements would hide the new one's growing.
      {"Start begins a new link: its interval, its quiet, its acknowledgements", 4, 0, -1, 3000,
       {{500, Acked, 3000},
        {5500, Start, 2},
        {7000, Acked, 1000},
        {8000, Acked, 2000},
        {9000, Acked, 2500}},
       12000, {{2000, Ping}, {5000, Dead}, {6500, Ping}, {10500, Dead}}},
      {"a link silent since 1.5 s is dead at 5.5 s, not at the next whole second", 4, 0, -1, -1,
       {{1500, Received}}, 9000, {{2000, Ping}, {5500, Dead}}},
      // The answer waiting counts; the next PINGREQ, owed for want of sending,
      // waits for an answer of its own: one an interval while the reader is stuck.
      {"a PINGREQ owed while the answer waits unread is one, and not answered by itself", 4, 0, -1, -1,
       {{2100, Waiting, 1}}, 9000, {{2000, Ping}, {4001, Ping}, {8001, Ping}}},
      {"keepalive 0: neither pings nor dies in an hour", 0, 0, -1, -1, {{1000, Sent}}, 3'600'000, {}},
      {"a negative keepalive is none", -5, 0, -1, -1, {}, 3'600'000, {}},
  };
  for (const TRow& row : rows) Check(row);
  TKeepalive off;
  off.Start(Ns(1000), 0);
  EXPECT_EQ(off.NextDeadline(Ns(1000)), kNever);
  // A write may wait while the link takes nothing for the interval, counted
  // from its last progress; without keepalive, for ever.
  EXPECT_EQ(off.WriteDeadline(Ns(1000)), kNever);
  TKeepalive on;
  on.Start(0, 4);
  EXPECT_EQ(on.WriteDeadline(Ns(7250)), Ns(11250));
}

TEST(SessionClock, ReconnectBackoff) {
  // 'N': the next attempt's delay, 'U': a link up, 'L': lost, 'R': a new Connect.
  struct TStep {
    char Op;
    int64_t AtMs = 0;
    int32_t DelaySecs = 0;
  };
  const std::vector<std::pair<const char*, std::vector<TStep>>> rows = {
      {"doubles to a minute and stays there",
       {{'N', 0, 1}, {'N', 0, 2}, {'N', 0, 4}, {'N', 0, 8}, {'N', 0, 16}, {'N', 0, 32}, {'N', 0, 60}, {'N', 0, 60}}},
      {"a link up for 10 s brings a second back",
       {{'N', 0, 1}, {'N', 0, 2}, {'U', 100'000}, {'L', 110'000}, {'N', 0, 1}, {'N', 0, 2}}},
      {"a shorter link does not",
       {{'N', 0, 1}, {'N', 0, 2}, {'U', 100'000}, {'L', 109'999}, {'N', 0, 4}, {'U', 200'000}, {'L', 201'000},
        {'N', 0, 8}}},
      {"a new Connect does", {{'N', 0, 1}, {'N', 0, 2}, {'N', 0, 4}, {'R'}, {'N', 0, 1}}},
  };
  for (const auto& [name, steps] : rows)
    for (const uint32_t random : {0u, 1u, 250u, 0x9E3779B9u, UINT32_MAX}) {
      SCOPED_TRACE(testing::Message() << name << ", random " << random);
      TBackoff backoff;
      for (const TStep& s : steps) {
        if (s.Op == 'U') backoff.LinkUp(Ns(s.AtMs));
        if (s.Op == 'L') backoff.LinkLost(Ns(s.AtMs));
        if (s.Op == 'R') backoff.Reset();
        if (s.Op != 'N') continue;
        const TBackoff::TAttempt attempt = backoff.Next(random);
        EXPECT_EQ(attempt.DelaySecs, s.DelaySecs);
        // Up to a quarter more, and every share of it within reach.
        EXPECT_GE(attempt.WaitMs, int64_t{s.DelaySecs} * 1000);
        EXPECT_LE(attempt.WaitMs, int64_t{s.DelaySecs} * 1250);
        if (random == 0) {
          EXPECT_EQ(attempt.WaitMs, int64_t{s.DelaySecs} * 1000);
        }
        if (random == 250 && s.DelaySecs == 1) {
          EXPECT_EQ(attempt.WaitMs, 1250);
        }
      }
    }
}

// The program's rules: the delays grow from the first by the multiplier up to
// the maximum, each wait is the delay plus at most the jitter's share of
// it, and the attempts after a loss are counted against the limit.
TEST(SessionClock, ReconnectPolicy) {
  // 'N': the next attempt (its delay and number), 'X': none is left,
  // 'U': a link up, 'L': lost, 'R': a new Connect.
  struct TStep {
    char Op;
    int64_t AtMs = 0;
    int64_t DelayMs = 0;
    int32_t Number = 0;
  };
  struct TRow {
    const char* Name;
    TBackoffRules Rules;
    std::vector<TStep> Steps;
  };
  const std::vector<TRow> rows = {
      {"from 100 ms, tripled, up to 2 s",
       {100, 2000, 3, 0.25, 0},
       {{'N', 0, 100, 1}, {'N', 0, 300, 2}, {'N', 0, 900, 3}, {'N', 0, 2000, 4}, {'N', 0, 2000, 5}}},
      {"by half again, no jitter",
       {1000, 10'000, 1.5, 0, 0},
       {{'N', 0, 1000, 1}, {'N', 0, 1500, 2}, {'N', 0, 2250, 3}, {'N', 0, 3375, 4}, {'N', 0, 5062, 5}}},
      {"steady, the jitter as long as the delay",
       {250, 250, 1, 1, 0},
       {{'N', 0, 250, 1}, {'N', 0, 250, 2}, {'N', 0, 250, 3}}},
      {"three attempts, counted again after each loss; a short link keeps the delay",
       {1000, 60'000, 2, 0.25, 3},
       {{'N', 0, 1000, 1}, {'N', 0, 2000, 2}, {'N', 0, 4000, 3}, {'X'}, {'U', 100'000}, {'L', 101'000},
        {'N', 0, 8000, 1}, {'N', 0, 16'000, 2}, {'N', 0, 32'000, 3}, {'X'}, {'U', 200'000}, {'L', 210'000},
        {'N', 0, 1000, 1}, {'R'}, {'N', 0, 1000, 1}, {'N', 0, 2000, 2}, {'N', 0, 4000, 3}, {'X'}}},
      {"one attempt", {50, 50, 1, 0.25, 1}, {{'N', 0, 50, 1}, {'X'}, {'U', 0}, {'L', 5}, {'N', 0, 50, 1}, {'X'}}},
      {"a maximum INT32_MAX ms away",
       {INT32_MAX / 4, INT32_MAX, 8, 1, 0},
       {{'N', 0, INT32_MAX / 4, 1}, {'N', 0, INT32_MAX, 2}, {'N', 0, INT32_MAX, 3}}},
  };
  for (const TRow& row : rows)
    for (const uint32_t random : {0u, 1u, 12u, 250u, 0x9E3779B9u, UINT32_MAX}) {
      SCOPED_TRACE(testing::Message() << row.Name << ", random " << random);
      TBackoff backoff;
      backoff.Start(row.Rules);
      for (const TStep& s : row.Steps) {
        if (s.Op == 'U') backoff.LinkUp(Ns(s.AtMs));
        if (s.Op == 'L') backoff.LinkLost(Ns(s.AtMs));
        if (s.Op == 'R') backoff.Reset();
        if (s.Op == 'X') {
          EXPECT_TRUE(backoff.Exhausted());
        }
        if (s.Op != 'N') continue;
        EXPECT_FALSE(backoff.Exhausted());
        const TBackoff::TAttempt attempt = backoff.Next(random);
        EXPECT_EQ(attempt.DelayMs, s.DelayMs);
        EXPECT_EQ(attempt.Number, s.Number);
        const auto most = static_cast<int64_t>(static_cast<double>(s.DelayMs) * row.Rules.Jitter);
        EXPECT_GE(attempt.WaitMs, s.DelayMs);
        EXPECT_LE(attempt.WaitMs, s.DelayMs + most);
        // The whole share is within reach, and no random number brings more.
        if (random == 0) {
          EXPECT_EQ(attempt.WaitMs, s.DelayMs);
        }
        if (random == most) {
          EXPECT_EQ(attempt.WaitMs, s.DelayMs + most);
        }
      }
    }
}

TEST(SessionClock, ConnackDeadline) {
  // Waits take milliseconds in an int: a longer time-out is cut to what one holds.
  const std::vector<std::pair<int32_t, int64_t>> rows = {
      {10, 10'000}, {1, 1000}, {0, 0}, {-1, 0}, {INT32_MIN, 0}, {INT32_MAX, INT_MAX}};
  for (const int64_t now : {int64_t{0}, Ns(123'456)})
    for (const auto& [secs, ms] : rows) EXPECT_EQ(ConnackDeadline(now, secs) - now, Ns(ms)) << secs << " s";
}

// When the reader pauses before a read: only inside a stream of reads that
// come close together with no request of the program's between them. Each
// row's script: 'r' a read that brought bytes, 'q' a request sent, digits
// the microseconds that pass; then whether the next read would pause.
TEST(SessionClock, ReadPacer) {
  const std::vector<std::pair<const char *, bool>> rows = {
      {"r", false},                                   // a lone message
      {"r 10 r 10 r", false},                         // a burst of three on a quiet link
      {"r 10 r 10 r 10 r", true},                     // the fourth in a row: a stream
      {"r 900 r 900 r 900 r", true},                  // still a stream at 1 ms apart
      {"r 10 r 10 r 10 r 1001 r", false},             // a gap ends it
      {"r 10 r 10 q r 10 r", false},                  // a request's answer starts it again
      {"r 10 r 10 r 10 r q", false},                  // a request now: its answer is read at once
      {"r 10 r 10 r 10 r q r 10 r 10 r 10 r", true},  // a request answered, the stream goes on
  };
  for (const auto& [script, pauses] : rows) {
    TReadPacer pacer;
    int64_t now = 5 * kNsPerSecond;
    std::istringstream steps(script);
    for (std::string step; steps >> step;) {
      if (step == "r")
        pacer.Received(now);
      else if (step == "q")
        pacer.Requested();
      else
        now += std::stoll(step) * 1000;
    }
    EXPECT_EQ(pacer.Streaming(), pauses) << script;
  }
}
