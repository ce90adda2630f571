#include "test_MQTTIntegration.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

#include "TestRegistry.h"

using namespace qor;

namespace {

// A loopback name; QOR_TEST_BROKER points the suite at another host.
std::string TestBroker() {
  const char* host = std::getenv("QOR_TEST_BROKER");
  return host && *host ? host : "localhost";
}

const std::string TEST_BROKER = TestBroker();
constexpr int32_t TEST_PORT_PLAIN = 1883;
constexpr int32_t TEST_PORT_TLS = 8883;
constexpr int32_t TEST_PORT_AUTH = 1884;
const std::string TEST_USERNAME = "rw";
const std::string TEST_PASSWORD = "plumhouse";
const std::string TEST_TOPIC_PREFIX = "qortest/";
constexpr int ASYNC_WAIT_MS = 5000;
constexpr int POLL_INTERVAL_MS = 50;
constexpr int32_t KEEPALIVE_SECS = 5;
constexpr int WAIT_SECS = 12;

// Touched only by the runner's thread.
int32_t GRunCounter = 0;

void Skip(const std::string& ALine) { std::cout << ALine << std::endl; }

void SleepMs(int AMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

}  // namespace

std::string TMQTTIntegrationTests::UniqueTopicSuffix() {
  ++GRunCounter;
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
  char millis[8];
  std::snprintf(millis, sizeof millis, "%03d", static_cast<int>(ms));
  return std::string(stamp) + millis + "_" + std::to_string(GRunCounter);
}

void TMQTTIntegrationTests::SetUp() {
  FClient = std::make_unique<TQORMQTTClient>();
  FMessageReceived = false;
  FReceivedTopic.clear();
  FReceivedPayload.clear();
  FUniqueTopicBase = TEST_TOPIC_PREFIX + UniqueTopicSuffix() + "/";
}

void TMQTTIntegrationTests::TearDown() {
  if (!FClient) return;
  try {
    if (FClient->IsConnected()) FClient->Disconnect(mqrcSuccess);
  } catch (...) {
    // A failing disconnect must not hide the check's own outcome.
  }
  FClient.reset();
}

void TMQTTIntegrationTests::OnMessage(const std::string& ATopic, const std::string& APayload,
                                      TQORMQTTQoS) {
  {
    std::lock_guard<std::mutex> guard(FReceivedLock);
    FReceivedTopic = ATopic;
    FReceivedPayload = APayload;
  }
  FMessageReceived.store(true, std::memory_order_release);
}

void TMQTTIntegrationTests::ReceivedMessage(std::string& ATopic, std::string& APayload) {
  std::lock_guard<std::mutex> guard(FReceivedLock);
  ATopic = FReceivedTopic;
  APayload = FReceivedPayload;
}

bool TMQTTIntegrationTests::TryConnect() {
  try {
    FClient->Connect();
    return true;
  } catch (const Exception& e) {
    Skip("  [skip] Broker unreachable: " + e.Message());
    return false;
  }
}

void TMQTTIntegrationTests::WaitForMessage() {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (FMessageReceived.load(std::memory_order_acquire)) return;
    if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(ASYNC_WAIT_MS)) return;
    SleepMs(POLL_INTERVAL_MS);
  }
}

void TMQTTIntegrationTests::Configure(TQORMQTTClient& AClient, int32_t APort, bool AUseSSL,
                                      const std::string& AClientID, const std::string& AUsername,
                                      const std::string& APassword, int32_t AKeepAliveSecs,
                                      bool AWithOnMessage) {
  AClient.BrokerHostName = TEST_BROKER;
  AClient.BrokerPort = APort;
  AClient.UseSSL = AUseSSL;
  AClient.ClientID = AClientID;
  if (!AUsername.empty()) {
    AClient.Username = AUsername;
    AClient.Password = APassword;
  }
  AClient.CleanStart = true;
  AClient.KeepAliveSecs = AKeepAliveSecs;
  if (AWithOnMessage) {
    AClient.OnMessage = [this](const std::string& ATopic, const std::string& APayload,
                               TQORMQTTQoS AQoS) { OnMessage(ATopic, APayload, AQoS); };
  }
}

void TMQTTIntegrationTests::TestConnect_PlainText() {
  Configure(*FClient, TEST_PORT_PLAIN, false, "qortest_plain_" + UniqueTopicSuffix());
  if (!TryConnect()) return Skip("  [skip] TestConnect_PlainText: broker unreachable");
  AssertTrue("Should be connected after successful Connect", FClient->IsConnected());
  FClient->Disconnect(mqrcSuccess);
  AssertFalse("Should not be connected after Disconnect", FClient->IsConnected());
}

void TMQTTIntegrationTests::TestConnect_TLS() {
  Configure(*FClient, TEST_PORT_TLS, true, "qortest_tls_" + UniqueTopicSuffix());
  if (!TryConnect())
    return Skip("  [skip] TestConnect_TLS: broker unreachable or TLS unavailable");
  AssertTrue("Should be connected via TLS", FClient->IsConnected());
}

void TMQTTIntegrationTests::TestConnect_WithAuth() {
  Configure(*FClient, TEST_PORT_AUTH, false, "qortest_auth_" + UniqueTopicSuffix(), TEST_USERNAME,
            TEST_PASSWORD);
  if (!TryConnect()) return Skip("  [skip] TestConnect_WithAuth: broker unreachable");
  AssertTrue("Should be connected with valid credentials", FClient->IsConnected());
}

void TMQTTIntegrationTests::TestConnect_BadCredentials() {
  Configure(*FClient, TEST_PORT_AUTH, false, "qortest_badauth_" + UniqueTopicSuffix(), TEST_USERNAME,
            "BAD_CREDENTIAL");
  try {
    FClient->Connect();
  } catch (...) {
    // Refused, unreachable or timed out: all mean not connected.
  }
  AssertFalse("Must NOT be connected with wrong password", FClient->IsConnected());
}

void TMQTTIntegrationTests::TestDisconnect() {
  Configure(*FClient, TEST_PORT_PLAIN, false, "qortest_disc_" + UniqueTopicSuffix());
  if (!TryConnect()) return Skip("  [skip] TestDisconnect: broker unreachable");
  AssertTrue("Should be connected before Disconnect", FClient->IsConnected());
  FClient->Disconnect(mqrcSuccess);
  AssertFalse("Should not be connected after Disconnect", FClient->IsConnected());
}

void TMQTTIntegrationTests::TestPublish_QoS0() {
  Configure(*FClient, TEST_PORT_PLAIN, false, "qortest_pub0_" + UniqueTopicSuffix());
  if (!TryConnect()) return Skip("  [skip] TestPublish_QoS0: broker unreachable");
  FClient->Publish(FUniqueTopicBase + "qos0", "hello QoS0", mqQoS0);
  AssertTrue("Still connected after QoS 0 publish", FClient->IsConnected());
}

void TMQTTIntegrationTests::TestPublish_QoS1() {
  Configure(*FClient, TEST_PORT_PLAIN, false, "qortest_pub1_" + UniqueTopicSuffix());
  if (!TryConnect()) return Skip("  [skip] TestPublish_QoS1: broker unreachable");
  try {
    FClient->Publish(FUniqueTopicBase + "qos1", "hello QoS1", mqQoS1);
  } catch (const Exception& e) {
    Fail("Unexpected exception during QoS 1 publish: " + e.Message());
  }
  SleepMs(500);  // time for the PUBACK to be read
  AssertTrue("Still connected after QoS 1 publish", FClient->IsConnected());
}

void TMQTTIntegrationTests::TestSubscribeAndReceive() {
  // One suffix for the topic and both identifiers.
  const std::string suffix = UniqueTopicSuffix();
  const std::string topic = TEST_TOPIC_PREFIX + suffix + "/msg";
  Configure(*FClient, TEST_PORT_PLAIN, false, "qortest_sub_" + suffix, "", "", 30, true);
  if (!TryConnect())
    return Skip("  [skip] TestSubscribeAndReceive: broker unreachable (subscriber)");
  FClient->Subscribe(topic, mqQoS0);
  SleepMs(300);  // time for the broker to register the subscription

  // Freed on every path; freeing disconnects it.
  auto publisher = std::make_unique<TQORMQTTClient>();
  Configure(*publisher, TEST_PORT_PLAIN, false, "qortest_pub_" + suffix);
  try {
    publisher->Connect();
  } catch (const Exception& e) {
    return Skip("  [skip] TestSubscribeAndReceive: broker unreachable (publisher): " + e.Message());
  }
  publisher->Publish(topic, "integration-test-payload", mqQoS0);
  WaitForMessage();
  AssertTrue("Message should have been received within " + std::to_string(ASYNC_WAIT_MS) + " ms",
             FMessageReceived.load(std::memory_order_acquire));
  std::string receivedTopic, receivedPayload;
  ReceivedMessage(receivedTopic, receivedPayload);
  AssertEquals("Received topic should match published topic", topic, receivedTopic);
  AssertEquals("Received payload should match published payload",
               std::string("integration-test-payload"), receivedPayload);
  publisher->Disconnect(mqrcSuccess);
}

void TMQTTIntegrationTests::TestKeepAlive() {
  Configure(*FClient, TEST_PORT_PLAIN, false, "qortest_ka_" + UniqueTopicSuffix(), "", "",
            KEEPALIVE_SECS);
  if (!TryConnect()) return Skip("  [skip] TestKeepAlive: broker unreachable");
  AssertTrue("Connected before keepalive wait", FClient->IsConnected());
  SleepMs(WAIT_SECS * 1000);  // no traffic from here: the keepalive thread alone holds the session
  const bool connected = FClient->IsConnected();
  AssertTrue("Should still be connected after " + std::to_string(WAIT_SECS) + "s (keepalive=" +
                 std::to_string(KEEPALIVE_SECS) + "s)",
             connected);
}

void RegisterIntegrationTests() {
  using T = TMQTTIntegrationTests;
  RegisterTestSuite<T>("TMQTTIntegrationTests", {
                                                    QOR_TEST(T, TestConnect_PlainText),
                                                    QOR_TEST(T, TestConnect_TLS),
                                                    QOR_TEST(T, TestConnect_WithAuth),
                                                    QOR_TEST(T, TestConnect_BadCredentials),
                                                    QOR_TEST(T, TestDisconnect),
                                                    QOR_TEST(T, TestPublish_QoS0),
                                                    QOR_TEST(T, TestPublish_QoS1),
                                                    QOR_TEST(T, TestSubscribeAndReceive),
                                                    QOR_TEST(T, TestKeepAlive),
                                                });
}
