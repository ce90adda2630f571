// The client under the conditions people run it in, against the scripted
// fake broker: a slow handler, a packet arriving slowly, a bad topic, a
// broker that keeps ending the link.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <limits>
#include <thread>

#include "ClientTestKit.h"
#include "uQORFormat.h"

using namespace qor;
using namespace std::chrono_literals;

namespace {

constexpr const char* kKeepaliveTimeout = "No data received for 2s \xE2\x80\x94 keepalive timeout, reconnecting";

// What holds the broker's answers back past the keepalive of 2 s; it answers
// every PINGREQ, and neither side sends anything else.
struct TKeepaliveCase {
  const char* Name;
  int HandlerMs;    // how long OnMessage takes
  bool SlowPacket;  // one PUBLISH trickled over 4.5 s
};

struct TKeepaliveRun {
  size_t Pings = 0;
  size_t Disconnects = 0;
  size_t Messages = 0;
  bool TimeoutLogged = false;
};

TKeepaliveRun RunKeepaliveCase(const TKeepaliveCase& ACase) {
  TFakeBroker broker;
  TQORMQTTClient client;
  Aim(client, broker.Port(), ACase.Name);
  client.KeepAliveSecs = 2;
  TClientRecorder recorder(client, ACase.Name);
  recorder.SetOnMessage([&](const TReceived&) { std::this_thread::sleep_for(std::chrono::milliseconds(ACase.HandlerMs)); });
  auto conn = ConnectToFake(client, broker);
  TKeepaliveRun run;
  if (!conn) return run;
  std::atomic<bool> done{false};
  // The broker's side: holds its answers back as the case says, then answers pings.
  std::thread brokerSide([&] {
    if (ACase.HandlerMs > 0) conn->Send(BuildPublishPacket("slow", std::string_view("h"), 0, 0, 5, false, false));
    if (ACase.SlowPacket) conn->SendInPieces(BuildPublishPacket("slow", std::string(3000, 's'), 0, 0, 5, false, false), 100, 150);
    while (!done) {
      const TBytes packet = conn->ReadPacket(50);
      if (packet.empty() || packet[0] != 0xC0) continue;
      ++run.Pings;
      conn->Send({0xD0, 0x00});
    }
  });
  std::this_thread::sleep_for(5s);
  done = true;
  brokerSide.join();
  run.Disconnects = recorder.Disconnects().size();
  run.Messages = recorder.Messages().size();
  run.TimeoutLogged = recorder.HasLine(kKeepaliveTimeout);
  client.Disconnect();
  return run;
}

}  // namespace

// Bytes arriving, not whole packets, are life, and so are bytes waiting
// unread: the rules are shown on the virtual clock (test_session_clock.cpp);
// these show that the client hands them what the socket tells. Either hold-back
// outlasts the 3 s within which a link whose answers went unseen would be
// given up (keepalive 2 s, looked at each second). Each case runs 5 s, both at once.
TEST(Field, KeepaliveHoldsALinkWhoseAnswersArriveSlowlyOrWaitUnread) {
  const TKeepaliveCase cases[] = {
      {"slow-handler", 4000, false},
      {"slow-packet", 0, true},
  };
  std::vector<std::future<TKeepaliveRun>> runs;
  for (const TKeepaliveCase& c : cases) runs.push_back(std::async(std::launch::async, RunKeepaliveCase, c));
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(cases[i].Name);
    const TKeepaliveRun run = runs[i].get();
    EXPECT_GE(run.Pings, 1u);
    EXPECT_FALSE(run.TimeoutLogged);
    EXPECT_EQ(run.Disconnects, 0u);
    EXPECT_EQ(run.Messages, 1u);
  }
}

// A name or filter MQTT does not allow is refused by the call, naming the
// rule, before an identifier is taken or a byte sent: a broker would end
// the link, and the request would go again after every reconnect.
TEST_F(FakeBrokerTest, TopicNamesAndFiltersAreCheckedByTheCall) {
  struct TCase {
    std::string Text;
    bool Filter;
    const char* Refusal;  // null: accepted
  };
  const TCase cases[] = {
      {"a/#", false, "Topic name \"a/#\" contains the wildcard '#'; wildcards belong in topic filters only"},
      {"a/+/b", false, "Topic name \"a/+/b\" contains the wildcard '+'; wildcards belong in topic filters only"},
      {"", false, "Topic name is empty; MQTT requires at least one character"},
      {std::string("a\0b", 3), false, "Topic name contains a NUL character, which MQTT forbids"},
      {"ok\xC3\x28", false, "Topic name is not valid UTF-8 (byte 2)"},
      {"\xED\xA0\x80", true, "Topic filter is not valid UTF-8 (byte 0)"},
      {"", true, "Topic filter is empty; MQTT requires at least one character"},
      {"a/#/b", true, "Topic filter \"a/#/b\": '#' must stand alone as the last level"},
      {"a#", true, "Topic filter \"a#\": '#' must stand alone as the last level"},
      {"a+/b", true, "Topic filter \"a+/b\": '+' must stand alone in its level"},
      {"$share/g", true, "Shared subscription \"$share/g\" needs a share name and a topic filter: $share/name/filter"},
      {"$share//a", true, "Shared subscription \"$share//a\" needs a share name and a topic filter: $share/name/filter"},
      {"$share/g+/a", true, "Shared subscription \"$share/g+/a\": the share name must not hold a wildcard"},
      {"a//b", false, nullptr},
      {"/", false, nullptr},
      {"\xC3\xBC/\xE6\x97\xA5", false, nullptr},
      {"sport/+/player1/#", true, nullptr},
      {"+", true, nullptr},
      {"#", true, nullptr},
      {"$share/g/a/#", true, nullptr},
  };
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  uint16_t expectedId = 1;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    // Each call with the first byte of the packet it sends.
    std::vector<std::pair<std::function<uint16_t()>, uint8_t>> calls;
    if (c.Filter) {
      calls = {{[&] { return Client.Subscribe(c.Text, mqQoS1); }, 0x82},
               {[&] { return Client.Unsubscribe(c.Text); }, 0xA2}};
    } else {
      calls = {{[&] { return Client.Publish(c.Text, "x", mqQoS1); }, 0x32}};
    }
    for (const auto& [call, firstByte] : calls) {
      if (c.Refusal) {
        try {
          call();
          ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
          EXPECT_EQ(e.Message(), c.Refusal);
        }
        continue;
      }
      // Accepted: the next identifier, so no refused call took one.
      EXPECT_EQ(call(), expectedId++);
      const TBytes packet = conn->ReadPacket(2000);
      ASSERT_FALSE(packet.empty());
      EXPECT_EQ(packet[0], firstByte);
    }
  }
  // Nothing of a refused one went out.
  EXPECT_TRUE(conn->ReadPacket(300).empty());
}

// What CONNECT cannot carry is refused by Connect, naming the field, before
// a connection is opened.
TEST_F(FakeBrokerTest, ArgumentsMQTTCannotCarryAreRefusedByConnect) {
  struct TCase {
    std::function<void(TQORMQTTClient&)> Set;
    const char* Refusal;
  };
  const TCase cases[] = {
      {[](TQORMQTTClient& c) { c.KeepAliveSecs = 70000; }, "KeepAliveSecs is 70000; MQTT carries 0 to 65535 seconds"},
      {[](TQORMQTTClient& c) { c.KeepAliveSecs = -1; }, "KeepAliveSecs is -1; MQTT carries 0 to 65535 seconds"},
      {[](TQORMQTTClient& c) {
         c.ProtocolVersion = 4;
         c.Password = "secret";
       },
       "Password is set without a Username; MQTT 3.1.1 sends a password only with a user name"},
      {[](TQORMQTTClient& c) {
         c.Will.emplace();
         c.Will->Topic = "last/#";
       },
       "Will topic \"last/#\" contains the wildcard '#'; wildcards belong in topic filters only"},
      {[](TQORMQTTClient& c) { c.Reconnect.InitialDelayMs = 0; },
       "Reconnect.InitialDelayMs is 0; it must be at least 1 (milliseconds)"},
      {[](TQORMQTTClient& c) { c.Reconnect.MaxDelayMs = 999; },
       "Reconnect.MaxDelayMs is 999; it must be at least Reconnect.InitialDelayMs (1000)"},
      {[](TQORMQTTClient& c) { c.Reconnect.Multiplier = 0.5; },
       "Reconnect.Multiplier is 0.5; it must be a finite number of at least 1"},
      {[](TQORMQTTClient& c) { c.Reconnect.Multiplier = std::numeric_limits<double>::infinity(); },
       "Reconnect.Multiplier is inf; it must be a finite number of at least 1"},
      {[](TQORMQTTClient& c) { c.Reconnect.Jitter = std::numeric_limits<double>::quiet_NaN(); },
       "Reconnect.Jitter is nan; it must be from 0 to 1"},
      {[](TQORMQTTClient& c) { c.Reconnect.Jitter = 1.5; }, "Reconnect.Jitter is 1.5; it must be from 0 to 1"},
      {[](TQORMQTTClient& c) { c.Reconnect.MaxAttempts = -1; },
       "Reconnect.MaxAttempts is -1; it must be 0 (no limit) or more"},
      {[](TQORMQTTClient& c) { c.ReceiveBatchMicros = 10001; },
       "ReceiveBatchMicros is 10001; at most 10000 microseconds"},
  };
  for (const TCase& c : cases) {
    TQORMQTTClient client;
    Aim(client, Broker.Port(), "arguments");
    c.Set(client);
    try {
      client.Connect();
      ADD_FAILURE() << "accepted: " << c.Refusal;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.Refusal);
    }
    EXPECT_EQ(client.ConnectionStatus(), mqDisconnected);
  }
  EXPECT_FALSE(Broker.Accept(200));
}

// A broker that ends every link at once (a refused request, a session
// taken over) does not make the client reconnect ever faster: the delay
// grows until a link stays up. A reconnect resumes the session CleanStart
// began, rather than throw away what the broker keeps for SessionExpiryInterval.
TEST_F(FakeBrokerTest, ReconnectsBackOffAcrossShortLinksAndResumeTheSession) {
  Client.SessionExpiryInterval = 60;
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto first = Broker.Accept();
  ASSERT_TRUE(first);
  const TBytes connect = first->ReadPacket();
  ASSERT_GT(connect.size(), 9u);
  EXPECT_EQ(connect[9] & 0x02, 0x02);  // clean start
  first->Send(Connack(0));
  connecting.get();
  first->Send({0xE0, 0x02, 0x8E, 0x00});  // session taken over
  auto second = Broker.Accept(4000);
  ASSERT_TRUE(second);
  const TBytes reconnect = second->ReadPacket();
  ASSERT_GT(reconnect.size(), 9u);
  EXPECT_EQ(reconnect[9] & 0x02, 0x00);  // the session is resumed
  EXPECT_TRUE(Recorder.HasLine("Reconnecting without clean start, to resume the session"));
  second->Send(Connack(0, 5, true));
  ASSERT_TRUE(Recorder.WaitForLine("Reconnected successfully"));
  second->Send({0xE0, 0x02, 0x8E, 0x00});
  ASSERT_TRUE(Recorder.WaitForDisconnects(2));
  EXPECT_TRUE(Recorder.WaitForLine("Reconnect attempt 1 in 2s..."));
  EXPECT_EQ(Recorder.CountLines("Reconnect attempt 1 in 1s..."), 1u);
  Client.Disconnect();
}

// A 3.1.1-only broker (RabbitMQ) closes the link on an MQTT 5.0 CONNECT
// without a CONNACK: Connect tries 3.1.1 once; a second close raises with
// the first attempt's reason and leaves nothing learnt.
TEST(FakeBroker, ABrokerClosingOnAnMQTT5ConnectGetsOneMQTT311Attempt) {
  for (const bool secondCloses : {false, true}) {
    SCOPED_TRACE(secondCloses ? "closed twice" : "3.1.1 accepted");
    TFakeBroker broker;
    TQORMQTTClient client;
    Aim(client, broker.Port(), "fake-client");
    TClientRecorder recorder(client);
    auto connecting = std::async(std::launch::async, [&] { client.Connect(); });
    auto first = broker.Accept();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->ReadPacket(), BuildConnectPacket(5, true, 60, "fake-client", "", "", 0));
    first->Close();
    auto second = broker.Accept();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->ReadPacket(), BuildConnectPacket(4, true, 60, "fake-client", "", "", 0));
    const std::string where = "127.0.0.1:" + std::to_string(broker.Port());
    if (secondCloses) {
      second->Close();
      try {
        connecting.get();
        ADD_FAILURE() << "connected";
      } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "Connection to " + where + " closed during the handshake: closed by the broker");
      }
      EXPECT_EQ(client.ProtocolLevel(), 5);
      continue;
    }
    second->Send(Connack(0, 4));
    connecting.get();
    EXPECT_EQ(client.ProtocolLevel(), 4);
    const auto lines = recorder.Lines();
    const auto retry = std::find(lines.begin(), lines.end(), "Retrying with MQTT 3.1.1");
    ASSERT_NE(retry, lines.end());
    EXPECT_EQ(*(retry - 1), "Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1");
    EXPECT_EQ(*(retry + 1), "Connecting to " + where + " (SSL=False, protocol=4)");
  }
}

// Disconnect stops the reader after the message its handler is working on:
// what the stream had buffered is not handed to a slow handler one by one.
TEST_F(FakeBrokerTest, DisconnectDeliversNothingMoreToASlowHandler) {
  Recorder.SetOnMessage([](const TReceived&) { std::this_thread::sleep_for(500ms); });
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  TBytes burst;
  for (int i = 0; i < 5; ++i) {
    const TBytes p = BuildPublishPacket("t", std::to_string(i), 0, 0, 5, false, false);
    burst.insert(burst.end(), p.begin(), p.end());
  }
  conn->Send(burst);
  ASSERT_TRUE(Recorder.WaitForMessages(1));
  Client.Disconnect();
  EXPECT_EQ(Recorder.Messages().size(), 1u);
}

// A broker that takes nothing more (its host still up, its reader stuck): a
// large write waits while the link moves; once it has taken nothing for the
// keepalive interval, the write ends as a broken link with its own reason.
TEST_F(FakeBrokerTest, AWriteTheLinkTakesNothingOfEndsTheLink) {
  Client.KeepAliveSecs = 1;
  // Far beyond what the socket buffers on both ends hold; the broker never
  // reads. Made first, so that the write begins as the session does (under a
  // sanitizer, filling 64 MiB takes long enough for a PINGREQ to go first
  // and the keepalive to find the link dead before the write does).
  const std::string payload(64 << 20, 'x');
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  EXPECT_THROW(Client.Publish("big", payload, mqQoS0), Exception);
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_TRUE(Recorder.HasLine(Format("Write failed: Write to 127.0.0.1:%d timed out", Broker.Port())));
  EXPECT_EQ(Recorder.Disconnects()[0].Code, mqrcUnspecifiedError);
}

// Two publishers at the bound of what the broker's Receive Maximum holds
// back: each acknowledgement makes room that either may take; the other
// waits again rather than be told the link is gone while it is not.
TEST_F(FakeBrokerTest, PublishersRacingForHeldRoomWaitAndNeverFailWhileConnected) {
  TQORMQTTClient& client = Client;
  auto connecting = std::async(std::launch::async, [&] { client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  conn->ReadPacket();
  conn->Send({0x20, 0x06, 0x00, 0x00, 0x03, 0x21, 0x00, 0x01});  // Receive Maximum 1
  connecting.get();
  // 2 × 12 000 × 1500 bytes, past the 16 MiB held: small ones, so that the
  // room one acknowledgement makes is soon taken again.
  constexpr int kEach = 12000;
  const std::string payload(1500, 'h');
  std::atomic<int> raised{0};
  const auto publish = [&] {
    for (int i = 0; i < kEach; ++i) try {
        client.Publish("held", payload, mqQoS1);
      } catch (const Exception&) {
        ++raised;
      }
  };
  auto first = std::async(std::launch::async, publish);
  auto second = std::async(std::launch::async, publish);
  for (int acked = 0; acked < 2 * kEach;) {
    const TBytes packet = conn->ReadPacket();
    if (packet.empty()) break;  // the client stopped sending: shown by the count below
    size_t at = 1;  // past the remaining length, the topic "held": the identifier
    while (packet[at] & 0x80) ++at;
    at += 1 + 2 + 4;
    conn->Send({0x40, 0x02, packet[at], packet[at + 1]});
    ++acked;
  }
  first.get();
  second.get();
  EXPECT_EQ(raised.load(), 0);
  EXPECT_TRUE(WaitUntil([&] { return client.PendingCount() == 0; }));
  EXPECT_TRUE(Recorder.Disconnects().empty());
}
