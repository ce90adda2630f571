#include <stdexcept>

#include "BenchClient.h"
#include "uQORMQTTClient.h"

namespace {

class TQorBenchClient : public IBenchClient {
 public:
  void Connect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) override {
    FClient.BrokerHostName = "127.0.0.1";
    FClient.BrokerPort = APort;
    FClient.UseSSL = false;
    FClient.ClientID = AClientId;
    if (Durable) {
      FClient.CleanStart = false;
      FClient.SessionExpiryInterval = 300;
      FClient.KeepAliveSecs = 2;
      FClient.ConnectTimeoutSecs = 2;
      FClient.OfflineQueueLimit = 10000;
    }
    FClient.OnMessage = [handler = std::move(AOnMessage)](const std::string&, const std::string& APayload,
                                                          qor::TQORMQTTQoS) {
      handler(APayload.data(), APayload.size());
    };
    try {
      FClient.Connect();
    } catch (const qor::Exception& e) {
      throw std::runtime_error(e.Message());
    }
  }
  void Subscribe(const std::string& ATopic, int AQoS) override {
    FClient.Subscribe(ATopic, static_cast<qor::TQORMQTTQoS>(AQoS));
  }
  bool SubscribeAndWait(const std::string& ATopic, int AQoS, std::chrono::milliseconds ATimeout) override {
    const qor::TQORMQTTHandle handle = FClient.SubscribeAsync(ATopic, static_cast<qor::TQORMQTTQoS>(AQoS));
    return handle.Wait(ATimeout) && handle.Result().Succeeded();
  }
  void Publish(const std::string& ATopic, const std::string& APayload, int AQoS) override {
    FClient.Publish(ATopic, APayload, static_cast<qor::TQORMQTTQoS>(AQoS));
  }
  size_t InFlight() override { return FClient.PendingCount(); }
  void Disconnect() override { FClient.Disconnect(); }

 private:
  qor::TQORMQTTClient FClient;
};

}  // namespace

std::unique_ptr<IBenchClient> CreateQorBenchClient() { return std::make_unique<TQorBenchClient>(); }
