// What qor_pub and qor_sub share: the connection options of the command
// line, parsed into a client. Header-only, so that each tool stays one
// file to copy from.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "uQORMQTTClient.h"

namespace cli {

// Exit codes of both tools.
enum : int { kDone = 0, kFailed = 1, kUsage = 2, kTimedOut = 3 };

inline const char* kConnectionHelp =
    "  -h HOST            broker host, or unix:/path (default 127.0.0.1)\n"
    "  -p PORT            broker port (default 1883, 8883 with --tls)\n"
    "  -i ID              client identifier (default qor-<tool>-<pid>)\n"
    "  -u USER, -P PASS   user name and password\n"
    "  -V 4|5             MQTT version to offer first (default 5)\n"
    "  -k SECONDS         keepalive (default 60)\n"
    "  --tls              TLS; --cafile F checks the broker against F (PEM), --insecure checks nothing\n"
    "  --cert F, --key F  client certificate and key (PEM); --key-password P for an encrypted key\n"
    "  --alpn NAME        offer NAME by ALPN (repeatable)\n"
    "  -d                 the client's log on standard error\n";

// The value of the option at argv[i], advancing i over it; raises
// std::invalid_argument when the command line ends first.
inline std::string ValueOf(int argc, char** argv, int& i) {
  if (i + 1 >= argc) throw std::invalid_argument(std::string(argv[i]) + " needs a value");
  return argv[++i];
}

// Parses one connection option at argv[i] into AClient (advancing i over
// its value); false when argv[i] is none of them. Raises std::invalid_argument
// for a missing value.
inline bool ParseConnectionOption(int argc, char** argv, int& i, qor::TQORMQTTClient& AClient, bool& ADebug,
                                  bool& APortGiven) {
  const std::string a = argv[i];
  const auto value = [&] { return ValueOf(argc, argv, i); };
  if (a == "-h") {
    AClient.BrokerHostName = value();
  } else if (a == "-p") {
    AClient.BrokerPort = std::atoi(value().c_str());
    APortGiven = true;
  } else if (a == "-i") {
    AClient.ClientID = value();
  } else if (a == "-u") {
    AClient.Username = value();
  } else if (a == "-P") {
    AClient.Password = value();
  } else if (a == "-V") {
    AClient.ProtocolVersion = static_cast<uint8_t>(std::atoi(value().c_str()));
  } else if (a == "-k") {
    AClient.KeepAliveSecs = std::atoi(value().c_str());
  } else if (a == "--tls") {
    AClient.UseSSL = true;
  } else if (a == "--cafile") {
    AClient.CAFile = value();
    AClient.VerifyPeer = true;
  } else if (a == "--insecure") {
    AClient.VerifyPeer = false;
  } else if (a == "--cert") {
    AClient.CertFile = value();
  } else if (a == "--key") {
    AClient.KeyFile = value();
  } else if (a == "--key-password") {
    AClient.KeyPassword = value();
  } else if (a == "--alpn") {
    AClient.ALPNProtocols.push_back(value());
  } else if (a == "-d") {
    ADebug = true;
  } else {
    return false;
  }
  return true;
}

// Defaults that depend on other options, and the log when asked for.
inline void Finish(qor::TQORMQTTClient& AClient, const char* ATool, bool ADebug, bool APortGiven) {
  if (AClient.BrokerHostName.empty()) AClient.BrokerHostName = "127.0.0.1";
  if (!APortGiven) AClient.BrokerPort = AClient.UseSSL ? 8883 : 1883;
  if (AClient.ClientID.empty()) AClient.ClientID = std::string("qor-") + ATool + "-" + std::to_string(getpid());
  if (ADebug) AClient.OnLog = [](const std::string& ALine) { std::cerr << ALine << std::endl; };
}

// Reads the whole command line into AClient (a plain link unless --tls):
// connection options here, the tool's own through AOption (false for one it
// does not know), then ACheck raises when something needed is missing.
// kDone, or kUsage after printing why and the usage.
inline int ParseCommandLine(int argc, char** argv, const char* ATool, const char* AUsage,
                            qor::TQORMQTTClient& AClient,
                            const std::function<bool(const std::string&, const std::function<std::string()>&)>& AOption,
                            const std::function<void()>& ACheck) {
  AClient.UseSSL = false;
  bool debug = false, portGiven = false;
  try {
    for (int i = 1; i < argc; ++i) {
      if (ParseConnectionOption(argc, argv, i, AClient, debug, portGiven)) continue;
      const std::string option = argv[i];
      if (!AOption(option, [&] { return ValueOf(argc, argv, i); }))
        throw std::invalid_argument("unknown option " + option);
    }
    ACheck();
  } catch (const std::invalid_argument& e) {
    std::cerr << "qor_" << ATool << ": " << e.what() << "\n" << AUsage << kConnectionHelp;
    return kUsage;
  }
  Finish(AClient, ATool, debug, portGiven);
  return kDone;
}

// "name=value" as a user property.
inline std::pair<std::string, std::string> UserProperty(const std::string& AText) {
  const size_t eq = AText.find('=');
  if (eq == std::string::npos) throw std::invalid_argument("user property \"" + AText + "\" is not name=value");
  return {AText.substr(0, eq), AText.substr(eq + 1)};
}

}  // namespace cli
