// qor_sub: prints the messages of one or more topic filters, one line each
// (the payload; -v: the topic first; -F: a format). Ends after -C messages,
// after -W seconds, on Ctrl-C, or at once with -E.
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <iostream>
#include <thread>

#include "qor_cli.h"

namespace {

using namespace std::chrono_literals;
namespace cli = qor::cli;

std::atomic<bool> gStop{false};

const char* kFooter =
    "-F codes: %t topic, %p payload, %q QoS, %r retained (0 or 1), %l payload length, %m packet id,\n"
    "%x / %X payload in lower / upper case hex, %I ISO 8601 local time, %U Unix time with nanoseconds,\n"
    "%C content type, %E message expiry, %F payload format indicator, %D correlation data, %R response\n"
    "topic, %P user properties (name:value, separated by commas), %S subscription identifiers, %% a %;\n"
    "escapes \\n \\t \\r \\a \\e \\v \\0 \\\\. Not supported: %A %j %J, @ time codes, field widths.\n"
    "A newline follows each message unless -N.\n"
    "Exit codes: 0 done; 1 failed (connect, a subscription or unsubscription refused: the broker's code is\n"
    "printed); 2 usage (a bad option, value or topic filter); 3 -W ran out before -C messages came.\n";

std::string Hex(const std::string& ABytes, bool AUpper) {
  static const char* kLower = "0123456789abcdef";
  static const char* kUpper = "0123456789ABCDEF";
  const char* digits = AUpper ? kUpper : kLower;
  std::string out;
  for (const unsigned char c : ABytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Now(bool AIso) {
  const auto now = std::chrono::system_clock::now();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
  char text[64];
  if (AIso) {
    std::tm local{};
    localtime_r(&seconds, &local);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  } else {
    std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(seconds),
                  static_cast<long long>(ns % 1000000000));
  }
  return text;
}

// AMessage as the -F format AFormat says (mosquitto_sub's % codes and \ escapes).
std::string Formatted(const std::string& AFormat, const qor::TQORMQTTMessage& AMessage) {
  std::string out;
  for (size_t i = 0; i < AFormat.size(); ++i) {
    const char c = AFormat[i];
    if ((c != '%' && c != '\\') || i + 1 == AFormat.size()) {
      out += c;
      continue;
    }
    const char code = AFormat[++i];
    if (c == '\\') {
      switch (code) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'a':
          out += '\a';
          break;
        case 'e':
          out += '\033';
          break;
        case 'v':
          out += '\v';
          break;
        case '0':
          out += '\0';
          break;
        case '\\':
          out += '\\';
          break;
        default:
          out += c;
          out += code;
      }
      continue;
    }
    switch (code) {
      case '%':
        out += '%';
        break;
      case 't':
        out += AMessage.Topic;
        break;
      case 'p':
        out += AMessage.Payload;
        break;
      case 'q':
        out += std::to_string(AMessage.QoS);
        break;
      case 'r':
        out += AMessage.Retain ? '1' : '0';
        break;
      case 'l':
        out += std::to_string(AMessage.Payload.size());
        break;
      case 'm':
        out += std::to_string(AMessage.PacketId);
        break;
      case 'x':
        out += Hex(AMessage.Payload, false);
        break;
      case 'X':
        out += Hex(AMessage.Payload, true);
        break;
      case 'I':
        out += Now(true);
        break;
      case 'U':
        out += Now(false);
        break;
      case 'C':
        out += AMessage.ContentType.value_or("");
        break;
      case 'E':
        if (AMessage.MessageExpiryInterval) out += std::to_string(*AMessage.MessageExpiryInterval);
        break;
      case 'F':
        if (AMessage.PayloadFormatIndicator) out += std::to_string(*AMessage.PayloadFormatIndicator);
        break;
      case 'D':
        if (AMessage.CorrelationData) out.append(AMessage.CorrelationData->begin(), AMessage.CorrelationData->end());
        break;
      case 'R':
        out += AMessage.ResponseTopic.value_or("");
        break;
      case 'P':
        for (size_t p = 0; p < AMessage.UserProperties.size(); ++p)
          out += (p ? "," : "") + AMessage.UserProperties[p].first + ":" + AMessage.UserProperties[p].second;
        break;
      case 'S':
        for (size_t s = 0; s < AMessage.SubscriptionIdentifiers.size(); ++s)
          out += (s ? "," : "") + std::to_string(AMessage.SubscriptionIdentifiers[s]);
        break;
      default:
        out += c;
        out += code;
    }
  }
  return out;
}

using TClock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
  qor::TQORMQTTClient client;
  cli::TConnectionOptions connection;
  CLI::App app{"Prints MQTT messages (MQTT 5.0 or 3.1.1), with the options of mosquitto_sub.", "qor_sub"};
  connection.Add(app, "sub");
  std::vector<std::string> topics, filterOut, unsubscribe;
  std::string format;
  int qos = 0, count = 0, seconds = 0, retainHandling = 0;
  bool verbose = false, noNewline = false, noRetained = false, retainedOnly = false, removeRetained = false,
       exitOnSubscribe = false, noLocal = false, retainAsPublished = false;
  app.add_option("-t,--topic", topics, "topic filter to subscribe to (repeatable)")->allow_extra_args(false);
  app.add_option("-T,--filter-out", filterOut, "print no message whose topic matches this filter (repeatable)")
      ->allow_extra_args(false);
  app.add_option("-U,--unsubscribe", unsubscribe, "unsubscribe from this filter first (repeatable)")
      ->allow_extra_args(false);
  app.add_option("-q,--qos", qos, "QoS of the subscriptions (default 0)")->check(CLI::Range(0, 2));
  app.add_option("-C", count, "end after this many messages")->check(CLI::Range(1, INT32_MAX));
  app.add_option("-W", seconds, "end after this many seconds (exit 3 when -C messages had not come)")
      ->check(CLI::Range(1, INT32_MAX));
  app.add_flag("-v,--verbose", verbose, "print the topic before each payload");
  app.add_flag("-N", noNewline, "no newline after a message");
  app.add_option("-F", format, "print each message as this format (see below)");
  app.add_flag("-R", noRetained, "print no retained (stale) message");
  app.add_flag("--retained-only", retainedOnly, "print only retained messages; end at the first other one");
  app.add_flag("--remove-retained", removeRetained, "clear each retained message received from the broker");
  app.add_flag("-E", exitOnSubscribe, "end once subscribed");
  app.add_flag("--no-local", noLocal, "not the client's own publications (MQTT 5)");
  app.add_flag("--retain-as-published", retainAsPublished, "keep the retain flag as published (MQTT 5)");
  app.add_option("--retain-handling", retainHandling, "retained messages: 0 on every subscribe, 1 if new, 2 never")
      ->check(CLI::Range(0, 2));
  app.footer(std::string("\n") + cli::kCommonFooter + kFooter);

  const auto check = [&] {
    if (const auto urlTopic = connection.Apply(client, "sub")) topics.push_back(*urlTopic);
    if (topics.empty() && unsubscribe.empty()) throw cli::EUsage("a topic filter is needed: -t FILTER (or -U)");
    for (const std::string& t : topics) cli::CheckTopicFilter(t, "-t");
    for (const std::string& t : filterOut) cli::CheckTopicFilter(t, "-T");
    for (const std::string& t : unsubscribe) cli::CheckTopicFilter(t, "-U");
    if (noRetained && retainedOnly) throw cli::EUsage("-R and --retained-only exclude each other");
  };
  if (const int code = cli::Parse(app, argc, argv, check); code != cli::kGoOn) return code;
  const bool quiet = connection.Quiet;
  const auto error = [&](const std::string& AText) { cli::Error("sub", quiet, AText); };

  std::vector<qor::TQORMQTTSubscription> filters;
  for (const std::string& t : topics)
    filters.push_back({t, static_cast<qor::TQORMQTTQoS>(qos), noLocal, retainAsPublished,
                       static_cast<qor::TQORMQTTRetainHandling>(retainHandling)});
  std::signal(SIGINT, [](int) { gStop = true; });
  std::signal(SIGTERM, [](int) { gStop = true; });
  // A reader that goes away (| head -1) ends the run like -C, not by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  // -W bounds the whole run, the connect and the subscription included.
  const auto end = seconds > 0 ? TClock::now() + std::chrono::seconds(seconds) : TClock::time_point::max();
  if (seconds > 0) client.ConnectTimeoutSecs = std::min(client.ConnectTimeoutSecs, seconds);
  // Messages are pulled, and a QoS 1 or 2 message is acknowledged only when
  // taken: one that comes after the -C-th, or after Ctrl-C, stays the
  // broker's for the next run of a kept session (-c) instead of being lost.
  client.ReceiveQueueLimit = 64;

  bool failed = false;
  int received = 0;
  bool ended = false;  // -C reached, --retained-only's end, or the reader of the output gone
  // Takes the next message, waiting up to 100 ms (and not past -W), and
  // prints it unless an option leaves it out.
  const auto takeOne = [&] {
    const auto wait = std::min<TClock::duration>(100ms, end - TClock::now());
    std::optional<qor::TQORMQTTMessage> m = client.Receive(std::chrono::duration_cast<std::chrono::milliseconds>(wait));
    if (!m) return;
    if (noRetained && m->Retain) return;
    if (retainedOnly && !m->Retain) {
      ended = true;
      return;
    }
    for (const std::string& f : filterOut)
      if (cli::TopicMatches(f, m->Topic)) return;
    if (removeRetained && m->Retain && !m->Payload.empty()) {
      qor::TQORMQTTMessage clear;
      clear.Topic = m->Topic;
      clear.Retain = true;
      try {
        client.Publish(clear);
      } catch (const qor::Exception& e) {
        error("cannot clear the retained message of \"" + m->Topic + "\": " + cli::Describe(e));
        failed = true;
      }
    }
    if (!format.empty()) {
      std::cout << Formatted(format, *m);
    } else {
      if (verbose) std::cout << m->Topic << " ";
      std::cout << m->Payload;
    }
    if (!noNewline) std::cout << '\n';
    std::cout.flush();
    ended = !std::cout || ++received == count;
  };
  const auto running = [&] { return !gStop && !ended && TClock::now() < end; };
  // Waits for a request's acknowledgement: kGoOn, or the exit code. A kept
  // session's messages may come before it, more than the receive queue
  // holds: they are taken (and printed) meanwhile, or the full queue would
  // stop the reading before the acknowledgement.
  const auto settle = [&](const qor::TQORMQTTHandle& AHandle, const char* ARequest, const char* AOf,
                          const std::vector<std::string>& AFilters) -> int {
    while (!AHandle.Done() && running()) takeOne();
    if (!AHandle.Done()) {
      if (gStop || ended) return cli::kDone;
      error(std::string(ARequest) + " not acknowledged within -W");
      return cli::kFailed;
    }
    const qor::TQORMQTTResult result = AHandle.Get();
    for (size_t i = 0; i < result.ReasonCodes.size() && i < AFilters.size(); ++i)
      if (result.ReasonCodes[i] >= 0x80)
        error(std::string(ARequest) + " " + AOf + " \"" + AFilters[i] +
              "\" refused: " + cli::DescribeReason(result.ReasonCodes[i], result.ReasonString));
    if (result.Succeeded()) return cli::kGoOn;
    if (result.Outcome != qor::ocRefused) error(std::string(ARequest) + " not acknowledged");
    return cli::kFailed;
  };
  try {
    client.Connect();
    if (!unsubscribe.empty()) {
      const int code = settle(client.UnsubscribeAsync(unsubscribe), "unsubscription", "from", unsubscribe);
      if (code != cli::kGoOn) return client.Disconnect(), code;
    }
    if (!filters.empty()) {
      const int code = settle(client.SubscribeAsync(filters), "subscription", "to", topics);
      if (code != cli::kGoOn) return client.Disconnect(), code;
    }
  } catch (const qor::Exception& e) {
    error(cli::Describe(e));
    client.Disconnect();
    return dynamic_cast<const qor::EInvalidArgument*>(&e) ? cli::kUsage : cli::kFailed;
  }
  if (exitOnSubscribe || filters.empty()) {
    client.Disconnect();
    return cli::kDone;
  }
  while (running()) takeOne();
  client.Disconnect();
  if (failed) return cli::kFailed;
  return count > 0 && received < count && !ended && !gStop ? cli::kTimedOut : cli::kDone;
}
