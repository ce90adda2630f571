// qor_pub: publishes a message (or several) and leaves once the broker has
// acknowledged them. Exit codes: 0 done, 1 failed (connect, refusal, no
// acknowledgement within 10 s), 2 usage.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "cli_options.h"

namespace {

const char* kUsage =
    "usage: qor_pub -t TOPIC (-m MESSAGE | -s) [options]\n"
    "  -t TOPIC           topic to publish to\n"
    "  -m MESSAGE         the payload; -s: standard input as the payload\n"
    "  -q 0|1|2           QoS (default 0)\n"
    "  -r                 retain\n"
    "  -c COUNT           publish COUNT times (default 1); --interval-ms N between them\n"
    "  -e SECONDS         message expiry (MQTT 5)\n"
    "  --content-type T, --response-topic T, --correlation-data D\n"
    "  --user-property NAME=VALUE   (repeatable; MQTT 5)\n";

}  // namespace

int main(int argc, char** argv) {
  qor::TQORMQTTClient client;
  qor::TQORMQTTMessage message;
  bool haveMessage = false;
  int count = 1, intervalMs = 0;
  const auto option = [&](const std::string& a, const std::function<std::string()>& value) {
    if (a == "-t") {
      message.Topic = value();
    } else if (a == "-m") {
      message.Payload = value();
      haveMessage = true;
    } else if (a == "-s") {
      message.Payload.assign(std::istreambuf_iterator<char>(std::cin), {});
      haveMessage = true;
    } else if (a == "-q") {
      message.QoS = static_cast<qor::TQORMQTTQoS>(std::atoi(value().c_str()));
    } else if (a == "-r") {
      message.Retain = true;
    } else if (a == "-c") {
      count = std::atoi(value().c_str());
    } else if (a == "--interval-ms") {
      intervalMs = std::atoi(value().c_str());
    } else if (a == "-e") {
      message.MessageExpiryInterval = static_cast<uint32_t>(std::atol(value().c_str()));
    } else if (a == "--content-type") {
      message.ContentType = value();
    } else if (a == "--response-topic") {
      message.ResponseTopic = value();
    } else if (a == "--correlation-data") {
      const std::string data = value();
      message.CorrelationData = qor::TBytes(data.begin(), data.end());
    } else if (a == "--user-property") {
      message.UserProperties.push_back(cli::UserProperty(value()));
    } else {
      return false;
    }
    return true;
  };
  const auto check = [&] {
    if (message.Topic.empty() || !haveMessage || count < 1 || message.QoS > qor::mqQoS2)
      throw std::invalid_argument("a topic, a message, a count of at least 1 and QoS 0 to 2 are needed");
  };
  if (cli::ParseCommandLine(argc, argv, "pub", kUsage, client, option, check) != cli::kDone) return cli::kUsage;
  try {
    client.Connect();
    std::deque<qor::TQORMQTTHandle> open;  // the publications not yet seen to have ended
    int refused = 0;
    const auto settle = [&](bool AAll) {
      while (!open.empty() && (AAll || open.front().Done())) {
        const qor::TQORMQTTResult result = open.front().Get();
        open.pop_front();
        if (result.Succeeded()) continue;
        ++refused;
        std::fprintf(stderr, "qor_pub: publication refused (reason=$%02X)%s%s\n", result.ReasonCode,
                     result.ReasonString.empty() ? "" : ": ", result.ReasonString.c_str());
      }
    };
    for (int n = 0; n < count; ++n) {
      if (n > 0 && intervalMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
      open.push_back(client.PublishAsync(message));
      settle(false);
    }
    // QoS 1 and 2: the messages are the broker's once acknowledged.
    const bool ended = client.Flush(std::chrono::seconds(10));
    if (ended) settle(true);
    client.Disconnect();
    if (!ended) {
      std::cerr << "qor_pub: no acknowledgement from the broker within 10 s\n";
      return cli::kFailed;
    }
    if (refused > 0) return cli::kFailed;
  } catch (const qor::Exception& e) {
    std::cerr << "qor_pub: " << e.ClassName() << ": " << e.Message() << "\n";
    return cli::kFailed;
  }
  return cli::kDone;
}
