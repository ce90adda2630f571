// The client against a real mosquitto on links people have: a slow uplink
// carrying a large publication, and a broker that stalls while the client
// keeps publishing. Figures are printed; the assertions are about outcomes.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include "ClientTestKit.h"
#include "PrivateBroker.h"

using namespace qor;
using namespace std::chrono_literals;

namespace {

std::string ClientId(const std::string& AName) { return AName + "-" + std::to_string(getpid()); }

// This process moves to a network namespace of its own whose loopback the
// kernel limits to ARate (tc's token bucket): every link of the test is as
// slow as a real uplink. Undone when it goes, for tests run after it in the
// same process.
class TSlowLoopback {
 public:
  explicit TSlowLoopback(const std::string& ARate) {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return;
    // The MTU of an Ethernet link: the token bucket passes no packet larger
    // than its burst, and loopback's 64 KiB ones would all be dropped.
    FReady = std::system(("ip link set lo mtu 1500 up && tc qdisc add dev lo root tbf rate " + ARate +
                          " burst 64kb latency 400ms")
                             .c_str()) == 0;
  }
  ~TSlowLoopback() {
    if (FReady) std::ignore = std::system("tc qdisc del dev lo root");
  }
  bool Ready() const { return FReady; }

 private:
  bool FReady = false;
};

}  // namespace

// A write that takes far longer than the keepalive still completes while
// its bytes flow: only a write that makes no progress for the interval fails.
TEST(FieldLinks, ALargePublicationCrossesASlowLink) {
  TSlowLoopback link("8mbit");
  if (!link.Ready()) GTEST_SKIP() << "needs root for a network namespace and tc";
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  TQORMQTTClient client;
  Aim(client, broker.Port(), ClientId("slow-link"));
  client.KeepAliveSecs = 3;
  TClientRecorder recorder(client);
  std::promise<uint8_t> completed;
  client.OnPublishComplete = [&](uint16_t, TQORMQTTReasonCode AReason) { completed.set_value(AReason); };
  client.Connect();
  const auto start = std::chrono::steady_clock::now();
  try {
    client.Publish("slow/" + std::to_string(getpid()), std::string(12 << 20, 'p'), mqQoS1);
  } catch (const Exception& e) {
    FAIL() << e.Message();
  }
  auto result = completed.get_future();
  ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
  EXPECT_LT(result.get(), 0x80);  // accepted (0x10: nobody subscribes)
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ figures ] 12 MiB at QoS 1 over 8 Mbit/s with keepalive 3 s: acknowledged after %.1f s\n", seconds);
  EXPECT_GT(seconds, 3.0 * 2);  // the link was as slow as it was meant to be
  EXPECT_TRUE(recorder.Disconnects().empty());
  client.Disconnect();
}

// Publications the broker's Receive Maximum holds back count against the
// same bound as the write queue: against a stalled broker, Publish waits
// once 16 MiB are held, and raises when the link is found dead.
TEST(FieldLinks, PublicationsHeldByAStalledBrokerStayBounded) {
  TPrivateBroker broker(0, "max_inflight_messages 1\n");
  ASSERT_TRUE(broker.Start());
  TQORMQTTClient client;
  Aim(client, broker.Port(), ClientId("held"));
  client.KeepAliveSecs = 2;
  TClientRecorder recorder(client);
  client.Connect();
  const std::string topic = "held/" + std::to_string(getpid());
  kill(broker.Pid(), SIGSTOP);
  // The first in flight, never acknowledged; the second held, and every later one behind it.
  client.Publish(topic, "first", mqQoS1);
  client.Publish(topic, "second", mqQoS1);
  const size_t rssBefore = RssKiB();
  std::atomic<int> accepted{0};
  std::string raised;
  std::thread flood([&] {
    const std::string payload(64 * 1024, 'h');
    for (int i = 0; i < 3000; ++i) {
      try {
        client.Publish(topic, payload, mqQoS0);
        ++accepted;
      } catch (const Exception& e) {
        raised = e.Message();
        return;
      }
    }
  });
  flood.join();  // bounded: the keepalive finds the stalled link dead within seconds
  const size_t rssAfter = RssKiB();
  kill(broker.Pid(), SIGCONT);
  std::printf("[ figures ] against a stalled broker: %d × 64 KiB accepted, RSS %zu → %zu KiB\n", accepted.load(),
              rssBefore, rssAfter);
  EXPECT_EQ(raised, "MQTT client is not connected");
  EXPECT_LE(accepted, 16 * 1024 / 64 + 1);
  EXPECT_TRUE(recorder.HasLine("No data received for 2s \xE2\x80\x94 keepalive timeout, reconnecting"));
  client.Disconnect();
}
