// The client against a real mosquitto: the shared fixture (1883 plain, 8883
// TLS, 1884 with user "rw"), and for the kill-and-restart case a private one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "ClientTestKit.h"
#include "PrivateBroker.h"
#include "uQORFormat.h"

using namespace qor;
using namespace std::chrono_literals;

namespace {

const std::string kHost = "127.0.0.1";
const std::string kCA = std::string(QOR_BROKER_DIR) + "/ca.crt";

// A topic prefix no other test (or earlier run) shares.
std::string UniqueTopic(const std::string& AName) {
  static std::atomic<int> counter{0};
  return "qortest/" + AName + "/" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

std::string UniqueId(const std::string& AName) {
  static std::atomic<int> counter{0};
  return "qor-" + AName + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

void AimAt(TQORMQTTClient& AClient, int APort, bool ATLS, const std::string& AName) {
  AClient.BrokerHostName = kHost;
  AClient.BrokerPort = APort;
  AClient.UseSSL = ATLS;
  AClient.ClientID = UniqueId(AName);
}

const bool kLogOnFailure = PrintSharedBrokerLogOnEveryFailure(std::string(QOR_BROKER_DIR) + "/mosquitto.log");

std::string Pattern(size_t ASize) {
  std::string s(ASize, '\0');
  for (size_t i = 0; i < ASize; ++i) s[i] = static_cast<char>((i * 131 + i / 997) & 0xFF);
  return s;
}

// Connects both clients, subscribes ASub to ATopic at QoS 1 and sees
// APayload from APub arrive there.
void ConnectSubscribeAndDeliverOne(TQORMQTTClient& ASub, const TClientRecorder& ASubRecord, TQORMQTTClient& APub,
                                   const std::string& ATopic, const std::string& APayload) {
  ASub.Connect();
  APub.Connect();
  ASub.Subscribe(ATopic, mqQoS1);
  ASSERT_TRUE(ASubRecord.WaitForLine("SUBACK packet_id=1 reason=$01"));
  APub.Publish(ATopic, APayload, mqQoS1);
  ASSERT_TRUE(ASubRecord.WaitForMessages(1));
}

}  // namespace

TEST(Broker, ConnectsPlainTLSAndWithCredentials) {
  struct TCase {
    int Port;
    bool TLS;
    std::string User, Password;
  };
  for (const TCase& c : {TCase{1883, false, "", ""}, TCase{8883, true, "", ""},
                         TCase{1884, false, "rw", "plumhouse"}}) {
    TQORMQTTClient client;
    AimAt(client, c.Port, c.TLS, "connect");
    client.Username = c.User;
    client.Password = c.Password;
    TClientRecorder recorder(client);
    client.Connect();
    EXPECT_TRUE(client.IsConnected()) << c.Port;
    EXPECT_EQ(client.ConnectionStatus(), mqConnected);
    EXPECT_EQ(client.ProtocolLevel(), 5);
    EXPECT_TRUE(recorder.HasLine("Connecting to 127.0.0.1:" + std::to_string(c.Port) + " (SSL=" +
                                 (c.TLS ? "True" : "False") + ", protocol=5)"));
    client.Disconnect();
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.ConnectionStatus(), mqDisconnected);
  }
}

TEST(Broker, WrongPasswordIsRefusedWithTheBrokersCode) {
  TQORMQTTClient client;
  AimAt(client, 1884, false, "badpass");
  client.Username = "rw";
  client.Password = "not the password";
  try {
    client.Connect();
    FAIL() << "Connect did not raise";
  } catch (const Exception& e) {
    EXPECT_TRUE(e.Message() == "Broker refused connection (reason=$86)" ||
                e.Message() == "Broker refused connection (reason=$87)")
        << e.Message();
  }
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.ConnectionStatus(), mqDisconnected);
}

// The fixture's certificate names localhost and 127.0.0.1; "127.1" reaches
// the same broker by a name it does not carry. Turning the host-name check
// off must leave the chain checked.
TEST(Broker, VerifyPeerAcceptsTheRightCAAndRefusesOthers) {
  char name[] = "/tmp/qor-capath-XXXXXX";
  const std::string capath = mkdtemp(name);
  ASSERT_EQ(std::system(("cp '" + kCA + "' '" + capath + "/' && openssl rehash '" + capath + "'").c_str()), 0);
  struct TCase {
    std::string Host, CAFile, CAPath;
    bool VerifyHostName;
    const char* Expected;  // empty: accepted; else part of the error
  };
  const std::vector<TCase> cases = {
      {"localhost", kCA, "", true, ""},
      {"127.0.0.1", kCA, "", true, ""},
      {"127.1", kCA, "", true, " mismatch"},
      {"127.1", kCA, "", false, ""},
      {"127.1", "", "", false, "not accepted: unable to get local issuer certificate"},
      {"127.0.0.1", "", capath, true, ""},
      {"127.1", "", capath, false, ""},
      {"127.0.0.1", "", "/no/such/dir", true, "\"/no/such/dir\": not a directory"},
      // Without our CA (the system store) the chain ends in an unknown issuer.
      {"127.0.0.1", "", "", true, "TLS certificate of 127.0.0.1:8883 not accepted: "},
  };
  for (const TCase& c : cases) {
    TQORMQTTClient client;
    AimAt(client, 8883, true, "verify");
    client.BrokerHostName = c.Host;
    client.VerifyPeer = true;
    client.CAFile = c.CAFile;
    client.CAPath = c.CAPath;
    client.VerifyHostName = c.VerifyHostName;
    TClientRecorder recorder(client);
    std::string error;
    try {
      client.Connect();
    } catch (const ESocketError& e) {
      EXPECT_EQ(e.ClassName(), "ETLSError");  // an ETLSError, still caught as the stream error it was
      error = e.Message();
    }
    const std::string row = c.Host + " CAFile=" + c.CAFile + " CAPath=" + c.CAPath +
                            " VerifyHostName=" + std::to_string(c.VerifyHostName);
    if (*c.Expected == 0) {
      EXPECT_EQ(error, "") << row;
      EXPECT_TRUE(client.IsConnected()) << row;
    } else {
      EXPECT_NE(error.find(c.Expected), std::string::npos) << row << ": " << error;
      EXPECT_FALSE(client.IsConnected()) << row;
    }
  }
  std::system(("rm -rf '" + capath + "'").c_str());
}

namespace {

// Plain TCP and TLS, large payloads both ways: with AContext, both clients on it.
void RoundTrips(TQORMQTTIOContext* AContext) {
  TQORMQTTClient a, b;
  AimAt(a, 1883, false, "rt-a");
  AimAt(b, 8883, true, "rt-b");
  a.IOContext = b.IOContext = AContext;
  TClientRecorder ra(a, "client a"), rb(b, "client b");
  const size_t threads = Threads();
  a.Connect();
  b.Connect();
  // On a context neither brings a thread, not even for writing TLS records
  // (one more: a sanitizer's own, started lazily).
  if (AContext) {
    EXPECT_LE(Threads(), threads + 1);
  }
  const std::string base = UniqueTopic("roundtrip") + "/\xC3\xA4\xC3\xB6/\xE2\x82\xAC/\xE6\x97\xA5";
  a.Subscribe(base + "/to-a/#", mqQoS2);
  b.Subscribe(base + "/to-b/#", mqQoS2);
  ASSERT_TRUE(ra.WaitForLine("SUBACK packet_id=1 reason=$02"));
  ASSERT_TRUE(rb.WaitForLine("SUBACK packet_id=1 reason=$02"));

  size_t expected = 0;
  for (const size_t size : {size_t{0}, size_t{200 * 1024}, size_t{4 * 1024 * 1024}}) {
    for (const TQORMQTTQoS qos : {mqQoS0, mqQoS1, mqQoS2}) {
      const std::string payload = Pattern(size);
      const std::string suffix = "/" + std::to_string(size) + "/" + std::to_string(qos);
      a.Publish(base + "/to-b" + suffix, payload, qos);
      b.Publish(base + "/to-a" + suffix, payload, qos);
      ++expected;
      ASSERT_TRUE(ra.WaitForMessages(expected, 10000)) << size << " " << qos;
      ASSERT_TRUE(rb.WaitForMessages(expected, 10000)) << size << " " << qos;
      for (const TClientRecorder* r : {&ra, &rb}) {
        const TReceived m = r->Messages().back();
        EXPECT_EQ(m.Payload.size(), size);
        EXPECT_TRUE(m.Payload == payload) << "payload differs, size " << size;
        EXPECT_EQ(m.QoS, qos);
        EXPECT_NE(m.Topic.find(suffix), std::string::npos);
      }
    }
  }
  // Every QoS 1 and 2 publication was acknowledged to the end.
  EXPECT_TRUE(WaitUntil([&] { return a.PendingCount() == 0 && b.PendingCount() == 0; }));
  EXPECT_EQ(ra.Messages().size(), expected);
  EXPECT_TRUE(ra.Disconnects().empty());
  // A burst over TLS leaves in batches of many packets per write: each arrives, in order.
  for (int i = 0; i < 500; ++i) b.Publish(base + "/to-a/burst", std::to_string(i), mqQoS1);
  ASSERT_TRUE(ra.WaitForMessages(expected + 500, 10000));
  const std::vector<TReceived> all = ra.Messages();
  for (size_t i = 0; i < 500; ++i) EXPECT_EQ(all[expected + i].Payload, std::to_string(i));
}

}  // namespace

TEST(Broker, RoundTripsAtEveryQoSInBothDirections) {
  RoundTrips(nullptr);
  if (HasFatalFailure()) return;
  SCOPED_TRACE("on an I/O context");
  TQORMQTTIOContext context;
  RoundTrips(&context);
}

// A stream the subscriber reads in batches (paused reads, acknowledgements
// sent together) arrives whole and in order, and leaves nothing
// unacknowledged: the kept session has nothing to send again.
TEST(Broker, AStreamReadInBatchesArrivesWholeAndLeavesNothingUnacknowledged) {
  constexpr int kCount = 3000;
  for (const auto& [port, tls, qos] : {std::tuple{1883, false, mqQoS1}, std::tuple{8883, true, mqQoS2}}) {
    SCOPED_TRACE(tls ? "TLS, QoS 2" : "TCP, QoS 1");
    TQORMQTTClient sub, pub;
    AimAt(sub, port, tls, "batch-sub");
    AimAt(pub, port, tls, "batch-pub");
    sub.SessionExpiryInterval = 300;
    TClientRecorder rs(sub, "the subscriber"), rp(pub, "the publisher");
    const std::string topic = UniqueTopic("batch");
    ConnectSubscribeAndDeliverOne(sub, rs, pub, topic, "-1");
    for (int i = 0; i < kCount; ++i) pub.Publish(topic, std::to_string(i), qos);
    ASSERT_TRUE(rs.WaitForMessages(kCount + 1, 30000));
    const std::vector<TReceived> all = rs.Messages();
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(all[i + 1].Payload, std::to_string(i));
    // The broker reads a connection in order: once it has answered this, it
    // has every acknowledgement sent before. Disconnect alone would not do:
    // the broker may take the session over for the next connection before it
    // has read the old one's last packets.
    const TQORMQTTHandle fence = sub.SubscribeAsync(topic + "/fence", mqQoS1);
    ASSERT_TRUE(fence.Wait(std::chrono::seconds(10)));
    ASSERT_TRUE(fence.Result().Succeeded());
    sub.Disconnect();

    TQORMQTTClient again;
    AimAt(again, port, tls, "batch-sub");
    again.ClientID = sub.ClientID;
    again.CleanStart = false;
    again.SessionExpiryInterval = 0;
    TClientRecorder ra(again, "the subscriber again");
    again.Connect();
    pub.Publish(topic, "last", mqQoS1);
    ASSERT_TRUE(ra.WaitForMessages(1));
    EXPECT_EQ(ra.Messages()[0].Payload, "last");  // nothing came before it
    again.Disconnect();
    pub.Disconnect();
  }
}

// A program that takes one message at a time from a kept session and then
// disconnects (a tool run with a count, say) while the broker still sends:
// the acknowledgement and the DISCONNECT reach the broker before the link
// closes, so each run gets the next message, not the last one again. A
// socket whose reading was shut answered the broker's next bytes with a
// reset, on which the broker dropped what it had not read yet.
TEST(Broker, EachRunOfAKeptSessionTakesTheNextMessage) {
  TPrivateBroker broker(0, "listener 0 %DIR%/mqtt.sock\n");
  ASSERT_TRUE(broker.Start());
  const std::string unixPath = "unix:" + broker.LogPath().substr(0, broker.LogPath().rfind('/')) + "/mqtt.sock";
  for (const std::string& host : {kHost, unixPath}) {
    SCOPED_TRACE(host);
    TQORMQTTClient pub;
    AimAt(pub, broker.Port(), false, "next-pub");
    pub.Connect();
    const std::string topic = UniqueTopic("next");
    const std::string id = UniqueId("next");
    for (int run = 0; run <= 12; ++run) {
      SCOPED_TRACE(Format("run %d", run));
      TQORMQTTClient sub;
      AimAt(sub, broker.Port(), false, "next");
      sub.BrokerHostName = host;
      sub.ClientID = id;
      sub.CleanStart = run == 0;
      sub.SessionExpiryInterval = 300;
      sub.ReceiveQueueLimit = 64;
      TClientRecorder recorder(sub, "the subscriber");
      sub.Connect();
      if (run == 0) {
        // More than the queue holds: the broker still has some to send when a run ends.
        sub.Subscribe(topic, mqQoS1);
        ASSERT_TRUE(recorder.WaitForLine("SUBACK packet_id=1 reason=$01"));
        for (int i = 0; i < 100; ++i) pub.Publish(topic, std::to_string(i), mqQoS1);
        ASSERT_TRUE(WaitUntil([&] { return pub.PendingCount() == 0; }));
      } else {
        const std::optional<TQORMQTTMessage> message = sub.Receive(5000ms);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->Payload, std::to_string(run - 1));
      }
      sub.Disconnect();
    }
    pub.Disconnect();
  }
}

TEST(Broker, ManyAcknowledgementsEmptyThePendingList) {
  TQORMQTTClient client;
  AimAt(client, 1883, false, "pending");
  client.Connect();
  const std::string topic = UniqueTopic("pending");
  for (int i = 0; i < 200; ++i) client.Publish(topic, std::to_string(i), i % 2 ? mqQoS1 : mqQoS2);
  EXPECT_TRUE(WaitUntil([&] { return client.PendingCount() == 0; }));
}

TEST(Broker, UnsubscribeStopsDelivery) {
  TQORMQTTClient sub, pub;
  AimAt(sub, 1883, false, "unsub-s");
  AimAt(pub, 1883, false, "unsub-p");
  TClientRecorder rs(sub, "the subscriber");
  sub.Connect();
  pub.Connect();
  const std::string topic = UniqueTopic("unsub");
  sub.Subscribe(topic + "/gone", mqQoS1);
  sub.Subscribe(topic + "/kept", mqQoS1);
  ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=2 reason=$01"));
  pub.Publish(topic + "/gone", "before", mqQoS1);
  ASSERT_TRUE(rs.WaitForMessages(1));
  sub.Unsubscribe(topic + "/gone");
  ASSERT_TRUE(rs.WaitForLine("UNSUBACK packet_id=3 reason=$00"));
  pub.Publish(topic + "/gone", "after", mqQoS1);
  pub.Publish(topic + "/kept", "marker", mqQoS1);
  // The marker comes after "after" from the same publisher: once it is here,
  // "after" would have been too.
  ASSERT_TRUE(rs.WaitForMessages(2));
  std::this_thread::sleep_for(100ms);
  const auto messages = rs.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].Payload, "marker");
}

TEST(Broker, KeepaliveHoldsAnIdleSession) {
  TQORMQTTClient client;
  AimAt(client, 1883, false, "idle");
  client.KeepAliveSecs = 3;
  TClientRecorder recorder(client);
  client.Connect();
  // Past one and a half keepalives, when mosquitto ends a session that sends
  // it nothing, and past the keepalive, when the client gives up a broker
  // whose answers it does not take.
  std::this_thread::sleep_for(6s);
  EXPECT_TRUE(client.IsConnected());
  EXPECT_EQ(client.ConnectionStatus(), mqConnected);
  EXPECT_TRUE(recorder.Disconnects().empty());
  EXPECT_GE(recorder.CountLines("PINGRESP received"), 3u);
  EXPECT_GE(recorder.CountLines("PINGREQ sent"), 3u);
}

TEST(Broker, ReconnectsByItselfAfterTheBrokerIsKilledAndRestarted) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  TQORMQTTClient sub, pub;
  AimAt(sub, broker.Port(), false, "restart-s");
  AimAt(pub, broker.Port(), false, "restart-p");
  TClientRecorder rs(sub, "the subscriber"), rp(pub, "the publisher");
  const std::string topic = UniqueTopic("restart");
  ConnectSubscribeAndDeliverOne(sub, rs, pub, topic, "before");
  if (::testing::Test::HasFatalFailure()) return;

  broker.Kill();
  ASSERT_TRUE(rs.WaitForDisconnects(1));
  ASSERT_TRUE(rp.WaitForDisconnects(1));
  EXPECT_TRUE(rs.HasLine("Reader thread error: ESocketError: Connection closed by broker"));
  EXPECT_EQ(rs.Disconnects()[0].Reason, "Disconnected (reason=$80)");
  EXPECT_FALSE(sub.IsConnected());
  EXPECT_THROW(pub.Publish(topic, "lost", mqQoS1), Exception);
  EXPECT_TRUE(rs.WaitForLine("Reconnect attempt 2 in 2s...", 5000));

  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(rs.WaitForLine("Reconnected successfully", 10000));
  ASSERT_TRUE(rp.WaitForLine("Reconnected successfully", 10000));
  EXPECT_EQ(sub.ConnectionStatus(), mqConnected);
  EXPECT_EQ(rs.Disconnects().size(), 1u);  // one event per loss
  // The restarted broker kept no session: the client subscribes again by itself.
  EXPECT_TRUE(rs.HasLine("Resubscribing to 1 topic filter(s) packet_id=2"));
  ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=2 reason=$01"));
  pub.Publish(topic, "after", mqQoS1);
  ASSERT_TRUE(rs.WaitForMessages(2));
  EXPECT_EQ(rs.Messages()[1].Payload, "after");
  EXPECT_TRUE(WaitUntil([&] { return pub.PendingCount() == 0; }));
}

// A handler that throws never ends reconnection: OnMessage's error is a lost
// link (logged, reconnect), OnDisconnect's is logged and the reconnect goes
// on, OnLog's costs the line it was given.
TEST(Broker, AThrowingCallbackNeverStopsTheClientFromReconnecting) {
  struct TCase {
    const char* Callback;
    const char* Logged;  // the line the failure leaves, if any
  };
  for (const TCase& c : {TCase{"OnLog", nullptr},
                         TCase{"OnDisconnect", "Callback error: std::runtime_error: OnDisconnect failed"},
                         TCase{"OnMessage", "Reader thread error: std::runtime_error: OnMessage failed"}}) {
    SCOPED_TRACE(c.Callback);
    TPrivateBroker broker;
    ASSERT_TRUE(broker.Start());
    TQORMQTTClient client, pub;
    AimAt(client, broker.Port(), false, "throwing");
    AimAt(pub, broker.Port(), false, "throwing-pub");
    TClientRecorder recorder(client);
    const std::string callback = c.Callback;
    const auto fail = [callback] { throw std::runtime_error(callback + " failed"); };
    if (callback == "OnLog") {
      client.OnLog = [record = client.OnLog, fail](const std::string& ALine) { record(ALine), fail(); };
    } else if (callback == "OnDisconnect") {
      client.OnDisconnect = [record = client.OnDisconnect, fail](TQORMQTTReasonCode ACode, const std::string& AText) {
        record(ACode, AText), fail();
      };
    } else {
      client.OnMessage = [record = client.OnMessage, fail](const std::string& ATopic, const std::string& APayload,
                                                           TQORMQTTQoS AQoS) { record(ATopic, APayload, AQoS), fail(); };
    }
    ConnectSubscribeAndDeliverOne(client, recorder, pub, UniqueTopic("throwing"), "m");
    if (::testing::Test::HasFatalFailure()) return;
    // OnMessage's failure costs the link: the client reconnects by itself first.
    if (callback == "OnMessage") {
      ASSERT_TRUE(recorder.WaitForLine("Reconnected successfully", 10000));
    }
    const size_t losses = recorder.Disconnects().size();
    const size_t reconnects = recorder.CountLines("Reconnected successfully");
    broker.Kill();
    ASSERT_TRUE(recorder.WaitForDisconnects(losses + 1));
    ASSERT_TRUE(broker.Start());
    EXPECT_TRUE(WaitUntil([&] { return recorder.CountLines("Reconnected successfully") > reconnects; }, 15000));
    EXPECT_TRUE(WaitUntil([&] { return client.ConnectionStatus() == mqConnected; }));
    if (c.Logged) {
      EXPECT_TRUE(recorder.HasLine(c.Logged));
    }
  }
}

TEST(Broker, ThePasswordNeverAppearsInALogLineOrAnError) {
  for (const std::string& password : {std::string("plumhouse"), std::string("Sup3r-S3cret!")}) {
    TQORMQTTClient client;
    AimAt(client, 1884, false, "secret");
    client.Username = "rw";
    client.Password = password;
    TClientRecorder recorder(client);
    std::string error;
    try {
      client.Connect();
      client.Publish(UniqueTopic("secret"), "x", mqQoS1);
      client.Disconnect();
    } catch (const Exception& e) {
      error = e.Message();
    }
    EXPECT_EQ(error.find(password), std::string::npos) << error;
    EXPECT_GT(recorder.Lines().size(), 3u);
    for (const auto& line : recorder.Lines()) EXPECT_EQ(line.find(password), std::string::npos) << line;
  }
}

// A shared subscription: three subscribers of one group share the messages,
// none lost and none twice.
TEST(Broker, ASharedSubscriptionSplitsTheMessagesOfItsGroup) {
  TQORMQTTClient subs[3], pub;
  std::vector<std::unique_ptr<TClientRecorder>> recorders;
  const std::string topic = UniqueTopic("shared");
  for (int i = 0; i < 3; ++i) {
    AimAt(subs[i], 1883, false, "shared-" + std::to_string(i));
    recorders.push_back(std::make_unique<TClientRecorder>(subs[i], "subscriber " + std::to_string(i)));
    subs[i].Connect();
    subs[i].Subscribe("$share/qorgroup/" + topic, mqQoS1);
    ASSERT_TRUE(recorders[i]->WaitForLine("SUBACK packet_id=1 reason=$01"));
  }
  AimAt(pub, 1883, false, "shared-pub");
  pub.Connect();
  for (int i = 0; i < 300; ++i) pub.Publish(topic, std::to_string(i), mqQoS1);
  ASSERT_TRUE(WaitUntil([&] {
    size_t n = 0;
    for (const auto& r : recorders) n += r->Messages().size();
    return n >= 300;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a duplicate would arrive meanwhile
  std::set<std::string> seen;
  size_t total = 0;
  for (const auto& r : recorders) {
    EXPECT_FALSE(r->Messages().empty()) << "one subscriber of the group got nothing";
    for (const TReceived& m : r->Messages()) seen.insert(m.Payload);
    total += r->Messages().size();
  }
  EXPECT_EQ(total, 300u);
  EXPECT_EQ(seen.size(), 300u);
}

// A slow consumer that pulls, with room for 10. At QoS 1 the broker holds
// back what the queue cannot take (the Receive Maximum is the queue's room)
// while the client goes on reading the acknowledgements of its own
// publications; a QoS 0 flood, which nothing holds back, stops the reading
// instead (TCP). Either way the queue never holds more than 10, a pause
// past the keepalive costs no link, and every message arrives once, in its
// publisher's order.
TEST(Broker, ASlowPullingConsumerHoldsTheBrokerBackAndLosesNothing) {
  constexpr size_t kLimit = 10;
  constexpr int kPublishers = 2;
  constexpr int kEach = 1500;
  for (const TQORMQTTQoS qos : {mqQoS1, mqQoS0}) {
    SCOPED_TRACE(Format("QoS %d", qos));
    // Every message kept for the consumer, however many wait for it.
    TPrivateBroker broker(0, "max_queued_messages 0\n");
    ASSERT_TRUE(broker.Start());
    TQORMQTTClient consumer;
    AimAt(consumer, broker.Port(), false, "pull");
    consumer.ReceiveQueueLimit = kLimit;
    consumer.KeepAliveSecs = 2;
    TClientRecorder recorder(consumer, "the consumer");
    consumer.Connect();
    const std::string topic = UniqueTopic("pull");
    consumer.Subscribe(topic + "/#", qos);
    ASSERT_TRUE(recorder.WaitForLine(Format("SUBACK packet_id=1 reason=$%2.2X", qos)));

    // QoS 0 comes with a payload that fills the socket's buffers.
    const std::string padding(qos == mqQoS0 ? 2000 : 0, 'p');
    TQORMQTTClient publishers[kPublishers];
    for (int p = 0; p < kPublishers; ++p) {
      AimAt(publishers[p], broker.Port(), false, "pull-pub");
      publishers[p].Connect();
    }
    for (int i = 0; i < kEach; ++i)
      for (int p = 0; p < kPublishers; ++p)
        publishers[p].Publish(topic + "/" + std::to_string(p), std::to_string(i) + ":" + padding, qos);

    // Paused past the keepalive with a full queue: at QoS 1 the client's own
    // publications are acknowledged meanwhile.
    ASSERT_TRUE(WaitUntil([&] { return consumer.ReceiveQueueCount() == kLimit; }));
    const std::string own = UniqueTopic("pull-own");
    for (int i = 0; i < 5 && qos == mqQoS1; ++i) consumer.Publish(own, "x", mqQoS1);
    EXPECT_TRUE(WaitUntil([&] { return consumer.PendingCount() == 0; }));
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(consumer.ReceiveQueueCount(), kLimit);
    EXPECT_TRUE(recorder.Disconnects().empty());

    int next[kPublishers] = {};
    int total = 0;
    size_t most = 0;
    while (total < kPublishers * kEach) {
      const std::optional<TQORMQTTMessage> m = consumer.Receive(10s);
      if (!m) break;
      most = std::max(most, consumer.ReceiveQueueCount());
      const int p = m->Topic.back() - '0';
      ASSERT_TRUE(p >= 0 && p < kPublishers) << m->Topic;
      ASSERT_EQ(m->Payload, std::to_string(next[p]) + ":" + padding) << "publisher " << p;
      EXPECT_FALSE(m->Dup);
      ++next[p];
      ++total;
      if (qos == mqQoS1 && total % 500 == 0) consumer.Publish(own, "x", mqQoS1);
      if (total % 50 == 0) std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(total, kPublishers * kEach);
    EXPECT_LE(most, kLimit);
    EXPECT_TRUE(WaitUntil([&] { return consumer.PendingCount() == 0; }));
    EXPECT_TRUE(recorder.Disconnects().empty());
    EXPECT_TRUE(consumer.IsConnected());
  }
}
