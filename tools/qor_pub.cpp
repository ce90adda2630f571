// qor_pub: publishes a message (or several, or a line of standard input
// each) and leaves once the broker has acknowledged them all.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "qor_cli.h"

namespace {

using namespace std::chrono_literals;
namespace cli = qor::cli;

const char* kFooter =
    "A message: exactly one of -m, -f, -l, -n and -s. qor_pub waits for the broker's acknowledgements as\n"
    "long as the link stays up (the client ends a link on which a write moves nothing, or the broker\n"
    "answers nothing, for the keepalive time -k); it gives up after the link was lost 3 times without a\n"
    "publication ending, or 3 reconnect attempts failed.\n"
    "Exit codes: 0 done; 1 failed (connect, a publication refused or not delivered: the broker's code is\n"
    "printed); 2 usage (a bad option, value or topic: nothing was sent).\n";

// Lost links in a row with no publication ended between them: a broker
// that drops the link at each attempt to send one is making no progress.
constexpr int kMaxLossesWithoutProgress = 3;

// The lines of standard input as they come, without blocking past AStop:
// a client that has given up must not keep the tool waiting for a line.
class TLineReader {
 public:
  // The next line (without its newline) into ALine; false at the end of the
  // input, or once AStop is set. Raises std::runtime_error when a read fails.
  bool Next(std::string& ALine, const std::atomic<bool>& AStop) {
    for (;;) {
      if (const size_t eol = FPending.find('\n'); eol != std::string::npos) {
        ALine.assign(FPending, 0, eol);
        FPending.erase(0, eol + 1);
        return true;
      }
      if (FEnded) {
        if (FPending.empty()) return false;
        ALine.swap(FPending);
        FPending.clear();
        return true;
      }
      if (AStop) return false;
      pollfd in{STDIN_FILENO, POLLIN, 0};
      if (poll(&in, 1, 200) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n > 0) {
        FPending.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        FEnded = true;
      } else if (errno != EINTR) {
        throw std::runtime_error(std::string("cannot read standard input: ") + std::strerror(errno));
      }
    }
  }

 private:
  std::string FPending;
  bool FEnded = false;
};

}  // namespace

int main(int argc, char** argv) {
  qor::TQORMQTTClient client;
  cli::TConnectionOptions connection;
  CLI::App app{"Publishes MQTT messages (MQTT 5.0 or 3.1.1), with the options of mosquitto_pub.", "qor_pub"};
  connection.Add(app, "pub");
  std::string topic, text, file, contentType, responseTopic, correlation;
  std::vector<std::string> userProperties;
  bool lines = false, null = false, all = false, retain = false;
  int qos = 0, repeat = 1;
  double repeatDelay = 0;
  std::optional<int> intervalMs;
  std::optional<uint32_t> expiry;
  app.add_option("-t,--topic", topic, "topic to publish to");
  CLI::Option* textOption = app.add_option("-m,--message", text, "the payload");
  app.add_option("-f,--file", file, "the payload: this file's content");
  app.add_flag("-l,--stdin-line", lines, "a message per line of standard input, sent as it comes (not blank lines)");
  app.add_flag("-n,--null-message", null, "an empty payload");
  app.add_flag("-s,--stdin-file", all, "the payload: all of standard input");
  app.add_option("-q,--qos", qos, "QoS 0, 1 or 2 (default 0)")->check(CLI::Range(0, 2));
  app.add_flag("-r,--retain", retain, "retain the message");
  app.add_option("--repeat", repeat, "publish the message this many times (default 1)")->check(CLI::Range(1, INT_MAX));
  CLI::Option* delayOption =
      app.add_option("--repeat-delay", repeatDelay, "seconds between repeats (fractions allowed)")
          ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--interval-ms", intervalMs, "milliseconds between repeats")->check(CLI::Range(0, INT_MAX));
  app.add_option("-e,--message-expiry", expiry, "message expiry seconds (MQTT 5)");
  app.add_option("--content-type", contentType, "content type (MQTT 5)");
  app.add_option("--response-topic", responseTopic, "response topic (MQTT 5)");
  app.add_option("--correlation-data", correlation, "correlation data (MQTT 5)");
  app.add_option("--user-property", userProperties, "NAME=VALUE user property (MQTT 5, repeatable)")
      ->allow_extra_args(false);
  app.footer(std::string("\n") + cli::kCommonFooter + kFooter);

  qor::TQORMQTTMessage message;
  const auto check = [&] {
    if (const auto urlTopic = connection.Apply(client, "pub")) {
      if (!topic.empty()) throw cli::EUsage("-L carries the topic: give no -t too");
      topic = *urlTopic;
    }
    if (topic.empty()) throw cli::EUsage("a topic is needed: -t TOPIC");
    cli::CheckTopicName(topic, "-t");
    const int sources = (textOption->count() > 0) + !file.empty() + lines + null + all;
    if (sources != 1)
      throw cli::EUsage(sources == 0 ? "a message is needed: -m, -f, -l, -n or -s"
                                     : "give only one of -m, -f, -l, -n and -s");
    if (lines && (repeat > 1 || delayOption->count() > 0 || intervalMs))
      throw cli::EUsage("--repeat, --repeat-delay and --interval-ms do not apply to -l");
    if (delayOption->count() > 0 && intervalMs) throw cli::EUsage("give --repeat-delay or --interval-ms, not both");
    if (!responseTopic.empty()) cli::CheckTopicName(responseTopic, "--response-topic");
    message.Topic = topic;
    message.QoS = static_cast<qor::TQORMQTTQoS>(qos);
    message.Retain = retain;
    message.MessageExpiryInterval = expiry;
    if (!contentType.empty()) message.ContentType = contentType;
    if (!responseTopic.empty()) message.ResponseTopic = responseTopic;
    if (!correlation.empty()) message.CorrelationData = qor::TBytes(correlation.begin(), correlation.end());
    for (const std::string& p : userProperties) {
      const size_t eq = p.find('=');
      if (eq == std::string::npos) throw cli::EUsage("--user-property \"" + p + "\" is not NAME=VALUE");
      message.UserProperties.emplace_back(p.substr(0, eq), p.substr(eq + 1));
    }
  };
  if (const int code = cli::Parse(app, argc, argv, check); code != cli::kGoOn) return code;
  const bool quiet = connection.Quiet;
  const auto error = [&](const std::string& AText) { cli::Error("pub", quiet, AText); };
  const auto interval =
      intervalMs ? std::chrono::duration<double>(*intervalMs / 1000.0) : std::chrono::duration<double>(repeatDelay);

  std::string payload;
  try {
    if (!file.empty()) payload = cli::ReadFile(file);
    if (all) payload = cli::ReadAll(STDIN_FILENO, "standard input");
    if (textOption->count() > 0) payload = text;
  } catch (const std::exception& e) {
    error(e.what());
    return cli::kFailed;
  }

  // Lines that come while the client reconnects wait for the link; when it
  // gives up they end as discarded.
  client.OfflineQueueLimit = 1000;
  client.Reconnect.MaxAttempts = kMaxLossesWithoutProgress;
  std::atomic<int> losses{0};
  std::atomic<bool> gaveUp{false};
  std::mutex lossLock;
  std::string lastLoss;
  client.OnDisconnect = [&](qor::TQORMQTTReasonCode ACode, const std::string& AReason) {
    std::lock_guard<std::mutex> guard(lossLock);
    lastLoss = cli::DescribeReason(ACode, AReason);
    // The header's documented words for the end of the reconnect attempts.
    if (AReason.rfind("Reconnect gave up", 0) == 0) {
      gaveUp = true;
    } else {
      ++losses;
    }
  };
  const auto lossText = [&] {
    std::lock_guard<std::mutex> guard(lossLock);
    return lastLoss.empty() ? std::string("the link was lost") : "the link was lost: " + lastLoss;
  };

  std::deque<qor::TQORMQTTHandle> open;  // the publications not yet seen to have ended, in order
  int failed = 0;
  const auto settle = [&] {
    while (!open.empty() && open.front().Done()) {
      const qor::TQORMQTTResult result = open.front().Get();
      open.pop_front();
      if (result.Outcome == qor::ocDelivered || result.Outcome == qor::ocRefused) losses = 0;
      if (result.Succeeded()) continue;
      ++failed;
      if (result.Outcome == qor::ocRefused) {
        error("publication to \"" + topic +
              "\" refused: " + cli::DescribeReason(result.ReasonCode, result.ReasonString));
      } else if (result.Outcome == qor::ocForbidden) {
        error("publication to \"" + topic + "\" not sent, the broker's limits forbid it: " +
              cli::DescribeReason(result.ReasonCode, result.ReasonString));
      } else {
        error("publication to \"" + topic + "\" not delivered: " + lossText());
      }
    }
  };
  const auto publish = [&](std::string APayload) {
    message.Payload = std::move(APayload);
    open.push_back(client.PublishAsync(message));
    settle();
  };

  try {
    client.Connect();
    if (lines) {
      std::string line;
      TLineReader input;
      while (input.Next(line, gaveUp))
        if (!line.empty()) publish(line);
    } else {
      for (int n = 0; n < repeat && !gaveUp; ++n) {
        if (n > 0) std::this_thread::sleep_for(interval);
        if (!gaveUp) publish(payload);
      }
    }
    // No overall time limit: a large payload on a slow link takes as long
    // as it takes, and a link that stalls is ended by the client itself.
    while (!open.empty()) {
      if (open.front().Wait(200ms)) {
        settle();
      } else if (gaveUp) {
        // The client is idle now: a publication it took at the moment it
        // gave up waits for a Connect that is not coming.
        for (; !open.empty(); open.pop_front(), ++failed)
          error("publication to \"" + topic + "\" not delivered: " + lossText());
        client.Disconnect();
        return cli::kFailed;
      } else if (losses >= kMaxLossesWithoutProgress) {
        error("giving up: " + lossText() + " (" + std::to_string(kMaxLossesWithoutProgress) +
              " times with no publication acknowledged)");
        client.Disconnect();
        return cli::kFailed;
      }
    }
    client.Disconnect();
    if (gaveUp) {
      // What was published was delivered, but what was still to come was not sent.
      error("giving up: " + lossText());
      return cli::kFailed;
    }
  } catch (const qor::Exception& e) {
    error(cli::Describe(e));
    client.Disconnect();
    // A setting the client refuses (a malformed ws:// URL, say) is the command line's fault.
    return dynamic_cast<const qor::EInvalidArgument*>(&e) ? cli::kUsage : cli::kFailed;
  } catch (const std::runtime_error& e) {  // standard input failed under -l
    error(e.what());
    client.Disconnect();
    return cli::kFailed;
  }
  return failed > 0 ? cli::kFailed : cli::kDone;
}
