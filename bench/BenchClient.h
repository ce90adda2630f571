// What qorbench needs of an MQTT client library; one implementation per
// library measured. Every implementation connects to 127.0.0.1 without TLS.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

class IBenchClient {
 public:
  // Called on the library's own thread for every message received.
  using TMessageHandler = std::function<void(const char* AData, size_t ALength)>;

  virtual ~IBenchClient() = default;
  // Returns once the session is established; throws std::runtime_error otherwise.
  virtual void Connect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) = 0;
  // Libraries that connect in the background: StartConnect returns once the
  // connect is under way (throwing when it cannot start), ConnectState then
  // tells 0 while it is, 1 once connected, -1 when it failed. Many clients
  // connect from one thread that way, as a program would with such a library.
  virtual bool ConnectsInBackground() const { return false; }
  virtual void StartConnect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) {
    Connect(APort, AClientId, std::move(AOnMessage));
  }
  virtual int ConnectState() { return 1; }
  virtual void Subscribe(const std::string& ATopic, int AQoS) = 0;
  // Subscribe, then whether the broker granted it within ATimeout: a
  // message published before the SUBACK may pass a subscriber by.
  virtual bool SubscribeAndWait(const std::string& ATopic, int AQoS, std::chrono::milliseconds ATimeout) = 0;
  virtual void Publish(const std::string& ATopic, const std::string& APayload, int AQoS) = 0;
  // Publish that may be refused (an offline buffer that is full, say): whether
  // the library took the message.
  virtual bool Offer(const std::string& ATopic, const std::string& APayload, int AQoS) {
    try {
      Publish(ATopic, APayload, AQoS);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  // QoS 1 publications sent and not yet acknowledged by the broker.
  virtual size_t InFlight() = 0;
  virtual void Disconnect() = 0;

  // Set before Connect: a session the broker keeps, a keepalive of 2 s (or the least the library takes),
  // reconnecting by itself and keeping publications made while offline
  // (up to 10 000), as far as the library offers it.
  bool Durable = false;
  // Whether the library offers all of that.
  virtual bool OffersDurability() const { return true; }
};

struct TBenchLibrary {
  std::string Name;
  std::function<std::unique_ptr<IBenchClient>()> Create;
};

// The libraries this build of qorbench can measure, QOR first.
std::vector<TBenchLibrary> BenchLibraries();

// The identifiers of QoS 1 publications not yet acknowledged, for libraries
// that report acknowledgements by identifier from their own thread. An
// acknowledgement may arrive before Sent() has recorded its identifier.
class TAckTracker {
 public:
  void Sent(long AId) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FEarly.erase(AId) == 0) FInFlight.insert(AId);
  }
  void Acknowledged(long AId) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FInFlight.erase(AId) == 0) FEarly.insert(AId);
  }
  size_t InFlight() {
    std::lock_guard<std::mutex> guard(FLock);
    return FInFlight.size();
  }

 private:
  std::mutex FLock;
  std::unordered_set<long> FInFlight;
  std::unordered_set<long> FEarly;
};
