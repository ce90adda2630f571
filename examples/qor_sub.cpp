// qor_sub: prints the messages of one or more topic filters, one line each
// (the payload; with -v the topic first). Ends after -C messages, after -W
// seconds, or on Ctrl-C. Exit codes: 0 done, 1 failed (connect, refusal),
// 2 usage, 3 the -W time ran out before -C messages came.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "cli_options.h"

namespace {

std::atomic<bool> gStop{false};

const char* kUsage =
    "usage: qor_sub -t FILTER [-t FILTER ...] [options]\n"
    "  -t FILTER          topic filter (repeatable)\n"
    "  -q 0|1|2           QoS of the subscriptions (default 0)\n"
    "  -C COUNT           end after COUNT messages\n"
    "  -W SECONDS         end after SECONDS (exit 3 when -C messages had not come)\n"
    "  -v                 print the topic before each payload\n"
    "  --no-local         not the client's own publications (MQTT 5)\n"
    "  --retain-handling 0|1|2   retained messages: on every subscribe, if new, never (MQTT 5)\n";

}  // namespace

int main(int argc, char** argv) {
  qor::TQORMQTTClient client;
  std::vector<qor::TQORMQTTSubscription> filters;
  qor::TQORMQTTQoS qos = qor::mqQoS0;
  bool verbose = false, noLocal = false;
  int retainHandling = 0, count = 0, seconds = 0;
  const auto option = [&](const std::string& a, const std::function<std::string()>& value) {
    if (a == "-t") {
      filters.push_back({value()});
    } else if (a == "-q") {
      qos = static_cast<qor::TQORMQTTQoS>(std::atoi(value().c_str()));
    } else if (a == "-C") {
      count = std::atoi(value().c_str());
    } else if (a == "-W") {
      seconds = std::atoi(value().c_str());
    } else if (a == "-v") {
      verbose = true;
    } else if (a == "--no-local") {
      noLocal = true;
    } else if (a == "--retain-handling") {
      retainHandling = std::atoi(value().c_str());
    } else {
      return false;
    }
    return true;
  };
  const auto check = [&] {
    if (filters.empty() || qos > qor::mqQoS2 || retainHandling < 0 || retainHandling > 2)
      throw std::invalid_argument("a topic filter, QoS 0 to 2 and a retain handling of 0 to 2 are needed");
  };
  if (cli::ParseCommandLine(argc, argv, "sub", kUsage, client, option, check) != cli::kDone) return cli::kUsage;
  for (auto& f : filters) {
    f.QoS = qos;
    f.NoLocal = noLocal;
    f.RetainHandling = static_cast<qor::TQORMQTTRetainHandling>(retainHandling);
  }
  std::signal(SIGINT, [](int) { gStop = true; });
  std::signal(SIGTERM, [](int) { gStop = true; });

  std::mutex out;
  std::atomic<int> received{0};
  client.OnMessageReceived = [&](const qor::TQORMQTTMessage& m) {
    if (count > 0 && received >= count) return;
    {
      std::lock_guard<std::mutex> guard(out);
      if (verbose) std::cout << m.Topic << " ";
      std::cout << m.Payload << std::endl;
    }
    if (++received == count) gStop = true;
  };
  try {
    client.Connect();
    client.Subscribe(filters);
  } catch (const qor::Exception& e) {
    std::cerr << "qor_sub: " << e.ClassName() << ": " << e.Message() << "\n";
    return cli::kFailed;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!gStop && (seconds == 0 || std::chrono::steady_clock::now() < end))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  client.Disconnect();
  return count > 0 && received < count && !gStop ? cli::kTimedOut : cli::kDone;
}
