#include "qor_cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace qor::cli {

namespace {

// The parts of scheme://[user[:password]@]host[:port][/path].
struct TUrl {
  std::string Scheme, User, Password, Host, Path;
  std::optional<int> Port;
};

// The scheme of scheme://..., in lower case (schemes are case-insensitive).
std::string SchemeOf(const std::string& AText) {
  const size_t sep = AText.find("://");
  std::string scheme = sep == std::string::npos ? std::string() : AText.substr(0, sep);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme;
}

// AText as errors may show it: whatever stands before an '@' may be a password.
std::string Redacted(const std::string& AText) {
  const size_t sep = AText.find("://"), at = AText.rfind('@');
  if (at == std::string::npos) return AText;
  // Without a well-formed scheme (a typo), all before the '@' may be the password.
  if (sep == std::string::npos || at < sep) return "…@" + AText.substr(at + 1);
  return AText.substr(0, sep + 3) + "…@" + AText.substr(at + 1);
}

// %XX escapes decoded, so that a password may hold '/', '@' or ':' (%2F, %40, %3A).
std::string PercentDecoded(const std::string& AText) {
  std::string out;
  for (size_t i = 0; i < AText.size(); ++i) {
    if (AText[i] == '%' && i + 2 < AText.size() && std::isxdigit(static_cast<unsigned char>(AText[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(AText[i + 2]))) {
      out += static_cast<char>(std::stoi(AText.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += AText[i];
    }
  }
  return out;
}

int ParsePort(const std::string& AText, const std::string& AWhat) {
  // Not quoted: in a URL whose password holds a '/', the "port" is a piece of the password.
  if (AText.empty() || AText.size() > 5 || !std::all_of(AText.begin(), AText.end(), ::isdigit))
    throw EUsage(AWhat + ": the port is not a number from 1 to 65535 (a '/' in a password is written %2F)");
  const int port = std::stoi(AText);
  if (port < 1 || port > 65535) throw EUsage(AWhat + ": port " + AText + " is not from 1 to 65535");
  return port;
}

TUrl ParseUrl(const std::string& AText) {
  TUrl url;
  const size_t sep = AText.find("://");
  if (sep == std::string::npos)
    throw EUsage("-L " + Redacted(AText) + ": not a URL (mqtt://, mqtts://, ws:// or wss://)");
  url.Scheme = SchemeOf(AText);
  if (url.Scheme != "mqtt" && url.Scheme != "mqtts" && url.Scheme != "ws" && url.Scheme != "wss")
    throw EUsage("-L: unknown scheme \"" + url.Scheme + "\"; it must be mqtt, mqtts, ws or wss");
  std::string rest = AText.substr(sep + 3);
  const size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    url.Path = rest.substr(slash);
    rest.resize(slash);
  }
  // The password may hold '@' itself: the last one ends the credentials.
  if (const size_t at = rest.rfind('@'); at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const size_t colon = credentials.find(':');
    url.User = PercentDecoded(credentials.substr(0, colon));
    if (colon != std::string::npos) url.Password = PercentDecoded(credentials.substr(colon + 1));
  }
  size_t portAt = std::string::npos;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) throw EUsage("-L: unterminated [IPv6 address] in the URL");
    url.Host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') throw EUsage("-L: unexpected text after the [IPv6 address]");
      portAt = close + 2;
    }
  } else {
    portAt = rest.find(':');
    url.Host = rest.substr(0, portAt);
    if (portAt != std::string::npos) ++portAt;
  }
  if (portAt != std::string::npos) url.Port = ParsePort(rest.substr(portAt), "-L");
  if (url.Host.empty()) throw EUsage("-L " + Redacted(AText) + ": no host");
  return url;
}

bool IsWebSocket(const std::string& AHost) { return SchemeOf(AHost) == "ws" || SchemeOf(AHost) == "wss"; }

uint8_t ProtocolLevel(const std::string& AVersion, bool AQuiet) {
  if (AVersion == "5" || AVersion == "mqttv5") return 5;
  if (AVersion == "311" || AVersion == "mqttv311" || AVersion == "4") return 4;
  if (AVersion == "31" || AVersion == "mqttv31") {
    Error("", AQuiet, "warning: MQTT 3.1 is not spoken; offering MQTT 3.1.1 instead");
    return 4;
  }
  throw EUsage("-V " + AVersion + ": the MQTT version must be 5, mqttv5, 311, mqttv311, 31 or mqttv31");
}

uint32_t SessionExpiry(const std::string& AText) {
  if (AText == "-1" || AText == "4294967295" || AText == "∞") return UINT32_MAX;
  if (AText.empty() || AText.size() > 10 || !std::all_of(AText.begin(), AText.end(), ::isdigit) ||
      std::stoull(AText) > UINT32_MAX)
    throw EUsage("-x " + AText + ": the session expiry must be 0 to 4294967294 seconds, or -1 for never");
  return static_cast<uint32_t>(std::stoull(AText));
}

}  // namespace

const char* kCommonFooter =
    "TLS: --cafile or --capath turn TLS on and trust only those CAs; --tls alone trusts the system's\n"
    "CAs. The broker's certificate chain is always checked; --insecure skips only the check that it\n"
    "names the host connected to. The port is 8883 with TLS, 1883 without.\n"
    "-L mqtt[s]://[user[:password]@]host[:port]/topic sets the broker and the topic at once;\n"
    "-L ws[s]://[user[:password]@]host[:port][/path] and -h ws[s]://host[:port][/path] reach a broker\n"
    "by WebSocket (path default /mqtt, ports 80 and 443): the URL's path is the WebSocket's, so the\n"
    "topic comes from -t. In a URL's user and password, %XX stands for a byte (%2F '/', %40 '@', %3A ':').\n";

std::string VersionText(const char* ATool) {
  return std::string("qor_") + ATool + " " + QOR_VERSION + " (QOR MQTT client library " + QOR_VERSION + ")";
}

void TConnectionOptions::Add(CLI::App& AApp, const char* ATool) {
  // Only --help: -h is the host, as in mosquitto's tools.
  AApp.set_help_flag("--help", "print this help and exit (0)");
  AApp.set_version_flag("--version", VersionText(ATool));
  AApp.add_option("-h,--host", Host, "broker host, unix:/path or ws[s]://host[:port][/path] (default 127.0.0.1)");
  AApp.add_option("-p,--port", Port, "broker port (default 1883, 8883 with TLS)")->check(CLI::Range(1, 65535));
  AApp.add_option("--unix", UnixPath, "connect to the broker's Unix-domain socket at this path");
  AApp.add_option("-L,--url", Url, "broker (and topic) as a URL: see below");
  AApp.add_option("-i,--id", Id, "client identifier (default qor-<tool>-<pid>)");
  AApp.add_option("-I,--id-prefix", IdPrefix, "client identifier: this prefix and the process id");
  AApp.add_option("-u,--username", User, "user name");
  AApp.add_option("-P,--pw", Password, "password");
  AApp.add_option("-V,--protocol-version", Version, "MQTT version: 5 or mqttv5 (default), 311 or mqttv311");
  AApp.add_option("-k,--keepalive", KeepAlive, "keepalive seconds, 0 to 65535 (default 60)")
      ->check(CLI::Range(0, 65535));
  AApp.add_flag("-c,--disable-clean-session", KeepSession,
                "keep the session: resume it at connect, and it never expires unless -x says otherwise (needs -i)");
  AApp.add_option("-x,--session-expiry", SessionExpiry, "session expiry seconds (MQTT 5; -1: never)");
  AApp.add_option("--will-topic", WillTopic, "topic of the last will");
  AApp.add_option("--will-payload", WillPayload, "payload of the last will");
  AApp.add_option("--will-qos", WillQoS, "QoS of the last will")->check(CLI::Range(0, 2));
  AApp.add_flag("--will-retain", WillRetain, "retain the last will");
  AApp.add_flag("--tls", TLS, "TLS, trusting the system's CAs (unless --cafile or --capath)");
  AApp.add_option("--cafile", CAFile, "trusted CA certificates (PEM); turns TLS on");
  AApp.add_option("--capath", CAPath, "directory of trusted CA certificates (hashed, openssl rehash); turns TLS on");
  AApp.add_flag("--tls-use-os-certs", OSCerts, "TLS, trusting the system's CAs (as --tls)");
  AApp.add_flag("--insecure", Insecure, "do not check that the certificate names the host (the chain still is)");
  AApp.add_option("--cert", Cert, "client certificate (PEM)");
  AApp.add_option("--key", Key, "client private key (PEM)");
  AApp.add_option("--key-password", KeyPassword, "password of an encrypted --key");
  AApp.add_option("--tls-version", TLSVersion, "oldest TLS version accepted: tlsv1.2 or tlsv1.3");
  AApp.add_option("--ciphers", Ciphers, "OpenSSL cipher list for TLS 1.2");
  AApp.add_option("--alpn,--tls-alpn", ALPN, "protocol to offer by ALPN (repeatable)")->allow_extra_args(false);
  AApp.add_flag("-d,--debug", Debug, "the client's log on standard error");
  AApp.add_flag("--quiet", Quiet, "no error messages");
}

std::optional<std::string> TConnectionOptions::Apply(qor::TQORMQTTClient& C, const char* ATool) const {
  std::optional<std::string> topic;
  std::string host = Host, user = User, password = Password;
  std::optional<int> port = Port;
  bool tls = TLS || OSCerts || !CAFile.empty() || !CAPath.empty();
  bool plainScheme = false;  // ws:// or mqtt://: TLS options contradict it
  if (!Url.empty()) {
    if (!Host.empty() || Port || !UnixPath.empty()) throw EUsage("-L names the broker: give no -h, -p or --unix too");
    const TUrl url = ParseUrl(Url);
    if (!url.User.empty()) {
      if (!User.empty() || !Password.empty()) throw EUsage("-L carries the credentials: give no -u or -P too");
      user = url.User;
      password = url.Password;
    }
    const bool secure = url.Scheme == "mqtts" || url.Scheme == "wss";
    plainScheme = !secure;
    tls = tls || secure;
    const std::string shownHost = url.Host.find(':') != std::string::npos ? "[" + url.Host + "]" : url.Host;
    if (url.Scheme == "ws" || url.Scheme == "wss") {
      // The path is the WebSocket's, not a topic.
      host = url.Scheme + "://" + shownHost + (url.Port ? ":" + std::to_string(*url.Port) : "") + url.Path;
    } else {
      if (url.Path.size() < 2) throw EUsage("-L " + Redacted(Url) + ": no topic after the host (mqtt://host/topic)");
      topic = url.Path.substr(1);
      host = url.Host;
      port = url.Port;
    }
  }
  if (!UnixPath.empty()) {
    if (!Host.empty()) throw EUsage("--unix names the broker: give no -h too");
    host = "unix:" + UnixPath;
  }
  if (IsWebSocket(host)) {
    if (Port) throw EUsage("-p does not apply to a WebSocket URL: put the port in it (ws://host:port/path)");
    plainScheme = SchemeOf(host) == "ws";
    tls = tls || !plainScheme;
  }
  if (host.rfind("unix:", 0) == 0) plainScheme = true;
  if (tls && plainScheme)
    throw EUsage(host.rfind("unix:", 0) == 0
                     ? "a Unix-domain socket carries no TLS"
                     : "TLS options given for a plain mqtt:// or ws:// URL: use mqtts:// or wss://");
  if (!tls) {
    const std::pair<bool, const char*> tlsOnly[] = {{Insecure, "--insecure"},
                                                    {!Cert.empty(), "--cert"},
                                                    {!Key.empty(), "--key"},
                                                    {!KeyPassword.empty(), "--key-password"},
                                                    {!TLSVersion.empty(), "--tls-version"},
                                                    {!Ciphers.empty(), "--ciphers"},
                                                    {!ALPN.empty(), "--alpn"}};
    for (const auto& [given, name] : tlsOnly)
      if (given) throw EUsage(std::string(name) + " needs TLS: add --tls, --cafile or --capath");
  }
  if (OSCerts && (!CAFile.empty() || !CAPath.empty()))
    throw EUsage("--tls-use-os-certs with --cafile or --capath: give one source of trusted CAs");
  if (!Key.empty() && Cert.empty()) throw EUsage("--key needs --cert");
  if (!Id.empty() && !IdPrefix.empty()) throw EUsage("-i and -I cannot be used together");
  if (KeepSession && Id.empty())
    throw EUsage("-c needs a client identifier (-i): a session is found again by its identifier");
  if (WillTopic.empty() && (!WillPayload.empty() || WillQoS || WillRetain))
    throw EUsage("--will-payload, --will-qos and --will-retain need --will-topic");

  C.BrokerHostName = host.empty() ? "127.0.0.1" : host;
  C.UseSSL = tls;
  C.BrokerPort = port.value_or(tls ? 8883 : 1883);
  if (IsWebSocket(host)) C.BrokerPort = tls ? 443 : 80;  // the URL's own port, if any, is in it
  C.ClientID = !Id.empty()         ? Id
               : !IdPrefix.empty() ? IdPrefix + std::to_string(getpid())
                                   : std::string("qor-") + ATool + "-" + std::to_string(getpid());
  C.Username = user;
  C.Password = password;
  C.ProtocolVersion = ProtocolLevel(Version, Quiet);
  C.KeepAliveSecs = KeepAlive;
  C.CleanStart = !KeepSession;
  if (!SessionExpiry.empty()) {
    C.SessionExpiryInterval = qor::cli::SessionExpiry(SessionExpiry);
  } else if (KeepSession) {
    C.SessionExpiryInterval = UINT32_MAX;
  }
  if (!WillTopic.empty()) {
    CheckTopicName(WillTopic, "--will-topic");
    qor::TQORMQTTMessage will;
    will.Topic = WillTopic;
    will.Payload = WillPayload;
    will.QoS = static_cast<qor::TQORMQTTQoS>(WillQoS.value_or(0));
    will.Retain = WillRetain;
    C.Will = will;
  }
  C.VerifyPeer = tls;
  C.VerifyHostName = !Insecure;
  C.CAFile = CAFile;
  C.CAPath = CAPath;
  C.CertFile = Cert;
  C.KeyFile = Key;
  C.KeyPassword = KeyPassword;
  C.Ciphers = Ciphers;
  C.ALPNProtocols = ALPN;
  if (TLSVersion == "tlsv1.2" || TLSVersion == "1.2") {
    C.TLSMinVersion = "1.2";
  } else if (TLSVersion == "tlsv1.3" || TLSVersion == "1.3") {
    C.TLSMinVersion = "1.3";
  } else if (!TLSVersion.empty()) {
    throw EUsage("--tls-version " + TLSVersion + ": it must be tlsv1.2 or tlsv1.3");
  }
  if (Debug) C.OnLog = [](const std::string& ALine) { std::cerr << ALine << std::endl; };
  return topic;
}

std::string ReasonName(uint8_t ACode) {
  static const std::map<uint8_t, const char*> kNames = {
      {0x00, "Success"},
      {0x01, "Granted QoS 1"},
      {0x02, "Granted QoS 2"},
      {0x04, "Disconnect with Will Message"},
      {0x10, "No matching subscribers"},
      {0x11, "No subscription existed"},
      {0x80, "Unspecified error"},
      {0x81, "Malformed Packet"},
      {0x82, "Protocol Error"},
      {0x83, "Implementation specific error"},
      {0x84, "Unsupported Protocol Version"},
      {0x85, "Client Identifier not valid"},
      {0x86, "Bad User Name or Password"},
      {0x87, "Not authorized"},
      {0x88, "Server unavailable"},
      {0x89, "Server busy"},
      {0x8A, "Banned"},
      {0x8B, "Server shutting down"},
      {0x8C, "Bad authentication method"},
      {0x8D, "Keep Alive timeout"},
      {0x8E, "Session taken over"},
      {0x8F, "Topic Filter invalid"},
      {0x90, "Topic Name invalid"},
      {0x91, "Packet Identifier in use"},
      {0x92, "Packet Identifier not found"},
      {0x93, "Receive Maximum exceeded"},
      {0x94, "Topic Alias invalid"},
      {0x95, "Packet too large"},
      {0x96, "Message rate too high"},
      {0x97, "Quota exceeded"},
      {0x98, "Administrative action"},
      {0x99, "Payload format invalid"},
      {0x9A, "Retain not supported"},
      {0x9B, "QoS not supported"},
      {0x9C, "Use another server"},
      {0x9D, "Server moved"},
      {0x9E, "Shared Subscriptions not supported"},
      {0x9F, "Connection rate exceeded"},
      {0xA0, "Maximum connect time"},
      {0xA1, "Subscription Identifiers not supported"},
      {0xA2, "Wildcard Subscriptions not supported"},
  };
  const auto found = kNames.find(ACode);
  return found == kNames.end() ? "" : found->second;
}

std::string DescribeReason(uint8_t ACode, const std::string& AReasonString) {
  char code[8];
  std::snprintf(code, sizeof code, "0x%02X", ACode);
  std::string text = code;
  if (const std::string name = ReasonName(ACode); !name.empty()) text += " " + name;
  if (!AReasonString.empty()) text += ": " + AReasonString;
  return text;
}

void CheckTopicName(const std::string& ATopic, const std::string& AWhat) {
  if (ATopic.empty()) throw EUsage(AWhat + ": the topic is empty");
  if (ATopic.find_first_of("+#") != std::string::npos)
    throw EUsage(AWhat + " \"" + ATopic + "\": a topic to publish to holds no wildcard (+ or #)");
  if (ATopic.find('\0') != std::string::npos) throw EUsage(AWhat + ": the topic holds a NUL character");
}

void CheckTopicFilter(const std::string& AFilter, const std::string& AWhat) {
  if (AFilter.empty()) throw EUsage(AWhat + ": the topic filter is empty");
  if (AFilter.find('\0') != std::string::npos) throw EUsage(AWhat + ": the topic filter holds a NUL character");
  size_t start = 0;
  while (start <= AFilter.size()) {
    const size_t end = std::min(AFilter.find('/', start), AFilter.size());
    const std::string level = AFilter.substr(start, end - start);
    if (level.find_first_of("+#") != std::string::npos && level.size() > 1)
      throw EUsage(AWhat + " \"" + AFilter + "\": + and # must stand alone in their level");
    if (level == "#" && end != AFilter.size()) throw EUsage(AWhat + " \"" + AFilter + "\": # must be the last level");
    start = end + 1;
  }
}

bool TopicMatches(const std::string& AFilter, const std::string& ATopic) {
  // Wildcards at the first level do not match topics starting with $.
  if (!ATopic.empty() && ATopic[0] == '$' && !AFilter.empty() && (AFilter[0] == '+' || AFilter[0] == '#')) return false;
  size_t f = 0, t = 0;
  for (;;) {
    const size_t fEnd = std::min(AFilter.find('/', f), AFilter.size());
    const std::string level = AFilter.substr(f, fEnd - f);
    if (level == "#") return true;
    if (t > ATopic.size()) return false;
    const size_t tEnd = std::min(ATopic.find('/', t), ATopic.size());
    if (level != "+" && level != ATopic.substr(t, tEnd - t)) return false;
    const bool filterDone = fEnd == AFilter.size(), topicDone = tEnd == ATopic.size();
    if (filterDone || topicDone) {
      // "a/#" matches "a" too.
      return filterDone == topicDone || (topicDone && AFilter.compare(fEnd, std::string::npos, "/#") == 0);
    }
    f = fEnd + 1;
    t = tEnd + 1;
  }
}

std::string ReadAll(int AFd, const std::string& AWhat) {
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(AFd, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return content;
    } else if (errno != EINTR) {
      // A directory, say: an error, never an empty message.
      throw std::runtime_error("cannot read " + AWhat + ": " + std::strerror(errno));
    }
  }
}

std::string ReadFile(const std::string& APath) {
  const int fd = open(APath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot read \"" + APath + "\": " + std::strerror(errno));
  try {
    std::string content = ReadAll(fd, "\"" + APath + "\"");
    close(fd);
    return content;
  } catch (...) {
    close(fd);
    throw;
  }
}

int Parse(CLI::App& AApp, int argc, char** argv, const std::function<void()>& ACheck) {
  try {
    AApp.parse(argc, argv);
    ACheck();
  } catch (const CLI::CallForHelp& e) {
    return AApp.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return AApp.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << AApp.get_name() << ": " << e.what() << "\nRun with --help for the options.\n";
    return kUsage;
  } catch (const EUsage& e) {
    std::cerr << AApp.get_name() << ": " << e.what() << "\nRun with --help for the options.\n";
    return kUsage;
  }
  return kGoOn;
}

void Error(const char* ATool, bool AQuiet, const std::string& AText) {
  if (AQuiet) return;
  if (*ATool) std::cerr << "qor_" << ATool << ": ";
  std::cerr << AText << std::endl;
}

std::string Describe(const qor::Exception& AError) {
  if (const auto* refused = dynamic_cast<const qor::EBrokerRefused*>(&AError))
    return "connection refused: " + DescribeReason(refused->ReasonCode(), refused->ReasonString());
  return AError.ClassName() + ": " + AError.Message();
}

}  // namespace qor::cli
