// The protocol session on exact byte sequences, without a socket or a
// thread: what a broken or hostile peer can make it do, and what it cannot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <thread>

#include "ClientTestKit.h"
#include "uQORFormat.h"
#include "uQORMQTTRequestRules.h"
#include "uQORMQTTRequestState.h"
#include "uQORMQTTSession.h"
#include "uQORMQTTSettings.h"

using namespace qor;
using namespace std::chrono_literals;

namespace {

// Everything the session answers, kept.
struct TFed : ISessionSink {
  size_t Dispatched = 0;
  std::vector<TReceived> Messages;
  std::vector<std::string> Lines;
  std::vector<TBytes> Sent;
  bool Logging() const override { return true; }
  void Log(const std::string& ALine) override { Lines.push_back(ALine); }
  bool Send(TBytes APacket, const TSendMode& AMode) override {
    // A payload sent from the caller's memory is part of the packet.
    APacket.insert(APacket.end(), AMode.Tail.begin(), AMode.Tail.end());
    Sent.push_back(std::move(APacket));
    return true;
  }
  std::vector<TQORMQTTMessage> Full;
  std::vector<TQORMQTTAcknowledgement> Acks;
  void Deliver(TQORMQTTMessage& AMessage) override {
    Messages.push_back({AMessage.Topic, AMessage.Payload, AMessage.QoS});
    Full.push_back(AMessage);
  }
  bool WantsAcknowledgements() const override { return true; }
  void Acknowledged(const TQORMQTTAcknowledgement& AAck) override { Acks.push_back(AAck); }
  // Answers a challenge with its data reversed.
  std::optional<TBytes> Authenticate(const std::string&, const TBytes& AData) override {
    return TBytes(AData.rbegin(), AData.rend());
  }
  void Connack(uint8_t, bool) override {}
  void BrokerDisconnect(uint8_t, const TBrokerWords&) override {}
  std::vector<std::pair<uint16_t, uint8_t>> Completed;
  void PublishComplete(uint16_t AId, uint8_t ACode) override { Completed.emplace_back(AId, ACode); }
  std::vector<bool> Answers;  // whether each was the last awaited
  void Answered(bool ALast) override { Answers.push_back(ALast); }
};

// Where the requests of a test go: each call starts it afresh.
TFed& Out() {
  static TFed out;
  out = TFed{};
  return out;
}

TFed Feed(const TBytes& ABytes, uint8_t ALevel = 5, int APiece = 1 << 30, TQORMQTTSession* ASession = nullptr) {
  TQORMQTTSession own;
  TQORMQTTSession& session = ASession ? *ASession : own;
  session.SetProtocolLevel(ALevel);
  TFed fed;
  TMemoryByteSource source(ABytes, APiece);
  fed.Dispatched = session.Feed(source, fed);
  return fed;
}

}  // namespace

TEST(Inbound, EveryPieceSizeGivesTheSameMessages) {
  TBytes stream = BuildPublishPacket("a/b", std::string_view("first"), 1, 7, 5, false, false);
  const TBytes second = BuildPublishPacket("c", std::string_view(std::string(70000, 'x')), 2, 8, 5, false, false);
  stream.insert(stream.end(), second.begin(), second.end());
  for (const int piece : {1, 2, 3, 7, 1000, 1 << 30}) {
    const TFed fed = Feed(stream, 5, piece);
    ASSERT_EQ(fed.Dispatched, 2u) << piece;
    ASSERT_EQ(fed.Messages.size(), 2u);
    EXPECT_EQ(fed.Messages[0].Payload, "first");
    EXPECT_EQ(fed.Messages[1].Payload.size(), 70000u);
  }
}

TEST(Inbound, ADeclaredLengthThatNeverArrivesDeliversNothing) {
  // 256 MiB declared, a few bytes sent: a short read, nothing delivered.
  const TFed fed = Feed({0x30, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x01, 0x74, 0x00, 'A', 'B', 'C', 'D', 'E'});
  EXPECT_EQ(fed.Dispatched, 0u);
  EXPECT_TRUE(fed.Messages.empty());
}

// A field that runs past the packet's remaining length (or a remaining
// length of five bytes) makes the packet malformed: the stream ends there,
// and no byte of the packet after it is read as part of it. A body longer
// than the fields the client reads is skipped to its end.
TEST(Inbound, EachPacketIsReadInsideItsRemainingLength) {
  EXPECT_EQ(Feed({}).Dispatched, 0u);
  const TBytes next = BuildPublishPacket("n", std::string_view("next"), 0, 0, 5, false, false);
  struct TCase {
    const char* What;
    TBytes Packet;
    size_t Dispatched;  // with the PUBLISH after it: 0 when malformed, 2 when skipped to its end
    uint8_t Level;
  };
  for (const TCase& c : {
           TCase{"five-byte length", {0x40, 0x80, 0x80, 0x80, 0x80, 0x01}, 0, 5},
           TCase{"PUBLISH topic past the body", {0x30, 0x03, 0x00, 0x05, 0x61}, 0, 5},
           TCase{"PUBLISH without room for its property length", {0x30, 0x03, 0x00, 0x01, 0x73}, 0, 5},
           TCase{"PUBLISH properties past the body", {0x30, 0x05, 0x00, 0x01, 0x74, 0x05, 0x00}, 0, 5},
           TCase{"PUBLISH QoS 1 without room for its identifier", {0x32, 0x03, 0x00, 0x01, 0x74}, 0, 4},
           TCase{"PUBLISH with QoS 3", {0x36, 0x05, 0x00, 0x01, 0x74, 0x00, 0x01}, 0, 4},
           TCase{"CONNACK of one byte", {0x20, 0x01, 0x00}, 0, 5},
           TCase{"PUBACK of one byte", {0x40, 0x01, 0x00}, 0, 5},
           TCase{"PUBREC without a body", {0x50, 0x00}, 0, 5},
           TCase{"PUBREL of one byte", {0x62, 0x01, 0x00}, 0, 4},
           TCase{"PUBCOMP of one byte", {0x70, 0x01, 0x00}, 0, 5},
           TCase{"SUBACK of one byte", {0x90, 0x01, 0x00}, 0, 5},
           TCase{"SUBACK properties past the body", {0x90, 0x04, 0x00, 0x01, 0x05, 0x00}, 0, 5},
           TCase{"UNSUBACK of one byte", {0xB0, 0x01, 0x00}, 0, 4},
           TCase{"PINGRESP with a body", {0xD0, 0x02, 0xAA, 0xBB}, 2, 5},
           TCase{"PUBACK with properties and more", {0x40, 0x08, 0x00, 0x01, 0x10, 0x03, 0x1F, 0x00, 0x00, 0xEE}, 2, 5},
           TCase{"PUBACK with a property past its block", {0x40, 0x07, 0x00, 0x01, 0x10, 0x02, 0x1F, 0x00, 0xEE}, 0, 5},
           TCase{"DISCONNECT without a body", {0xE0, 0x00}, 2, 5},
       }) {
    TBytes stream = c.Packet;
    stream.insert(stream.end(), next.begin(), next.end());
    const TFed fed = Feed(stream, c.Level);
    EXPECT_EQ(fed.Dispatched, c.Dispatched) << c.What;
    EXPECT_EQ(fed.Messages.size(), c.Dispatched == 2 ? 1u : 0u) << c.What;
  }
}

TEST(Inbound, GarbageIsSkippedOrEndsTheStreamButNeverLoops) {
  TBytes garbage;
  for (int i = 0; i < 5000; ++i) garbage.push_back(static_cast<uint8_t>(i * 167 + 13));
  for (const uint8_t level : {uint8_t{4}, uint8_t{5}}) {
    const TFed fed = Feed(garbage, level, 37);
    EXPECT_LE(fed.Dispatched, garbage.size());
    size_t delivered = 0;
    for (const auto& m : fed.Messages) delivered += m.Topic.size() + m.Payload.size();
    EXPECT_LE(delivered, garbage.size());
  }
}

// What the session answers and keeps, packet by packet: acknowledgements
// with the right identifiers, one delivery per QoS 2 message, pending
// publications, and the subscriptions the broker granted.
TEST(Session, AnswersAndStateFollowTheBrokersPackets) {
  TQORMQTTSession session;
  const auto ack = [](uint8_t AType, uint16_t AId, uint8_t ACode = 0) {
    return TBytes{static_cast<uint8_t>(AType << 4 | (AType == MQTT_PUBREL ? 2 : 0)), 0x03,
                  static_cast<uint8_t>(AId >> 8), static_cast<uint8_t>(AId), ACode};
  };
  const uint16_t q1 = session.Publish("t", "x", mqQoS1, Out()).PacketId;
  const uint16_t q2 = session.Publish("t", "y", mqQoS2, Out()).PacketId;
  const uint16_t refused = session.Publish("t", "z", mqQoS2, Out()).PacketId;
  const uint16_t sub = session.Subscribe("granted/#", mqQoS1, Out()).PacketId;
  const uint16_t denied = session.Subscribe("denied", mqQoS1, Out()).PacketId;
  EXPECT_EQ(session.PendingCount(), 3u);

  TFed fed = Feed(ack(MQTT_PUBACK, q1), 5, 1 << 30, &session);
  EXPECT_EQ(session.PendingCount(), 2u);
  fed = Feed(ack(MQTT_PUBREC, q2), 5, 1 << 30, &session);
  ASSERT_EQ(fed.Sent.size(), 1u);
  EXPECT_EQ(fed.Sent[0], BuildPubRelPacket(q2, 0, 5));
  EXPECT_EQ(session.PendingCount(), 2u);  // until PUBCOMP
  Feed(ack(MQTT_PUBREC, refused, 0x80), 5, 1 << 30, &session);
  Feed(ack(MQTT_PUBCOMP, q2), 5, 1 << 30, &session);
  EXPECT_EQ(session.PendingCount(), 0u);

  const auto suback = [](uint16_t AId, uint8_t ACode) {
    return TBytes{0x90, 0x04, static_cast<uint8_t>(AId >> 8), static_cast<uint8_t>(AId), 0x00, ACode};
  };
  Feed(suback(sub, 0x01), 5, 1 << 30, &session);
  Feed(suback(denied, 0x80), 5, 1 << 30, &session);
  EXPECT_EQ(session.Subscriptions(), (std::map<std::string, uint8_t>{{"granted/#", 1}}));
  const uint16_t unsub = session.Unsubscribe("granted/#", Out()).PacketId;
  Feed({0xB0, 0x04, static_cast<uint8_t>(unsub >> 8), static_cast<uint8_t>(unsub), 0x00, 0x00}, 5, 1 << 30, &session);
  EXPECT_TRUE(session.Subscriptions().empty());

  // Inbound QoS 2: a redelivery before PUBREL is acknowledged again but delivered once.
  TBytes twice = BuildPublishPacket("in", std::string_view("m"), 2, 9, 5, false, false);
  const TBytes copy = twice;
  twice.insert(twice.end(), copy.begin(), copy.end());
  fed = Feed(twice, 5, 1 << 30, &session);
  EXPECT_EQ(fed.Messages.size(), 1u);
  EXPECT_EQ(fed.Sent, (std::vector<TBytes>{BuildPubRecPacket(9, 0, 5), BuildPubRecPacket(9, 0, 5)}));
  fed = Feed(ack(MQTT_PUBREL, 9), 5, 1 << 30, &session);
  EXPECT_EQ(fed.Sent, (std::vector<TBytes>{BuildPubCompPacket(9, 0, 5)}));
  fed = Feed(copy, 5, 1 << 30, &session);  // released: a new message with that identifier
  EXPECT_EQ(fed.Messages.size(), 1u);
}

// The transport is told of each answer while a subscription may bring
// publications (the broker may hold one until this host acknowledges), and
// whether the answer was the last awaited: then nothing the program sends
// would carry that acknowledgement.
TEST(Session, AnswersWhileSubscribedAreToldAndWhetherTheyWereTheLast) {
  TQORMQTTSession session;
  const auto ack = [](uint8_t AType, uint16_t AId, uint8_t ACode = 0) {
    return TBytes{static_cast<uint8_t>(AType << 4), 0x03, static_cast<uint8_t>(AId >> 8), static_cast<uint8_t>(AId),
                  ACode};
  };
  const auto suback = [](uint16_t AId, uint8_t ACode) {
    return TBytes{0x90, 0x04, static_cast<uint8_t>(AId >> 8), static_cast<uint8_t>(AId), 0x00, ACode};
  };
  const auto publish = [&](TQORMQTTQoS AQoS) { return session.Publish("t", "x", AQoS, Out()).PacketId; };
  uint16_t first = 0, second = 0;
  struct TStep {
    const char* What;
    std::function<TBytes()> Answer;  // requests made first, then the broker's answer
    std::vector<bool> Told;
  };
  const TStep steps[] = {
      {"a PUBACK without a subscription", [&] { return ack(MQTT_PUBACK, publish(mqQoS1)); }, {}},
      {"a SUBACK refusing the only filter",
       [&] { return suback(session.Subscribe("d", mqQoS1, Out()).PacketId, 0x80); },
       {}},
      {"a SUBACK while a publication awaits its PUBACK",
       [&] {
         first = publish(mqQoS1);
         return suback(session.Subscribe("a", mqQoS1, Out()).PacketId, 0x01);
       },
       {false}},
      {"the PUBACK that was awaited", [&] { return ack(MQTT_PUBACK, first); }, {true}},
      {"a PUBACK with another publication in flight",
       [&] {
         first = publish(mqQoS1);
         second = publish(mqQoS1);
         return ack(MQTT_PUBACK, first);
       },
       {false}},
      {"the other's PUBACK", [&] { return ack(MQTT_PUBACK, second); }, {true}},
      {"a PUBREC, whose PUBREL is still answered", [&] { return ack(MQTT_PUBREC, first = publish(mqQoS2)); }, {}},
      {"the PUBCOMP", [&] { return ack(MQTT_PUBCOMP, first); }, {true}},
      {"a PUBACK while a SUBSCRIBE awaits its SUBACK",
       [&] {
         first = session.Subscribe("b", mqQoS1, Out()).PacketId;
         return ack(MQTT_PUBACK, publish(mqQoS1));
       },
       {false}},
      {"the SUBACK, refusing", [&] { return suback(first, 0x80); }, {true}},
      {"an UNSUBACK that leaves no subscription",
       [&] {
         const uint16_t id = session.Unsubscribe("a", Out()).PacketId;
         return TBytes{0xB0, 0x03, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x00};
       },
       {}},
  };
  for (const TStep& step : steps) {
    const TBytes answer = step.Answer();
    EXPECT_EQ(Feed(answer, 5, 1 << 30, &session).Answers, step.Told) << step.What;
  }
}

// A stream that ends inside a packet is reported by the field it ended in.
TEST(Session, ATruncatedPacketIsNamedByItsField) {
  TQORMQTTSession session;
  struct TCase {
    uint8_t Header;
    std::string Partial;
    const char* Message;
  };
  for (const TCase& c : {TCase{0x30, std::string("\0", 1), "Connection closed or read timeout"},
                         TCase{0x30, std::string("\0\3ab", 4), "Short read on topic"},
                         TCase{0x32, std::string("\0\1a\0", 4), "Connection closed or read timeout"},
                         TCase{0x30, std::string("\0\1a", 3), "Connection closed or read timeout"},
                         TCase{0x30, std::string("\0\1a\0p", 5), "Short read on payload"},
                         TCase{0x30, std::string("\0\1a\2x", 5), "Connection closed or read timeout"},
                         TCase{0x30, std::string("\0\1a\1x", 5), "Short read on payload"},
                         TCase{0x90, std::string("\0\1", 2), "Connection closed or read timeout"}})
    EXPECT_EQ(session.DescribeTruncated(c.Header, c.Partial), c.Message) << c.Partial.size();
}

// A new link restores what the last one owed, in the caller's order: with
// the session kept, unacknowledged publications again with DUP and PUBRELs
// where PUBREC came; without it, the subscriptions in force first, then
// every publication as new under the identifier the caller was given.
// Offline publications follow, QoS 0 included.
TEST(Session, ANewLinkRestoresWhatTheLastOneOwed) {
  struct TCase {
    bool SessionPresent;
    std::vector<TBytes> Expected;
  };
  const TCase cases[] = {
      {true,
       {BuildPublishPacket("t", std::string_view("one"), 1, 3, 5, false, true), BuildPubRelPacket(4, 0, 5),
        BuildPublishPacket("t", std::string_view("off1"), 1, 5, 5, false, false),
        BuildPublishPacket("t", std::string_view("off0"), 0, 0, 5, false, false)}},
      {false,
       {BuildSubscribePacket({{"a/#", 2}, {"b", 1}}, 6, 5),
        BuildPublishPacket("t", std::string_view("one"), 1, 3, 5, false, false),
        BuildPublishPacket("t", std::string_view("two"), 2, 4, 5, false, false),
        BuildPublishPacket("t", std::string_view("off1"), 1, 5, 5, false, false),
        BuildPublishPacket("t", std::string_view("off0"), 0, 0, 5, false, false)}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.SessionPresent ? "session kept" : "no session");
    TQORMQTTSession session;
    const uint16_t sub = session.Subscribe("a/#", mqQoS2, Out()).PacketId;  // granted 1: asked for 2 again
    const uint16_t sub2 = session.Subscribe("b", mqQoS1, Out()).PacketId;
    Feed({0x90, 0x04, 0, static_cast<uint8_t>(sub), 0x00, 0x01}, 5, 1 << 30, &session);
    Feed({0x90, 0x04, 0, static_cast<uint8_t>(sub2), 0x00, 0x01}, 5, 1 << 30, &session);
    EXPECT_EQ(session.Publish("t", "one", mqQoS1, Out()).PacketId, 3);
    EXPECT_EQ(session.Publish("t", "two", mqQoS2, Out()).PacketId, 4);
    Feed({0x50, 0x03, 0, 4, 0x00}, 5, 1 << 30, &session);  // PUBREC
    // The link is lost; the caller goes on publishing.
    EXPECT_EQ(session.Queue("t", "off1", mqQoS1, 2), 5);
    EXPECT_EQ(session.Queue("t", "off0", mqQoS0, 2), 0);
    EXPECT_THROW(session.Queue("t", "over", mqQoS0, 2), Exception);
    EXPECT_EQ(session.PendingCount(), 3u);
    const TFed fed = Feed({0x20, 0x03, c.SessionPresent ? uint8_t{1} : uint8_t{0}, 0x00, 0x00}, 5, 1 << 30, &session);
    EXPECT_EQ(fed.Sent, c.Expected);
    EXPECT_EQ(session.PendingCount(), 3u);
    const TDiscarded gone = session.Discard();
    EXPECT_EQ(gone.Messages, 3u);
    EXPECT_EQ(session.PendingCount(), 0u);
  }
}

// An identifier still awaiting its acknowledgement is skipped after the
// wrap; with all 65535 in use, a request raises rather than reuse one.
TEST(Session, PacketIdentifiersInUseAreNeverHandedOutAgain) {
  TQORMQTTOutbox box;
  EXPECT_EQ(box.TakeId(), 1);
  for (uint32_t id = 2; id <= 65535; ++id) box.ReleaseId(box.TakeId());
  EXPECT_EQ(box.TakeId(), 2);
  TQORMQTTSession session;
  for (int i = 0; i < 65535; ++i) session.Publish("t", "", mqQoS1, Out());
  EXPECT_THROW(session.Publish("t", "", mqQoS1, Out()), Exception);
  EXPECT_THROW(session.Subscribe("t", mqQoS1, Out()), Exception);
  Feed({0x40, 0x02, 0x01, 0x00}, 5, 1 << 30, &session);  // PUBACK for 256
  EXPECT_EQ(session.Subscribe("t", mqQoS1, Out()).PacketId, 256);
}

// A broker that refuses a publication for want of room (0x97) gets it again
// once one of the others is acknowledged, with one fewer in flight from then
// on; with a single one in flight the refusal ends it.
TEST(Session, AQuotaRefusalKeepsThePublicationAndNarrowsTheWindow) {
  TQORMQTTSession session;
  for (const char* payload : {"a", "b", "c"}) session.Publish("t", payload, mqQoS1, Out());
  TFed fed = Feed({0x40, 0x03, 0x00, 0x03, 0x97}, 5, 1 << 30, &session);
  EXPECT_EQ(session.PendingCount(), 3u);
  EXPECT_TRUE(fed.Sent.empty());
  EXPECT_TRUE(session.Publish("t", "d", mqQoS1, Out()).Held);
  EXPECT_TRUE(session.Publish("t", "z", mqQoS0, Out()).Held);  // QoS 0 keeps its place too
  // An acknowledgement of nothing in flight frees no room.
  EXPECT_TRUE(Feed({0x40, 0x03, 0x00, 0x63, 0x00}, 5, 1 << 30, &session).Sent.empty());
  fed = Feed({0x40, 0x03, 0x00, 0x01, 0x00}, 5, 1 << 30, &session);
  EXPECT_EQ(fed.Sent, std::vector<TBytes>{BuildPublishPacket("t", std::string_view("c"), 1, 3, 5, false, false)});
  Feed({0x40, 0x03, 0x00, 0x02, 0x97}, 5, 1 << 30, &session);  // narrows to one
  fed = Feed({0x40, 0x03, 0x00, 0x03, 0x97}, 5, 1 << 30, &session);  // alone in flight: given up
  EXPECT_EQ(fed.Sent, std::vector<TBytes>{BuildPublishPacket("t", std::string_view("b"), 1, 2, 5, false, false)});
  EXPECT_EQ(session.PendingCount(), 2u);  // b, and d behind it
  fed = Feed({0x40, 0x03, 0x00, 0x02, 0x00}, 5, 1 << 30, &session);
  EXPECT_EQ(fed.Sent, (std::vector<TBytes>{BuildPublishPacket("t", std::string_view("d"), 1, 4, 5, false, false),
                                           BuildPublishPacket("t", std::string_view("z"), 0, 0, 5, false, false)}));
}

// MQTT 5.0 through the session: every publication property delivered, the
// broker's topic aliases resolved and checked, the client's own aliases
// used once the packet that named them has gone and forgotten with the
// link, the broker's words on acknowledgements, an AUTH challenge answered,
// and a resubscription keeping options and identifiers.
TEST(Session, MQTT5PropertiesAliasesWordsAndAuthentication) {
  TQORMQTTSession session;
  TQORMQTTProperties auth;
  auth.AuthenticationMethod = "m";
  TConnectFields fields{true, 60, "c", "", "", {}, nullptr};
  fields.Properties.TopicAliasMaximum = 2;
  fields.Properties.AuthenticationMethod = "m";
  session.Connect(fields, Out());
  session.SetTopicAliases(true);
  const TBytes connack{0x20, 0x06, 0x00, 0x00, 0x03, 0x22, 0x00, 0x01};  // Topic Alias Maximum 1
  Feed(connack, 5, 1 << 30, &session);

  TQORMQTTProperties p;
  p.PayloadFormatIndicator = 1;
  p.MessageExpiryInterval = 9;
  p.ContentType = "text/plain";
  p.ResponseTopic = "re/ply";
  p.CorrelationData = TBytes{0x00, 0xFF, 0x00};
  p.UserProperties = {{"b", "2"}, {"a", "1"}, {"b", "3"}};
  p.SubscriptionIdentifiers = {7, 300};
  TFed fed = Feed(BuildPublishPacket("in", "x", 1, 5, 5, true, true, &p, 1), 5, 1 << 30, &session);
  ASSERT_EQ(fed.Full.size(), 1u);
  TQORMQTTMessage expected{"in", "x", mqQoS1, true, true, 5, 1, 9, "text/plain", "re/ply",
                           TBytes{0x00, 0xFF, 0x00}, p.UserProperties, {7, 300}};
  EXPECT_EQ(fed.Full[0], expected);
  // The broker's alias 1 now stands for "in"; 2 was never named, 3 is above the maximum.
  fed = Feed(BuildPublishPacket("", "y", 0, 0, 5, false, false, nullptr, 1), 5, 1 << 30, &session);
  ASSERT_EQ(fed.Messages.size(), 1u);
  EXPECT_EQ(fed.Messages[0].Topic, "in");
  EXPECT_EQ(Feed(BuildPublishPacket("", "y", 0, 0, 5, false, false, nullptr, 2), 5, 1 << 30, &session).Dispatched, 0u);
  EXPECT_EQ(Feed(BuildPublishPacket("t", "y", 0, 0, 5, false, false, nullptr, 3), 5, 1 << 30, &session).Dispatched,
            0u);

  // Outbound: the first packet names the alias with the topic; once it has
  // been sent, the alias alone stands for the topic.
  const auto publish = [&](const char* ATopic = "t") {
    TFed& out = Out();
    session.Publish(ATopic, "x", mqQoS0, out);
    return out.Sent.at(0);
  };
  const TBytes first = publish();
  EXPECT_EQ(first, BuildPublishPacket("t", "x", 0, 0, 5, false, false, nullptr, 1));
  EXPECT_EQ(publish(), BuildPublishPacket("", "x", 0, 0, 5, false, false, nullptr, 1));
  EXPECT_EQ(publish("u"), BuildPublishPacket("u", std::string_view("x"), 0, 0, 5, false, false));  // no alias left
  session.Connect(fields, Out());  // a new link knows no alias
  Feed(connack, 5, 1 << 30, &session);
  EXPECT_EQ(publish(), first);

  // The broker's words reach the log line and the acknowledgement.
  const uint16_t id = session.Publish("t", "x", mqQoS1, Out()).PacketId;
  fed = Feed({0x40, 0x10, 0, static_cast<uint8_t>(id), 0x10, 0x0C, 0x1F, 0x00, 0x02, 0x6E, 0x6F, 0x26, 0x00, 0x01,
              0x6B, 0x00, 0x01, 0x76},
             5, 1 << 30, &session);
  EXPECT_NE(std::find(fed.Lines.begin(), fed.Lines.end(), "PUBACK received packet_id=" + std::to_string(id) +
                                                             " reason=$10 \"no\" [k=v]"),
            fed.Lines.end());
  ASSERT_EQ(fed.Acks.size(), 1u);
  EXPECT_EQ(fed.Acks[0].ReasonCodes, std::vector<uint8_t>{0x10});
  EXPECT_EQ(fed.Acks[0].ReasonString, "no");
  EXPECT_EQ(fed.Acks[0].UserProperties, (TQORMQTTUserProperties{{"k", "v"}}));

  // AUTH: a challenge of the client's method is answered; another method ends the link.
  auth.AuthenticationData = TBytes{1, 2};
  fed = Feed(BuildAuthPacket(0x18, auth), 5, 1 << 30, &session);
  auth.AuthenticationData = TBytes{2, 1};
  EXPECT_EQ(fed.Sent, std::vector<TBytes>{BuildAuthPacket(0x18, auth)});
  auth.AuthenticationMethod = "other";
  EXPECT_EQ(Feed(BuildAuthPacket(0x18, auth), 5, 1 << 30, &session).Dispatched, 0u);
  TFed& out = Out();
  EXPECT_TRUE(session.Reauthenticate({9}, out));
  EXPECT_EQ(out.Sent, std::vector<TBytes>{BuildAuthPacket(0x19, [] {
              TQORMQTTProperties r;
              r.AuthenticationMethod = "m";
              r.AuthenticationData = TBytes{9};
              return r;
            }())});

  // A retained publication with properties, lost with the link, goes again whole.
  TQORMQTTProperties kept;
  kept.ContentType = "c";
  const uint16_t lost = session.Publish("r", "x", mqQoS1, Out(), {true, std::make_shared<TQORMQTTProperties>(kept)})
                            .PacketId;
  session.Connect(fields, Out());
  fed = Feed({0x20, 0x03, 0x01, 0x00, 0x00}, 5, 1 << 30, &session);
  EXPECT_EQ(fed.Sent, std::vector<TBytes>{BuildPublishPacket("r", "x", 1, lost, 5, true, true, &kept)});

  // Resubscribing keeps each filter's options and its subscription's identifier.
  const uint8_t options = SubscriptionOptions(1, true, false, 2);
  const uint16_t sub = session.Subscribe({{"a", options}}, 42, Out()).PacketId;
  Feed({0x90, 0x04, 0, static_cast<uint8_t>(sub), 0x00, 0x01}, 5, 1 << 30, &session);
  session.Connect(fields, Out());
  fed = Feed(connack, 5, 1 << 30, &session);
  TQORMQTTProperties identifier;
  identifier.SubscriptionIdentifiers = {42};
  ASSERT_FALSE(fed.Sent.empty());
  const auto again = static_cast<uint16_t>(fed.Sent[0][2] << 8 | fed.Sent[0][3]);
  EXPECT_EQ(fed.Sent[0], BuildSubscribePacket({{"a", options}}, again, 5, identifier));
}

// A CONNACK's limits hold for what was queued or kept before it: what they
// forbid is given up with MQTT's reason instead of ending every link.
TEST(Session, APublicationTheNewBrokersLimitsForbidEndsWithItsReason) {
  struct TCase {
    const char* Name;
    TBytes Properties;  // of the CONNACK
    std::vector<std::pair<uint16_t, uint8_t>> Refused;
    size_t Sent;  // PUBLISH packets of the five
  };
  const TCase cases[] = {
      {"no limits", {}, {}, 5},
      {"Maximum QoS 1", {0x24, 0x01}, {{1, 0x9B}}, 4},
      {"Retain Available 0", {0x25, 0x00}, {{2, 0x9A}}, 4},
      {"Maximum Packet Size 60", {0x27, 0, 0, 0, 60}, {{3, 0x95}}, 3},  // the QoS 0 one too, without an event
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TQORMQTTSession session;
    session.Queue("t", "two", mqQoS2, 10);
    session.Queue("t", "kept", mqQoS1, 10, TPublishExtras{true, nullptr});
    session.Queue("t", std::string(100, 'b'), mqQoS1, 10);
    session.Queue("t", std::string(100, 'z'), mqQoS0, 10);
    session.Queue("t", "fine", mqQoS1, 10);
    TBytes connack{0x20, static_cast<uint8_t>(3 + c.Properties.size()), 0, 0, static_cast<uint8_t>(c.Properties.size())};
    connack.insert(connack.end(), c.Properties.begin(), c.Properties.end());
    const TFed fed = Feed(connack, 5, 1 << 30, &session);
    EXPECT_EQ(fed.Completed, c.Refused);
    EXPECT_EQ(fed.Sent.size(), c.Sent);
    EXPECT_EQ(session.PendingCount(), 4u - c.Refused.size());
    for (const auto& [id, reason] : c.Refused)
      EXPECT_NE(std::find_if(fed.Lines.begin(), fed.Lines.end(),
                             [&](const std::string& l) { return l.rfind(Format("PUBLISH packet_id=%d ", id), 0) == 0 &&
                                                                l.find(Format("(reason=$%2.2X)", reason)) != std::string::npos; }),
                fed.Lines.end());
  }
}

// A handle ends once, with what became of its request: acknowledged,
// refused with the broker's words, answered filter by filter, kept across a
// link to a broker that kept no session (under the identifier the caller
// was given, which the complete event reports too), forbidden by that
// broker's limits, discarded with the session.
TEST(Session, HandlesEndWithWhatBecameOfTheirRequests) {
  TQORMQTTSession session;
  uint64_t ids = 0;
  const auto publish = [&](TQORMQTTQoS AQoS, bool ARetain) {
    TPublishExtras extras;
    extras.Retain = ARetain;
    extras.Handle = std::make_shared<TQORMQTTRequestState>(++ids);
    session.Publish("t", "p", AQoS, Out(), extras);
    return extras.Handle;
  };
  const TRequestHandle acked = publish(mqQoS1, false), refused = publish(mqQoS1, false),
                       renewed = publish(mqQoS2, false), forbidden = publish(mqQoS1, true),
                       discarded = publish(mqQoS1, false);
  const TRequestHandle subscribed = std::make_shared<TQORMQTTRequestState>(++ids);
  session.Subscribe({{"a", 1}, {"b", 1}}, 0, Out(), subscribed);
  const TFed first = Feed({0x40, 0x02, 0, 1,                                              // PUBACK 1
                           0x40, 0x09, 0, 2, 0x87, 0x05, 0x1F, 0x00, 0x02, 'n', 'o',       // PUBACK 2: refused, "no"
                           0x90, 0x05, 0, 6, 0x00, 0x01, 0x80},                           // SUBACK: granted 1, refused
                          5, 1 << 30, &session);
  EXPECT_TRUE(!renewed->Done() && !forbidden->Done() && !discarded->Done());
  // The link is lost; the next broker kept no session and has no retained messages.
  const TFed second = Feed({0x20, 0x05, 0x00, 0x00, 0x02, 0x25, 0x00,  // CONNACK
                            0x50, 0x02, 0, 3, 0x70, 0x02, 0, 3},        // PUBREC 3, PUBCOMP 3
                           5, 1 << 30, &session);
  EXPECT_NE(std::find(second.Sent.begin(), second.Sent.end(),
                      BuildPublishPacket("t", std::string_view("p"), 2, 3, 5, false, false)),
            second.Sent.end());
  session.Discard();
  struct TCase {
    const char* Name;
    TRequestHandle Handle;
    TQORMQTTOutcome Outcome;
    uint8_t Code;
    std::string Words;
  };
  for (const TCase& c : {TCase{"acknowledged", acked, ocDelivered, 0x00, ""},
                         TCase{"refused", refused, ocRefused, 0x87, "no"},
                         TCase{"renewed", renewed, ocDelivered, 0x00, ""},
                         TCase{"forbidden", forbidden, ocForbidden, 0x9A, ""},
                         TCase{"discarded", discarded, ocDiscarded, 0x80, ""},
                         TCase{"subscribed", subscribed, ocRefused, 0x80, ""}}) {
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(c.Handle->Done());
    const TQORMQTTResult result = c.Handle->Result();
    EXPECT_EQ(result.Outcome, c.Outcome);
    EXPECT_EQ(result.ReasonCode, c.Code);
    EXPECT_EQ(result.ReasonString, c.Words);
  }
  EXPECT_EQ(subscribed->Result().ReasonCodes, (std::vector<TQORMQTTReasonCode>{static_cast<TQORMQTTReasonCode>(1), mqrcUnspecifiedError}));
  EXPECT_EQ(first.Completed, (std::vector<std::pair<uint16_t, uint8_t>>{{1, 0x00}, {2, 0x87}}));
  EXPECT_EQ(second.Completed, (std::vector<std::pair<uint16_t, uint8_t>>{{4, 0x9A}, {3, 0x00}}));
  EXPECT_EQ(renewed->PacketId(), 3);
}

// Whoever sees a request end (Flush looks at what is still open) finds its
// handle ended too, whichever thread ends it; and a wait "for ever" waits.
TEST(Session, ARequestSeenEndedHasItsHandleEnded) {
  for (int round = 0; round < 500; ++round) {
    TQORMQTTSession session;
    TPublishExtras extras;
    extras.Handle = std::make_shared<TQORMQTTRequestState>(1);
    session.Publish("t", "p", mqQoS1, Out(), extras);
    const uint64_t accepted = session.Accepted();
    std::thread ender([&] {
      if (round % 2 == 0) {
        TFed sink;
        std::string ack{0, 1};
        session.Receive(MQTT_PUBACK << 4, ack, sink);
      } else {
        session.Discard();
      }
    });
    while (session.OpenUpTo(accepted)) {
    }
    const bool done = extras.Handle->Done();
    ender.join();
    ASSERT_TRUE(done) << round;
  }
  TQORMQTTRequestState pending(1);
  std::thread later([&] {
    std::this_thread::sleep_for(20ms);
    pending.Answered(0);
  });
  EXPECT_TRUE(pending.Wait(std::chrono::milliseconds::max()));
  later.join();
}

// A payload the caller gives up is kept without a copy and sent whole, the
// first time and again after a lost link; a small one is copied as always.
TEST(Session, APayloadGivenUpIsKeptAndSentAgainWhole) {
  for (const size_t size : {kTakePayloadSize - 1, kTakePayloadSize, kSeparatePayloadSize}) {
    SCOPED_TRACE(size);
    TQORMQTTSession session;
    const std::string payload(size, 'p');
    std::string given = payload;
    TPublishExtras extras;
    extras.Payload = &given;
    TFed& out = Out();
    session.Publish("t", given, mqQoS1, out, extras);
    EXPECT_EQ(given.empty(), size >= kTakePayloadSize);
    const TBytes expected = BuildPublishPacket("t", std::string_view(payload), 1, 1, 5, false, false);
    EXPECT_EQ(out.Sent, std::vector<TBytes>{expected});
    TBytes again = expected;
    again[0] |= 0x08;  // DUP
    EXPECT_EQ(Feed({0x20, 0x03, 0x01, 0x00, 0x00}, 5, 1 << 30, &session).Sent, std::vector<TBytes>{again});
  }
}

// The sink may call back into the session (an OnLog that publishes): no
// sink call may be made while the session holds its lock, or the thread
// deadlocks. Every call of this sink takes that lock once.
TEST(Session, NoSinkCallIsMadeUnderTheSessionsLock) {
  TQORMQTTSession session;
  struct TReentering : TFed {
    TQORMQTTSession* Session = nullptr;
    void Touch() const { (void)Session->Limits(); }
    void Log(const std::string& ALine) override { Touch(); TFed::Log(ALine); }
    bool Send(TBytes APacket, const TSendMode& AMode) override { Touch(); return TFed::Send(std::move(APacket), AMode); }
    void Deliver(TQORMQTTMessage& AMessage) override { Touch(); TFed::Deliver(AMessage); }
    void Acknowledged(const TQORMQTTAcknowledgement& AAck) override { Touch(); TFed::Acknowledged(AAck); }
    void Connack(uint8_t, bool) override { Touch(); }
    void PublishComplete(uint16_t AId, uint8_t ACode) override { Touch(); TFed::PublishComplete(AId, ACode); }
    void SubscribeComplete(uint16_t, const std::vector<TQORMQTTReasonCode>&, bool) override { Touch(); }
  } sink;
  sink.Session = &session;
  // A session with what a restore repeats: a subscription, a QoS 1 and a QoS 2 publication in flight.
  TBytes stream = {0x90, 0x04, 0, 1, 0x00, 0x01};  // SUBACK of the subscription
  session.Subscribe("a/#", mqQoS1, Out());
  session.Publish("t", "one", mqQoS1, Out());
  session.Publish("t", "two", mqQoS2, Out());
  session.Queue("t", "too big", mqQoS1, 10);
  // The link is lost; a new one has no session and a packet size limit; then the broker's traffic.
  for (const TBytes& p : std::vector<TBytes>{
           {0x20, 0x08, 0, 0, 0x05, 0x27, 0, 0, 0, 12},                      // CONNACK: resubscribe, republish, give up
           {0x40, 0x02, 0, 2}, {0x50, 0x02, 0, 3}, {0x70, 0x02, 0, 3},        // PUBACK, PUBREC, PUBCOMP
           {0x90, 0x04, 0, 5, 0x00, 0x01},                                    // SUBACK of the resubscription
           BuildPublishPacket("in", std::string_view("x"), 2, 9, 5, false, false), {0x62, 0x02, 0, 9}})
    stream.insert(stream.end(), p.begin(), p.end());
  auto fed = std::async(std::launch::async, [&] {
    TMemoryByteSource source(stream, 1 << 30);
    return session.Feed(source, sink);
  });
  if (fed.wait_for(5s) != std::future_status::ready) {
    ADD_FAILURE() << "a sink call was made under the session's lock: the feed deadlocked";
    std::_Exit(1);  // the stuck thread cannot be joined
  }
  EXPECT_EQ(fed.get(), 8u);
  EXPECT_EQ(sink.Completed.size(), 3u);  // the one given up, then the two republished
  EXPECT_EQ(sink.Messages.size(), 1u);
}

// A broker without QoS 2 (RabbitMQ) answers a QoS 2 PUBLISH with PUBACK:
// the publication has arrived at QoS 1 and ends there, said in the log.
TEST(Session, APubackEndsAQoS2PublicationTheBrokerTookAtQoS1) {
  TQORMQTTSession session;
  session.SetProtocolLevel(4);
  EXPECT_EQ(session.Publish("t", "two", mqQoS2, Out()).PacketId, 1);
  const TFed fed = Feed({0x40, 0x02, 0, 1}, 4, 1 << 30, &session);
  EXPECT_EQ(fed.Completed, (std::vector<std::pair<uint16_t, uint8_t>>{{1, 0}}));
  EXPECT_EQ(session.PendingCount(), 0u);
  EXPECT_TRUE(fed.Sent.empty());  // no PUBREL
  EXPECT_NE(std::find(fed.Lines.begin(), fed.Lines.end(), "PUBACK for QoS 2 packet_id=1: the broker took it at QoS 1"),
            fed.Lines.end());
}

// With every identifier taken by publications when a new link needs a
// resubscription, the subscription is not lost: it goes with the first
// identifier an acknowledgement frees.
TEST(Session, AResubscriptionWaitsForAFreeIdentifierRatherThanBeLost) {
  TQORMQTTSession session;
  EXPECT_EQ(session.Subscribe("a/#", mqQoS1, Out()).PacketId, 1);
  Feed({0x90, 0x04, 0, 1, 0x00, 0x01}, 5, 1 << 30, &session);
  for (int i = 0; i < 65535; ++i) session.Queue("t", "p", mqQoS1, 65535);
  EXPECT_THROW(session.Queue("t", "p", mqQoS1, 65536), Exception);
  const TFed connack = Feed({0x20, 0x03, 0, 0, 0}, 5, 1 << 30, &session);
  EXPECT_EQ(connack.Sent.size(), 65535u);  // the publications; no SUBSCRIBE yet
  EXPECT_NE(std::find(connack.Lines.begin(), connack.Lines.end(),
                      "Resubscribing to 1 topic filter(s) waits for a free packet identifier"),
            connack.Lines.end());
  const TFed acked = Feed({0x40, 0x02, 0, 2}, 5, 1 << 30, &session);
  EXPECT_EQ(acked.Sent, std::vector<TBytes>{BuildSubscribePacket("a/#", 1, 2, 5)});
}

// A PUBREL for a message the client does not hold is answered, at 5.0 with
// 0x92 (at 3.1.1 PUBCOMP has no code); a broker ending the session because
// another client took it over is named plainly in the log.
TEST(Session, UnknownReleaseAndSessionTakeOver) {
  const struct {
    uint8_t Level;
    TBytes In;
    TBytes Answer;
  } rows[] = {
      {5, {0x62, 0x02, 0x00, 0x09}, {0x70, 0x04, 0x00, 0x09, 0x92, 0x00}},
      {4, {0x62, 0x02, 0x00, 0x09}, {0x70, 0x02, 0x00, 0x09}},
      // Held since its PUBLISH: released with success.
      {5, BuildPublishPacket("t", std::string_view("x"), 2, 9, 5, false, false),
       {0x70, 0x04, 0x00, 0x09, 0x00, 0x00}},
  };
  for (const auto& row : rows) {
    TBytes in = row.In;
    if (in[0] != 0x62) in.insert(in.end(), {0x62, 0x02, 0x00, 0x09});
    const TFed fed = Feed(in, row.Level);
    ASSERT_FALSE(fed.Sent.empty());
    EXPECT_EQ(fed.Sent.back(), row.Answer) << int(row.Level);
  }
  const TFed fed = Feed({0xE0, 0x02, 0x8E, 0x00});
  EXPECT_NE(std::find(fed.Lines.begin(), fed.Lines.end(),
                      "Session taken over by another client with this client identifier"),
            fed.Lines.end());
}

// The checks that need no link: a port MQTT cannot reach is refused by
// Connect, naming its field, and an IPv6 address may be written "[::1]".
TEST(Session, ConnectRefusesAPortOutOfRangeAndTakesABracketedAddress) {
  const struct {
    int32_t Port;
    bool List;
    const char* Error;
  } rows[] = {
      {70000, false, "BrokerPort is 70000; it must be 1 to 65535"},
      {0, false, "BrokerPort is 0; it must be 1 to 65535"},
      {-1, true, "Brokers[0].Port is -1; it must be 1 to 65535"},
  };
  for (const auto& row : rows) {
    TQORMQTTClient client;
    Aim(client, 1883, "ports");
    if (row.List) client.Brokers = {{"127.0.0.1", row.Port, false}};
    client.BrokerPort = row.Port;
    try {
      client.Connect();
      ADD_FAILURE() << row.Port;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), row.Error);
    }
  }
  TFakeBroker broker;
  TQORMQTTClient client;
  Aim(client, broker.Port(), "bracketed");
  client.BrokerHostName = "[::1]";
  TClientRecorder recorder(client);
  // Nothing listens there on this port: the connection is refused, not the name.
  EXPECT_THROW(client.Connect(), ESocketError);
  EXPECT_TRUE(recorder.HasLine(Format("Connecting to [::1]:%d (SSL=False, protocol=5)", broker.Port())));
  for (const std::string& line : recorder.Lines()) EXPECT_EQ(line.find("resolve"), std::string::npos) << line;
}

// A topic alias adds three bytes to the packet that names it: where the
// broker's Maximum Packet Size leaves no room for them, the publication goes
// without (and the alias stays free), rather than over the limit.
TEST(Session, ATopicAliasNeverTakesAPacketOverTheBrokersLimit) {
  TQORMQTTSession session;
  session.SetTopicAliases(true);
  const TBytes plain = BuildPublishPacket("a/b", std::string_view("xy"), 0, 0, 5, false, false);
  // CONNACK: Topic Alias Maximum 1, Maximum Packet Size of the plain packet exactly.
  Feed({0x20, 0x0B, 0, 0, 0x08, 0x22, 0x00, 0x01, 0x27, 0, 0, 0, static_cast<uint8_t>(plain.size())}, 5, 1 << 30,
       &session);
  TFed& out = Out();
  session.Publish("a/b", "xy", mqQoS0, out);
  session.Publish("c", "", mqQoS0, out);  // short enough to take the alias
  EXPECT_EQ(out.Sent, (std::vector<TBytes>{plain, BuildPublishPacket("c", "", 0, 0, 5, false, false, nullptr, 1)}));
}

// A property MQTT cannot carry makes the broker end the link, and a kept
// publication would end every link after it: refused by the call instead.
TEST(Session, PropertiesMQTTCannotCarryAreRefused) {
  const auto with = [](auto ASet) {
    TQORMQTTProperties p;
    ASet(p);
    return p;
  };
  const struct {
    TQORMQTTProperties Properties;
    const char* Refusal;  // null: accepted
  } cases[] = {
      {with([](auto& p) { p.ContentType = std::string("a\0b", 3); }), "Content Type contains a NUL character, which MQTT forbids"},
      {with([](auto& p) { p.ContentType = "\xC3\x28"; }), "Content Type is not valid UTF-8 (byte 0)"},
      {with([](auto& p) { p.UserProperties = {{"k", "v\xFF"}}; }), "User property value is not valid UTF-8 (byte 1)"},
      {with([](auto& p) { p.UserProperties = {{std::string(1, '\0'), "v"}}; }),
       "User property name contains a NUL character, which MQTT forbids"},
      {with([](auto& p) { p.ResponseTopic = "re/+"; }),
       "Response Topic \"re/+\" contains the wildcard '+'; wildcards belong in topic filters only"},
      {with([](auto& p) { p.PayloadFormatIndicator = 7; }),
       "Payload Format Indicator is 7; it must be 0 (bytes) or 1 (UTF-8 text)"},
      {with([](auto& p) { p.ContentType = std::string(70000, 'c'); }), "Content Type is longer than MQTT allows (65535 bytes)"},
      {with([](auto& p) {
         p.ContentType = "text/plain; charset=\xC3\xBC";
         p.ResponseTopic = "re/ply";
         p.UserProperties = {{"", ""}};
         p.PayloadFormatIndicator = 1;
       }),
       nullptr},
  };
  for (const auto& c : cases) {
    if (!c.Refusal) {
      EXPECT_NO_THROW(CheckProperties(c.Properties));
      continue;
    }
    try {
      CheckProperties(c.Properties);
      ADD_FAILURE() << "accepted: " << c.Refusal;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.Refusal);
    }
  }
}

// A link that takes nothing (gone, or being closed by the caller's
// DISCONNECT): what waits is not failed one by one but waits on, whole.
TEST(Session, WaitingPublicationsStayWhenTheLinkTakesNothing) {
  TQORMQTTSession session;
  for (const char* payload : {"a", "b", "c", "d", "e"}) session.Queue("t", payload, mqQoS1, 10);
  struct TRefusing : TFed {
    bool Send(TBytes, const TSendMode&) override { return false; }
  } refusing;
  TMemoryByteSource connack({0x20, 0x03, 0x00, 0x00, 0x00});
  EXPECT_EQ(session.Feed(connack, refusing), 1u);
  // The CONNACK tries once before its event and once after.
  EXPECT_LE(std::count_if(refusing.Lines.begin(), refusing.Lines.end(),
                          [](const std::string& l) { return l.rfind("Failed to send PUBLISH", 0) == 0; }),
            2);
  EXPECT_EQ(session.PendingCount(), 5u);
  session.Connect(TConnectFields{}, Out());  // the next link: all five go
  EXPECT_EQ(Feed({0x20, 0x03, 0x01, 0x00, 0x00}, 5, 1 << 30, &session).Sent.size(), 5u);
}

// What the broker's CONNACK forbids is refused by the call, naming the
// limit; while there is no link only MQTT's own rules apply.
TEST(Session, ARequestBeyondTheBrokersLimitsIsRefused) {
  TQORMQTTSession session;
  // CONNACK: Maximum QoS 1, Retain Available 0, Maximum Packet Size 40.
  Feed({0x20, 0x0C, 0, 0, 0x09, 0x24, 0x01, 0x25, 0x00, 0x27, 0, 0, 0, 40}, 5, 1 << 30, &session);
  const struct {
    size_t Payload;
    TQORMQTTQoS QoS;
    bool Retain;
    const char* Refusal;
  } cases[] = {
      {1, mqQoS1, true, "The broker has no retained messages (Retain Available 0)"},
      {1, mqQoS2, false, "QoS 2 exceeds the broker's Maximum QoS of 1"},
      {40, mqQoS0, false, "PUBLISH of 46 bytes exceeds the broker's Maximum Packet Size of 40"},
      {1, mqQoS1, false, nullptr},
  };
  for (const auto& c : cases) {
    const TPublishExtras extras{c.Retain, nullptr};
    EXPECT_NO_THROW(session.CheckPublish("t", c.Payload, c.QoS, extras, false));  // offline: the next broker decides
    if (!c.Refusal) {
      EXPECT_NO_THROW(session.CheckPublish("t", c.Payload, c.QoS, extras, true));
      continue;
    }
    try {
      session.CheckPublish("t", c.Payload, c.QoS, extras, true);
      ADD_FAILURE() << "accepted: " << c.Refusal;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.Refusal);
    }
  }
}

// Receiving by pulling: a QoS 1 or 2 message is acknowledged when the
// program takes it, and only on the link it came on. A broker that kept the
// session sends again what it never had acknowledged: QoS 1 is delivered
// again (at least once), QoS 2 is known to be the program's already and is
// acknowledged at once. A QoS 2 copy arriving while the first waits for the
// program brings no PUBREC of its own; one the sink could not take counts
// as never received.
TEST(Session, ATakenMessageIsAcknowledgedThenAndOnItsOwnLinkOnly) {
  struct TPulling : TFed {
    std::vector<TInboundAck> Owed;
    std::vector<bool> SameLink;  // per packet sent
    bool Refuse = false;         // Defer raises: the message never got in
    bool DefersAcknowledgements() const override { return true; }
    void Defer(TQORMQTTMessage& AMessage, const TInboundAck& AAck) override {
      if (Refuse) throw ESocketError("no room");
      Deliver(AMessage);
      Owed.push_back(AAck);
    }
    bool Send(TBytes APacket, const TSendMode& AMode) override {
      SameLink.push_back(AMode.SameLink);
      return TFed::Send(std::move(APacket), AMode);
    }
  };
  for (const uint8_t qos : {1, 2}) {
    SCOPED_TRACE(qos);
    TQORMQTTSession session;
    TPulling sink;
    const auto feed = [&](const TBytes& ABytes) {
      sink.Sent.clear();
      sink.SameLink.clear();
      TMemoryByteSource source(ABytes);
      session.Feed(source, sink);
    };
    const auto publish = [&](uint16_t AId, bool ADup = false) {
      return BuildPublishPacket("t", std::string_view("x"), qos, AId, 5, false, ADup);
    };
    const auto ack = [&](uint16_t AId) {
      return std::vector<TBytes>{qos == 1 ? BuildPubAckPacket(AId, 0, 5) : BuildPubRecPacket(AId, 0, 5)};
    };
    const auto take = [&](size_t AIndex) {
      sink.Sent.clear();
      sink.SameLink.clear();
      return session.AcknowledgeTaken(sink.Owed.at(AIndex), sink);
    };
    session.Connect(TConnectFields{}, sink);
    feed(Connack(0));
    feed(publish(7));
    feed(publish(8));
    ASSERT_EQ(sink.Messages.size(), 2u);
    EXPECT_TRUE(sink.Sent.empty());  // nothing before the program has them
    EXPECT_TRUE(take(0));
    EXPECT_EQ(sink.Sent, ack(7));
    EXPECT_EQ(sink.SameLink, std::vector<bool>{true});

    // The link goes before 8 is taken: the next link hears nothing of it.
    session.Lost(0);
    session.Connect(TConnectFields{}, sink);
    feed(Connack(0, 5, true));
    EXPECT_FALSE(take(1));
    EXPECT_TRUE(sink.Sent.empty());
    feed(publish(8, true));
    if (qos == 1) {
      ASSERT_EQ(sink.Messages.size(), 3u);
      EXPECT_TRUE(sink.Sent.empty());
      EXPECT_TRUE(take(2));
    } else {
      EXPECT_EQ(sink.Messages.size(), 2u);
    }
    EXPECT_EQ(sink.Sent, ack(8));
    if (qos == 1) continue;

    // A copy of 9 while 9 waits for the program: one PUBREC, when taken.
    feed(publish(9));
    feed(publish(9, true));
    EXPECT_TRUE(sink.Sent.empty());
    EXPECT_EQ(sink.Messages.size(), 3u);
    EXPECT_EQ(sink.Lines.back(), "PUBREC for packet id 9 waits until the program takes the message");
    EXPECT_TRUE(take(2));
    EXPECT_EQ(sink.Sent, ack(9));
    // 10 could not be taken in: sent again, it is delivered, not taken for a copy.
    sink.Refuse = true;
    feed(publish(10));
    sink.Refuse = false;
    feed(publish(10, true));
    EXPECT_EQ(sink.Messages.size(), 4u);
    EXPECT_TRUE(sink.Sent.empty());
  }
}

// With a receive queue, CONNECT announces a Receive Maximum no larger than
// the queue, so that the broker holds back what it has no room for.
TEST(Session, ConnectAnnouncesAReceiveMaximumTheReceiveQueueHolds) {
  const struct {
    size_t Limit;
    uint16_t Configured;
    std::optional<uint16_t> Announced;
  } rows[] = {{0, 0, std::nullopt}, {0, 7, 7}, {10, 0, 10}, {10, 5, 5}, {10, 20, 10}, {100000, 0, 65535}};
  for (const auto& row : rows) {
    TQORMQTTClient client;
    client.ReceiveQueueLimit = row.Limit;
    client.ReceiveMaximum = row.Configured;
    const TClientSettings settings = TClientSettings::Take(client);
    TQORMQTTSession session;
    TFed& out = Out();
    session.Connect(settings.ConnectFields("c", nullptr, true), out);
    ASSERT_EQ(out.Sent.size(), 1u);
    // CONNECT: fixed header (2), protocol name (6), level, flags, keep alive (2), properties.
    const TBytes& connect = out.Sent[0];
    TQORMQTTProperties properties;
    DecodeProperties(std::string_view(reinterpret_cast<const char*>(connect.data()) + 2, connect.size() - 2), 10,
                     "CONNECT", properties);
    EXPECT_EQ(properties.ReceiveMaximum, row.Announced) << row.Limit << " " << row.Configured;
  }
}
