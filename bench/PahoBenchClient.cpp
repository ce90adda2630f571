// Paho C, both of its APIs: the synchronous MQTTClient (with callbacks for
// arrivals and deliveries) and the asynchronous MQTTAsync. MQTT 3.1.1, the
// default of both.
#include <MQTTAsync.h>
#include <MQTTClient.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "BenchClient.h"

namespace {

std::string Uri(uint16_t APort) { return "tcp://127.0.0.1:" + std::to_string(APort); }

class TPahoSyncBenchClient : public IBenchClient {
 public:
  ~TPahoSyncBenchClient() override {
    if (FClient) MQTTClient_destroy(&FClient);
  }
  void Connect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) override {
    FOnMessage = std::move(AOnMessage);
    if (MQTTClient_create(&FClient, Uri(APort).c_str(), AClientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                          nullptr) != MQTTCLIENT_SUCCESS)
      throw std::runtime_error("MQTTClient_create failed");
    MQTTClient_setCallbacks(
        FClient, this, nullptr,
        [](void* AThis, char* ATopic, int, MQTTClient_message* AMessage) -> int {
          static_cast<TPahoSyncBenchClient*>(AThis)->FOnMessage(static_cast<const char*>(AMessage->payload),
                                                                 static_cast<size_t>(AMessage->payloadlen));
          MQTTClient_freeMessage(&AMessage);
          MQTTClient_free(ATopic);
          return 1;
        },
        [](void* AThis, MQTTClient_deliveryToken AToken) {
          static_cast<TPahoSyncBenchClient*>(AThis)->FAcks.Acknowledged(AToken);
        });
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.keepAliveInterval = 60;
    options.cleansession = 1;
    if (MQTTClient_connect(FClient, &options) != MQTTCLIENT_SUCCESS)
      throw std::runtime_error("MQTTClient_connect failed");
  }
  void Subscribe(const std::string& ATopic, int AQoS) override {
    MQTTClient_subscribe(FClient, ATopic.c_str(), AQoS);
  }
  // MQTTClient_subscribe itself waits for the SUBACK, up to Paho's own
  // command timeout (10 s) rather than ATimeout.
  bool SubscribeAndWait(const std::string& ATopic, int AQoS, std::chrono::milliseconds) override {
    return MQTTClient_subscribe(FClient, ATopic.c_str(), AQoS) == MQTTCLIENT_SUCCESS;
  }
  void Publish(const std::string& ATopic, const std::string& APayload, int AQoS) override {
    MQTTClient_deliveryToken token = 0;
    MQTTClient_publish(FClient, ATopic.c_str(), static_cast<int>(APayload.size()), APayload.data(), AQoS, 0,
                       &token);
    if (AQoS > 0) FAcks.Sent(token);
  }
  size_t InFlight() override { return FAcks.InFlight(); }
  void Disconnect() override { MQTTClient_disconnect(FClient, 1000); }
  // Neither reconnects by itself nor keeps what is published while offline.
  bool OffersDurability() const override { return false; }

 private:
  MQTTClient FClient = nullptr;
  TMessageHandler FOnMessage;
  TAckTracker FAcks;
};

class TPahoAsyncBenchClient : public IBenchClient {
 public:
  ~TPahoAsyncBenchClient() override {
    if (FClient) MQTTAsync_destroy(&FClient);
  }
  void Connect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) override {
    StartConnect(APort, AClientId, std::move(AOnMessage));
    for (int i = 0; i < 1000000 && FConnected == 0; ++i) std::this_thread::sleep_for(std::chrono::microseconds(5));
    if (FConnected != 1) throw std::runtime_error("MQTTAsync: no CONNACK");
  }
  bool ConnectsInBackground() const override { return true; }
  int ConnectState() override { return FConnected; }
  void StartConnect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) override {
    FOnMessage = std::move(AOnMessage);
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    if (Durable) {
      create.sendWhileDisconnected = 1;
      create.maxBufferedMessages = 10000;
    }
    if (MQTTAsync_createWithOptions(&FClient, Uri(APort).c_str(), AClientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                                    nullptr, &create) != MQTTASYNC_SUCCESS)
      throw std::runtime_error("MQTTAsync_create failed");
    MQTTAsync_setCallbacks(
        FClient, this, nullptr,
        [](void* AThis, char* ATopic, int, MQTTAsync_message* AMessage) -> int {
          static_cast<TPahoAsyncBenchClient*>(AThis)->FOnMessage(static_cast<const char*>(AMessage->payload),
                                                                  static_cast<size_t>(AMessage->payloadlen));
          MQTTAsync_freeMessage(&AMessage);
          MQTTAsync_free(ATopic);
          return 1;
        },
        nullptr);
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.keepAliveInterval = Durable ? 2 : 60;
    options.cleansession = Durable ? 0 : 1;
    options.maxInflight = 65535;  // the benchmark sets its own window
    if (Durable) {
      options.automaticReconnect = 1;
      options.minRetryInterval = 1;
      options.maxRetryInterval = 2;
    }
    options.context = this;
    options.onSuccess = [](void* AThis, MQTTAsync_successData*) {
      static_cast<TPahoAsyncBenchClient*>(AThis)->FConnected = 1;
    };
    options.onFailure = [](void* AThis, MQTTAsync_failureData*) {
      static_cast<TPahoAsyncBenchClient*>(AThis)->FConnected = -1;
    };
    if (MQTTAsync_connect(FClient, &options) != MQTTASYNC_SUCCESS)
      throw std::runtime_error("MQTTAsync_connect failed");
  }
  void Subscribe(const std::string& ATopic, int AQoS) override {
    MQTTAsync_subscribe(FClient, ATopic.c_str(), AQoS, nullptr);
  }
  // The outcome lands in a member, not on the stack: an answer that comes
  // after the wait gave up must still find it.
  bool SubscribeAndWait(const std::string& ATopic, int AQoS, std::chrono::milliseconds ATimeout) override {
    FSubscribed = 0;
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    response.context = this;
    response.onSuccess = [](void* AThis, MQTTAsync_successData* AData) {
      static_cast<TPahoAsyncBenchClient*>(AThis)->FSubscribed = AData->alt.qos < 0x80 ? 1 : -1;
    };
    response.onFailure = [](void* AThis, MQTTAsync_failureData*) {
      static_cast<TPahoAsyncBenchClient*>(AThis)->FSubscribed = -1;
    };
    if (MQTTAsync_subscribe(FClient, ATopic.c_str(), AQoS, &response) != MQTTASYNC_SUCCESS) return false;
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    while (FSubscribed == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    return FSubscribed == 1;
  }
  void Publish(const std::string& ATopic, const std::string& APayload, int AQoS) override {
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    if (AQoS > 0) {
      ++FInFlight;  // before sending: the acknowledgement cannot overtake it
      response.context = this;
      response.onSuccess = [](void* AThis, MQTTAsync_successData*) {
        --static_cast<TPahoAsyncBenchClient*>(AThis)->FInFlight;
      };
    }
    // Its own queue may be full: wait and try again.
    while (MQTTAsync_send(FClient, ATopic.c_str(), static_cast<int>(APayload.size()), APayload.data(), AQoS, 0,
                          &response) == MQTTASYNC_MAX_BUFFERED_MESSAGES)
      std::this_thread::yield();
  }
  bool Offer(const std::string& ATopic, const std::string& APayload, int AQoS) override {
    return MQTTAsync_send(FClient, ATopic.c_str(), static_cast<int>(APayload.size()), APayload.data(), AQoS, 0,
                          nullptr) == MQTTASYNC_SUCCESS;
  }
  size_t InFlight() override { return static_cast<size_t>(std::max<int64_t>(FInFlight.load(), 0)); }
  void Disconnect() override {
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    options.timeout = 1000;
    MQTTAsync_disconnect(FClient, &options);
    for (int i = 0; i < 200 && MQTTAsync_isConnected(FClient); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

 private:
  MQTTAsync FClient = nullptr;
  TMessageHandler FOnMessage;
  std::atomic<int> FConnected{0};
  std::atomic<int> FSubscribed{0};
  std::atomic<int64_t> FInFlight{0};
};

}  // namespace

std::unique_ptr<IBenchClient> CreatePahoSyncBenchClient() { return std::make_unique<TPahoSyncBenchClient>(); }
std::unique_ptr<IBenchClient> CreatePahoAsyncBenchClient() { return std::make_unique<TPahoAsyncBenchClient>(); }
