#include "BenchFleet.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

class TPooledFleet : public IBenchFleet {
 public:
  TPooledFleet(const TBenchLibrary& ALibrary, size_t ACount, size_t AThreads) : FThreads(AThreads) {
    FClients.reserve(ACount);
    for (size_t i = 0; i < ACount; ++i) FClients.push_back(ALibrary.Create());
  }

  std::string Connect(const std::vector<uint16_t>& APorts, const std::string& AIdPrefix, TMessageHandler AOnMessage,
                      TClock::time_point ADeadline) override {
    FOnMessage = std::move(AOnMessage);
    if (!FClients.empty() && FClients.front()->ConnectsInBackground())
      return ConnectInBackground(APorts, AIdPrefix, ADeadline);
    return RunPool(
        FThreads, FClients.size(), ADeadline,
        [&](size_t i) { FClients[i]->Connect(APorts[i % APorts.size()], AIdPrefix + "-" + std::to_string(i), Handler(i)); },
        Connected, MachineThreadShortage);
  }

  std::string Subscribe(const std::string& ATopic, TClock::time_point ADeadline) override {
    return RunPool(
        FThreads, FClients.size(), ADeadline,
        [&](size_t i) {
          if (!FClients[i]->SubscribeAndWait(ATopic, 0, Remaining(ADeadline)))
            throw std::runtime_error("the broker granted no subscription in time");
        },
        Subscribed);
  }

  std::string Disconnect(TClock::time_point ADeadline) override {
    return RunPool(
        FThreads, FClients.size(), ADeadline, [&](size_t i) { FClients[i]->Disconnect(); }, Disconnected);
  }

 private:
  IBenchClient::TMessageHandler Handler(size_t AClient) {
    // One handler per client that knows its number, without a copy of FOnMessage each.
    return [this, AClient](const char* AData, size_t ALength) { FOnMessage(AClient, AData, ALength); };
  }

  std::string ConnectInBackground(const std::vector<uint16_t>& APorts, const std::string& AIdPrefix,
                                  TClock::time_point ADeadline) {
    std::deque<size_t> pending;
    std::string error;
    // After the first failure no connect starts, but those under way may
    // still succeed: how far the library got counts them.
    for (size_t next = 0; (error.empty() && next < FClients.size()) || !pending.empty();) {
      for (; error.empty() && next < FClients.size() && pending.size() < kConnectsInFlight; ++next) {
        error = MachineThreadShortage();
        if (!error.empty()) break;
        try {
          FClients[next]->StartConnect(APorts[next % APorts.size()], AIdPrefix + "-" + std::to_string(next),
                                       Handler(next));
          pending.push_back(next);
        } catch (const std::exception& e) {
          error = "client " + std::to_string(next) + ": " + e.what();
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      for (auto it = pending.begin(); it != pending.end();) {
        const int state = FClients[*it]->ConnectState();
        if (state == 0) {
          ++it;
          continue;
        }
        if (state > 0)
          ++Connected;
        else if (error.empty())
          error = "client " + std::to_string(*it) + ": the connect failed";
        it = pending.erase(it);
      }
      if (!pending.empty() && TClock::now() >= ADeadline) return error.empty() ? "the time limit passed" : error;
    }
    return error;
  }

  size_t FThreads;
  std::vector<std::unique_ptr<IBenchClient>> FClients;
  TMessageHandler FOnMessage;
};

// The first number in AFile, or 0.
long ReadNumber(const char* AFile) {
  std::ifstream in(AFile);
  long n = 0;
  in >> n;
  return n;
}

}  // namespace

std::chrono::milliseconds Remaining(TClock::time_point ADeadline) {
  const auto now = TClock::now();
  return now < ADeadline ? std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - now)
                         : std::chrono::milliseconds(0);
}

std::string MachineThreadShortage() {
  // Every thread takes a process identifier: the machine's limit is the
  // smaller of the two. /proc/loadavg counts the threads of the whole
  // machine ("running/all").
  const long limit = std::min(ReadNumber("/proc/sys/kernel/pid_max"), ReadNumber("/proc/sys/kernel/threads-max"));
  std::ifstream in("/proc/loadavg");
  std::string skip, counts;
  in >> skip >> skip >> skip >> counts;
  const size_t slash = counts.find('/');
  if (limit <= 0 || slash == std::string::npos) return "";  // nothing to go by: the library's own errors will tell
  const long threads = std::atol(counts.c_str() + slash + 1);
  constexpr long kLeftForOthers = 2048;
  if (threads + kLeftForOthers < limit) return "";
  return "stopped before the machine runs out of threads: " + std::to_string(threads) + " of " +
         std::to_string(limit) + " in use";
}

std::string RunPool(size_t AThreads, size_t ACount, TClock::time_point ADeadline,
                    const std::function<void(size_t)>& AWork, std::atomic<size_t>& ADone,
                    const std::function<std::string()>& AMayStart) {
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::string error;
  const auto fail = [&](std::string AWhy) {
    std::lock_guard<std::mutex> guard(lock);
    if (error.empty()) error = std::move(AWhy);
    stop = true;
  };
  const auto worker = [&] {
    while (!stop) {
      const size_t i = next++;
      if (i >= ACount) return;
      if (TClock::now() >= ADeadline) {
        fail("the time limit passed");
        return;
      }
      if (AMayStart) {
        std::string why = AMayStart();
        if (!why.empty()) {
          fail(std::move(why));
          return;
        }
      }
      try {
        AWork(i);
        ++ADone;
      } catch (const std::exception& e) {
        fail("client " + std::to_string(i) + ": " + e.what());
      } catch (...) {
        fail("client " + std::to_string(i) + ": an unknown error");
      }
    }
  };
  std::vector<std::thread> threads;
  try {
    for (size_t t = 0; t < AThreads; ++t) threads.emplace_back(worker);
  } catch (const std::system_error& e) {
    // A process out of threads gets no more pool threads either; those started finish the work.
    if (threads.empty()) fail(std::string("no thread to connect with: ") + e.what());
  }
  for (auto& t : threads) t.join();
  return error;
}

std::unique_ptr<IBenchFleet> CreatePooledFleet(const TBenchLibrary& ALibrary, size_t ACount, size_t AThreads) {
  return std::make_unique<TPooledFleet>(ALibrary, ACount, AThreads);
}
