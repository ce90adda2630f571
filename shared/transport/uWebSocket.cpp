#include "uWebSocket.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string_view>

#include "uQORErrors.h"

namespace qor {

namespace {

std::string Lower(std::string_view AText) {
  std::string s(AText);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWithNoCase(const std::string& AText, std::string_view APrefix) {
  return AText.size() >= APrefix.size() && Lower(std::string_view(AText).substr(0, APrefix.size())) == APrefix;
}

std::string Bracketed(const std::string& AHost) {
  return AHost.find(':') != std::string::npos ? "[" + AHost + "]" : AHost;
}

// What a peer wrote, fit for a log line: control bytes shown as '?', and no
// more than ALimit bytes of it.
std::string Printable(std::string_view AText, size_t ALimit = 200) {
  std::string s(AText.substr(0, ALimit));
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  if (AText.size() > ALimit) s += "...";
  return s;
}

std::string Base64(const unsigned char* AData, size_t ALength) {
  std::string out(4 * ((ALength + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), AData, static_cast<int>(ALength));
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

bool IsTokenChar(char AChar) {
  return std::isalnum(static_cast<unsigned char>(AChar)) || std::strchr("!#$%&'*+-.^_`|~", AChar) != nullptr;
}

std::string_view Trimmed(std::string_view AText) {
  while (!AText.empty() && (AText.front() == ' ' || AText.front() == '\t')) AText.remove_prefix(1);
  while (!AText.empty() && (AText.back() == ' ' || AText.back() == '\t')) AText.remove_suffix(1);
  return AText;
}

// Whether a comma-separated header value holds AToken (any case).
bool HasToken(std::string_view AValue, std::string_view AToken) {
  while (!AValue.empty()) {
    const size_t comma = AValue.find(',');
    if (Lower(Trimmed(AValue.substr(0, comma))) == AToken) return true;
    if (comma == std::string_view::npos) break;
    AValue.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

bool IsWebSocketURL(const std::string& AHost) {
  return StartsWithNoCase(AHost, "ws://") || StartsWithNoCase(AHost, "wss://");
}

std::string TWebSocketAddress::Display() const {
  const size_t query = Target.find('?');
  return (Secure ? "wss://" : "ws://") + Bracketed(Host) + ":" + std::to_string(Port) + Target.substr(0, query) +
         (query != std::string::npos ? "?\xE2\x80\xA6" : "");
}

std::string TWebSocketAddress::HostHeader() const {
  const uint16_t usual = Secure ? 443 : 80;
  return Bracketed(Host) + (Port != usual ? ":" + std::to_string(Port) : std::string());
}

std::string RedactedURL(const std::string& AURL) {
  std::string url = AURL.substr(0, AURL.find_first_of("?#"));
  const size_t from = url.find("://");
  const size_t start = from == std::string::npos ? 0 : from + 3;
  const size_t at = url.find('@', start);
  if (at != std::string::npos && at < url.find('/', start)) url.replace(start, at - start + 1, "\xE2\x80\xA6@");
  return url.size() < AURL.size() && AURL.find_first_of("?#") != std::string::npos ? url + "?\xE2\x80\xA6" : url;
}

std::optional<TWebSocketAddress> ParseWebSocketURL(const std::string& AURL, std::string& AError) {
  TWebSocketAddress address;
  size_t at;
  if (StartsWithNoCase(AURL, "ws://")) {
    at = 5;
  } else if (StartsWithNoCase(AURL, "wss://")) {
    at = 6;
    address.Secure = true;
  } else {
    AError = "it must begin with ws:// or wss://";
    return std::nullopt;
  }
  const size_t authorityEnd = std::min(AURL.find_first_of("/?#", at), AURL.size());
  const std::string authority = AURL.substr(at, authorityEnd - at);
  std::string tail = AURL.substr(authorityEnd);
  if (authority.find('@') != std::string::npos) {
    AError = "it carries user info; credentials belong in Username and Password, or in WebSocketHeaders";
    return std::nullopt;
  }
  std::string port;
  bool hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    const std::string inside = close == std::string::npos ? std::string() : authority.substr(1, close - 1);
    in6_addr v6{};
    // inet_pton reads up to a NUL byte: what follows one must not pass unseen.
    if (close == std::string::npos || inside.find('\0') != std::string::npos ||
        inet_pton(AF_INET6, inside.c_str(), &v6) != 1) {
      AError = "\"" + Printable(authority) + "\" is no IPv6 address in brackets";
      return std::nullopt;
    }
    address.Host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty() && after[0] != ':') {
      AError = "\"" + Printable(after) + "\" follows the IPv6 address";
      return std::nullopt;
    }
    hasPort = !after.empty();
    if (hasPort) port = after.substr(1);
  } else {
    const size_t colon = authority.find(':');
    address.Host = authority.substr(0, colon);
    hasPort = colon != std::string::npos;
    if (hasPort) port = authority.substr(colon + 1);
    if (!std::all_of(address.Host.begin(), address.Host.end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
        })) {
      AError = "the host \"" + Printable(address.Host) + "\" is neither a name nor an address";
      return std::nullopt;
    }
  }
  if (address.Host.empty()) {
    AError = "it names no host";
    return std::nullopt;
  }
  if (hasPort) {
    const bool digits = !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), ::isdigit);
    const int value = digits ? std::stoi(port) : 0;
    if (value < 1 || value > 65535) {
      AError = "the port \"" + Printable(port, 10) + "\" is not 1 to 65535";
      return std::nullopt;
    }
    address.Port = static_cast<uint16_t>(value);
  } else {
    address.Port = address.Secure ? 443 : 80;
  }
  if (tail.find('#') != std::string::npos) {
    AError = "a fragment (#) has no meaning in it";
    return std::nullopt;
  }
  // The request line carries the target as it is: a space or a line break
  // would make another request of it.
  if (!std::all_of(tail.begin(), tail.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
    AError = "its path has a space, a control character or a byte beyond ASCII";
    return std::nullopt;
  }
  if (tail.empty() || tail[0] == '?') tail = "/mqtt" + tail;
  address.Target = tail;
  return address;
}

std::string WebSocketHeaderProblem(const std::string& AName, const std::string& AValue) {
  if (AName.empty() || !std::all_of(AName.begin(), AName.end(), IsTokenChar))
    return "the header name \"" + Printable(AName, 60) + "\" is not an HTTP token";
  static const char* const kOwn[] = {
      "host", "upgrade", "connection", "sec-websocket-key", "sec-websocket-version", "sec-websocket-protocol",
      "sec-websocket-extensions", "content-length", "transfer-encoding"};
  const std::string name = Lower(AName);
  for (const char* own : kOwn)
    if (name == own) return "the header \"" + AName + "\" is the handshake's own";
  // The value is not shown: it is likely a token.
  if (AValue.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    return "the value of header \"" + AName + "\" has a line break or a NUL byte";
  return {};
}

std::string NewWebSocketKey() {
  unsigned char nonce[16];
  if (RAND_bytes(nonce, sizeof nonce) != 1) throw ESocketError("No random bytes for the WebSocket key");
  return Base64(nonce, sizeof nonce);
}

std::string WebSocketAccept(const std::string& AKey) {
  const std::string text = AKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr) != 1) return {};
  return Base64(digest, length);
}

std::string UpgradeRequest(const TWebSocketAddress& AAddress, const std::string& AKey,
                           const TWebSocketHeaders& AHeaders) {
  std::string request = "GET " + AAddress.Target + " HTTP/1.1\r\nHost: " + AAddress.HostHeader() +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + AKey +
                        "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: mqtt\r\n";
  for (const auto& [name, value] : AHeaders) request += name + ": " + value + "\r\n";
  return request + "\r\n";
}

TUpgradeAnswer ReadUpgradeAnswer(const uint8_t* AData, size_t ALength, const std::string& AKey) {
  TUpgradeAnswer answer;
  const std::string_view text(reinterpret_cast<const char*>(AData), ALength);
  const auto refuse = [&](std::string AReason) {
    answer.State = TUpgradeAnswer::Refused;
    answer.Reason = std::move(AReason);
    return answer;
  };
  // Whatever does not begin like an HTTP answer never becomes one.
  if (std::string_view("HTTP/").substr(0, std::min<size_t>(ALength, 5)) != text.substr(0, 5))
    return refuse("not an HTTP answer: " + Printable(text.substr(0, text.find('\n')), 60));
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos || end + 4 > kMaxUpgradeAnswer) {
    if (ALength < kMaxUpgradeAnswer) return answer;
    return refuse("an answer header longer than " + std::to_string(kMaxUpgradeAnswer) + " bytes");
  }
  const std::string_view header = text.substr(0, end);
  const size_t lineEnd = header.find("\r\n");
  const std::string_view status = header.substr(0, lineEnd);
  const std::string shown = Printable(status);
  // "HTTP/1.1 101 Switching Protocols": the version, then a code of three digits.
  if (status.size() < 12 || status.substr(0, 7) != "HTTP/1." || status[8] != ' ' ||
      !std::all_of(status.begin() + 9, status.begin() + 12, ::isdigit) || (status.size() > 12 && status[12] != ' '))
    return refuse("not an HTTP answer: " + shown);
  if (status.substr(9, 3) != "101") return refuse(shown);
  std::string upgrade, connection, accept, protocol, extensions;
  bool sawAccept = false, sawProtocol = false;
  std::string_view rest = lineEnd == std::string_view::npos ? std::string_view() : header.substr(lineEnd + 2);
  while (!rest.empty()) {
    const size_t next = rest.find("\r\n");
    const std::string_view line = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 2);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), IsTokenChar))
      return refuse(shown + " with a malformed header line");
    const std::string name = Lower(line.substr(0, colon));
    const std::string value(Trimmed(line.substr(colon + 1)));
    if (name == "upgrade") {
      upgrade = value;
    } else if (name == "connection") {
      connection = value;
    } else if (name == "sec-websocket-accept") {
      accept = value;
      sawAccept = true;
    } else if (name == "sec-websocket-protocol") {
      protocol = value;
      sawProtocol = true;
    } else if (name == "sec-websocket-extensions") {
      extensions = value;
    }
  }
  if (Lower(upgrade) != "websocket") return refuse(shown + " without Upgrade: websocket");
  if (!HasToken(connection, "upgrade")) return refuse(shown + " without Connection: Upgrade");
  if (!sawAccept) return refuse(shown + " without Sec-WebSocket-Accept");
  if (accept != WebSocketAccept(AKey)) return refuse(shown + " with a wrong Sec-WebSocket-Accept");
  if (!sawProtocol) return refuse(shown + " without the subprotocol mqtt");
  if (protocol != "mqtt") return refuse(shown + " with the subprotocol \"" + Printable(protocol, 60) + "\", not mqtt");
  if (!extensions.empty()) return refuse(shown + " with extensions that were not asked for");
  answer.State = TUpgradeAnswer::Accepted;
  answer.HeaderLength = end + 4;
  return answer;
}

size_t EncodeFrameHeader(uint8_t AOpcode, uint64_t ALength, uint32_t AMask, uint8_t* AOut) {
  size_t n = 0;
  AOut[n++] = static_cast<uint8_t>(0x80 | AOpcode);
  if (ALength < 126) {
    AOut[n++] = static_cast<uint8_t>(0x80 | ALength);
  } else if (ALength <= 0xFFFF) {
    AOut[n++] = 0x80 | 126;
    for (int shift = 8; shift >= 0; shift -= 8) AOut[n++] = static_cast<uint8_t>(ALength >> shift);
  } else {
    AOut[n++] = 0x80 | 127;
    for (int shift = 56; shift >= 0; shift -= 8) AOut[n++] = static_cast<uint8_t>(ALength >> shift);
  }
  for (int shift = 24; shift >= 0; shift -= 8) AOut[n++] = static_cast<uint8_t>(AMask >> shift);
  return n;
}

void MaskBytes(uint8_t* ADest, const uint8_t* ASource, size_t ALength, uint32_t AMask, uint64_t AOffset) {
  // The mask as it lies on the wire, turned to where AOffset falls, and
  // twice over: eight bytes at a time keep the same phase.
  uint8_t pattern[8];
  for (size_t i = 0; i < 8; ++i) pattern[i] = static_cast<uint8_t>(AMask >> (24 - 8 * ((AOffset + i) % 4)));
  uint64_t word;
  std::memcpy(&word, pattern, 8);
  size_t i = 0;
  for (; i + 8 <= ALength; i += 8) {
    uint64_t chunk;
    std::memcpy(&chunk, ASource + i, 8);
    chunk ^= word;
    std::memcpy(ADest + i, &chunk, 8);
  }
  for (; i < ALength; ++i) ADest[i] = ASource[i] ^ pattern[i % 8];
}

std::vector<uint8_t> EncodeFrame(uint8_t AOpcode, const uint8_t* APayload, size_t ALength, uint32_t AMask) {
  std::vector<uint8_t> frame(14 + ALength);
  const size_t header = EncodeFrameHeader(AOpcode, ALength, AMask, frame.data());
  if (ALength > 0) MaskBytes(frame.data() + header, APayload, ALength, AMask, 0);
  frame.resize(header + ALength);
  return frame;
}

TMaskSource::TMaskSource() {
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&FState), sizeof FState) != 1)
    FState = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
             reinterpret_cast<uintptr_t>(this);
  if (FState == 0) FState = 0x9E3779B97F4A7C15u;
}

uint32_t TMaskSource::Next() {
  // xorshift64*
  FState ^= FState >> 12;
  FState ^= FState << 25;
  FState ^= FState >> 27;
  return static_cast<uint32_t>((FState * 0x2545F4914F6CDD1Du) >> 32);
}

void TWebSocketDecoder::Fail(const std::string& AReason) {
  FState = TState::Ended;
  FEndReason = "WebSocket protocol error: " + AReason;
}

TWebSocketDecoder::TResult TWebSocketDecoder::Decode(const uint8_t* AIn, size_t AInSize, uint8_t* AOut,
                                                     size_t AOutSize) {
  TResult r;
  for (;;) {
    switch (FState) {
      case TState::Ended:
        return r;
      case TState::Header: {
        // Two bytes tell how many more the length takes.
        size_t need = 2;
        if (FHeaderHave >= 2) {
          const uint8_t length7 = FHeader[1] & 0x7F;
          need = length7 == 126 ? 4 : length7 == 127 ? 10 : 2;
        }
        while (FHeaderHave < need && r.Consumed < AInSize) FHeader[FHeaderHave++] = AIn[r.Consumed++];
        if (FHeaderHave < need) return r;
        if (need == 2) {
          const uint8_t first = FHeader[0], second = FHeader[1];
          const bool final = (first & 0x80) != 0;
          FOpcode = first & 0x0F;
          const uint8_t length7 = second & 0x7F;
          if ((first & 0x70) != 0) {
            Fail("a frame with reserved bits set, though no extension was agreed");
          } else if ((second & 0x80) != 0) {
            Fail("a masked frame from the broker");
          } else if (FOpcode == kWSText) {
            Fail("a text frame (MQTT travels in binary frames)");
          } else if ((FOpcode > kWSBinary && FOpcode < kWSClose) || FOpcode > kWSPong) {
            Fail("a frame of unknown opcode " + std::to_string(FOpcode));
          } else if (FOpcode >= kWSClose && !final) {
            Fail("a fragmented control frame");
          } else if (FOpcode >= kWSClose && length7 > 125) {
            Fail("a control frame of more than 125 bytes");
          } else if (FOpcode == kWSContinuation && !FInMessage) {
            Fail("a continuation frame with no message begun");
          } else if (FOpcode == kWSBinary && FInMessage) {
            Fail("a binary frame inside a fragmented message");
          }
          if (FState == TState::Ended) {
            r.Event = TEvent::Error;
            return r;
          }
          if (FOpcode < kWSClose) FInMessage = !final;
          if (length7 >= 126) continue;  // the extended length follows
        }
        uint64_t length = FHeader[1] & 0x7F;
        if (need > 2) {
          length = 0;
          for (size_t i = 2; i < need; ++i) length = (length << 8) | FHeader[i];
          if (length > kMaxFrameLength) {
            Fail((length >> 63) != 0 ? std::string("a frame length beyond 63 bits")
                                     : "a frame of " + std::to_string(length) + " bytes");
            r.Event = TEvent::Error;
            return r;
          }
        }
        FHeaderHave = 0;
        FRemaining = length;
        if (FOpcode >= kWSClose) FControl.clear();
        FState = FOpcode >= kWSClose ? TState::Control : TState::Payload;
        break;
      }
      case TState::Payload: {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(FRemaining, std::min(AInSize - r.Consumed, AOutSize - r.Produced)));
        if (n > 0) {
          std::memcpy(AOut + r.Produced, AIn + r.Consumed, n);
          r.Consumed += n;
          r.Produced += n;
          FRemaining -= n;
        }
        if (FRemaining == 0) {
          FState = TState::Header;
        } else {
          return r;  // no more input, or no more room
        }
        break;
      }
      case TState::Control: {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(FRemaining, AInSize - r.Consumed));
        FControl.insert(FControl.end(), AIn + r.Consumed, AIn + r.Consumed + n);
        r.Consumed += n;
        FRemaining -= n;
        if (FRemaining > 0) return r;
        FState = TState::Header;
        if (FOpcode == kWSPing) {
          r.Event = TEvent::Ping;
          return r;
        }
        if (FOpcode == kWSClose) {
          if (FControl.size() == 1) {
            Fail("a close frame of 1 byte");
            r.Event = TEvent::Error;
            return r;
          }
          FState = TState::Ended;
          FEndReason = std::string(kWebSocketClosedByBroker) + ": ";
          if (FControl.empty()) {
            FEndReason += "1005 (no status)";
          } else {
            FEndReason += std::to_string(FControl[0] << 8 | FControl[1]);
            if (FControl.size() > 2)
              FEndReason += " " + Printable(std::string_view(reinterpret_cast<const char*>(FControl.data()) + 2,
                                                             FControl.size() - 2));
          }
          r.Event = TEvent::Close;
          return r;
        }
        break;  // a pong: nothing to do
      }
    }
  }
}

}  // namespace qor
