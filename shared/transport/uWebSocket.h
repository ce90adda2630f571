// MQTT over WebSockets without any I/O: the address form, the upgrade
// request and the reading of its answer, and the frames both ways. Bytes in,
// bytes out, so that tests and the fuzzer need no socket; TBrokerStream does
// the reading and writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qor {

using TWebSocketHeaders = std::vector<std::pair<std::string, std::string>>;

// How the reason of a broker's close frame begins.
constexpr const char* kWebSocketClosedByBroker = "the broker closed the WebSocket";

// The host names a WebSocket endpoint: it begins with "ws://" or "wss://" (any case).
bool IsWebSocketURL(const std::string& AHost);

// A "ws://host[:port][/path]" or "wss://…" address, taken apart.
struct TWebSocketAddress {
  bool Secure = false;  // wss: TLS under the WebSocket
  std::string Host;     // a name or an address; an IPv6 one without its brackets
  uint16_t Port = 0;    // the URL's, or 80 / 443
  std::string Target;   // the path (and query) of the request line; "/mqtt" by default
  // "ws://host:port/path" for log lines and errors: a query (which may carry
  // a token) is shown as "?…".
  std::string Display() const;
  // The Host header's value: the port only where it is not the scheme's own.
  std::string HostHeader() const;
};

// AURL taken apart, or nothing with AError saying why. A URL with user info
// is refused (credentials belong in Username and Password, or in a header);
// neither the user info nor the query is ever part of AError.
std::optional<TWebSocketAddress> ParseWebSocketURL(const std::string& AURL, std::string& AError);
// AURL as an error may show it: without user info and query.
std::string RedactedURL(const std::string& AURL);
// Why a header cannot go into the upgrade request (a name that is no HTTP
// token or one the handshake sets itself, a line break in a value); empty when it can.
std::string WebSocketHeaderProblem(const std::string& AName, const std::string& AValue);

// A new Sec-WebSocket-Key: 16 random bytes in base64.
std::string NewWebSocketKey();
// The Sec-WebSocket-Accept a host must answer AKey with.
std::string WebSocketAccept(const std::string& AKey);
// The HTTP/1.1 GET that asks AAddress for a WebSocket with the subprotocol mqtt.
std::string UpgradeRequest(const TWebSocketAddress& AAddress, const std::string& AKey,
                           const TWebSocketHeaders& AHeaders = {});

// The host's answer to the upgrade, as far as it has arrived.
struct TUpgradeAnswer {
  enum TState { Incomplete, Accepted, Refused };
  TState State = Incomplete;
  size_t HeaderLength = 0;  // Accepted: the answer's bytes; what follows is the first of the stream
  std::string Reason;       // Refused: what the host answered, printable and bounded
};
// The longest answer header taken: a host that sends more is not a broker.
constexpr size_t kMaxUpgradeAnswer = 8192;
TUpgradeAnswer ReadUpgradeAnswer(const uint8_t* AData, size_t ALength, const std::string& AKey);

enum : uint8_t {
  kWSContinuation = 0x0,
  kWSText = 0x1,
  kWSBinary = 0x2,
  kWSClose = 0x8,
  kWSPing = 0x9,
  kWSPong = 0xA,
};

// The header of a client's frame, final and masked: 2 to 14 bytes into AOut; their count.
size_t EncodeFrameHeader(uint8_t AOpcode, uint64_t ALength, uint32_t AMask, uint8_t* AOut);
// ASource XORed with the mask into ADest (they may be the same), for the
// bytes AOffset on into a payload.
void MaskBytes(uint8_t* ADest, const uint8_t* ASource, size_t ALength, uint32_t AMask, uint64_t AOffset);
// A whole masked frame: for control frames and tests.
std::vector<uint8_t> EncodeFrame(uint8_t AOpcode, const uint8_t* APayload, size_t ALength, uint32_t AMask);

// Masks for the client's frames: they need to be unpredictable to what lies
// between client and broker, not secret, so a fast generator seeded once
// from OpenSSL does. Not thread-safe: it belongs to whoever writes.
class TMaskSource {
 public:
  TMaskSource();
  uint32_t Next();

 private:
  uint64_t FState;
};

// The broker's frames in, the MQTT byte stream out: the payloads of binary
// frames and their continuations, however frames and packets fall.
class TWebSocketDecoder {
 public:
  enum class TEvent { None, Ping, Close, Error };
  struct TResult {
    size_t Consumed = 0;  // bytes of AIn used
    size_t Produced = 0;  // stream bytes written to AOut
    TEvent Event = TEvent::None;
  };
  // Takes frames from AIn and puts stream bytes into AOut until AIn is used
  // up, AOut is full, or a ping, a close or a fault has been read (the event;
  // it comes after the bytes produced before it). After a close or a fault
  // nothing more is taken.
  TResult Decode(const uint8_t* AIn, size_t AInSize, uint8_t* AOut, size_t AOutSize);
  // The last ping's or close's payload, for the answer.
  const std::vector<uint8_t>& ControlPayload() const { return FControl; }
  // After Close: "the broker closed the WebSocket: <code> <text>"; after
  // Error: what was wrong with the frame.
  const std::string& EndReason() const { return FEndReason; }
  // A frame longer than this is no broker's.
  static constexpr uint64_t kMaxFrameLength = uint64_t{1} << 40;

 private:
  void Fail(const std::string& AReason);

  enum class TState { Header, Payload, Control, Ended };
  TState FState = TState::Header;
  uint8_t FHeader[10]{};
  size_t FHeaderHave = 0;
  uint8_t FOpcode = 0;
  uint64_t FRemaining = 0;
  bool FInMessage = false;  // a binary message whose final frame has not come yet
  std::vector<uint8_t> FControl;
  std::string FEndReason;
};

}  // namespace qor
