// qor_subscribe: prints every message on a topic filter, one line each
// ("topic payload"), until Ctrl-C or for N seconds. The client's log goes to
// standard error, so a lost broker and the reconnect show there.
//
//   qor_subscribe FILTER [HOST [PORT]] [--seconds N]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "uQORMQTTClient.h"

namespace {
std::atomic<bool> gStop{false};
}

int main(int argc, char** argv) {
  std::vector<std::string> args;
  int seconds = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.empty()) {
    std::cerr << "usage: " << argv[0] << " FILTER [HOST [PORT]] [--seconds N]\n";
    return 2;
  }
  std::signal(SIGINT, [](int) { gStop = true; });
  std::signal(SIGTERM, [](int) { gStop = true; });

  std::mutex out;  // the callbacks come from the client's threads
  qor::TQORMQTTClient client;
  client.BrokerHostName = args.size() > 1 ? args[1] : "127.0.0.1";
  client.BrokerPort = args.size() > 2 ? std::atoi(args[2].c_str()) : 1883;
  client.UseSSL = false;
  client.ClientID = "qor-subscribe-" + std::to_string(getpid());
  client.KeepAliveSecs = 10;
  client.OnLog = [&](const std::string& line) {
    std::lock_guard<std::mutex> guard(out);
    std::cerr << "log: " << line << std::endl;
  };
  client.OnMessage = [&](const std::string& topic, const std::string& payload, qor::TQORMQTTQoS) {
    std::lock_guard<std::mutex> guard(out);
    std::cout << topic << " " << payload << std::endl;
  };
  // After a reconnect the client subscribes again by itself (ResubscribeOnReconnect).
  client.OnConnected = [&](bool sessionPresent) {
    std::lock_guard<std::mutex> guard(out);
    std::cerr << "connected (" << (sessionPresent ? "session resumed" : "new session") << ")" << std::endl;
  };

  try {
    client.Connect();
    client.Subscribe(args[0], qor::mqQoS1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!gStop && (seconds == 0 || std::chrono::steady_clock::now() < end))
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.Disconnect();
  } catch (const qor::Exception& e) {
    std::cerr << e.ClassName() << ": " << e.Message() << "\n";
    return 1;
  }
  return 0;
}
