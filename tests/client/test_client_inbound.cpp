// The inbound parser on exact byte sequences, without a socket: what a
// broken or hostile peer can make it do, and what it cannot.
#include <gtest/gtest.h>

#include "ClientTestKit.h"
#include "uQORMQTTInboundDriver.h"

using namespace qor;

namespace {

struct TFed {
  size_t Dispatched;
  std::vector<TReceived> Messages;
  std::vector<std::string> Lines;
};

TFed Feed(const TBytes& ABytes, uint8_t ALevel = 5, int APiece = 1 << 30) {
  TQORMQTTClient client;
  TClientRecorder recorder(client);
  TMemoryByteSource source(ABytes, APiece);
  const size_t n = TQORMQTTInboundDriver(client, ALevel).Feed(source);
  return {n, recorder.Messages(), recorder.Lines()};
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
           TCase{"CONNACK of one byte", {0x20, 0x01, 0x00}, 0, 5},
           TCase{"PUBACK of one byte", {0x40, 0x01, 0x00}, 0, 5},
           TCase{"PUBREC without a body", {0x50, 0x00}, 0, 5},
           TCase{"PUBREL of one byte", {0x62, 0x01, 0x00}, 0, 4},
           TCase{"PUBCOMP of one byte", {0x70, 0x01, 0x00}, 0, 5},
           TCase{"SUBACK of one byte", {0x90, 0x01, 0x00}, 0, 5},
           TCase{"SUBACK properties past the body", {0x90, 0x04, 0x00, 0x01, 0x05, 0x00}, 0, 5},
           TCase{"UNSUBACK of one byte", {0xB0, 0x01, 0x00}, 0, 4},
           TCase{"PINGRESP with a body", {0xD0, 0x02, 0xAA, 0xBB}, 2, 5},
           TCase{"PUBACK with properties and more", {0x40, 0x07, 0x00, 0x01, 0x10, 0x02, 0x1F, 0x00, 0xEE}, 2, 5},
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
