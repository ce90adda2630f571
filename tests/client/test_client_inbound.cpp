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

TEST(Inbound, FiveByteLengthsAndEmptyInputEndCleanly) {
  EXPECT_EQ(Feed({}).Dispatched, 0u);
  // A remaining length of five bytes: the handler gives up; the stream goes on.
  const TFed fed = Feed({0x40, 0x80, 0x80, 0x80, 0x80, 0x01, 0xD0, 0x00});
  EXPECT_EQ(fed.Dispatched, 2u);
  EXPECT_EQ(fed.Lines.back(), "PINGRESP received");
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
