// Nothing the client accepted is lost while the broker stops, dies or hangs:
// a publisher with an offline queue and a subscriber that keeps its session,
// both against a private mosquitto that persists its state, through each
// kind of outage. QOR_DURABLE_SECONDS lengthens the runs (default 6 s each);
// QOR_DURABLE_CLEAN=1 adds the same runs with clean sessions, for figures.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "ClientTestKit.h"
#include "PrivateBroker.h"

using namespace qor;
using namespace std::chrono_literals;

namespace {

int EnvInt(const char* AName, int ADefault) {
  const char* value = std::getenv(AName);
  return value && *value ? std::atoi(value) : ADefault;
}

// One QoS's stream: which sequence numbers the publisher had accepted, and
// how often each arrived.
struct TTally {
  std::vector<char> Accepted;
  std::vector<int> Seen;
  int Reordered = 0;  // arrived after a later one had
  int Lost() const {
    int n = 0;
    for (size_t i = 0; i < Accepted.size(); ++i) n += Accepted[i] && Seen[i] == 0;
    return n;
  }
  int Duplicated() const {
    int n = 0;
    for (const int count : Seen) n += count > 1;
    return n;
  }
  int AcceptedCount() const {
    int n = 0;
    for (const char a : Accepted) n += a;
    return n;
  }
};

struct TOutage {
  const char* Name;
  int Signal;  // SIGSTOP: paused past the keepalive, then continued; else ended and restarted
};

void Prepare(TQORMQTTClient& AClient, uint16_t APort, const std::string& AId, bool AClean) {
  Aim(AClient, APort, AId);
  AClient.CleanStart = AClean;
  AClient.SessionExpiryInterval = 300;
  AClient.KeepAliveSecs = 2;
  AClient.ConnectTimeoutSecs = 2;
}

// Publishes numbered pairs (QoS 1, QoS 2) at 2 000 messages a second for
// ASeconds while the broker suffers AOutage after one second.
void RunThrough(const TOutage& AOutage, bool AClean, int ASeconds) {
  SCOPED_TRACE(std::string(AOutage.Name) + (AClean ? ", clean sessions" : ", sessions kept"));
  TPrivateBroker broker(0, "persistence true\npersistence_location %DIR%/\nautosave_interval 1\n"
                           "max_queued_messages 0\n");
  ASSERT_TRUE(broker.Start());
  const std::string tag = std::to_string(getpid()) + "-" + std::to_string(AOutage.Signal) + (AClean ? "c" : "k");
  TQORMQTTClient pub, sub;
  Prepare(pub, broker.Port(), "dur-pub-" + tag, AClean);
  Prepare(sub, broker.Port(), "dur-sub-" + tag, AClean);
  pub.OfflineQueueLimit = 10000;
  constexpr int kPairsPerSecond = 1000;
  const size_t total = static_cast<size_t>(ASeconds * kPairsPerSecond);
  TTally tally[2];
  for (TTally& t : tally) {
    t.Accepted.assign(total, 0);
    t.Seen.assign(total, 0);
  }
  std::mutex seenMutex;
  int highest[2] = {-1, -1};
  TClientRecorder rp(pub, "the publisher"), rs(sub, "the subscriber");
  sub.OnMessage = [&](const std::string&, const std::string& APayload, TQORMQTTQoS AQoS) {
    const size_t n = std::stoul(APayload);
    if (AQoS < mqQoS1 || n >= total) return;
    std::lock_guard<std::mutex> guard(seenMutex);
    TTally& t = tally[AQoS - 1];
    if (t.Seen[n]++ == 0 && static_cast<int>(n) < highest[AQoS - 1]) ++t.Reordered;
    highest[AQoS - 1] = std::max(highest[AQoS - 1], static_cast<int>(n));
  };
  const std::string topic = "qortest/durable/" + tag + "/";
  sub.Connect();
  sub.Subscribe(topic + "1", mqQoS1);
  sub.Subscribe(topic + "2", mqQoS2);
  ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=2 reason=$02"));
  pub.Connect();
  // Saved every second: a broker killed from now on comes back with both sessions.
  std::this_thread::sleep_for(1500ms);

  std::atomic<size_t> refused{0};
  std::thread publisher([&] {
    const auto start = std::chrono::steady_clock::now();
    for (size_t n = 0; n < total;) {
      const auto due = static_cast<size_t>(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * kPairsPerSecond);
      for (; n < std::min(due, total); ++n)
        for (int q = 0; q < 2; ++q) {
          try {
            pub.Publish(topic + std::to_string(q + 1), std::to_string(n), static_cast<TQORMQTTQoS>(q + 1));
            tally[q].Accepted[n] = 1;
          } catch (const Exception&) {
            ++refused;  // offline queue full: not accepted, so not owed
          }
        }
      std::this_thread::sleep_for(5ms);
    }
  });
  std::this_thread::sleep_for(1s);
  if (AOutage.Signal == SIGSTOP) {
    kill(broker.Pid(), SIGSTOP);
    std::this_thread::sleep_for(4s);  // twice the keepalive
    kill(broker.Pid(), SIGCONT);
  } else {
    broker.Stop(AOutage.Signal);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(broker.Start());
  }
  publisher.join();
  // A broker that died or a clean session may have lost some for good.
  const bool mayLose = AClean || AOutage.Signal == SIGKILL;
  const auto settled = [&] {
    std::lock_guard<std::mutex> guard(seenMutex);
    return pub.PendingCount() == 0 && (mayLose || (tally[0].Lost() == 0 && tally[1].Lost() == 0));
  };
  const bool done = WaitUntil(settled, 30000);
  if (mayLose) std::this_thread::sleep_for(1s);  // what is still on its way to the subscriber
  std::lock_guard<std::mutex> guard(seenMutex);
  for (int q = 0; q < 2; ++q)
    std::printf("[ figures ] %s, %s, QoS %d: %d accepted, %d lost, %d duplicated, %d reordered, %zu refused\n",
                AOutage.Name, AClean ? "clean sessions" : "sessions kept", q + 1, tally[q].AcceptedCount(),
                tally[q].Lost(), tally[q].Duplicated(), tally[q].Reordered, refused.load());
  // Every publication the broker was handed was seen through.
  EXPECT_TRUE(done) << "pending " << pub.PendingCount();
  EXPECT_GT(rp.CountLines("Reconnected successfully"), 0u);
  if (AClean) return;  // a new session has forgotten what the subscriber missed meanwhile
  EXPECT_TRUE(rs.HasLine("CONNACK received \xE2\x80\x94 session_present=1 reason=$00"));
  if (AOutage.Signal != SIGKILL) {
    EXPECT_EQ(tally[0].Lost(), 0);
    EXPECT_EQ(tally[1].Lost(), 0);
    EXPECT_EQ(tally[1].Duplicated(), 0);
  } else {
    // A broker that died comes back with its last save: what it had
    // acknowledged since and not yet passed on is gone with it (a few
    // messages at most), and what it had delivered since may come again.
    for (const TTally& t : tally) EXPECT_LE(t.Lost() * 100, t.AcceptedCount());
  }
}

}  // namespace

TEST(Durable, NothingAcceptedIsLostWhileTheBrokerStopsDiesOrHangs) {
  const TOutage outages[] = {{"SIGTERM and restart", SIGTERM},
                             {"SIGKILL and restart", SIGKILL},
                             {"SIGSTOP past the keepalive", SIGSTOP}};
  const int seconds = EnvInt("QOR_DURABLE_SECONDS", 6);
  for (const bool clean : {false, true}) {
    if (clean && EnvInt("QOR_DURABLE_CLEAN", 0) == 0) break;
    for (const TOutage& outage : outages) RunThrough(outage, clean, seconds);
  }
}

// Each QoS 1 and 2 publication, subscription and unsubscription ends in an
// event with the broker's code, refusals included (mosquitto's ACL denies
// publishing to "closed": 0x87, not authorized).
TEST(Durable, TheResultEventsCarryTheBrokersCodes) {
  const std::string acl = "/tmp/qor-acl-" + std::to_string(getpid());
  std::ofstream(acl) << "topic readwrite qortest/open/#\n";
  TPrivateBroker broker(0, "acl_file " + acl + "\n");
  ASSERT_TRUE(broker.Start());
  TQORMQTTClient client;
  Aim(client, broker.Port(), "results-" + std::to_string(getpid()));
  TClientRecorder recorder(client);
  std::mutex mutex;
  std::map<uint16_t, std::vector<TQORMQTTReasonCode>> results;  // by packet identifier
  std::vector<bool> connected;
  const auto keep = [&](uint16_t AId, std::vector<TQORMQTTReasonCode> ACodes) {
    std::lock_guard<std::mutex> guard(mutex);
    results[AId] = std::move(ACodes);
  };
  client.OnConnected = [&](bool ASessionPresent) { connected.push_back(ASessionPresent); };
  client.OnPublishComplete = [&](uint16_t AId, TQORMQTTReasonCode ACode) { keep(AId, {ACode}); };
  client.OnSubscribeComplete = [&](uint16_t AId, const std::vector<TQORMQTTReasonCode>& ACodes) { keep(AId, ACodes); };
  client.OnUnsubscribeComplete = client.OnSubscribeComplete;
  client.Connect();
  EXPECT_EQ(connected, std::vector<bool>{false});
  const std::map<uint16_t, std::vector<TQORMQTTReasonCode>> expected = {
      {client.Subscribe("qortest/open/#", mqQoS2), {static_cast<TQORMQTTReasonCode>(2)}},
      // mosquitto grants it, and filters what it delivers.
      {client.Subscribe("qortest/closed", mqQoS1), {static_cast<TQORMQTTReasonCode>(1)}},
      {client.Publish("qortest/open/1", "x", mqQoS1), {mqrcSuccess}},
      {client.Publish("qortest/open/2", "x", mqQoS2), {mqrcSuccess}},
      {client.Publish("qortest/closed", "x", mqQoS1), {mqrcNotAuthorized}},
      {client.Publish("qortest/closed", "x", mqQoS2), {mqrcNotAuthorized}},
      {client.Unsubscribe("qortest/open/#"), {mqrcSuccess}},
  };
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(mutex);
    return results.size() == expected.size();
  }));
  std::lock_guard<std::mutex> guard(mutex);
  EXPECT_EQ(results, expected);
  EXPECT_EQ(client.PendingCount(), 0u);
  std::remove(acl.c_str());
}

// Publications made before Connect wait in the offline queue and go out in
// order once connected; one beyond the limit is refused. Disconnect
// discards what is still queued and says so.
TEST(Durable, TheOfflineQueueSendsInOrderAndDisconnectDiscardsIt) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  TQORMQTTClient pub, sub;
  Aim(pub, broker.Port(), "offline-pub-" + std::to_string(getpid()));
  Aim(sub, broker.Port(), "offline-sub-" + std::to_string(getpid()));
  TClientRecorder rp(pub, "the publisher"), rs(sub, "the subscriber");
  std::vector<std::pair<uint16_t, TQORMQTTReasonCode>> ended;
  pub.OnPublishComplete = [&](uint16_t AId, TQORMQTTReasonCode ACode) { ended.emplace_back(AId, ACode); };
  sub.Connect();
  sub.Subscribe("qortest/offline", mqQoS2);
  ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=1 reason=$02"));

  pub.OfflineQueueLimit = 3;
  EXPECT_THROW(TQORMQTTClient().Publish("t", "no queue", mqQoS1), Exception);
  EXPECT_EQ(pub.Publish("qortest/offline", "a", mqQoS1), 1);
  EXPECT_EQ(pub.Publish("qortest/offline", "b", mqQoS0), 0);
  EXPECT_EQ(pub.Publish("qortest/offline", "c", mqQoS2), 2);
  try {
    pub.Publish("qortest/offline", "d", mqQoS1);
    ADD_FAILURE() << "a fourth publication was queued";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Offline queue full (3 messages)");
  }
  pub.Connect();
  ASSERT_TRUE(rs.WaitForMessages(3));
  std::vector<std::string> payloads;
  for (const TReceived& m : rs.Messages()) payloads.push_back(m.Payload);
  EXPECT_EQ(payloads, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(WaitUntil([&] { return pub.PendingCount() == 0; }));

  pub.Disconnect();
  const uint16_t id = pub.Publish("qortest/offline", "e", mqQoS1);
  pub.Publish("qortest/offline", "f", mqQoS0);
  pub.Disconnect();
  EXPECT_TRUE(rp.HasLine("Disconnect discarded 2 publication(s) queued or not acknowledged"));
  EXPECT_EQ(ended.back(), std::make_pair(id, mqrcUnspecifiedError));
  EXPECT_EQ(pub.PendingCount(), 0u);
}
