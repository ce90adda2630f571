// The broker suite: the client against a broker on this machine with
// listeners on 1883 (plain), 8883 (TLS) and 1884 (user "rw"). Each check
// that cannot connect prints a "[skip]" note and passes.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "TestCase.h"
#include "uQORMQTTClient.h"

class TMQTTIntegrationTests : public qor::TTestCase {
 public:
  void SetUp() override;
  void TearDown() override;

  void TestConnect_PlainText();
  void TestConnect_TLS();
  void TestConnect_WithAuth();
  void TestConnect_BadCredentials();
  void TestDisconnect();
  void TestPublish_QoS0();
  void TestPublish_QoS1();
  void TestSubscribeAndReceive();
  void TestKeepAlive();

  // "yyyymmddhhnnsszzz_N" with N counting up across the whole run.
  static std::string UniqueTopicSuffix();

 private:
  // The message handler, on the subscriber's reader thread.
  void OnMessage(const std::string& ATopic, const std::string& APayload, qor::TQORMQTTQoS AQoS);
  bool TryConnect();
  void WaitForMessage();
  // The last message received, taken together under the lock.
  void ReceivedMessage(std::string& ATopic, std::string& APayload);
  void Configure(qor::TQORMQTTClient& AClient, int32_t APort, bool AUseSSL,
                 const std::string& AClientID, const std::string& AUsername = "",
                 const std::string& APassword = "", int32_t AKeepAliveSecs = 30,
                 bool AWithOnMessage = false);

  std::unique_ptr<qor::TQORMQTTClient> FClient;
  std::string FUniqueTopicBase;
  std::mutex FReceivedLock;  // guards the two texts against a later delivery
  std::string FReceivedTopic;
  std::string FReceivedPayload;
  std::atomic<bool> FMessageReceived{false};
};

void RegisterIntegrationTests();
