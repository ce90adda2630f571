// MQTT over WebSockets against a real broker that speaks it (aedes over ws
// and wss, started per test), and against the fake broker for what aedes
// will not do on demand: ping, close with a reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ClientTestKit.h"
#include "WebSocketBroker.h"
#include "uQORMQTTClient.h"
#include "uWebSocket.h"

using namespace qor;

namespace {

std::string Topic(const std::string& AName) { return "qortest/ws/" + AName + "/" + std::to_string(getpid()); }

}  // namespace

TEST(WebSocket, RoundTripOverWsAndWss) {
  TWebSocketBroker broker;
  ASSERT_TRUE(broker.Start());
  struct TCase {
    const char* Name;
    std::string URL;
    uint8_t Protocol;  // aedes takes 3.1.1 only: 5 falls back by itself
    std::string Connecting;
  } cases[] = {
      {"ws", "ws://127.0.0.1:" + std::to_string(broker.WsPort()) + "/mqtt", MQTT_PROTOCOL_LEVEL_50,
       "Connecting to ws://127.0.0.1:" + std::to_string(broker.WsPort()) + "/mqtt (SSL=False, protocol=5)"},
      {"wss", "wss://localhost:" + std::to_string(broker.WssPort()), MQTT_PROTOCOL_LEVEL_311,
       "Connecting to wss://localhost:" + std::to_string(broker.WssPort()) + "/mqtt (SSL=True, protocol=4)"},
  };
  TQORMQTTIOContext context;
  for (const TCase& c : cases) {
    for (TQORMQTTIOContext* onContext : {static_cast<TQORMQTTIOContext*>(nullptr), &context}) {
      SCOPED_TRACE(std::string(c.Name) + (onContext ? " on an I/O context" : ""));
      TQORMQTTClient client;
      client.IOContext = onContext;
      client.BrokerHostName = c.URL;
      client.BrokerPort = 1;  // the URL decides
      client.UseSSL = false;  // the URL decides
      client.VerifyPeer = true;
      client.CAFile = broker.CAFile();
      client.ProtocolVersion = c.Protocol;
      client.ClientID = std::string("ws-round-trip-") + c.Name + (onContext ? "-context" : "");
      std::atomic<int> completed{0};
      client.OnPublishComplete = [&](uint16_t, TQORMQTTReasonCode AReason) {
        if (AReason == mqrcSuccess) ++completed;
      };
      TClientRecorder recorder(client, c.Name);
      client.Connect();
      EXPECT_TRUE(recorder.HasLine(c.Connecting));
      EXPECT_EQ(client.ProtocolLevel(), MQTT_PROTOCOL_LEVEL_311);
      const std::string topic = Topic(std::string(c.Name) + (onContext ? "-context" : ""));
      client.Subscribe(topic, mqQoS1);
      ASSERT_TRUE(recorder.WaitForLine("SUBACK packet_id=1", 5000, true));
      // A payload of 1 MiB spans many frames' pieces and many reads.
      std::string large(1 << 20, '\0');
      for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + i / 977);
      client.Publish(topic, "zero", mqQoS0);
      client.Publish(topic, "one", mqQoS1);
      client.Publish(topic, large, mqQoS1);
      ASSERT_TRUE(recorder.WaitForMessages(3, 10000));
      const auto got = recorder.Messages();
      EXPECT_EQ(got[0].Payload, "zero");
      EXPECT_EQ(got[1].Payload, "one");
      EXPECT_EQ(got[1].QoS, mqQoS1);
      EXPECT_TRUE(got[2].Payload == large) << "1 MiB payload came back with " << got[2].Payload.size() << " bytes";
      EXPECT_TRUE(WaitUntil([&] { return completed == 2; }));
      client.Disconnect();
      EXPECT_TRUE(recorder.Disconnects().empty());
    }
  }
}

TEST(WebSocket, RefusedUpgradeFailsTheConnectWithWhatTheHostAnswered) {
  TWebSocketBroker broker;
  ASSERT_TRUE(broker.Start());
  for (const std::string scheme : {"ws", "wss"}) {
    SCOPED_TRACE(scheme);
    const std::string where =
        scheme + "://127.0.0.1:" + std::to_string(scheme == "ws" ? broker.WsPort() : broker.WssPort()) + "/other";
    TQORMQTTClient client;
    client.BrokerHostName = where;
    client.ClientID = "ws-refused";
    TClientRecorder recorder(client);
    try {
      client.Connect();
      ADD_FAILURE() << "Connect did not raise";
    } catch (const ESocketError& e) {
      EXPECT_EQ(e.Message(), "WebSocket upgrade refused by " + where + ": HTTP/1.1 404 Not Found");
    }
    EXPECT_EQ(client.ConnectionStatus(), mqDisconnected);
  }
}

TEST(WebSocket, BrokerKilledAndRestartedTheClientReconnects) {
  TWebSocketBroker broker;
  ASSERT_TRUE(broker.Start());
  TQORMQTTClient client;
  client.BrokerHostName = "ws://127.0.0.1:" + std::to_string(broker.WsPort());
  client.ProtocolVersion = MQTT_PROTOCOL_LEVEL_311;
  client.ClientID = "ws-restart";
  client.Reconnect.InitialDelayMs = 100;
  client.Reconnect.MaxDelayMs = 200;
  TClientRecorder recorder(client);
  client.Connect();
  const std::string topic = Topic("restart");
  client.Subscribe(topic, mqQoS1);
  ASSERT_TRUE(recorder.WaitForLine("SUBACK packet_id=1", 5000, true));
  broker.Kill();
  ASSERT_TRUE(recorder.WaitForDisconnects(1));
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(recorder.WaitForLine("Reconnected successfully", 10000));
  // The subscription is made again on the new link.
  ASSERT_TRUE(recorder.WaitForLine("SUBACK packet_id=", 5000, true));
  client.Publish(topic, "after", mqQoS1);
  ASSERT_TRUE(recorder.WaitForMessages(1));
  EXPECT_EQ(recorder.Messages()[0].Payload, "after");
  EXPECT_EQ(recorder.Disconnects().size(), 1u);
}

namespace {

// One frame of the client's, unmasked: its first byte and payload; the
// first byte 0 when none came or the frame was not masked.
std::pair<uint8_t, TBytes> ReadClientFrame(TFakeConnection& AConn) {
  uint8_t head[2];
  if (!AConn.ReadBytes(head, 2)) return {};
  uint64_t length = head[1] & 0x7F;
  const int extra = length == 126 ? 2 : length == 127 ? 8 : 0;
  if (extra > 0) {
    uint8_t ext[8];
    if (!AConn.ReadBytes(ext, static_cast<size_t>(extra))) return {};
    length = 0;
    for (int i = 0; i < extra; ++i) length = length << 8 | ext[i];
  }
  uint8_t mask[4];
  TBytes payload(length);
  if ((head[1] & 0x80) == 0 || !AConn.ReadBytes(mask, 4) || !AConn.ReadBytes(payload.data(), payload.size())) return {};
  for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= mask[i % 4];
  return {head[0], payload};
}

TBytes ServerFrame(uint8_t AFirst, const TBytes& APayload) {
  TBytes f{AFirst, static_cast<uint8_t>(APayload.size())};
  f.insert(f.end(), APayload.begin(), APayload.end());
  return f;
}

}  // namespace

TEST_F(FakeBrokerTest, WebSocketPingsAreAnsweredAndACloseEndsTheLinkWithItsReason) {
  Client.BrokerHostName = "ws://127.0.0.1:" + std::to_string(Broker.Port()) + "/path?token=t0ken";
  Client.ProtocolVersion = MQTT_PROTOCOL_LEVEL_311;
  Client.WebSocketHeaders = {{"Authorization", "Bearer t0ken"}};
  std::thread connecting([&] { Client.Connect(); });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  std::string request;
  for (uint8_t c; request.find("\r\n\r\n") == std::string::npos && conn->ReadBytes(&c, 1);) request += char(c);
  EXPECT_EQ(request.rfind("GET /path?token=t0ken HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nAuthorization: Bearer t0ken\r\n"), std::string::npos) << request;
  const size_t keyAt = request.find("Sec-WebSocket-Key: ") + 19;
  const std::string key = request.substr(keyAt, request.find("\r\n", keyAt) - keyAt);
  // A ping right behind the answer, in the same write: it belongs to the stream.
  const std::string answer =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      WebSocketAccept(key) + "\r\nSec-WebSocket-Protocol: mqtt\r\n\r\n";
  TBytes first(answer.begin(), answer.end());
  const TBytes ping = ServerFrame(0x89, {'p', '1'});
  first.insert(first.end(), ping.begin(), ping.end());
  conn->Send(first);
  // The reader may answer the ping before the writer has sent the CONNECT.
  auto one = ReadClientFrame(*conn), other = ReadClientFrame(*conn);
  if (one.first == 0x8A) std::swap(one, other);
  EXPECT_EQ(one.first, 0x82);
  ASSERT_FALSE(one.second.empty());
  EXPECT_EQ(one.second[0], 0x10) << "CONNECT in a binary frame";
  EXPECT_EQ(other.first, 0x8A);
  EXPECT_EQ(other.second, (TBytes{'p', '1'})) << "the pong carries the ping's payload";
  // The CONNACK in two fragments.
  const TBytes connack = Connack(0, 4);
  TBytes split = ServerFrame(0x02, TBytes(connack.begin(), connack.begin() + 1));
  const TBytes rest = ServerFrame(0x80, TBytes(connack.begin() + 1, connack.end()));
  split.insert(split.end(), rest.begin(), rest.end());
  conn->Send(split);
  connecting.join();
  ASSERT_EQ(Client.ConnectionStatus(), mqConnected);
  conn->Send(ServerFrame(0x88, {0x03, 0xE9, 'g', 'o', 'n', 'e'}));
  EXPECT_TRUE(Recorder.WaitForLine("Reader thread error: ESocketError: the broker closed the WebSocket: 1001 gone"));
  const auto [closeHead, close] = ReadClientFrame(*conn);
  EXPECT_EQ(closeHead, 0x88);
  EXPECT_EQ(close, (TBytes{0x03, 0xE9})) << "the close is answered with its code";
  EXPECT_TRUE(Recorder.WaitForDisconnects(1));
  for (const std::string& line : Recorder.Lines()) EXPECT_EQ(line.find("t0ken"), std::string::npos) << line;
  Client.Disconnect();
}

// A host that takes the connection and never answers the upgrade holds
// neither Disconnect nor the connect deadline up.
TEST_F(FakeBrokerTest, AnUnansweredUpgradeIsCutShortByDisconnect) {
  Client.BrokerHostName = "ws://127.0.0.1:" + std::to_string(Broker.Port());
  Client.ConnectTimeoutSecs = 60;
  std::string error;
  std::thread connecting([&] {
    try {
      Client.Connect();
    } catch (const Exception& e) {
      error = e.Message();
    }
  });
  auto conn = Broker.Accept();
  ASSERT_TRUE(conn);
  uint8_t first[4];
  ASSERT_TRUE(conn->ReadBytes(first, sizeof first));  // the request has come
  Client.Disconnect();
  connecting.join();
  EXPECT_NE(error.find("cancelled"), std::string::npos) << error;
  EXPECT_EQ(Client.ConnectionStatus(), mqDisconnected);
}
