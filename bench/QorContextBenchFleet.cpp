// qorbench --clients, variant "qor-context": every client runs on one
// TQORMQTTIOContext (its default, a thread per core, for all of them)
// rather than on threads of its own, and connects with ConnectAsync.
#include "BenchFleet.h"

#ifdef QOR_BENCH_WITH_IO_CONTEXT

#include <algorithm>
#include <cstdio>
#include <deque>
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

std::string TimeLimit(size_t ADone, size_t ACount) {
  return "the time limit passed with " + std::to_string(ADone) + " of " + std::to_string(ACount) + " done";
}

class TQorContextFleet : public IBenchFleet {
 public:
  explicit TQorContextFleet(size_t ACount) {
    FClients.reserve(ACount);
    for (size_t i = 0; i < ACount; ++i) FClients.push_back(std::make_unique<qor::TQORMQTTClient>());
  }

  std::string Connect(const std::vector<uint16_t>& APorts, const std::string& AIdPrefix, TMessageHandler AOnMessage,
                      TClock::time_point ADeadline) override {
    FOnMessage = std::move(AOnMessage);
    std::deque<std::pair<size_t, qor::TQORMQTTHandle>> pending;
    size_t next = 0;
    while (next < FClients.size() || !pending.empty()) {
      for (; next < FClients.size() && pending.size() < kConnectsInFlight; ++next) {
        qor::TQORMQTTClient& client = *FClients[next];
        client.BrokerHostName = "127.0.0.1";
        client.BrokerPort = APorts[next % APorts.size()];
        client.UseSSL = false;
        client.ClientID = AIdPrefix + "-" + std::to_string(next);
        client.OnMessage = [this, i = next](const std::string&, const std::string& APayload, qor::TQORMQTTQoS) {
          FOnMessage(i, APayload.data(), APayload.size());
        };
        client.IOContext = &FContext;
        try {
          pending.emplace_back(next, client.ConnectAsync());
        } catch (const qor::Exception& e) {
          return "client " + std::to_string(next) + ": " + e.Message();
        }
      }
      // Connects end in any order: wait for the oldest, then take every one that has ended.
      if (!pending.front().second.Wait(Remaining(ADeadline))) return TimeLimit(Connected, FClients.size());
      for (auto it = pending.begin(); it != pending.end();) {
        if (!it->second.Done()) {
          ++it;
          continue;
        }
        const qor::TQORMQTTResult result = it->second.Result();
        if (!result.Succeeded()) return Failure(it->first, result);
        ++Connected;
        it = pending.erase(it);
      }
    }
    return "";
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
    for (size_t i = 0; i < handles.size(); ++i) {
      if (!handles[i].Wait(Remaining(ADeadline))) return TimeLimit(Subscribed, FClients.size());
      if (!handles[i].Result().Succeeded()) return Failure(i, handles[i].Result());
      ++Subscribed;
    }
    return "";
  }

  std::string Disconnect(TClock::time_point ADeadline) override {
    return RunPool(
        kDisconnectThreads, FClients.size(), ADeadline, [&](size_t i) { FClients[i]->Disconnect(); }, Disconnected);
  }

 private:
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
