// MQTT 5.0 messages through a real mosquitto: every publication property
// from one client to another, message expiry, the subscription options,
// topic aliases and the last will of a client that dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "ClientTestKit.h"
#include "PrivateBroker.h"

using namespace qor;
using namespace std::chrono_literals;

extern char** environ;

namespace qor {
// Field by field, for a failure message that says which field differs.
void PrintTo(const TQORMQTTMessage& M, std::ostream* AOut) {
  *AOut << "{topic '" << M.Topic << "' payload " << testing::PrintToString(M.Payload) << " QoS " << int{M.QoS}
        << " retain " << M.Retain << " dup " << M.Dup << " id " << M.PacketId << " format "
        << testing::PrintToString(M.PayloadFormatIndicator) << " expiry "
        << testing::PrintToString(M.MessageExpiryInterval) << " content type "
        << testing::PrintToString(M.ContentType) << " response topic " << testing::PrintToString(M.ResponseTopic)
        << " correlation " << testing::PrintToString(M.CorrelationData) << " user "
        << testing::PrintToString(M.UserProperties) << " subscriptions "
        << testing::PrintToString(M.SubscriptionIdentifiers) << "}";
}
}  // namespace qor

namespace {

// A client of the private broker that keeps every message whole.
struct TPeer {
  TQORMQTTClient Client;
  TClientRecorder Recorder;
  std::mutex Mutex;
  std::vector<TQORMQTTMessage> Received;

  TPeer(uint16_t APort, const std::string& AName, uint8_t AVersion = 5) : Recorder(Client, AName) {
    Aim(Client, APort, AName + "-" + std::to_string(getpid()));
    Client.ProtocolVersion = AVersion;
    Client.OnMessageReceived = [this](const TQORMQTTMessage& AMessage) {
      std::lock_guard<std::mutex> guard(Mutex);
      Received.push_back(AMessage);
    };
    Client.Connect();
  }
  // The client's threads stop before the members its handler uses go.
  ~TPeer() { Client.Disconnect(); }
  std::vector<TQORMQTTMessage> Messages() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Received;
  }
  bool WaitFor(size_t ACount, int AMilliseconds = 5000) {
    return WaitUntil([&] { return Messages().size() >= ACount; }, AMilliseconds);
  }
  // Subscribes and waits for the broker's answer.
  void Subscribe(const std::vector<TQORMQTTSubscription>& AFilters, uint32_t AIdentifier = 0) {
    const uint16_t id = Client.Subscribe(AFilters, AIdentifier);
    ASSERT_TRUE(Recorder.WaitForLine("SUBACK packet_id=" + std::to_string(id), 5000, true));
  }
  // Publishes at QoS 1 and waits for the broker's PUBACK.
  void Publish(TQORMQTTMessage AMessage) {
    AMessage.QoS = mqQoS1;
    const uint16_t id = Client.Publish(AMessage);
    ASSERT_TRUE(Recorder.WaitForLine("PUBACK received packet_id=" + std::to_string(id), 5000, true));
  }
};

std::string Topic(const std::string& AName) { return "mqtt5/" + AName + "/" + std::to_string(getpid()); }

TQORMQTTMessage Message(const std::string& ATopic, const std::string& APayload, bool ARetain = false) {
  TQORMQTTMessage m;
  m.Topic = ATopic;
  m.Payload = APayload;
  m.Retain = ARetain;
  return m;
}

// Starts the will client; its pid once it has connected.
pid_t StartWillClient(uint16_t APort, const std::string& AId, const std::string& ATopic, int ADelay, int AVersion) {
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::vector<std::string> args{WILL_CLIENT, std::to_string(APort), AId, ATopic, std::to_string(ADelay),
                                      std::to_string(AVersion)};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, WILL_CLIENT, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  char line[64] = {};
  const ssize_t n = spawned == 0 ? read(out[0], line, sizeof line - 1) : -1;
  close(out[0]);
  if (n <= 0 || std::string(line).rfind("connected", 0) != 0) {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    ADD_FAILURE() << "will client did not connect: " << line;
    return -1;
  }
  return pid;
}

void Kill(pid_t APid) {
  kill(APid, SIGKILL);
  waitpid(APid, nullptr, 0);
}

}  // namespace

// Every property a publisher sets arrives as set, through mosquitto, at an
// MQTT 5.0 subscriber (with its subscription's identifier); a 3.1.1
// subscriber gets topic and payload only. Each filter of one SUBSCRIBE has
// its own code.
TEST(MQTT5, EveryPublicationPropertyArrivesAsSent) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  for (const uint8_t version : {uint8_t{5}, uint8_t{4}}) {
    SCOPED_TRACE(version);
    const std::string topic = Topic("props" + std::to_string(version));
    TPeer sub(broker.Port(), "props-sub", version), pub(broker.Port(), "props-pub");
    std::promise<std::vector<TQORMQTTReasonCode>> codes;
    sub.Client.OnSubscribeComplete = [&](uint16_t, const std::vector<TQORMQTTReasonCode>& ACodes) {
      codes.set_value(ACodes);
    };
    sub.Subscribe({{topic, mqQoS1}, {topic + "/two", mqQoS2}}, version == 5 ? 77 : 0);
    EXPECT_EQ(codes.get_future().get(),
              (std::vector<TQORMQTTReasonCode>{TQORMQTTReasonCode(1), TQORMQTTReasonCode(2)}));

    TQORMQTTMessage sent = Message(topic, std::string("bin\0ary", 7));
    sent.QoS = mqQoS1;
    sent.PayloadFormatIndicator = 0;
    sent.MessageExpiryInterval = 3600;
    sent.ContentType = "application/octet-stream";
    sent.ResponseTopic = topic + "/reply";
    sent.CorrelationData = TBytes{0x00, 0x01, 0x00, 0xFF};
    sent.UserProperties = {{"z", "1"}, {"a", "2"}, {"z", "3"}, {"", ""}};
    pub.Publish(sent);
    ASSERT_TRUE(sub.WaitFor(1));
    TQORMQTTMessage got = sub.Messages()[0];
    EXPECT_NE(got.PacketId, 0);
    got.PacketId = 0;
    TQORMQTTMessage expected = Message(topic, sent.Payload);
    expected.QoS = mqQoS1;
    if (version == 5) {
      expected = sent;
      expected.SubscriptionIdentifiers = {77};
      // What is left of the expiry: the message waited no whole second.
      EXPECT_GE(got.MessageExpiryInterval.value_or(0), 3599u);
      got.MessageExpiryInterval = sent.MessageExpiryInterval;
    }
    EXPECT_EQ(got, expected);
  }
}

// A retained message with an expiry of 1 s is gone 2 s later; one without stays.
TEST(MQTT5, ARetainedMessageExpires) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  const std::string topic = Topic("expiry");
  TPeer pub(broker.Port(), "expiry-pub");
  TQORMQTTMessage shortLived = Message(topic + "/short", "s", true);
  shortLived.MessageExpiryInterval = 1;
  pub.Publish(shortLived);
  pub.Publish(Message(topic + "/long", "l", true));
  std::this_thread::sleep_for(2100ms);
  TPeer sub(broker.Port(), "expiry-sub");
  sub.Subscribe({{topic + "/#", mqQoS1}});
  ASSERT_TRUE(sub.WaitFor(1));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(sub.Messages().size(), 1u);
  EXPECT_EQ(sub.Messages()[0].Topic, topic + "/long");
  EXPECT_TRUE(sub.Messages()[0].Retain);
}

// The subscription options against a retained message and a live one: how
// often retained messages come on subscribing twice (retain handling 0, 1,
// 2), whether a live message keeps its retain flag (retain as published),
// and whether a client hears itself (no local). A marker message the client
// publishes last says when everything before it has arrived.
TEST(MQTT5, SubscriptionOptionsDecideWhatArrives) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  const std::string topic = Topic("options");
  TPeer other(broker.Port(), "options-other");
  other.Publish(Message(topic, "retained", true));
  struct TCase {
    TQORMQTTSubscription Options;
    bool OwnLive;  // the client publishes the live message itself
    std::vector<std::string> Expected;  // payloads with "r" appended when retained
  };
  const TCase cases[] = {
      {{topic, mqQoS1, false, false, mqrhSendOnSubscribe}, false, {"retainedr", "retainedr", "live", "marker"}},
      {{topic, mqQoS1, false, false, mqrhSendIfNew}, false, {"retainedr", "live", "marker"}},
      {{topic, mqQoS1, false, false, mqrhDoNotSend}, false, {"live", "marker"}},
      {{topic, mqQoS1, false, true, mqrhDoNotSend}, false, {"liver", "marker"}},
      {{topic, mqQoS1, true, false, mqrhDoNotSend}, true, {"marker"}},
  };
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(n);
    TPeer peer(broker.Port(), "options-" + std::to_string(n++));
    peer.Subscribe({c.Options});
    peer.Subscribe({c.Options});
    TPeer& live = c.OwnLive ? peer : other;
    live.Publish(Message(topic, "live", true));
    // The marker comes from another client, so that no local lets it through.
    other.Publish(Message(topic, "marker"));
    ASSERT_TRUE(WaitUntil([&] {
      const auto m = peer.Messages();
      return !m.empty() && m.back().Payload == "marker";
    }));
    std::vector<std::string> got;
    for (const TQORMQTTMessage& m : peer.Messages()) got.push_back(m.Payload + (m.Retain ? "r" : ""));
    EXPECT_EQ(got, c.Expected);
    other.Publish(Message(topic, "retained", true));  // the live one replaced it
  }
}

// A topic published again goes as its alias with an empty topic, and
// arrives whole: mosquitto resolves the alias and logs the whole topic for
// each publication (an alias it did not know would end the link).
TEST(MQTT5, TopicAliasesShortenRepeatedTopics) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  const std::string topic = Topic("alias");
  TPeer sub(broker.Port(), "alias-sub");
  sub.Subscribe({{topic, mqQoS1}});
  TPeer pub(broker.Port(), "alias-pub");
  pub.Client.Disconnect();
  pub.Client.UseTopicAliases = true;
  pub.Client.Connect();
  for (int i = 0; i < 3; ++i) pub.Publish(Message(topic, std::to_string(i)));
  ASSERT_TRUE(sub.WaitFor(3));
  for (const TQORMQTTMessage& m : sub.Messages()) EXPECT_EQ(m.Topic, topic);
  EXPECT_EQ(pub.Recorder.CountLines("Topic alias 1 stands for \"" + topic + "\" on this link"), 1u);
  EXPECT_TRUE(pub.Recorder.Disconnects().empty());
  std::ifstream in(broker.LogPath());
  std::string line;
  std::vector<std::string> published;
  while (std::getline(in, line)) {
    if (line.find("Received PUBLISH from alias-pub") != std::string::npos) published.push_back(line);
  }
  ASSERT_EQ(published.size(), 3u);
  for (const std::string& p : published) EXPECT_NE(p.find("'" + topic + "'"), std::string::npos) << p;
}

// A client killed without a DISCONNECT leaves its will: at once without a
// delay (also at 3.1.1), after the delay with one, and not at all when the
// client is back within the delay.
TEST(MQTT5, TheWillOfAKilledClientArrivesAfterItsDelay) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  const std::string topic = Topic("will");
  TPeer watcher(broker.Port(), "will-watcher");
  watcher.Subscribe({{topic + "/#", mqQoS1}});
  struct TCase {
    const char* Name;
    int Delay;
    int Version;
    bool Returns;  // the client comes back within the delay
  };
  size_t expected = 0;
  for (const TCase& c : {TCase{"at-once", 0, 5, false}, TCase{"at-once-311", 0, 4, false},
                         TCase{"delayed", 2, 5, false}, TCase{"returns", 2, 5, true}}) {
    SCOPED_TRACE(c.Name);
    const std::string id = std::string("will-") + c.Name + "-" + std::to_string(getpid());
    const pid_t pid = StartWillClient(broker.Port(), id, topic + "/" + c.Name, c.Delay, c.Version);
    ASSERT_GT(pid, 0);
    const auto killed = std::chrono::steady_clock::now();
    Kill(pid);
    pid_t back = -1;
    if (c.Returns) back = StartWillClient(broker.Port(), id, topic + "/" + c.Name, c.Delay, c.Version);
    if (c.Delay > 0) {
      EXPECT_FALSE(watcher.WaitFor(expected + 1, c.Delay * 1000 - 500));
    }
    if (c.Returns) {
      EXPECT_FALSE(watcher.WaitFor(expected + 1, 2000));
      Kill(back);
      // Its own will, delayed too, would still come: the watcher stops counting here.
      watcher.Client.Unsubscribe(topic + "/" + c.Name);
      ASSERT_TRUE(watcher.Recorder.WaitForLine("UNSUBACK packet_id=", 5000, true));
      continue;
    }
    ASSERT_TRUE(watcher.WaitFor(++expected, 5000));
    const TQORMQTTMessage will = watcher.Messages().back();
    EXPECT_GE(std::chrono::steady_clock::now() - killed, std::chrono::seconds(c.Delay));
    EXPECT_EQ(will.Topic, topic + "/" + c.Name);
    EXPECT_EQ(will.Payload, "gone");
    EXPECT_EQ(will.UserProperties, (c.Version == 5 ? TQORMQTTUserProperties{{"why", "killed"}}
                                                   : TQORMQTTUserProperties{}));
  }
}
