// What a program builds on: handles on its requests, waiting for them all,
// against a real broker that dies under them.
#include <gtest/gtest.h>
#include <signal.h>

#include <mutex>
#include <set>

#include "ClientTestKit.h"
#include "PrivateBroker.h"
#include "uQORFormat.h"

using namespace qor;
using namespace std::chrono_literals;

// Publications in flight when the broker hangs, and one accepted while it is
// gone, survive its death and a restart without their session: each handle
// ends delivered, the complete events name the identifiers the caller was
// given, a subscription's handle carries the QoS granted, and Flush finds
// nothing open.
TEST(Handles, SurviveABrokerKilledAndRestartedWithoutTheSession) {
  TPrivateBroker broker;
  ASSERT_TRUE(broker.Start());
  TQORMQTTClient client;
  Aim(client, broker.Port(), "handles");
  client.OfflineQueueLimit = 10;
  TClientRecorder recorder(client);
  std::mutex mutex;
  std::set<uint16_t> completed;
  client.OnPublishComplete = [&](uint16_t AId, TQORMQTTReasonCode) {
    std::lock_guard<std::mutex> guard(mutex);
    completed.insert(AId);
  };
  client.Connect();
  const TQORMQTTResult granted = client.SubscribeAsync("handles/#", mqQoS1).Get();
  EXPECT_EQ(granted.Outcome, ocDelivered);
  EXPECT_EQ(granted.ReasonCodes, std::vector<TQORMQTTReasonCode>{static_cast<TQORMQTTReasonCode>(1)});

  kill(broker.Pid(), SIGSTOP);
  std::vector<TQORMQTTHandle> handles;
  for (const TQORMQTTQoS qos : {mqQoS1, mqQoS2, mqQoS1}) handles.push_back(client.PublishAsync("handles/t", "x", qos));
  EXPECT_FALSE(client.Flush(200ms));
  broker.Kill();
  ASSERT_TRUE(recorder.WaitForDisconnects(1));
  handles.push_back(client.PublishAsync("handles/t", "offline", mqQoS1));
  handles.push_back(client.PublishAsync("handles/t", "offline", mqQoS0));
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(client.Flush(15s));
  std::set<uint16_t> given;
  for (size_t i = 0; i < handles.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(handles[i].Id(), i + 2);  // the subscription was the first
    ASSERT_TRUE(handles[i].Done());
    EXPECT_EQ(handles[i].Result().Outcome, ocDelivered);
    if (handles[i].PacketId() != 0) given.insert(handles[i].PacketId());
  }
  EXPECT_TRUE(recorder.HasLine(Format("Republishing packet_id=%d as a new message (the broker kept no session)",
                                      handles[0].PacketId())));
  // The events fire just after the handles end.
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(mutex);
    return completed == given;
  }));
}
