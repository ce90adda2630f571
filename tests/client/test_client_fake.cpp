// The client against a scripted fake broker: the exchanges a real broker
// will not produce on demand (refusals, silence, malformed packets, closing
// mid-packet), byte for byte.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <tuple>

#include "ClientTestKit.h"
#include "uQORFormat.h"
#include "uQORMQTTIOContext.h"
#include "uQORResolver.h"

using namespace qor;
using namespace std::chrono_literals;

namespace {

TBytes Publish(const std::string& ATopic, const std::string& APayload, uint8_t AQoS, uint16_t AId,
               int ALevel = 5, bool ADup = false) {
  return BuildPublishPacket(ATopic, std::string_view(APayload), AQoS, AId,
                            static_cast<uint8_t>(ALevel), false, ADup);
}



// Plays a broker that refuses MQTT 5.0 with 0x84 and answers the 3.1.1
// retry with ASecondReason; AClient.Connect() runs on the returned future.
std::future<void> ConnectThroughFallback(TQORMQTTClient& AClient, TFakeBroker& ABroker,
                                         uint8_t ASecondReason,
                                         std::unique_ptr<TFakeConnection>& ASecond) {
  auto connecting = std::async(std::launch::async, [&AClient] { AClient.Connect(); });
  auto first = ABroker.Accept();
  EXPECT_TRUE(first);
  if (!first) return connecting;
  first->ReadPacket();
  first->Send(Connack(0x84));
  ASecond = ABroker.Accept();
  EXPECT_TRUE(ASecond);
  if (!ASecond) return connecting;
  ASecond->ReadPacket();
  ASecond->Send(Connack(ASecondReason, 4));
  return connecting;
}

}  // namespace

TEST_F(FakeBrokerTest, PlainConnectLogsEveryStepInOrderAndSendsTheConfiguredConnect) {
  Client.KeepAliveSecs = 45;
  Client.SessionExpiryInterval = 300;
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->ReadPacket(), BuildConnectPacket(5, true, 45, "fake-client", "", "", 300));
  EXPECT_TRUE(Client.IsConnected());  // the stream is open before the CONNACK
  EXPECT_EQ(Client.ConnectionStatus(), mqConnecting);
  conn->Send(Connack(0));
  connecting.get();
  EXPECT_EQ(Recorder.Lines(),
            (std::vector<std::string>{
                "Connecting to 127.0.0.1:" + std::to_string(Broker.Port()) + " (SSL=False, protocol=5)",
                "TCP connected", "Reader thread started", "Keepalive thread started",
                "CONNECT packet sent", "CONNACK received \xE2\x80\x94 session_present=0 reason=$00",
                "MQTT session established"}));
  EXPECT_EQ(Client.ConnectionStatus(), mqConnected);
  EXPECT_TRUE(Client.IsConnected());

  // A second Connect on a connected client returns at once and sends nothing.
  Client.Connect();
  EXPECT_TRUE(conn->ReadPacket(300).empty());

  Client.Disconnect();
  EXPECT_EQ(conn->ReadPacket(), TBytes({0xE0, 0x02, 0x00, 0x00}));
  EXPECT_FALSE(Client.IsConnected());
  EXPECT_EQ(Recorder.Lines().back(), "Disconnected by user");
  EXPECT_TRUE(Recorder.Disconnects().empty());  // an orderly disconnect raises no event
}

// 0x84, and 0x01: what a 3.1.1-only broker answers to a 5.0 CONNECT.
TEST(FakeBroker, FallsBackToMQTT311OnceWhenTheBrokerRefusesMQTT5) {
  for (const uint8_t refusal : {uint8_t{0x84}, uint8_t{0x01}}) {
    TFakeBroker broker;
    TQORMQTTClient client;
    Aim(client, broker.Port(), "fake-client");
    TClientRecorder recorder(client);
    char refusedLine[64];
    std::snprintf(refusedLine, sizeof refusedLine, "CONNACK received \xE2\x80\x94 session_present=0 reason=$%02X",
                  refusal);
    auto connecting = std::async(std::launch::async, [&] { client.Connect(); });
    auto first = broker.Accept();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->ReadPacket()[8], 5);
    first->Send(Connack(refusal, refusal == 0x84 ? 5 : 4));  // a 3.1.1 broker answers in 3.1.1
    auto second = broker.Accept();
    ASSERT_TRUE(second);
    const TBytes connect = second->ReadPacket();
    EXPECT_EQ(connect, BuildConnectPacket(4, true, 60, "fake-client", "", "", 0));
    second->Send(Connack(0, 4));
    connecting.get();
    EXPECT_TRUE(first->WaitClosed());  // the refused stream was released

    const std::string port = std::to_string(broker.Port());
    EXPECT_EQ(recorder.Lines(),
              (std::vector<std::string>{
                  "Connecting to 127.0.0.1:" + port + " (SSL=False, protocol=5)", "TCP connected",
                  "Reader thread started", "Keepalive thread started", "CONNECT packet sent",
                  refusedLine,
                  "Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1",
                  "Retrying with MQTT 3.1.1",
                  "Connecting to 127.0.0.1:" + port + " (SSL=False, protocol=4)", "TCP connected",
                  "CONNECT packet sent", "CONNACK received \xE2\x80\x94 session_present=0 reason=$00",
                  "MQTT session established"}));
    EXPECT_EQ(client.ProtocolLevel(), 4);

    // Packets now go out in 3.1.1 framing, and a later Connect stays at level 4.
    EXPECT_EQ(client.Subscribe("a/b", mqQoS1), 1);
    EXPECT_EQ(second->ReadPacket(), BuildSubscribePacket("a/b", 1, 1, 4));
    client.Disconnect();
    auto again = std::async(std::launch::async, [&] { client.Connect(); });
    auto third = broker.Accept();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->ReadPacket()[8], 4);
    third->Send(Connack(0, 4));
    again.get();
    EXPECT_TRUE(recorder.HasLine("Connecting to 127.0.0.1:" + port + " (SSL=False, protocol=4)"));
  }
}

TEST_F(FakeBrokerTest, ProtocolVersion4StartsAt311AndOtherValuesAreRefused) {
  Client.ProtocolVersion = 3;
  EXPECT_THROW(Client.Connect(), Exception);
  Client.ProtocolVersion = 4;
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->ReadPacket(), BuildConnectPacket(4, true, 60, "fake-client", "", "", 0));
  conn->Send(Connack(0, 4));
  connecting.get();
  EXPECT_EQ(Client.ProtocolLevel(), 4);
}

TEST_F(FakeBrokerTest, A84AtLevel4IsARefusalAfterExactlyTwoAttempts) {
  std::unique_ptr<TFakeConnection> second;
  auto connecting = ConnectThroughFallback(Client, Broker, 0x84, second);
  try {
    connecting.get();
    FAIL() << "Connect did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.ClassName(), "EBrokerRefused");
    EXPECT_EQ(e.Message(), "Broker refused connection (reason=$84)");
  }
  EXPECT_FALSE(Broker.Accept(300));
  EXPECT_EQ(Recorder.CountLines("Retrying with MQTT 3.1.1"), 1u);
  EXPECT_EQ(Recorder.CountLines("CONNACK received \xE2\x80\x94 session_present=0 reason=$84"), 2u);
  EXPECT_EQ(Recorder.CountLines("Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1"), 1u);
}

TEST_F(FakeBrokerTest, RefusalLeavesTheClientDisconnectedWithoutAStream) {
  for (const uint8_t code : {uint8_t{0x87}, uint8_t{0x86}, uint8_t{0x02}}) {
    auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
    auto conn = Broker.Accept();
    ASSERT_TRUE(conn);
    conn->ReadPacket();
    conn->Send(Connack(code));
    char expected[64];
    std::snprintf(expected, sizeof expected, "Broker refused connection (reason=$%02X)", code);
    try {
      connecting.get();
      FAIL() << "Connect did not raise";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), expected);
    }
    EXPECT_FALSE(Client.IsConnected());
    EXPECT_EQ(Client.ConnectionStatus(), mqDisconnected);
    EXPECT_EQ(Client.LastConnectReasonCode(), code);
    EXPECT_EQ(Client.ProtocolLevel(), 5);  // only 0x84 and 0x01 lower the level
    EXPECT_TRUE(conn->WaitClosed());
  }
  EXPECT_THROW(Client.Publish("t", "x", mqQoS0), Exception);
}

// Seconds are turned into milliseconds without wrapping (undefined behaviour
// that the sanitizer build stops on) and the longest waits still work.
TEST(Limits, TheLargestTimeOutsStillConnect) {
  for (const auto& [connectTimeout, keepAlive] : {std::pair{INT32_MAX, 60}, std::pair{10, 65535}}) {
    TFakeBroker broker;
    TQORMQTTClient client;
    Aim(client, broker.Port(), "limits");
    client.ConnectTimeoutSecs = connectTimeout;
    client.KeepAliveSecs = keepAlive;
    const auto conn = ConnectToFake(client, broker);
    EXPECT_EQ(client.ConnectionStatus(), mqConnected) << connectTimeout << " " << keepAlive;
  }
}

TEST_F(FakeBrokerTest, SilentBrokerTimesOutAndALateConnackChangesNothing) {
  Client.ConnectTimeoutSecs = 1;
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  conn->ReadPacket();
  try {
    connecting.get();
    FAIL() << "Connect did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Timeout waiting for CONNACK");
  }
  // The failed attempt is undone: not connected, its stream closed.
  EXPECT_FALSE(Client.IsConnected());
  EXPECT_EQ(Client.ConnectionStatus(), mqDisconnected);
  EXPECT_TRUE(conn->WaitClosed());
  conn->Send(Connack(0));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Client.ConnectionStatus(), mqDisconnected);
  EXPECT_FALSE(Recorder.HasLine("MQTT session established"));
}

TEST_F(FakeBrokerTest, ConnackWithFiveByteLengthSignalsNothing) {
  Client.ConnectTimeoutSecs = 1;
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  conn->ReadPacket();
  conn->Send({0x20, 0x80, 0x80, 0x80, 0x80, 0x01});
  try {
    connecting.get();
    FAIL() << "Connect did not raise";
  } catch (const Exception& e) {
    // At once, with what was wrong, rather than after ConnectTimeoutSecs.
    EXPECT_EQ(e.Message(), "Malformed packet: remaining length longer than four bytes");
  }
  for (const auto& line : Recorder.Lines()) EXPECT_EQ(line.find("CONNACK received"), std::string::npos);
}

TEST_F(FakeBrokerTest, UnknownPacketTypesAreSkippedAndLogged) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Send({0xF0, 0x03, 0xAA, 0xBB, 0xCC});  // AUTH, with a body to skip
  conn->Send({0x00, 0x00});
  conn->Send({0xD0, 0x00});  // PINGRESP: read only if the bodies were skipped exactly
  EXPECT_TRUE(Recorder.WaitForLine("PINGRESP received"));
  EXPECT_TRUE(Recorder.HasLine("Unknown packet type $0F - discarded"));
  EXPECT_TRUE(Recorder.HasLine("Unknown packet type $00 - discarded"));
  EXPECT_TRUE(Client.IsConnected());
}

TEST_F(FakeBrokerTest, InboundQoS1IsAcknowledgedBeforeDelivery) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  std::promise<bool> ackedFirst;
  Recorder.SetOnMessage([&](const TReceived&) {
    ackedFirst.set_value(Recorder.HasLine("PUBACK sent for packet id 258"));
  });
  conn->Send(Publish("in/q1", "payload", 1, 258));
  EXPECT_EQ(conn->ReadPacket(), TBytes({0x40, 0x04, 0x01, 0x02, 0x00, 0x00}));
  EXPECT_TRUE(ackedFirst.get_future().get());
  ASSERT_TRUE(Recorder.WaitForMessages(1));
  EXPECT_EQ(Recorder.Messages()[0].Topic, "in/q1");
  EXPECT_EQ(Recorder.Messages()[0].Payload, "payload");
  EXPECT_EQ(Recorder.Messages()[0].QoS, mqQoS1);
  EXPECT_TRUE(Recorder.HasLine("PUBLISH received topic=\"in/q1\" QoS=1 retain=False payload_len=7"));
}

// Publications that arrive together are acknowledged together (a few
// writes rather than one each: one segment, one wake-up of the broker), each
// still before its handler runs. A handler that throws among them ends the
// link, but every message acknowledged by then is delivered first. Slow
// handlers get no batch: a Disconnect during one delivers no more than the
// running handler's message, and nothing undelivered was acknowledged.
TEST_F(FakeBrokerTest, PublicationsArrivingTogetherAreAcknowledgedTogetherBeforeTheirHandlers) {
  struct TCase {
    const char* Name;
    int SleepMs;
    int ThrowAt;       // 0: none throws
    int DisconnectAt;  // 0: no Disconnect
  };
  for (const TCase& c : {TCase{"fast handlers", 0, 0, 0}, TCase{"the fifth handler throws", 0, 5, 0},
                         TCase{"slow handlers, Disconnect during the third", 100, 0, 3}}) {
    SCOPED_TRACE(c.Name);
    TQORMQTTClient client;
    TClientRecorder recorder(client);
    Aim(client, Broker.Port(), "batch");
    auto conn = ConnectToFake(client, Broker);
    ASSERT_TRUE(conn);
    TBytes together;
    for (uint16_t id = 1; id <= 20; ++id) {
      const TBytes publish = Publish("t", std::to_string(id), 1, id);
      together.insert(together.end(), publish.begin(), publish.end());
    }
    TBytes seen;  // what the broker has read so far
    int reads = 0;
    const auto drain = [&] {
      for (TBytes b; !(b = conn->ReadSome(0)).empty(); ++reads) seen.insert(seen.end(), b.begin(), b.end());
    };
    // Written by the handlers, read once they are done (a count they raise
    // last, a log line logged after them, or Disconnect's join).
    std::vector<size_t> ackedBefore;
    std::vector<std::chrono::steady_clock::duration> took;
    std::atomic<int> handled{0}, started{0};
    recorder.SetOnMessage([&](const TReceived& AMessage) {
      const auto start = std::chrono::steady_clock::now();
      started = std::stoi(AMessage.Payload);
      drain();
      ackedBefore.push_back(seen.size() / 6);
      std::this_thread::sleep_for(std::chrono::milliseconds(c.SleepMs));
      took.push_back(std::chrono::steady_clock::now() - start);
      ++handled;
      if (started == c.ThrowAt) throw std::runtime_error("handler fails");
    });
    conn->Send(together);
    if (c.DisconnectAt) {
      ASSERT_TRUE(WaitUntil([&] { return started == c.DisconnectAt; }));
      client.Disconnect();
      drain();
      EXPECT_EQ(recorder.Messages().size(), 3u);
      ASSERT_GE(seen.size(), 18u);
      TBytes acks;
      for (uint16_t id = 1; id <= 3; ++id) {
        const TBytes ack = BuildPubAckPacket(id, 0, 5);
        acks.insert(acks.end(), ack.begin(), ack.end());
      }
      EXPECT_EQ(TBytes(seen.begin(), seen.begin() + 18), acks);
      EXPECT_EQ(seen.size() > 18 ? seen[18] : 0, 0xE0);  // then the DISCONNECT, and no more acknowledgements
      continue;
    }
    if (c.ThrowAt) {
      // What was acknowledged was delivered; the rest the broker sends again.
      EXPECT_TRUE(recorder.WaitForLine("Reader thread error: std::runtime_error: handler fails"));
      drain();
      EXPECT_GE(recorder.Messages().size(), 5u);
      EXPECT_LE(seen.size() / 6, recorder.Messages().size());
      client.Disconnect();
      continue;
    }
    ASSERT_TRUE(WaitUntil([&] { return handled == 20; }));
    std::vector<std::string> order;
    for (const TReceived& m : recorder.Messages()) order.push_back(m.Payload);
    EXPECT_EQ(order.size(), 20u);
    EXPECT_EQ(order.back(), "20");
    for (size_t k = 0; k < ackedBefore.size(); ++k) EXPECT_GE(ackedBefore[k], k + 1) << "handler " << k + 1;
    // Batches shrink as handlers slow down (a loaded machine, a sanitizer):
    // handlers that mostly take well under a millisecond get batches.
    std::sort(took.begin(), took.end());
    if (took[took.size() / 2] < std::chrono::microseconds(250)) {
      EXPECT_LE(reads, 15);
    }
    client.Disconnect();
  }
}

// Receiving by pulling: messages wait for Receive, in order, and are
// acknowledged as they are taken; a full queue holds the reader back; a
// Receive waiting on another thread returns empty when Disconnect runs,
// also one for a reader that waits for room; what the queue holds stays for
// Receive, unacknowledged once its link has gone.
TEST_F(FakeBrokerTest, ReceiveTakesInOrderAcknowledgesThenAndIsWokenByDisconnect) {
  EXPECT_THROW(Client.TryReceive(), Exception);  // no queue: the callbacks deliver
  Client.ReceiveQueueLimit = 2;
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  for (uint16_t id = 1; id <= 3; ++id) conn->Send(Publish("t", std::to_string(id), 1, id));
  ASSERT_TRUE(WaitUntil([&] { return Client.ReceiveQueueCount() == 2; }));
  EXPECT_TRUE(conn->ReadPacket(300).empty());  // nothing acknowledged before it is taken
  for (uint16_t id = 1; id <= 3; ++id) {
    const std::optional<TQORMQTTMessage> m = Client.Receive(5s);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Payload, std::to_string(id));
    EXPECT_EQ(conn->ReadPacket(), BuildPubAckPacket(id, 0, 5));
    EXPECT_LE(Client.ReceiveQueueCount(), 2u);
  }
  EXPECT_TRUE(Recorder.Messages().empty());  // OnMessage never ran
  auto waiting = std::async(std::launch::async, [&] { return Client.Receive(60s); });
  Client.Disconnect();
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(waiting.get());

  // One message in a queue of one, the next waiting for room: Disconnect
  // ends the wait, and the first is the program's still.
  Client.ReceiveQueueLimit = 1;
  conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Send(Publish("t", "9", 1, 9));
  conn->Send(Publish("t", "10", 1, 10));
  ASSERT_TRUE(Recorder.WaitForLine("PUBLISH received topic=\"t\" QoS=1 retain=False payload_len=2"));
  Client.Disconnect();
  EXPECT_TRUE(Recorder.HasLine(
      "PUBLISH packet_id=10 QoS=1 dropped: its link went while it waited for room in the receive queue"));
  EXPECT_TRUE(Recorder.HasLine("Disconnect leaves 1 received message(s) in the receive queue"));
  const std::optional<TQORMQTTMessage> left = Client.TryReceive();
  ASSERT_TRUE(left);
  EXPECT_EQ(left->Payload, "9");
  EXPECT_TRUE(Recorder.HasLine("PUBACK for packet id 9 not sent: the message came on a link that has gone"));
  EXPECT_FALSE(Client.Receive(60s));  // disconnected and empty: at once
}

TEST_F(FakeBrokerTest, PublishEdgeCases) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  // Retain set, empty payload.
  conn->Send({0x31, 0x04, 0x00, 0x01, 0x72, 0x00});
  conn->Send({0x30, 0x04, 0x00, 0x01, 0x75, 0x00});
  ASSERT_TRUE(Recorder.WaitForMessages(2));
  const auto m = Recorder.Messages();
  EXPECT_EQ(m[0].Topic, "r");
  EXPECT_EQ(m[0].Payload, "");
  EXPECT_EQ(m[1].Topic, "u");
  EXPECT_TRUE(Recorder.HasLine("PUBLISH received topic=\"r\" QoS=0 retain=True payload_len=0"));
  EXPECT_TRUE(conn->ReadPacket(300).empty());  // nothing acknowledged
  // Level 5 with an empty topic and a topic alias, which this client (Topic
  // Alias Maximum 0) never allowed: not delivered, the link ends with 0x94.
  conn->Send({0x30, 0x08, 0x00, 0x00, 0x03, 0x23, 0x00, 0x01, 0x68, 0x69});
  EXPECT_EQ(conn->ReadPacket(), TBytes({0xE0, 0x02, 0x94, 0x00}));
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_EQ(Recorder.Disconnects()[0].Code, 0x94);
  EXPECT_EQ(Recorder.Messages().size(), 2u);
}

// While another thread's Disconnect waits for the reader, the link is gone
// but the status not yet changed: a request then raises instead of being
// dropped and reported as sent.
TEST_F(FakeBrokerTest, ARequestMeetingADisconnectUnderWayRaises) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  Recorder.SetOnMessage([released](const TReceived&) { released.wait(); });
  conn->Send(Publish("hold", "the reader", 0, 0));
  ASSERT_TRUE(Recorder.WaitForMessages(1));
  auto disconnecting = std::async(std::launch::async, [&] { Client.Disconnect(); });
  ASSERT_TRUE(WaitUntil([&] { return !Client.IsConnected(); }));
  EXPECT_EQ(Client.ConnectionStatus(), mqConnected);  // the reader is still to be joined
  EXPECT_THROW(Client.Publish("t", "x", mqQoS1), Exception);
  EXPECT_THROW(Client.Subscribe("t", mqQoS1), Exception);
  EXPECT_EQ(Client.PendingCount(), 0u);
  EXPECT_FALSE(Recorder.HasLine("PUBLISH sent topic=\"t\" QoS=1 packet_id=1 payload_len=1"));
  release.set_value();
  disconnecting.get();
}

TEST_F(FakeBrokerTest, InboundQoS2CompletesTheExchangeAndDeliversOnce) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Send(Publish("in/q2", "exactly once", 2, 7));
  EXPECT_EQ(conn->ReadPacket(), TBytes({0x50, 0x04, 0x00, 0x07, 0x00, 0x00}));
  // The broker did not see the PUBREC and sends again, with DUP.
  conn->Send(Publish("in/q2", "exactly once", 2, 7, 5, true));
  EXPECT_EQ(conn->ReadPacket(), TBytes({0x50, 0x04, 0x00, 0x07, 0x00, 0x00}));
  conn->Send({0x62, 0x02, 0x00, 0x07});
  EXPECT_EQ(conn->ReadPacket(), TBytes({0x70, 0x04, 0x00, 0x07, 0x00, 0x00}));
  EXPECT_TRUE(Recorder.WaitForLine("PUBCOMP sent for packet id 7"));
  EXPECT_EQ(Recorder.Messages().size(), 1u);
  EXPECT_EQ(Recorder.Messages()[0].QoS, mqQoS2);
  EXPECT_EQ(Recorder.CountLines("PUBREC sent for packet id 7"), 2u);
  EXPECT_TRUE(Recorder.HasLine("PUBREL received packet_id=7 reason=$00"));
  // After the release the identifier is free: a new message with it is delivered.
  conn->Send(Publish("in/q2", "next", 2, 7));
  EXPECT_TRUE(Recorder.WaitForMessages(2));
}

TEST_F(FakeBrokerTest, OutboundQoS2WaitsForPubcompAndARefusalEndsIt) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  EXPECT_EQ(Client.Publish("out/q2", "data", mqQoS2), 1);
  EXPECT_EQ(conn->ReadPacket(), Publish("out/q2", "data", 2, 1));
  EXPECT_EQ(Client.PendingCount(), 1u);
  conn->Send({0x50, 0x02, 0x00, 0x01});
  EXPECT_EQ(conn->ReadPacket(), TBytes({0x62, 0x04, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Client.PendingCount(), 1u);  // until PUBCOMP
  conn->Send({0x70, 0x03, 0x00, 0x01, 0x00});
  EXPECT_TRUE(WaitUntil([&] { return Client.PendingCount() == 0; }));
  EXPECT_TRUE(Recorder.HasLine("PUBREC received packet_id=1 reason=$00"));
  EXPECT_TRUE(Recorder.HasLine("PUBREL sent for packet id 1"));
  EXPECT_TRUE(Recorder.HasLine("PUBCOMP received packet_id=1 reason=$00"));

  EXPECT_EQ(Client.Publish("out/q2", "refused", mqQoS2), 2);
  conn->ReadPacket();
  conn->Send({0x50, 0x04, 0x00, 0x02, 0x97, 0x00});  // quota exceeded
  EXPECT_TRUE(WaitUntil([&] { return Client.PendingCount() == 0; }));
  EXPECT_TRUE(conn->ReadPacket(300).empty());  // no PUBREL for a refusal
}

TEST_F(FakeBrokerTest, AcknowledgementsEmptyThePendingList) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  EXPECT_EQ(Client.Publish("q0", "x", mqQoS0), 0);  // QoS 0 takes no identifier
  EXPECT_EQ(Client.Publish("q1", "x", mqQoS1), 1);
  EXPECT_EQ(Client.Subscribe("s", mqQoS1), 2);
  EXPECT_EQ(Client.Publish("q1", "", mqQoS1), 3);
  EXPECT_EQ(Client.PendingCount(), 2u);
  EXPECT_TRUE(Recorder.HasLine("PUBLISH sent topic=\"q0\" QoS=0 packet_id=0 payload_len=1"));
  EXPECT_TRUE(Recorder.HasLine("PUBLISH sent topic=\"q1\" QoS=1 packet_id=3 payload_len=0"));
  EXPECT_TRUE(Recorder.HasLine("SUBSCRIBE sent topic=\"s\" QoS=1 packet_id=2"));
  conn->Send({0x40, 0x02, 0x00, 0x03});  // level 5, remaining length 2: reason 0
  conn->Send({0x40, 0x04, 0x00, 0x01, 0x10, 0x00});
  EXPECT_TRUE(WaitUntil([&] { return Client.PendingCount() == 0; }));
  EXPECT_TRUE(Recorder.HasLine("PUBACK received packet_id=3 reason=$00"));
  EXPECT_TRUE(Recorder.HasLine("PUBACK received packet_id=1 reason=$10"));
}

TEST_F(FakeBrokerTest, AWriteBlockedByAFullLinkHoldsUpNeitherIsConnectedNorTheReader) {
  Client.KeepAliveSecs = 0;  // no I/O time-out: the write waits for the broker
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  // Far more than the socket buffers take while the broker reads nothing.
  std::string payload(48 * 1024 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i % 251);
  std::atomic<bool> published{false};
  auto publishing = std::async(std::launch::async, [&] {
    Client.Publish("big", payload, mqQoS1);
    published = true;
  });
  std::future<bool> asking;
  // Should a check below fail, the futures must not wait for a write that
  // nobody reads: closing the link (before they are destroyed) ends it.
  struct TCloseFirst {
    TFakeConnection& Link;
    ~TCloseFirst() { Link.Close(); }
  } closeFirst{*conn};
  ASSERT_TRUE(WaitUntil([&] { return Client.PendingCount() == 1; }));
  std::this_thread::sleep_for(200ms);
  ASSERT_FALSE(published);  // the write is stuck in the full link
  asking = std::async(std::launch::async, [&] { return Client.IsConnected() && Client.PendingCount() == 1; });
  ASSERT_EQ(asking.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(asking.get());
  // Nor the reader: it delivers what comes in, and its PUBACK follows the
  // large packet once the broker reads again.
  conn->Send(Publish("in", "meanwhile", 1, 5));
  EXPECT_TRUE(Recorder.WaitForMessages(1));
  EXPECT_FALSE(published);
  // Header and payload leave as one packet, byte for byte.
  const TBytes packet = conn->ReadPacket(20000);
  EXPECT_EQ(conn->ReadPacket(), TBytes({0x40, 0x04, 0x00, 0x05, 0x00, 0x00}));
  publishing.get();
  EXPECT_EQ(packet, Publish("big", payload, 1, 1));
}

TEST_F(FakeBrokerTest, SubackAndUnsubackLogEveryCode) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Send({0x90, 0x06, 0x00, 0x01, 0x00, 0x01, 0x02, 0x80});
  conn->Send({0xB0, 0x05, 0x00, 0x02, 0x00, 0x00, 0x11});
  EXPECT_TRUE(Recorder.WaitForLine("UNSUBACK packet_id=2 reason=$00"));
  EXPECT_TRUE(Recorder.HasLine("SUBACK packet_id=1 reason=$01"));
  EXPECT_TRUE(Recorder.HasLine("SUBACK packet_id=1 reason=$02"));
  EXPECT_TRUE(Recorder.HasLine("SUBACK packet_id=1 reason=$80"));
  EXPECT_TRUE(Recorder.HasLine("UNSUBACK packet_id=2 reason=$11"));
  EXPECT_TRUE(Client.IsConnected());
}

TEST_F(FakeBrokerTest, UnsubscribeSendsTheFilter) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  EXPECT_EQ(Client.Unsubscribe("a/#"), 1);
  EXPECT_EQ(conn->ReadPacket(), BuildUnsubscribePacket("a/#", 1, 5));
  EXPECT_TRUE(Recorder.HasLine("UNSUBSCRIBE sent topic=\"a/#\" packet_id=1"));
}

TEST_F(FakeBrokerTest, BrokerDisconnectRaisesTheEventAndReconnects) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Send({0xE0, 0x02, 0x8E, 0x00});
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_EQ(Recorder.Disconnects()[0].Code, 0x8E);
  EXPECT_EQ(Recorder.Disconnects()[0].Reason, "Broker disconnected (reason=$8E)");
  EXPECT_TRUE(Recorder.HasLine("DISCONNECT received from broker reason=$8E"));
  EXPECT_EQ(Client.ConnectionStatus(), mqDisconnected);
  conn->Close();
  // The loop runs on a thread of its own; the reader reads the new CONNACK.
  auto again = Broker.Accept(4000);
  ASSERT_TRUE(again);
  again->ReadPacket();
  again->Send(Connack(0));
  EXPECT_TRUE(Recorder.WaitForLine("Reconnected successfully"));
  EXPECT_TRUE(Recorder.HasLine("Reconnect attempt 1 in 1s..."));
  EXPECT_EQ(Client.ConnectionStatus(), mqConnected);
  EXPECT_EQ(Recorder.Disconnects().size(), 1u);
  EXPECT_FALSE(Recorder.HasLine("Reader thread error: ESocketError: Connection closed by broker"));
}

// With StopOnSessionTakenOver a take-over is the end (mosquitto 2.0.11 only
// closes the link, so the fake broker says it): no attempt, and the loss's
// OnDisconnect is the last. A Connect made the moment the loss is told
// waits for the client to be idle rather than take it for a reconnect loop.
TEST_F(FakeBrokerTest, StopOnSessionTakenOverGivesUpAndAConnectAtOnceWaitsForIt) {
  Client.Reconnect.StopOnSessionTakenOver = true;
  // Shared with the handlers: the client (the fixture's) outlives this body
  // when an assertion ends it early, and may still call them.
  const auto lost = std::make_shared<std::promise<void>>();
  const auto told = std::make_shared<std::atomic<bool>>(false);
  Client.OnDisconnect = [lost, told, record = Client.OnDisconnect](TQORMQTTReasonCode ACode,
                                                                  const std::string& AReason) {
    record(ACode, AReason);
    if (!told->exchange(true)) lost->set_value();
  };
  // Reported discarded by the give-up, which the handler draws out.
  const auto discarded = std::make_shared<std::atomic<int>>(0);
  Client.OnPublishComplete = [discarded](uint16_t, TQORMQTTReasonCode AReason) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (AReason == mqrcUnspecifiedError) ++*discarded;
  };
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  Client.Publish("owed", "x", mqQoS1);
  conn->Send({0xE0, 0x02, 0x8E, 0x00});
  ASSERT_EQ(lost->get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  auto again = ConnectToFake(Client, Broker);
  ASSERT_TRUE(again);
  EXPECT_EQ(Client.ConnectionStatus(), mqConnected);
  EXPECT_EQ(*discarded, 1);
  EXPECT_TRUE(Recorder.HasLine("Not reconnecting: another client took the session over"));
  for (const std::string& line : Recorder.Lines()) EXPECT_NE(line.rfind("Reconnect attempt", 0), 0u) << line;
  ASSERT_EQ(Recorder.Disconnects().size(), 1u);
  EXPECT_EQ(Recorder.Disconnects()[0].Code, mqrcSessionTakenOver);
}

TEST_F(FakeBrokerTest, BrokerDisconnectAtLevel4CarriesCodeZero) {
  std::unique_ptr<TFakeConnection> conn;
  ConnectThroughFallback(Client, Broker, 0, conn).get();
  ASSERT_TRUE(conn);
  conn->Send({0xE0, 0x00});
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_EQ(Recorder.Disconnects()[0].Code, 0);
  EXPECT_EQ(Recorder.Disconnects()[0].Reason, "Broker disconnected (reason=$00)");
  EXPECT_TRUE(Recorder.HasLine("DISCONNECT received from broker reason=$00"));
}

TEST_F(FakeBrokerTest, AHandlerThatRaisesIsAReaderError) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  Recorder.SetOnMessage([](const TReceived&) { throw std::runtime_error("handler failed"); });
  conn->Send(Publish("boom", "x", 0, 0));
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_TRUE(Recorder.HasLine("Reader thread error: std::runtime_error: handler failed"));
  EXPECT_EQ(Recorder.Disconnects()[0].Code, mqrcUnspecifiedError);
  EXPECT_EQ(Recorder.Disconnects()[0].Reason, "Disconnected (reason=$80)");
  EXPECT_TRUE(conn->WaitClosed());
  Recorder.SetOnMessage(nullptr);
  // A new reader serves the reconnect.
  auto again = Broker.Accept(4000);
  ASSERT_TRUE(again);
  again->ReadPacket();
  again->Send(Connack(0));
  EXPECT_TRUE(Recorder.WaitForLine("Reconnected successfully"));
  EXPECT_EQ(Recorder.CountLines("Reader thread started"), 2u);
  again->Send(Publish("after", "y", 0, 0));
  EXPECT_TRUE(Recorder.WaitForMessages(2));
}

TEST_F(FakeBrokerTest, PeerClosingMidPacketIsAShortRead) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Send({0x30, 0x0A, 0x00, 0x03, 0x61});
  conn->Close();
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_TRUE(Recorder.HasLine("Reader thread error: ESocketError: Short read on topic"));
  EXPECT_TRUE(Recorder.Messages().empty());
}

TEST_F(FakeBrokerTest, PayloadArrivingInPiecesIsReadWhole) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  std::string payload(100 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  conn->SendInPieces(Publish("big", payload, 1, 9), 7000, 5);
  ASSERT_TRUE(Recorder.WaitForMessages(1));
  EXPECT_EQ(Recorder.Messages()[0].Payload, payload);
  EXPECT_EQ(conn->ReadPacket(), TBytes({0x40, 0x04, 0x00, 0x09, 0x00, 0x00}));
  EXPECT_TRUE(Client.IsConnected());
}

TEST_F(FakeBrokerTest, ClosedConnectionIsALostLinkNotASpin) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Close();
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_TRUE(Recorder.HasLine("Reader thread error: ESocketError: Connection closed by broker"));
  EXPECT_EQ(Recorder.Disconnects()[0].Reason, "Disconnected (reason=$80)");
  EXPECT_TRUE(Recorder.WaitForLine("Reconnect attempt 1 in 1s..."));
  // Waiting for the broker to come back must cost next to nothing.
  EXPECT_LT(CoreShareOver(800ms), 0.5);
  Client.Disconnect();
  EXPECT_EQ(Recorder.Disconnects().size(), 1u);
}

TEST_F(FakeBrokerTest, ClosingDuringTheHandshakeIsQuietAndDoesNotSpin) {
  Client.ConnectTimeoutSecs = 2;
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  conn->ReadPacket();
  conn->Close();
  EXPECT_LT(CoreShareOver(1000ms), 0.5);
  EXPECT_THROW(connecting.get(), Exception);
  for (const auto& line : Recorder.Lines()) EXPECT_EQ(line.find("Reader thread error"), std::string::npos);
  EXPECT_TRUE(Recorder.Disconnects().empty());
}

TEST_F(FakeBrokerTest, KeepalivePingsAQuietLinkAndGivesUpOnASilentOne) {
  // 4 s: a ping after 2 quiet seconds, a dead link after 4 silent ones; the
  // 2 s between them leave the fake broker time to answer under load.
  Client.KeepAliveSecs = 4;
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->ReadPacket(5000), TBytes({0xC0, 0x00}));
  conn->Send({0xD0, 0x00});
  EXPECT_TRUE(Recorder.WaitForLine("PINGRESP received"));
  // Logged once the write has returned: the answer's line may come first.
  EXPECT_TRUE(Recorder.WaitForLine("PINGREQ sent"));
  // From now on the broker answers nothing.
  ASSERT_TRUE(Recorder.WaitForLine(
      "No data received for 4s \xE2\x80\x94 keepalive timeout, reconnecting", 10000));
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_EQ(Recorder.Disconnects()[0].Code, mqrcUnspecifiedError);
  EXPECT_TRUE(conn->WaitClosed());
  EXPECT_TRUE(Recorder.WaitForLine("Reconnect attempt 1 in 1s..."));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Recorder.Disconnects().size(), 1u);  // the reader saw the same loss and stayed quiet
}

TEST_F(FakeBrokerTest, KeepaliveZeroMeansNoPingsAndNoTimeout) {
  Client.KeepAliveSecs = 0;
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  EXPECT_TRUE(conn->ReadPacket(2500).empty());
  EXPECT_TRUE(Client.IsConnected());
  EXPECT_TRUE(Recorder.Disconnects().empty());
}

TEST_F(FakeBrokerTest, DisconnectCutsAReconnectDelayShort) {
  Client.ConnectTimeoutSecs = 1;
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  conn->Close();
  // Attempt 1 times out (the broker accepts and says nothing), then the loop
  // waits 2 s before attempt 2: longer than Disconnect may take. The delays
  // after it are the back-off's own, shown on the virtual clock.
  ASSERT_TRUE(Recorder.WaitForLine("Reconnect attempt 2 in 2s...", 10000));
  const auto start = std::chrono::steady_clock::now();
  Client.Disconnect();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_FALSE(Recorder.HasLine("Reconnect attempt 3 in 4s..."));
  EXPECT_FALSE(Recorder.HasLine("Reconnected successfully"));
  EXPECT_TRUE(Recorder.HasLine("Reconnect attempt 1 failed: Timeout waiting for CONNACK"));
  EXPECT_EQ(Client.ConnectionStatus(), mqDisconnected);
}

TEST_F(FakeBrokerTest, DestructionDuringAReconnectLoopEndsItPromptly) {
  auto client = std::make_unique<TQORMQTTClient>();
  Aim(*client, Broker.Port(), "doomed");
  TClientRecorder recorder(*client);
  auto conn = ConnectToFake(*client, Broker);
  ASSERT_TRUE(conn);
  conn->Close();
  ASSERT_TRUE(recorder.WaitForLine("Reconnect attempt 1 in 1s..."));
  const auto start = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST_F(FakeBrokerTest, ConnectAndDisconnectFromAnEventHandlerAreRefused) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  std::promise<std::vector<std::string>> refusals;
  Recorder.SetOnMessage([&](const TReceived&) {
    std::vector<std::string> texts;
    for (auto* call : {+[](TQORMQTTClient& c) { c.Disconnect(); },
                       +[](TQORMQTTClient& c) { c.Connect(); }}) {
      try {
        call(Client);
        texts.push_back("(no error)");
      } catch (const Exception& e) {
        texts.push_back(e.Message());
      }
    }
    refusals.set_value(texts);
  });
  conn->Send(Publish("t", "x", 0, 0));
  EXPECT_EQ(refusals.get_future().get(),
            (std::vector<std::string>{
                "Disconnect must not be called from the client's own threads (an event handler)",
                "Connect must not be called from the client's own threads (an event handler)"}));
  EXPECT_TRUE(Client.IsConnected());
}

TEST_F(FakeBrokerTest, OverLongInputIsRefusedBeforeAnythingIsSent) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  const std::string longTopic(65536, 't');
  EXPECT_THROW(Client.Publish(longTopic, "x", mqQoS1), Exception);
  EXPECT_THROW(Client.Subscribe(longTopic, mqQoS1), Exception);
  EXPECT_THROW(Client.Unsubscribe(longTopic), Exception);
  try {
    Client.Publish("t", std::string(MQTT_MAX_VARINT, 'p'), mqQoS0);
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "PUBLISH of 268435459 bytes exceeds the MQTT maximum of 268435455");
  }
  EXPECT_TRUE(conn->ReadPacket(300).empty());
  EXPECT_EQ(Client.Publish(std::string(65535, 't'), "x", mqQoS1), 1);  // no identifier was taken
  EXPECT_EQ(conn->ReadPacket().size(), 1 + 3 + 2 + 65535 + 2 + 1 + 1u);

  TQORMQTTClient other;
  Aim(other, Broker.Port(), std::string(65536, 'c'));
  try {
    other.Connect();
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Client identifier is 65536 bytes long; MQTT allows at most 65535");
  }
  EXPECT_FALSE(Broker.Accept(300));
}

TEST(ClientWithoutBroker, DefaultsAndRefusalsOfANewClient) {
  TQORMQTTClient c;
  EXPECT_EQ(c.BrokerPort, 8883);
  EXPECT_TRUE(c.UseSSL);
  EXPECT_EQ(c.KeepAliveSecs, 60);
  EXPECT_TRUE(c.CleanStart);
  EXPECT_EQ(c.SessionExpiryInterval, 0u);
  EXPECT_EQ(c.ConnectTimeoutSecs, 10);
  EXPECT_FALSE(c.VerifyPeer);
  EXPECT_EQ(c.ProtocolLevel(), 5);
  EXPECT_EQ(c.ConnectionStatus(), mqDisconnected);
  EXPECT_EQ(c.PendingCount(), 0u);
  EXPECT_FALSE(c.IsConnected());
  try {
    c.Publish("t", "x", mqQoS1);
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "MQTT client is not connected");
  }
  EXPECT_THROW(c.Subscribe("t", mqQoS0), Exception);
  TClientRecorder recorder(c);
  c.Disconnect();
  EXPECT_EQ(recorder.Lines(), std::vector<std::string>{"Disconnected by user"});
  EXPECT_TRUE(recorder.Disconnects().empty());
}

TEST(ClientWithoutBroker, RefusedPortRaisesTheStreamError) {
  TQORMQTTClient c;
  {
    TFakeBroker gone;  // a port that was just free, and is closed again
    Aim(c, gone.Port(), "nobody");
  }
  TClientRecorder recorder(c);
  try {
    c.Connect();
    FAIL() << "no error raised";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.ClassName(), "ESocketError");
    EXPECT_NE(e.Message().find("Connection refused"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(recorder.Lines().size(), 1u);
  EXPECT_EQ(recorder.Lines()[0].rfind("Connecting to 127.0.0.1:", 0), 0u);
  EXPECT_EQ(c.ConnectionStatus(), mqDisconnected);
  EXPECT_FALSE(c.IsConnected());
}

TEST_F(FakeBrokerTest, DisconnectCancelsAHandshakeThatHangs) {
  Client.UseSSL = true;  // the fake broker never answers the TLS hello
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  std::this_thread::sleep_for(300ms);  // the hello arrives and stays unanswered
  const auto start = std::chrono::steady_clock::now();
  Client.Disconnect();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  try {
    connecting.get();
    FAIL() << "Connect did not raise";
  } catch (const ESocketError& e) {
    EXPECT_NE(e.Message().find("cancelled"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(Client.ConnectionStatus(), mqDisconnected);
}

// Small publications queue up to the bound while the broker reads nothing;
// then Publish waits, and every one arrives, in order, once it reads again.
TEST_F(FakeBrokerTest, PublishWaitsAtTheQueueBoundAndLosesNothing) {
  auto conn = ConnectToFake(Client, Broker);
  ASSERT_TRUE(conn);
  constexpr int kCount = 5000;  // 40 MiB: more than the queue and the socket buffers hold
  const std::string payload(8 << 10, 'p');
  std::atomic<int> published{0};
  auto publishing = std::async(std::launch::async, [&] {
    for (int i = 0; i < kCount; ++i) {
      Client.Publish("q/" + std::to_string(i), payload, mqQoS0);
      ++published;
    }
  });
  int seen = -1;
  while (seen != published) {  // until the publisher stands still
    seen = published;
    std::this_thread::sleep_for(300ms);
  }
  EXPECT_LT(seen, kCount);
  EXPECT_GT(seen * payload.size(), 16u << 20);
  for (int i = 0; i < kCount; ++i) {
    const TBytes packet = conn->ReadPacket();
    ASSERT_EQ(packet, Publish("q/" + std::to_string(i), payload, 0, 0)) << i;
  }
  publishing.get();
}

// Receive Maximum 2: never more than two QoS 1 publications unacknowledged;
// the rest wait in order and leave as acknowledgements free their slots.
TEST_F(FakeBrokerTest, TheBrokersReceiveMaximumCapsWhatIsInFlight) {
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  conn->ReadPacket();
  conn->Send({0x20, 0x06, 0x00, 0x00, 0x03, 0x21, 0x00, 0x02});
  connecting.get();
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(Client.Publish("rm", std::to_string(i), mqQoS1), i);
  EXPECT_EQ(Client.PendingCount(), 5u);
  for (uint16_t id = 1; id <= 5; ++id) {
    EXPECT_EQ(conn->ReadPacket(), Publish("rm", std::to_string(id), 1, id));
    if (id >= 2) {
      EXPECT_TRUE(conn->ReadPacket(300).empty()) << "a third in flight after " << id;
      conn->Send({0x40, 0x02, 0x00, static_cast<uint8_t>(id - 1)});
    }
  }
  conn->Send({0x40, 0x02, 0x00, 0x05});
  EXPECT_TRUE(WaitUntil([&] { return Client.PendingCount() == 0; }));
}

// What a broker says beside its code reaches the log, the errors and
// OnDisconnect, and a Server Reference is where the client goes next.
TEST(FakeBroker, ABrokersWordsAndServerReferencesAreHeeded) {
  TFakeBroker first, second;
  TQORMQTTClient client;
  Aim(client, first.Port(), "referred");
  TClientRecorder recorder(client);
  const auto prop = [](uint8_t AId, const std::string& AText) {
    TBytes p{AId};
    const TBytes text = EncodeMQTTString(AText);
    p.insert(p.end(), text.begin(), text.end());
    return p;
  };
  // A CONNACK or DISCONNECT with reason ACode and the properties AProps.
  const auto packet = [](uint8_t AType, uint8_t ACode, std::vector<TBytes> AProps) {
    TBytes props;
    for (const TBytes& p : AProps) props.insert(props.end(), p.begin(), p.end());
    TBytes content = AType == MQTT_CONNACK ? TBytes{0x00, ACode} : TBytes{ACode};
    const TBytes length = EncodeVarInt(static_cast<uint32_t>(props.size()));
    content.insert(content.end(), length.begin(), length.end());
    content.insert(content.end(), props.begin(), props.end());
    return WrapWithFixedHeader(AType, 0, content);
  };
  const std::string toSecond = "127.0.0.1:" + std::to_string(second.Port());
  const std::string toFirst = "127.0.0.1:" + std::to_string(first.Port());

  auto connecting = std::async(std::launch::async, [&] { client.Connect(); });
  auto a = first.Accept();
  ASSERT_TRUE(a);
  a->ReadPacket();
  a->Send(packet(MQTT_CONNACK, 0x9C, {prop(0x1F, "busy"), prop(0x1C, toSecond)}));
  auto b = second.Accept();
  ASSERT_TRUE(b);
  b->ReadPacket();
  b->Send(Connack(0));
  connecting.get();
  EXPECT_TRUE(recorder.HasLine("Broker refers to " + toSecond + " \xE2\x80\x94 trying it"));
  EXPECT_TRUE(recorder.HasLine("CONNACK received \xE2\x80\x94 session_present=0 reason=$9C \"busy\" server=" + toSecond));

  b->Send(packet(MQTT_DISCONNECT, 0x9D, {prop(0x1F, "moved"), prop(0x1C, toFirst)}));
  ASSERT_TRUE(recorder.WaitForDisconnects(1));
  EXPECT_EQ(recorder.Disconnects()[0].Reason, "Broker disconnected (reason=$9D) \"moved\" server=" + toFirst);
  auto again = first.Accept(4000);
  ASSERT_TRUE(again);
  again->ReadPacket();
  TBytes userProperty = prop(0x26, "k");
  const TBytes value = EncodeMQTTString("v");
  userProperty.insert(userProperty.end(), value.begin(), value.end());
  again->Send(packet(MQTT_CONNACK, 0x87, {prop(0x1F, "no"), userProperty}));
  EXPECT_TRUE(recorder.WaitForLine("Reconnect attempt 1 failed: Broker refused connection (reason=$87) \"no\" [k=v]"));
  client.Disconnect();
}

// The client's own limits go into CONNECT; a packet above its Maximum
// Packet Size ends the link with reason 0x95, the broker told first.
TEST_F(FakeBrokerTest, TheClientsOwnLimitsAreAnnouncedAndHeld) {
  Client.ReceiveMaximum = 10;
  Client.MaximumPacketSize = 100;
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  const TBytes connect = conn->ReadPacket();
  EXPECT_EQ(connect, BuildConnectPacket(5, true, 60, "fake-client", "", "", 0, 10, 100));
  EXPECT_EQ(TBytes(connect.begin() + 12, connect.begin() + 21),
            TBytes({0x08, 0x21, 0x00, 0x0A, 0x27, 0x00, 0x00, 0x00, 0x64}));
  conn->Send(Connack(0));
  connecting.get();
  conn->Send(Publish("fits", std::string(90, 'f'), 0, 0));
  ASSERT_TRUE(Recorder.WaitForMessages(1));
  conn->Send(Publish("too/large", std::string(100, 'l'), 0, 0));
  EXPECT_EQ(conn->ReadPacket(), TBytes({0xE0, 0x02, 0x95, 0x00}));
  ASSERT_TRUE(Recorder.WaitForDisconnects(1));
  EXPECT_EQ(Recorder.Disconnects()[0].Code, 0x95);
  EXPECT_TRUE(Recorder.HasLine("Reader thread error: EPacketTooLarge: Packet of 114 bytes exceeds the "
                               "MaximumPacketSize of 100"));
  EXPECT_EQ(Recorder.Messages().size(), 1u);
}

// A lookup the system resolver never finishes: Resolve gives up at its
// deadline or on cancel, and the resolver still goes (it waits for the lookup).
TEST(Resolver, ALookupIsBoundedAndCancellable) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto resolver = std::make_unique<TResolver>([released](const std::string&, const std::string&, addrinfo**) {
    released.wait();
    return EAI_NONAME;
  });
  std::atomic<bool> cancel{false};
  for (const auto& [timeout, cancelled, message] : {std::tuple{int64_t{200}, false, "timed out"},
                                                     std::tuple{int64_t{-1}, true, "cancelled"}}) {
    cancel = cancelled;
    auto resolving = std::async(std::launch::async, [&, timeout = timeout] {
      try {
        resolver->Resolve("slow.example", 1883, timeout, &cancel);
        return std::string("resolved");
      } catch (const ESocketError& e) {
        return e.Message();
      }
    });
    ASSERT_EQ(resolving.wait_for(5s), std::future_status::ready) << message;
    EXPECT_EQ(resolving.get(), std::string("Cannot resolve host \"slow.example\": ") + message);
  }
  release.set_value();
  resolver.reset();
  TResolver system;
  addrinfo* found = system.Resolve("localhost", 1883, 5000, nullptr);
  EXPECT_NE(found, nullptr);
  freeaddrinfo(found);
}

// Enhanced authentication: CONNECT carries the method and initial data,
// OnAuth answers each challenge (during the handshake and on
// re-authentication), and the exchange ends with CONNACK or AUTH 0x00.
// The DISCONNECT carries the caller's reason string.
TEST_F(FakeBrokerTest, EnhancedAuthenticationAnswersEveryChallenge) {
  Client.AuthenticationMethod = "TOY";
  Client.AuthenticationData = {1};
  std::vector<uint8_t> acknowledged;
  Client.OnAuth = [](const std::string& AMethod, const TBytes& AData) {
    return AMethod == "TOY" ? TBytes{static_cast<uint8_t>(AData.at(0) + 1)} : TBytes{};
  };
  Client.OnAcknowledgement = [&](const TQORMQTTAcknowledgement& A) { acknowledged.push_back(A.PacketType); };
  const auto auth = [](uint8_t AReason, std::optional<uint8_t> AData) {
    TQORMQTTProperties p;
    p.AuthenticationMethod = "TOY";
    if (AData) p.AuthenticationData = TBytes{*AData};
    return BuildAuthPacket(AReason, p);
  };
  auto connecting = std::async(std::launch::async, [&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  TConnectFields fields{true, 60, "fake-client", "", "", {}, nullptr};
  fields.Properties.AuthenticationMethod = "TOY";
  fields.Properties.AuthenticationData = TBytes{1};
  EXPECT_EQ(conn->ReadPacket(), BuildConnectPacket(5, fields));
  conn->Send(auth(0x18, 5));
  EXPECT_EQ(conn->ReadPacket(), auth(0x18, 6));
  conn->Send(Connack(0));
  connecting.get();

  Client.Reauthenticate({7});
  EXPECT_EQ(conn->ReadPacket(), auth(0x19, 7));
  conn->Send(auth(0x18, 8));
  EXPECT_EQ(conn->ReadPacket(), auth(0x18, 9));
  conn->Send(auth(0x00, std::nullopt));
  EXPECT_TRUE(Recorder.WaitForLine("AUTH received reason=$00"));
  EXPECT_TRUE(Client.IsConnected());
  EXPECT_EQ(acknowledged, std::vector<uint8_t>{MQTT_CONNACK});

  EXPECT_THROW(Client.Disconnect(mqrcSuccess, {std::nullopt, 60, {}}), Exception);  // CONNECT asked for none
  Client.Disconnect(TQORMQTTReasonCode(0x04), {"bye", 0, {{"k", "v"}}});
  TQORMQTTProperties words;
  words.SessionExpiryInterval = 0;
  words.ReasonString = "bye";
  words.UserProperties = {{"k", "v"}};
  EXPECT_EQ(conn->ReadPacket(), BuildDisconnectPacket(0x04, 5, words));
}

namespace {

// The client's packets until its DISCONNECT (kept, last) or until it sends
// nothing more.
std::vector<TBytes> PacketsUntilDisconnect(TFakeConnection& AConn) {
  std::vector<TBytes> packets;
  for (TBytes p = AConn.ReadPacket(2000); !p.empty(); p = AConn.ReadPacket(2000)) {
    packets.push_back(p);
    if (p[0] == 0xE0) break;
  }
  return packets;
}

}  // namespace

// What a faulty or hostile broker may send and MQTT forbids: nothing is
// delivered from it, the link ends with MQTT's reason code, sent to the
// broker at 5.0 and reported to OnDisconnect with what was wrong; in the
// handshake, Connect fails at once with it instead of waiting out its time.
TEST(HostileBroker, ForbiddenPacketsEndTheLinkWithTheirReason) {
  TQORMQTTProperties otherMethod;
  otherMethod.AuthenticationMethod = "x";
  TQORMQTTProperties ownMethod;
  ownMethod.AuthenticationMethod = "m";
  const auto aliased = [](const std::string& ATopic, uint16_t AAlias) {
    return BuildPublishPacket(ATopic, std::string_view("y"), 0, 0, 5, false, false, nullptr, AAlias);
  };
  const auto join = [](std::vector<TBytes> AParts) {
    TBytes all;
    for (const TBytes& p : AParts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const TBytes receivedQoS2 = join({Publish("q", "1", 2, 1), Publish("q", "2", 2, 2), Publish("q", "3", 2, 3)});
  struct TRow {
    const char* Name;
    int Level;
    std::function<void(TQORMQTTClient&)> Setup;  // before Connect
    bool Handshake;  // Bytes come instead of the CONNACK: Connect must fail
    bool Subscribe;  // one filter subscribed to before Bytes
    TBytes Bytes;
    std::vector<TBytes> Answers;  // the client's packets before its DISCONNECT
    uint8_t Code;                 // the DISCONNECT's (and OnDisconnect's); 0: no DISCONNECT sent
    std::string Text;             // Connect's error, or what OnDisconnect's reason ends with
    size_t Delivered;
  };
  const auto none = [](TQORMQTTClient&) {};
  const auto aliases = [](TQORMQTTClient& AClient) { AClient.TopicAliasMaximum = 2; };
  const auto authenticating = [](TQORMQTTClient& AClient) { AClient.AuthenticationMethod = "m"; };
  const TRow rows[] = {
      {"empty topic, no alias", 5, none, false, false, Publish("", "x", 0, 0), {}, 0x82,
       "Protocol error: PUBLISH with an empty topic name and no topic alias", 0},
      {"wildcard +", 5, none, false, false, Publish("a/+", "x", 1, 1), {}, 0x82,
       "Protocol error: PUBLISH with a wildcard in its topic name", 0},
      {"wildcard # at 3.1.1: closed without DISCONNECT", 4, none, false, false, Publish("a/#", "x", 0, 0, 4), {},
       0x82, "Protocol error: PUBLISH with a wildcard in its topic name", 0},
      {"QoS 1 with identifier 0", 5, none, false, false, Publish("q", "x", 1, 0), {}, 0x82,
       "Protocol error: PUBLISH at QoS 1 with packet identifier 0", 0},
      {"alias never named", 5, aliases, false, false, aliased("", 1), {}, 0x82,
       "Protocol error: PUBLISH with a topic alias the broker never named", 0},
      {"alias above the client's maximum", 5, aliases, false, false, aliased("t", 3), {}, 0x94,
       "Protocol error: PUBLISH with a topic alias above the client's Topic Alias Maximum", 0},
      {"a second CONNACK", 5, none, false, false, Connack(0, 5, true), {}, 0x82,
       "Protocol error: CONNACK received a second time on one link", 0},
      {"five SUBACK codes for one filter", 5, none, false, true, {0x90, 0x08, 0x00, 0x01, 0x00, 1, 1, 1, 1, 1}, {},
       0x82, "Protocol error: SUBACK with 5 reason codes for 1 topic filters", 0},
      {"QoS 2 beyond Receive Maximum 2", 5, [](TQORMQTTClient& AClient) { AClient.ReceiveMaximum = 2; }, false,
       false, receivedQoS2, {{0x50, 0x04, 0x00, 0x01, 0x00, 0x00}, {0x50, 0x04, 0x00, 0x02, 0x00, 0x00}}, 0x93,
       "Protocol error: PUBLISH at QoS 2 beyond the client's Receive Maximum of 2", 2},
      // Nothing of the packet after it is read as this one's.
      {"fields past the remaining length", 5, none, false, false,
       {0x30, 0x03, 0x00, 0x01, 0x73, 0x30, 0x05, 0x00, 0x01, 0x76, 0x00, 0x42}, {}, 0x81,
       "Malformed packet: PUBLISH with remaining length 3 is shorter than its fields", 0},
      {"PUBLISH before the CONNACK", 5, none, true, false, Publish("t", "x", 0, 0), {}, 0x82,
       "Protocol error: PUBLISH before the CONNACK", 0},
      {"CONNACK with Receive Maximum 0", 5, none, true, false, {0x20, 0x06, 0x00, 0x00, 0x03, 0x21, 0x00, 0x00}, {},
       0x81, "Malformed packet: CONNACK with an invalid property value", 0},
      {"CONNACK with Maximum Packet Size 0", 5, none, true, false,
       {0x20, 0x08, 0x00, 0x00, 0x05, 0x27, 0x00, 0x00, 0x00, 0x00}, {}, 0x81,
       "Malformed packet: CONNACK with an invalid property value", 0},
      {"AUTH of another method", 5, authenticating, true, false, BuildAuthPacket(0x18, otherMethod), {}, 0x82,
       "Protocol error: AUTH without the client's authentication method", 0},
      {"AUTH challenge without OnAuth", 5, authenticating, true, false, BuildAuthPacket(0x18, ownMethod), {}, 0,
       "AUTH challenge for method \"m\" not answered: no OnAuth handler", 0},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TFakeBroker broker;
    TQORMQTTClient client;
    Aim(client, broker.Port(), "hostile");
    client.ProtocolVersion = static_cast<uint8_t>(row.Level);
    client.ConnectTimeoutSecs = 10;
    std::atomic<int> subscribeResults{0};
    client.OnSubscribeComplete = [&](uint16_t, const std::vector<TQORMQTTReasonCode>&) { ++subscribeResults; };
    row.Setup(client);
    TClientRecorder recorder(client);
    std::unique_ptr<TFakeConnection> conn;
    if (row.Handshake) {
      const size_t threads = Threads();
      const auto started = std::chrono::steady_clock::now();
      auto connecting = std::async(std::launch::async, [&] { client.Connect(); });
      conn = broker.Accept();
      ASSERT_TRUE(conn);
      conn->ReadPacket();
      conn->Send(row.Bytes);
      try {
        connecting.get();
        ADD_FAILURE() << "Connect did not raise";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), row.Text);
      }
      EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
      // The failed attempt's reader and keepalive thread have ended with it.
      EXPECT_TRUE(WaitUntil([&] { return Threads() <= threads; }, 3000)) << threads << " " << Threads();
    } else {
      conn = ConnectToFake(client, broker, row.Level);
      ASSERT_TRUE(conn);
      if (row.Subscribe) {
        client.Subscribe("s", mqQoS1);
        conn->ReadPacket();
      }
      conn->Send(row.Bytes);
      ASSERT_TRUE(recorder.WaitForDisconnects(1));
      const TDisconnectSeen seen = recorder.Disconnects()[0];
      EXPECT_EQ(seen.Code, row.Code);
      EXPECT_EQ(seen.Reason, Format("Disconnected (reason=$%2.2X): ", row.Code) + row.Text);
    }
    std::vector<TBytes> expected = row.Answers;
    if (row.Code != 0 && row.Level == 5) expected.push_back({0xE0, 0x02, row.Code, 0x00});
    EXPECT_EQ(PacketsUntilDisconnect(*conn), expected);
    EXPECT_TRUE(conn->WaitClosed());
    EXPECT_EQ(recorder.Messages().size(), row.Delivered);
    EXPECT_EQ(subscribeResults, 0);
    client.Disconnect();
  }
}

// A connect on an I/O context that fails ends its handle with its own
// outcome: the broker's refusal with its code, an unreachable broker with
// the error's words. Only a Disconnect makes it "cancelled".
TEST(FakeBrokerContext, AFailedConnectAsyncEndsWithItsOwnOutcome) {
  struct TCase {
    const char* Name;
    bool Listening;   // false: the port is closed before the connect
    uint8_t Refusal;  // the CONNACK's code, when listening
    TQORMQTTOutcome Outcome;
    uint8_t ReasonCode;
    std::string ReasonContains;
  };
  const TCase cases[] = {
      {"refused: not authorized", true, 0x87, ocRefused, 0x87, "reason=$87"},
      {"refused: bad user name or password", true, 0x86, ocRefused, 0x86, "reason=$86"},
      {"nobody listening", false, 0, ocDiscarded, mqrcUnspecifiedError, std::strerror(ECONNREFUSED)},
  };
  TQORMQTTIOContext context;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto broker = std::make_unique<TFakeBroker>();
    TQORMQTTClient client;
    Aim(client, broker->Port(), "fake-context-client");
    client.IOContext = &context;
    if (!c.Listening) broker.reset();
    const TQORMQTTHandle handle = client.ConnectAsync();
    std::unique_ptr<TFakeConnection> conn;
    if (c.Listening) {
      conn = broker->Accept();
      ASSERT_TRUE(conn);
      ASSERT_FALSE(conn->ReadPacket().empty());
      conn->Send(Connack(c.Refusal));
    }
    ASSERT_TRUE(handle.Wait(std::chrono::seconds(10)));
    const TQORMQTTResult result = handle.Result();
    EXPECT_EQ(result.Outcome, c.Outcome);
    EXPECT_EQ(result.ReasonCode, c.ReasonCode);
    EXPECT_NE(result.ReasonString.find(c.ReasonContains), std::string::npos) << result.ReasonString;
    EXPECT_EQ(client.ConnectionStatus(), mqDisconnected);
  }
}
