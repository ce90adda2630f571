// The client against a real RabbitMQ 3.10 and its MQTT plugin: a broker of
// MQTT 3.1.1 only, which closes the link on a 5.0 CONNECT and answers a QoS 2
// publication with PUBACK. One node serves the whole run
// (scripts/rabbitmq-fixture, started by ctest around these tests).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ClientTestKit.h"

using namespace qor;

namespace {

const std::string kDir = QOR_RABBITMQ_DIR;
const bool kLogOnFailure = PrintSharedBrokerLogOnEveryFailure(kDir + "/log/rabbit.log");

int MqttPort() {
  std::ifstream in(kDir + "/mqtt.port");
  int port = 0;
  in >> port;
  return port;
}

std::string Unique(const std::string& AName) {
  static std::atomic<int> counter{0};
  return AName + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

// A 3.1.1 client; with ALevel empty, at the client's own default level.
void AimAt(TQORMQTTClient& AClient, const std::string& AName,
           std::optional<uint8_t> ALevel = MQTT_PROTOCOL_LEVEL_311) {
  AClient.BrokerHostName = "127.0.0.1";
  AClient.BrokerPort = MqttPort();
  AClient.UseSSL = false;
  if (ALevel) AClient.ProtocolVersion = *ALevel;
  AClient.ClientID = Unique("qor-" + AName);
}

// The codes OnPublishComplete reported, by packet identifier. Shared with
// the handler, which the client may call until it is gone.
class TCompletions {
 public:
  explicit TCompletions(TQORMQTTClient& AClient) {
    AClient.OnPublishComplete = [record = FRecord](uint16_t AId, TQORMQTTReasonCode ACode) {
      std::lock_guard<std::mutex> guard(record->Mutex);
      record->Codes[AId] = ACode;
    };
  }
  std::optional<TQORMQTTReasonCode> WaitFor(uint16_t AId, int AMilliseconds = 5000) const {
    std::optional<TQORMQTTReasonCode> code;
    WaitUntil(
        [&] {
          std::lock_guard<std::mutex> guard(FRecord->Mutex);
          const auto found = FRecord->Codes.find(AId);
          if (found != FRecord->Codes.end()) code = found->second;
          return code.has_value();
        },
        AMilliseconds);
    return code;
  }

 private:
  struct TRecord {
    std::mutex Mutex;
    std::map<uint16_t, TQORMQTTReasonCode> Codes;
  };
  std::shared_ptr<TRecord> FRecord = std::make_shared<TRecord>();
};

std::string Hex2(int AValue) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", AValue);
  return text;
}

}  // namespace

// RabbitMQ drops a 5.0 CONNECT without a word: the client has to take that
// as a refusal of the level, not as a broker that is down.
TEST(RabbitMQ, TheDefaultsConnectByFallingBackTo311) {
  TQORMQTTClient client;
  AimAt(client, "defaults", std::nullopt);
  TClientRecorder recorder(client);
  ASSERT_NO_THROW(client.Connect());
  EXPECT_TRUE(recorder.HasLine("Broker rejected MQTT 5.0 \xE2\x80\x94 will retry with MQTT 3.1.1"));
  EXPECT_TRUE(recorder.HasLine("Retrying with MQTT 3.1.1"));
  EXPECT_EQ(client.ProtocolLevel(), MQTT_PROTOCOL_LEVEL_311);
  const std::string topic = Unique("qortest/defaults");
  client.Subscribe(topic, mqQoS1);
  ASSERT_TRUE(recorder.WaitForLine("SUBACK packet_id=1 reason=$01"));
  client.Publish(topic, "hello", mqQoS1);
  ASSERT_TRUE(recorder.WaitForMessages(1));
  EXPECT_EQ(recorder.Messages()[0].Payload, "hello");
}

// RabbitMQ grants at most QoS 1: a message comes at the lower of the
// publication's and the granted QoS, and every QoS 1 publication ends with
// code 0. A QoS 2 one it takes at QoS 1 and answers with PUBACK: the client
// ends it there, not waiting for a PUBREC that never comes.
TEST(RabbitMQ, RoundTripsAtTheQoSGranted) {
  struct TCase {
    TQORMQTTQoS Subscribed, Granted, Published;
    size_t Size;
  };
  for (const TCase& c : {TCase{mqQoS0, mqQoS0, mqQoS0, 0}, TCase{mqQoS0, mqQoS0, mqQoS1, 10},
                         TCase{mqQoS1, mqQoS1, mqQoS0, 10}, TCase{mqQoS1, mqQoS1, mqQoS1, 0},
                         TCase{mqQoS1, mqQoS1, mqQoS1, 300 * 1024}, TCase{mqQoS2, mqQoS1, mqQoS1, 10},
                         TCase{mqQoS2, mqQoS1, mqQoS2, 10}}) {
    SCOPED_TRACE("subscribed " + std::to_string(c.Subscribed) + ", published " + std::to_string(c.Published) +
                 ", " + std::to_string(c.Size) + " bytes");
    TQORMQTTClient sub, pub;
    AimAt(sub, "rt-sub");
    AimAt(pub, "rt-pub");
    TClientRecorder rs(sub, "the subscriber"), rp(pub, "the publisher");
    TCompletions completions(pub);
    sub.Connect();
    pub.Connect();
    const std::string topic = Unique("qortest/roundtrip");
    sub.Subscribe(topic, c.Subscribed);
    ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=1 reason=$" + Hex2(c.Granted)));
    std::string payload(c.Size, '\0');
    for (size_t i = 0; i < c.Size; ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    const uint16_t id = pub.Publish(topic, payload, c.Published);
    ASSERT_TRUE(rs.WaitForMessages(1));
    const TReceived m = rs.Messages()[0];
    EXPECT_EQ(m.Topic, topic);
    EXPECT_TRUE(m.Payload == payload) << "payload differs";
    EXPECT_EQ(m.QoS, std::min(c.Published, c.Granted));
    if (c.Published != mqQoS0) {
      EXPECT_EQ(completions.WaitFor(id), std::optional(mqrcSuccess));
      EXPECT_EQ(pub.PendingCount(), 0u);
    }
    if (c.Published == mqQoS2) {
      EXPECT_TRUE(
          rp.HasLine("PUBACK for QoS 2 packet_id=" + std::to_string(id) + ": the broker took it at QoS 1"));
    }
  }
}

// The broker's application restarts (the node stays): every link ends and
// no session survives. The client comes back by itself and subscribes again.
TEST(RabbitMQ, AfterABrokerRestartTheClientReconnectsAndResubscribes) {
  TQORMQTTClient sub, pub;
  AimAt(sub, "restart-sub");
  AimAt(pub, "restart-pub");
  TClientRecorder rs(sub, "the subscriber"), rp(pub, "the publisher");
  sub.Connect();
  pub.Connect();
  const std::string topic = Unique("qortest/restart");
  sub.Subscribe(topic, mqQoS1);
  ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=1 reason=$01"));
  pub.Publish(topic, "before", mqQoS1);
  ASSERT_TRUE(rs.WaitForMessages(1));

  const std::string restart = "timeout 90 " + std::string(QOR_RABBITMQ_FIXTURE) + " restart " + kDir;
  ASSERT_EQ(std::system(restart.c_str()), 0) << restart;
  ASSERT_TRUE(rs.WaitForDisconnects(1));
  ASSERT_TRUE(rs.WaitForLine("Reconnected successfully", 30000));
  ASSERT_TRUE(rp.WaitForLine("Reconnected successfully", 30000));
  ASSERT_TRUE(rs.WaitForLine("Resubscribing to 1 topic filter(s) ", 5000, true));
  ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=2 reason=$01"));
  pub.Publish(topic, "after", mqQoS1);
  ASSERT_TRUE(rs.WaitForMessages(2));
  EXPECT_EQ(rs.Messages()[1].Payload, "after");
  EXPECT_EQ(rs.Disconnects().size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return pub.PendingCount() == 0; }));
}

// A retained message reaches a later subscriber flagged as retained; an
// empty retained one removes it, so the next subscriber gets nothing before
// a live message sent after its SUBACK.
TEST(RabbitMQ, ARetainedMessageReachesLaterSubscribersUntilAnEmptyOneClearsIt) {
  TQORMQTTClient pub;
  AimAt(pub, "retain-pub");
  TClientRecorder rp(pub, "the publisher");
  pub.Connect();
  const std::string topic = Unique("qortest/retained");
  struct TCase {
    std::string Retained;
    bool Arrives;
  };
  for (const TCase& c : {TCase{"kept", true}, TCase{"", false}}) {
    SCOPED_TRACE("retained \"" + c.Retained + "\"");
    TQORMQTTMessage retained;
    retained.Topic = topic;
    retained.Payload = c.Retained;
    retained.QoS = mqQoS1;
    retained.Retain = true;
    pub.Publish(retained);
    ASSERT_TRUE(WaitUntil([&] { return pub.PendingCount() == 0; }));
    TQORMQTTClient sub;
    AimAt(sub, "retain-sub");
    TClientRecorder rs(sub, "the subscriber");
    sub.Connect();
    sub.Subscribe(topic, mqQoS1);
    ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=1 reason=$01"));
    pub.Publish(topic, "live", mqQoS1);
    ASSERT_TRUE(WaitUntil([&] { return !rs.Messages().empty() && rs.Messages().back().Payload == "live"; }));
    const std::vector<TReceived> messages = rs.Messages();
    ASSERT_EQ(messages.size(), c.Arrives ? 2u : 1u);
    if (c.Arrives) {
      EXPECT_EQ(messages[0].Payload, c.Retained);
      EXPECT_TRUE(rs.HasLine("PUBLISH received topic=\"" + topic + "\" QoS=1 retain=True payload_len=" +
                             std::to_string(c.Retained.size())));
    }
    EXPECT_TRUE(rs.HasLine("PUBLISH received topic=\"" + topic + "\" QoS=1 retain=False payload_len=4"));
  }
}

// Without a clean start RabbitMQ keeps the session (its queue) across a
// DISCONNECT: the client reads "session present" and gets what came meanwhile.
TEST(RabbitMQ, AKeptSessionDeliversWhatCameWhileAway) {
  const std::string id = Unique("qor-kept");
  const std::string topic = Unique("qortest/kept");
  const auto aim = [&](TQORMQTTClient& AClient) {
    AimAt(AClient, "kept-sub");
    AClient.ClientID = id;
    AClient.CleanStart = false;
  };
  {
    TQORMQTTClient sub;
    aim(sub);
    TClientRecorder rs(sub, "the subscriber");
    sub.Connect();
    EXPECT_TRUE(rs.HasLine("CONNACK received \xE2\x80\x94 session_present=0 reason=$00"));
    sub.Subscribe(topic, mqQoS1);
    ASSERT_TRUE(rs.WaitForLine("SUBACK packet_id=1 reason=$01"));
    sub.Disconnect();
  }
  TQORMQTTClient pub;
  AimAt(pub, "kept-pub");
  pub.Connect();
  pub.Publish(topic, "while away", mqQoS1);
  ASSERT_TRUE(WaitUntil([&] { return pub.PendingCount() == 0; }));

  TQORMQTTClient sub;
  aim(sub);
  TClientRecorder rs(sub, "the subscriber, back");
  sub.Connect();
  EXPECT_TRUE(rs.HasLine("CONNACK received \xE2\x80\x94 session_present=1 reason=$00"));
  ASSERT_TRUE(rs.WaitForMessages(1));
  EXPECT_EQ(rs.Messages()[0].Payload, "while away");
  EXPECT_EQ(rs.Messages()[0].QoS, mqQoS1);
}
