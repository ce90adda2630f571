// What qor_pub and qor_sub share: the connection options of their command
// lines (named and meant as mosquitto_pub's and mosquitto_sub's), checked
// and turned into a client, and the way both report a failure.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "uQORMQTTClient.h"

namespace qor::cli {

// Exit codes of both tools.
enum : int { kDone = 0, kFailed = 1, kUsage = 2, kTimedOut = 3 };
constexpr int kGoOn = -1;

// A command line that names no valid request: the tool prints why and exits kUsage.
class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The connection options as given, before they are checked.
struct TConnectionOptions {
  std::string Host, Url, UnixPath;
  std::optional<int> Port;
  std::string Id, IdPrefix, User, Password, Version = "5";
  int KeepAlive = 60;
  bool KeepSession = false;  // -c
  std::string SessionExpiry;
  std::string WillTopic, WillPayload;
  std::optional<int> WillQoS;
  bool WillRetain = false;
  bool TLS = false, Insecure = false, OSCerts = false;
  std::string CAFile, CAPath, Cert, Key, KeyPassword, TLSVersion, Ciphers;
  std::vector<std::string> ALPN;
  bool Debug = false, Quiet = false;

  // Adds --help, --version and the connection options to AApp (ATool: "pub"
  // or "sub", for the version text).
  void Add(CLI::App& AApp, const char* ATool);
  // Checks the options together and sets up AClient. The topic of an
  // mqtt(s):// URL given with -L, when there is one. Raises EUsage.
  std::optional<std::string> Apply(qor::TQORMQTTClient& AClient, const char* ATool) const;
};

// Help text shared by both tools: TLS, URLs and exit codes.
extern const char* kCommonFooter;

// The tool's own and the library's version, for --version.
std::string VersionText(const char* ATool);

// The name MQTT gives AReasonCode ("Not authorized"), or "" for one it does not know.
std::string ReasonName(uint8_t AReasonCode);
// "0x87 Not authorized", with the broker's words after a colon when it said any.
std::string DescribeReason(uint8_t AReasonCode, const std::string& AReasonString = "");

// Raises EUsage when ATopic is no topic name a publication may carry
// (empty, a wildcard, a NUL), or when AFilter is no valid topic filter.
void CheckTopicName(const std::string& ATopic, const std::string& AWhat);
void CheckTopicFilter(const std::string& AFilter, const std::string& AWhat);
// Whether ATopic matches the topic filter AFilter.
bool TopicMatches(const std::string& AFilter, const std::string& ATopic);

// Reads a whole file (binary); raises std::runtime_error naming why it cannot.
std::string ReadFile(const std::string& APath);
// All that can be read from AFd (standard input, say); raises std::runtime_error
// naming AWhat when a read fails.
std::string ReadAll(int AFd, const std::string& AWhat);

// Parses the command line and runs ACheck (which raises EUsage): kGoOn when
// the tool should go on, otherwise its exit code (kDone after --help or
// --version, kUsage after printing why).
int Parse(CLI::App& AApp, int argc, char** argv, const std::function<void()>& ACheck);

// Prints "qor_<tool>: AText" on standard error unless --quiet.
void Error(const char* ATool, bool AQuiet, const std::string& AText);
// The words for a failed Connect, Publish or Subscribe: the broker's code
// and words for a refused connection, the class and message otherwise.
std::string Describe(const qor::Exception& AError);

}  // namespace qor::cli
