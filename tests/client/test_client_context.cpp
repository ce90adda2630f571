// Many clients on one I/O context against a real mosquitto: they connect
// without a thread each, share a fan-out, come back with their
// subscriptions after the broker is killed and restarted, and leave.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ClientTestKit.h"
#include "PrivateBroker.h"
#include "uQORMQTTClient.h"
#include "uQORMQTTIOContext.h"

using namespace qor;

namespace {

// What one client of the crowd saw, shared with its handlers.
struct TSeen {
  std::atomic<int> Messages{0};
  std::atomic<int> Losses{0};
  std::atomic<int> Connects{0};
};

// The crowd's sum of one counter.
int Sum(const std::vector<std::unique_ptr<TSeen>>& ASeen, std::atomic<int> TSeen::*ACounter) {
  int n = 0;
  for (const auto& seen : ASeen) n += ((*seen).*ACounter).load();
  return n;
}

}  // namespace

TEST(IOContext, HundredsOfClientsShareAFanOutAndComeBackAfterTheBrokerIsKilled) {
  // Fewer under the sanitizers, which make every client many times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr int kClients = 100;
#else
  constexpr int kClients = 300;
#endif
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  PrintLogTailOnFailure("the broker", broker.LogPath(), 60);
  TQORMQTTIOContextOptions options;
  options.Threads = 2;
  options.Connecting = 8;
  TQORMQTTIOContext context(options);
  const size_t threadsBefore = Threads();
  const std::string topic = "qortest/context/" + std::to_string(getpid());

  std::vector<std::unique_ptr<TQORMQTTClient>> clients;
  std::vector<std::unique_ptr<TSeen>> seen;
  std::unique_ptr<TClientRecorder> first;  // its log explains a failure
  for (int i = 0; i < kClients; ++i) {
    auto client = std::make_unique<TQORMQTTClient>();
    Aim(*client, broker.Port(), "qor-context-" + std::to_string(getpid()) + "-" + std::to_string(i));
    client->IOContext = &context;
    client->Reconnect.InitialDelayMs = 200;
    if (i == 0) first = std::make_unique<TClientRecorder>(*client, "the first client");
    auto s = std::make_unique<TSeen>();
    TSeen* counters = s.get();
    client->OnMessage = [counters, then = client->OnMessage](const std::string& ATopic, const std::string& APayload,
                                                             TQORMQTTQoS AQoS) {
      if (then) then(ATopic, APayload, AQoS);
      ++counters->Messages;
    };
    client->OnDisconnect = [counters, then = client->OnDisconnect](TQORMQTTReasonCode ACode, const std::string& AText) {
      if (then) then(ACode, AText);
      ++counters->Losses;
    };
    client->OnConnected = [counters](bool) { ++counters->Connects; };
    clients.push_back(std::move(client));
    seen.push_back(std::move(s));
  }

  std::vector<TQORMQTTHandle> connects;
  for (auto& client : clients) connects.push_back(client->ConnectAsync());
  for (const TQORMQTTHandle& h : connects) {
    ASSERT_TRUE(h.Wait(std::chrono::seconds(60)));
    ASSERT_TRUE(h.Result().Succeeded()) << h.Result().ReasonString;
  }
  EXPECT_EQ(context.Clients(), static_cast<size_t>(kClients));
  // No client brought a thread: the context's two loops and eight connect
  // threads serve them all (one more: a sanitizer's own, started lazily).
  EXPECT_LE(Threads(), threadsBefore + 1);

  std::vector<TQORMQTTHandle> subscriptions;
  for (auto& client : clients) subscriptions.push_back(client->SubscribeAsync(topic, mqQoS1));
  for (const TQORMQTTHandle& h : subscriptions) ASSERT_TRUE(h.Get().Succeeded());
  TQORMQTTClient publisher;
  Aim(publisher, broker.Port(), "qor-context-publisher-" + std::to_string(getpid()));
  publisher.Reconnect.InitialDelayMs = 200;
  publisher.Connect();
  publisher.Publish(topic, "before", mqQoS1);
  ASSERT_TRUE(WaitUntil([&] { return Sum(seen, &TSeen::Messages) == kClients; }, 30000))
      << Sum(seen, &TSeen::Messages) << " of " << kClients;

  // Every client loses its link at once and comes back with its subscription.
  broker.Kill();
  ASSERT_TRUE(WaitUntil([&] { return Sum(seen, &TSeen::Losses) == kClients; }, 30000))
      << Sum(seen, &TSeen::Losses) << " of " << kClients << " losses";
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(WaitUntil([&] { return Sum(seen, &TSeen::Connects) == 2 * kClients; }, 60000))
      << Sum(seen, &TSeen::Connects) - kClients << " of " << kClients << " back";
  ASSERT_TRUE(WaitUntil([&] { return publisher.IsConnected(); }, 30000));
  // The resubscriptions went before the clients said they were back; their
  // SUBACKs may not have: one publication is tried until all have it.
  ASSERT_TRUE(WaitUntil(
      [&] {
        publisher.Publish(topic, "after", mqQoS0);
        return WaitUntil(
            [&] { return std::all_of(seen.begin(), seen.end(), [](const auto& s) { return s->Messages >= 2; }); },
            500);
      },
      30000))
      << Sum(seen, &TSeen::Messages) - kClients << " of " << kClients << " resubscribed";

  for (auto& client : clients) client->Disconnect();
  EXPECT_EQ(context.Clients(), 0u);
  for (auto& client : clients) EXPECT_EQ(client->ConnectionStatus(), mqDisconnected);
  publisher.Disconnect();
}

// How ConnectAsync ends when a Disconnect comes first (refusals and
// unreachable brokers: FakeBrokerContext), and a client left attached to a
// context that has gone.
TEST(IOContext, ADisconnectEndsAConnectUnderWayOrQueued) {
  auto context = std::make_unique<TQORMQTTIOContext>(TQORMQTTIOContextOptions{1, 1});
  TQORMQTTClient bad;
  bad.IOContext = context.get();
  bad.BrokerPort = 0;
  EXPECT_THROW(bad.ConnectAsync(), EInvalidArgument);  // at once, as from Connect

  // One connect at a time: the first waits for a CONNACK that never comes,
  // the second waits its turn. A Disconnect ends each.
  TFakeBroker silent;
  TQORMQTTClient waiting, queued;
  Aim(waiting, silent.Port(), "qor-context-waiting");
  Aim(queued, silent.Port(), "qor-context-queued");
  waiting.IOContext = queued.IOContext = context.get();
  const TQORMQTTHandle first = waiting.ConnectAsync();
  const std::unique_ptr<TFakeConnection> link = silent.Accept();
  ASSERT_TRUE(link);
  const TQORMQTTHandle second = queued.ConnectAsync();
  // A client destroyed while its connect waits its turn takes it out of the queue.
  auto doomed = std::make_unique<TQORMQTTClient>();
  Aim(*doomed, silent.Port(), "qor-context-doomed");
  doomed->IOContext = context.get();
  const TQORMQTTHandle third = doomed->ConnectAsync();
  doomed.reset();
  queued.Disconnect();
  waiting.Disconnect();
  for (const TQORMQTTHandle& h : {first, second, third}) {
    ASSERT_TRUE(h.Wait(std::chrono::seconds(5)));
    EXPECT_EQ(h.Result().Outcome, ocDiscarded);
    // The first may still have been in its TCP connect.
    EXPECT_NE(h.Result().ReasonString.find("cancelled"), std::string::npos) << h.Result().ReasonString;
  }

  // A client still attached when its context goes is no longer served, and
  // its Disconnect returns (nothing left to wait for, nothing freed under it).
  TFakeBroker broker;
  TQORMQTTClient left;
  Aim(left, broker.Port(), "qor-context-left");
  left.IOContext = context.get();
  const TQORMQTTHandle connecting = left.ConnectAsync();
  const std::unique_ptr<TFakeConnection> accepted = broker.Accept();
  ASSERT_TRUE(accepted);
  ASSERT_FALSE(accepted->ReadPacket().empty());  // its CONNECT
  accepted->Send(Connack(0));
  ASSERT_TRUE(connecting.Get().Succeeded());
  context.reset();
  left.Disconnect();
  EXPECT_EQ(left.ConnectionStatus(), mqDisconnected);
}

// A handler on a loop publishes a payload large enough to be sent from its
// own memory: it neither waits for the loop it runs on nor stalls the others.
TEST(IOContext, AHandlerPublishesALargePayloadWithoutWaitingForItsOwnLoop) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  TQORMQTTIOContext context(TQORMQTTIOContextOptions{1, 1});
  TQORMQTTClient relay, sink;
  const std::string base = "qortest/context-relay/" + std::to_string(getpid());
  Aim(relay, broker.Port(), "qor-context-relay");
  Aim(sink, broker.Port(), "qor-context-sink");
  relay.IOContext = sink.IOContext = &context;
  const std::string large(256 * 1024, 'x');
  relay.OnMessage = [&](const std::string&, const std::string&, TQORMQTTQoS) {
    relay.Publish(base + "/out", large, mqQoS1);
  };
  TClientRecorder received(sink, "the sink");
  relay.Connect();
  sink.Connect();
  ASSERT_TRUE(relay.SubscribeAsync(base + "/in", mqQoS0).Get().Succeeded());
  ASSERT_TRUE(sink.SubscribeAsync(base + "/out", mqQoS1).Get().Succeeded());
  sink.Publish(base + "/in", "go", mqQoS0);
  ASSERT_TRUE(received.WaitForMessages(1, 10000));
  EXPECT_EQ(received.Messages()[0].Payload.size(), large.size());
  relay.Disconnect();
  sink.Disconnect();
}
