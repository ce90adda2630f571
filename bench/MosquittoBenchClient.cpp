#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/select.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "BenchClient.h"

namespace {

class TMosquittoBenchClient : public IBenchClient {
 public:
  TMosquittoBenchClient() {
    static const int init = mosquitto_lib_init();
    (void)init;
  }
  ~TMosquittoBenchClient() override {
    if (FMosq) {
      mosquitto_loop_stop(FMosq, true);
      mosquitto_destroy(FMosq);
    }
  }
  void Connect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) override {
    StartConnect(APort, AClientId, std::move(AOnMessage));
    for (int i = 0; i < 1000000 && FConnected == 0; ++i) std::this_thread::sleep_for(std::chrono::microseconds(5));
    if (FConnected != 1) throw std::runtime_error("libmosquitto: no CONNACK");
  }
  bool ConnectsInBackground() const override { return true; }
  int ConnectState() override { return FConnected; }
  void StartConnect(uint16_t APort, const std::string& AClientId, TMessageHandler AOnMessage) override {
    FOnMessage = std::move(AOnMessage);
    FMosq = mosquitto_new(AClientId.c_str(), !Durable, this);
    if (!FMosq) throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(FMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // The benchmark sets its own window; a durable client keeps the default
    // one, beyond which it queues (also while offline).
    if (!Durable) mosquitto_max_inflight_messages_set(FMosq, 0);
    mosquitto_reconnect_delay_set(FMosq, 1, 2, false);
    mosquitto_connect_callback_set(FMosq, [](mosquitto*, void* AThis, int ARc) {
      static_cast<TMosquittoBenchClient*>(AThis)->FConnected = ARc == 0 ? 1 : -1;
    });
    mosquitto_disconnect_callback_set(FMosq, [](mosquitto*, void* AThis, int) {
      static_cast<TMosquittoBenchClient*>(AThis)->FDisconnected = true;
    });
    mosquitto_subscribe_callback_set(FMosq, [](mosquitto*, void* AThis, int AMid, int ACount, const int* AGranted) {
      auto* self = static_cast<TMosquittoBenchClient*>(AThis);
      {
        std::lock_guard<std::mutex> guard(self->FSubscribeLock);
        self->FSubacks[AMid] = ACount > 0 && AGranted[0] < 0x80;
      }
      self->FSubscribed.notify_all();
    });
    // Also called for QoS 0 messages once written: only tracked identifiers count.
    mosquitto_publish_callback_set(FMosq, [](mosquitto*, void* AThis, int AMid) {
      auto* self = static_cast<TMosquittoBenchClient*>(AThis);
      if (self->FTracking) self->FAcks.Acknowledged(AMid);  // QoS 0 only: nothing to count
    });
    mosquitto_message_callback_set(FMosq, [](mosquitto*, void* AThis, const mosquitto_message* AMessage) {
      static_cast<TMosquittoBenchClient*>(AThis)->FOnMessage(static_cast<const char*>(AMessage->payload),
                                                              static_cast<size_t>(AMessage->payloadlen));
    });
    mosquitto_property* properties = nullptr;
    if (Durable) mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 300);
    // libmosquitto takes no keepalive below 5 s.
    const int connected = mosquitto_connect_bind_v5(FMosq, "127.0.0.1", APort, Durable ? 5 : 60, nullptr, properties);
    mosquitto_property_free_all(&properties);
    if (connected != MOSQ_ERR_SUCCESS) throw std::runtime_error("mosquitto_connect failed");
    // Its loop waits with pselect(), which takes no descriptor from
    // FD_SETSIZE on: the loop would give up at once, and the CONNACK never come.
    if (mosquitto_socket(FMosq) >= FD_SETSIZE)
      throw std::runtime_error("libmosquitto: its socket is descriptor " + std::to_string(mosquitto_socket(FMosq)) +
                               ", beyond the " + std::to_string(FD_SETSIZE) + " its pselect() takes");
    if (mosquitto_loop_start(FMosq) != MOSQ_ERR_SUCCESS) throw std::runtime_error("mosquitto_loop_start failed");
  }
  void Subscribe(const std::string& ATopic, int AQoS) override {
    mosquitto_subscribe(FMosq, nullptr, ATopic.c_str(), AQoS);
  }
  bool SubscribeAndWait(const std::string& ATopic, int AQoS, std::chrono::milliseconds ATimeout) override {
    // The SUBACK may come before this thread has the identifier: the
    // callback files every one under its identifier.
    int mid = 0;
    if (mosquitto_subscribe(FMosq, &mid, ATopic.c_str(), AQoS) != MOSQ_ERR_SUCCESS) return false;
    std::unique_lock<std::mutex> lock(FSubscribeLock);
    if (!FSubscribed.wait_for(lock, ATimeout, [&] { return FSubacks.contains(mid); })) return false;
    const bool granted = FSubacks[mid];
    FSubacks.erase(mid);
    return granted;
  }
  void Publish(const std::string& ATopic, const std::string& APayload, int AQoS) override {
    if (AQoS > 0) FTracking = true;
    int mid = 0;
    mosquitto_publish(FMosq, &mid, ATopic.c_str(), static_cast<int>(APayload.size()), APayload.data(),
                      AQoS, false);
    if (AQoS > 0) FAcks.Sent(mid);
  }
  bool Offer(const std::string& ATopic, const std::string& APayload, int AQoS) override {
    return mosquitto_publish(FMosq, nullptr, ATopic.c_str(), static_cast<int>(APayload.size()), APayload.data(),
                             AQoS, false) == MOSQ_ERR_SUCCESS;
  }
  size_t InFlight() override { return FAcks.InFlight(); }
  // mosquitto_disconnect only queues the DISCONNECT for the loop thread,
  // which the destructor would stop before it is written: wait (up to 2 s)
  // until the loop has written it and closed the link.
  void Disconnect() override {
    FDisconnected = false;  // an earlier lost link set it
    if (mosquitto_disconnect(FMosq) != MOSQ_ERR_SUCCESS) return;
    for (int i = 0; i < 2000 && !FDisconnected; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  mosquitto* FMosq = nullptr;
  TMessageHandler FOnMessage;
  std::atomic<int> FConnected{0};
  std::atomic<bool> FTracking{false};
  std::atomic<bool> FDisconnected{false};
  std::mutex FSubscribeLock;
  std::condition_variable FSubscribed;
  std::unordered_map<int, bool> FSubacks;  // granted, by message identifier
  TAckTracker FAcks;
};

}  // namespace

std::unique_ptr<IBenchClient> CreateMosquittoBenchClient() {
  return std::make_unique<TMosquittoBenchClient>();
}
