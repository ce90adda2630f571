// qorbench --clients, variant "qor-context": every client runs on one
// TQORMQTTIOContext (its default, a thread per core, for all of them)
// rather than on threads of its own, and connects with ConnectAsync.
#include "BenchFleet.h"

#ifdef QOR_BENCH_WITH_IO_CONTEXT

#include <algorithm>
#include <cstdio>
#include <utility>

#include "uQORMQTTClient.h"
#include "uQORMQTTIOContext.h"

namespace {

using TClock = std::chrono::steady_clock;

// Disconnect blocks (it writes the DISCONNECT), as with the threaded client.
constexpr size_t kDisconnectThreads = 8;

std::string Failure(size_t AClient, const qor::TQORMQTTResult& AResult) {
  char code[8];
  std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(AResult.ReasonCode));
  return "client " + std::to_string(AClient) + ": ended with " + code +
         (AResult.ReasonString.empty() ? "" : " (" + AResult.ReasonString + ")");
}

class TQorContextFleet : public IBenchFleet {
 public:
  explicit TQorContextFleet(size_t ACount) {
    FClients.reserve(ACount);
    for (size_t i = 0; i < ACount; ++i) FClients.push_back(std::make_unique<qor::TQORMQTTClient>());
  }

  // The context keeps a bounded number of connects under way by itself: a
  // program starts them all.
  std::string Connect(const std::vector<uint16_t>& APorts, const std::string& AIdPrefix, TMessageHandler AOnMessage,
                      TClock::time_point ADeadline) override {
    FOnMessage = std::move(AOnMessage);
    std::vector<qor::TQORMQTTHandle> handles;
    handles.reserve(FClients.size());
    for (size_t i = 0; i < FClients.size(); ++i) {
      qor::TQORMQTTClient& client = *FClients[i];
      client.BrokerHostName = "127.0.0.1";
      client.BrokerPort = APorts[i % APorts.size()];
      client.UseSSL = false;
      client.ClientID = AIdPrefix + "-" + std::to_string(i);
      client.OnMessage = [this, i](const std::string&, const std::string& APayload, qor::TQORMQTTQoS) {
        FOnMessage(i, APayload.data(), APayload.size());
      };
      client.IOContext = &FContext;
      try {
        handles.push_back(client.ConnectAsync());
      } catch (const qor::Exception& e) {
        return "client " + std::to_string(i) + ": " + e.Message();
      }
    }
    return Await(handles, Connected, ADeadline);
  }

  std::string Subscribe(const std::string& ATopic, TClock::time_point ADeadline) override {
    std::vector<qor::TQORMQTTHandle> handles;
    handles.reserve(FClients.size());
    for (size_t i = 0; i < FClients.size(); ++i) {
      try {
        handles.push_back(FClients[i]->SubscribeAsync(ATopic, qor::mqQoS0));
      } catch (const qor::Exception& e) {
        return "client " + std::to_string(i) + ": " + e.Message();
      }
    }
    return Await(handles, Subscribed, ADeadline);
  }

  std::string Disconnect(TClock::time_point ADeadline) override {
    return RunPool(
        kDisconnectThreads, FClients.size(), ADeadline, [&](size_t i) { FClients[i]->Disconnect(); }, Disconnected);
  }

 private:
  // Waits for every handle in turn, counting in ADone those that succeeded.
  static std::string Await(const std::vector<qor::TQORMQTTHandle>& AHandles, std::atomic<size_t>& ADone,
                           TClock::time_point ADeadline) {
    for (size_t i = 0; i < AHandles.size(); ++i) {
      if (!AHandles[i].Wait(Remaining(ADeadline))) return "the time limit passed";
      const qor::TQORMQTTResult result = AHandles[i].Result();
      if (!result.Succeeded()) return Failure(i, result);
      ++ADone;
    }
    return "";
  }

  // Declared before the clients: they end before the context they run on.
  qor::TQORMQTTIOContext FContext;
  std::vector<std::unique_ptr<qor::TQORMQTTClient>> FClients;
  TMessageHandler FOnMessage;
};

}  // namespace

std::unique_ptr<IBenchFleet> CreateQorContextFleet(size_t ACount) {
  return std::make_unique<TQorContextFleet>(ACount);
}

#endif
