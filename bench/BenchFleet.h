// Many clients of one library in one process (qorbench --clients), driven
// as a program that holds that many would drive them with that library.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchClient.h"

#if __has_include("uQORMQTTIOContext.h")
#define QOR_BENCH_WITH_IO_CONTEXT 1
#endif

class IBenchFleet {
 public:
  using TClock = std::chrono::steady_clock;
  // Called on the library's threads for every message client AClient receives.
  using TMessageHandler = std::function<void(size_t AClient, const char* AData, size_t ALength)>;

  virtual ~IBenchFleet() = default;
  // Each phase returns once every client has made it (""), or with what went
  // wrong: a phase stops at the first client that fails, and at ADeadline
  // (a call already under way may outlast it by its library's own timeout).
  //
  // Connects client i as AIdPrefix-i to APorts[i % APorts.size()].
  virtual std::string Connect(const std::vector<uint16_t>& APorts, const std::string& AIdPrefix,
                              TMessageHandler AOnMessage, TClock::time_point ADeadline) = 0;
  // Subscribes every client to ATopic at QoS 0 and waits for the SUBACKs.
  virtual std::string Subscribe(const std::string& ATopic, TClock::time_point ADeadline) = 0;
  virtual std::string Disconnect(TClock::time_point ADeadline) = 0;

  // How far each phase got; read from any thread while it runs.
  std::atomic<size_t> Connected{0};
  std::atomic<size_t> Subscribed{0};
  std::atomic<size_t> Disconnected{0};
};

struct TFleetLibrary {
  std::string Name;
  // Creates ACount clients, none of them connected.
  std::function<std::unique_ptr<IBenchFleet>(size_t ACount)> Create;
  // The one extra client that publishes to the fleet.
  std::function<std::unique_ptr<IBenchClient>()> CreatePublisher;
};

// The variants this build of qorbench can measure with --clients, QOR first.
std::vector<TFleetLibrary> FleetLibraries();

// mosquitto listens with a backlog of 100: more connects at once than it
// accepts overflow the queue, and the kernel drops their SYNs to retry them
// a second or more later. A program connecting thousands in the background
// keeps a window.
constexpr size_t kConnectsInFlight = 64;

// The clients of an IBenchClient library, subscribed and disconnected by its
// blocking calls, AThreads of them at a time, and connected so too, or, for
// a library that connects in the background, from one thread with
// kConnectsInFlight under way.
std::unique_ptr<IBenchFleet> CreatePooledFleet(const TBenchLibrary& ALibrary, size_t ACount, size_t AThreads);

// Runs AWork(0) .. AWork(ACount - 1) on AThreads threads of its own, counting
// in ADone the calls that returned. Stops handing out work at the first
// call that throws and at ADeadline; returns "" when all returned, else
// what stopped it. AMayStart, asked before each call, stops it too by
// answering why not.
std::string RunPool(size_t AThreads, size_t ACount, std::chrono::steady_clock::time_point ADeadline,
                    const std::function<void(size_t)>& AWork, std::atomic<size_t>& ADone,
                    const std::function<std::string()>& AMayStart = {});

// "" while this machine has room for more threads; else why not. Stops a
// library with threads of its own per client well before the machine's
// limit: other programs run on it too, and a fork that fails there is theirs.
std::string MachineThreadShortage();

// What remains of the time up to ADeadline (nothing, once it has passed).
std::chrono::milliseconds Remaining(std::chrono::steady_clock::time_point ADeadline);
