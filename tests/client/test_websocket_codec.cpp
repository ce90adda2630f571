// The WebSocket codec without a socket: the address form, the upgrade
// answer, the client's frames and the broker's frames however they arrive.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "uQORMQTTClient.h"
#include "uWebSocket.h"

using namespace qor;

namespace {

using TBytes = std::vector<uint8_t>;

TBytes Bytes(const std::string& AText) { return TBytes(AText.begin(), AText.end()); }

// A broker's frame: unmasked, with the first byte's flags as given.
TBytes ServerFrame(uint8_t AFirst, const TBytes& APayload, uint8_t ALengthByte = 0xFF) {
  TBytes f{AFirst};
  const size_t n = APayload.size();
  if (ALengthByte != 0xFF) {
    f.push_back(ALengthByte);
  } else if (n < 126) {
    f.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xFFFF) {
    f.push_back(126);
    f.push_back(static_cast<uint8_t>(n >> 8));
    f.push_back(static_cast<uint8_t>(n));
  } else {
    f.push_back(127);
    for (int shift = 56; shift >= 0; shift -= 8) f.push_back(static_cast<uint8_t>(n >> shift));
  }
  f.insert(f.end(), APayload.begin(), APayload.end());
  return f;
}

TBytes operator+(TBytes A, const TBytes& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

struct TDecoded {
  std::string Stream;
  std::vector<std::string> Pings;
  TWebSocketDecoder::TEvent End = TWebSocketDecoder::TEvent::None;
  std::string Reason;
};

// AInput fed AChunk bytes at a time into an output of AOutSize bytes, as a
// socket and a small read would.
TDecoded Decode(const TBytes& AInput, size_t AChunk, size_t AOutSize = 3) {
  TWebSocketDecoder decoder;
  TDecoded d;
  std::vector<uint8_t> out(AOutSize);
  for (size_t pos = 0; pos < AInput.size(); pos += AChunk) {
    const size_t n = std::min(AChunk, AInput.size() - pos);
    size_t used = 0;
    for (;;) {
      const auto r = decoder.Decode(AInput.data() + pos + used, n - used, out.data(), out.size());
      used += r.Consumed;
      d.Stream.append(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.Produced));
      if (r.Event == TWebSocketDecoder::TEvent::Ping)
        d.Pings.emplace_back(decoder.ControlPayload().begin(), decoder.ControlPayload().end());
      if (r.Event == TWebSocketDecoder::TEvent::Close || r.Event == TWebSocketDecoder::TEvent::Error) {
        d.End = r.Event;
        d.Reason = decoder.EndReason();
        return d;
      }
      if (r.Consumed == 0 && r.Produced == 0 && r.Event == TWebSocketDecoder::TEvent::None) break;
    }
    EXPECT_EQ(used, n) << "input left behind";
  }
  return d;
}

}  // namespace

TEST(WebSocketCodec, BrokerFramesBecomeTheStreamHoweverTheyArrive) {
  const TBytes connack{0x20, 0x02, 0x00, 0x00};
  const TBytes publish = Bytes(std::string("\x30\x05\x00\x01tab", 7));
  const std::string both(connack.begin(), connack.end());
  const std::string stream = both + std::string(publish.begin(), publish.end());
  const TBytes big(70000, 0x5A);
  using E = TWebSocketDecoder::TEvent;
  struct TCase {
    const char* Name;
    TBytes Input;
    std::string Stream;
    std::vector<std::string> Pings;
    E End;
    std::string Reason;  // the start of it
  } cases[] = {
      {"several packets in one frame", ServerFrame(0x82, connack + publish), stream, {}, E::None, ""},
      {"a packet across frames",
       ServerFrame(0x02, TBytes(connack.begin(), connack.begin() + 3)) +
           ServerFrame(0x00, TBytes(connack.begin() + 3, connack.end()) + publish) + ServerFrame(0x80, {}),
       stream, {}, E::None, ""},
      {"a ping between fragments, pongs ignored",
       ServerFrame(0x02, connack) + ServerFrame(0x89, Bytes("hi")) + ServerFrame(0x8A, Bytes("x")) +
           ServerFrame(0x80, publish),
       stream, {"hi"}, E::None, ""},
      {"16-bit length", ServerFrame(0x82, TBytes(300, 0x5A)), std::string(300, 'Z'), {}, E::None, ""},
      {"64-bit length", ServerFrame(0x82, big), std::string(70000, 'Z'), {}, E::None, ""},
      {"close with code and text", ServerFrame(0x82, connack) + ServerFrame(0x88, TBytes{0x03, 0xE9} + Bytes("away")),
       both, {}, E::Close, "the broker closed the WebSocket: 1001 away"},
      {"close without status", ServerFrame(0x88, {}), "", {}, E::Close, "the broker closed the WebSocket: 1005"},
      {"a close of 1 byte", ServerFrame(0x88, {0x03}), "", {}, E::Error, "WebSocket protocol error: a close frame"},
      {"text frame", ServerFrame(0x81, Bytes("{}")), "", {}, E::Error, "WebSocket protocol error: a text frame"},
      {"masked frame", ServerFrame(0x82, {}, 0x80), "", {}, E::Error, "WebSocket protocol error: a masked frame"},
      {"reserved bit", ServerFrame(0xC2, connack), "", {}, E::Error, "WebSocket protocol error: a frame with reserved"},
      {"unknown opcode", ServerFrame(0x83, connack), "", {}, E::Error, "WebSocket protocol error: a frame of unknown"},
      {"control frame over 125 bytes", ServerFrame(0x89, TBytes(126, 1)), "", {}, E::Error,
       "WebSocket protocol error: a control frame of more"},
      {"fragmented ping", ServerFrame(0x09, Bytes("a")), "", {}, E::Error,
       "WebSocket protocol error: a fragmented control"},
      {"continuation first", ServerFrame(0x80, connack), "", {}, E::Error,
       "WebSocket protocol error: a continuation frame"},
      {"binary inside a fragmented message", ServerFrame(0x02, connack) + ServerFrame(0x82, publish), both, {},
       E::Error, "WebSocket protocol error: a binary frame inside"},
      {"length beyond 63 bits", TBytes{0x82, 127, 0x80, 0, 0, 0, 0, 0, 0, 1}, "", {}, E::Error,
       "WebSocket protocol error: a frame length beyond 63 bits"},
      {"absurd length", TBytes{0x82, 127, 0, 0, 0x10, 0, 0, 0, 0, 0}, "", {}, E::Error,
       "WebSocket protocol error: a frame of 17592186044416 bytes"},
  };
  for (const TCase& c : cases)
    for (size_t chunk : {size_t{1}, size_t{5}, c.Input.size()}) {
      SCOPED_TRACE(std::string(c.Name) + ", pieces of " + std::to_string(chunk));
      const TDecoded d = Decode(c.Input, chunk);
      EXPECT_EQ(d.Stream, c.Stream);
      EXPECT_EQ(d.Pings, c.Pings);
      EXPECT_EQ(d.End, c.End);
      EXPECT_EQ(d.Reason.substr(0, c.Reason.size()), c.Reason) << d.Reason;
    }
}

TEST(WebSocketCodec, ClientFramesAreMaskedAndDecodeBack) {
  for (size_t length : {size_t{0}, size_t{125}, size_t{126}, size_t{65535}, size_t{65536}}) {
    SCOPED_TRACE(length);
    TBytes payload(length);
    for (size_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    const uint32_t mask = 0xA1B2C3D4;
    TBytes frame = EncodeFrame(kWSBinary, payload.data(), payload.size(), mask);
    const size_t header = length < 126 ? 6 : length <= 0xFFFF ? 8 : 14;
    ASSERT_EQ(frame.size(), header + length);
    EXPECT_EQ(frame[0], 0x82);
    EXPECT_EQ(frame[1] & 0x80, 0x80) << "a client's frame is masked";
    EXPECT_EQ(TBytes(frame.begin() + static_cast<std::ptrdiff_t>(header) - 4,
                     frame.begin() + static_cast<std::ptrdiff_t>(header)),
              (TBytes{0xA1, 0xB2, 0xC3, 0xD4}));
    // The broker's side: the same frame unmasked is read back as it was.
    TBytes body(frame.begin() + static_cast<std::ptrdiff_t>(header), frame.end());
    MaskBytes(body.data(), body.data(), body.size(), mask, 0);
    EXPECT_EQ(body, payload);
    if (length > 0) {
      EXPECT_NE(TBytes(frame.begin() + static_cast<std::ptrdiff_t>(header), frame.end()), payload);
    }
  }
  // Masked in pieces at any offset, as a long frame is sent: the same bytes as at once.
  TBytes data(61);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  TBytes whole(data.size()), pieces(data.size());
  MaskBytes(whole.data(), data.data(), data.size(), 0x01020304, 0);
  for (size_t at = 0, step = 1; at < data.size(); at += step, step += 2) {
    const size_t n = std::min(step, data.size() - at);
    MaskBytes(pieces.data() + at, data.data() + at, n, 0x01020304, at);
  }
  EXPECT_EQ(pieces, whole);
}

TEST(WebSocketCodec, UpgradeAnswers) {
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  EXPECT_EQ(WebSocketAccept(key), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  const std::string good = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
  const std::string accept = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
  const std::string mqtt = "Sec-WebSocket-Protocol: mqtt\r\n";
  using S = TUpgradeAnswer::TState;
  struct TCase {
    const char* Name;
    std::string Answer;
    S State;
    std::string Reason;
    size_t HeaderLength = 0;
  } cases[] = {
      {"accepted", good + accept + mqtt + "\r\n", S::Accepted, "", 0},
      {"accepted, frames behind it", good + accept + mqtt + "\r\n\x82\x02\x20\x02", S::Accepted, "",
       (good + accept + mqtt).size() + 2},
      {"headers in another case and order",
       "HTTP/1.1 101 OK\r\nsec-websocket-protocol: mqtt\r\nCONNECTION: keep-alive, upgrade\r\nupgrade: WebSocket\r\n" +
           accept + "\r\n",
       S::Accepted, "", 0},
      {"not yet whole", good + accept, S::Incomplete, "", 0},
      {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", S::Refused, "HTTP/1.1 404 Not Found"},
      {"wrong accept", good + "Sec-WebSocket-Accept: AAAA\r\n" + mqtt + "\r\n", S::Refused,
       "HTTP/1.1 101 Switching Protocols with a wrong Sec-WebSocket-Accept"},
      {"no accept", good + mqtt + "\r\n", S::Refused, "HTTP/1.1 101 Switching Protocols without Sec-WebSocket-Accept"},
      {"no subprotocol", good + accept + "\r\n", S::Refused,
       "HTTP/1.1 101 Switching Protocols without the subprotocol mqtt"},
      {"another subprotocol", good + accept + "Sec-WebSocket-Protocol: mqttv3.1\r\n\r\n", S::Refused,
       "HTTP/1.1 101 Switching Protocols with the subprotocol \"mqttv3.1\", not mqtt"},
      {"no upgrade", "HTTP/1.1 101 X\r\nConnection: Upgrade\r\n" + accept + mqtt + "\r\n", S::Refused,
       "HTTP/1.1 101 X without Upgrade: websocket"},
      {"extensions", good + accept + mqtt + "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n", S::Refused,
       "HTTP/1.1 101 Switching Protocols with extensions that were not asked for"},
      {"malformed header line", good + "no colon here\r\n\r\n", S::Refused,
       "HTTP/1.1 101 Switching Protocols with a malformed header line"},
      {"not HTTP, told at once", "SSH-2.0-OpenSSH\r\n", S::Refused, "not an HTTP answer: SSH-2.0-OpenSSH?"},
      {"a status line without a code", "HTTP/1.1 abc\r\n\r\n", S::Refused, "not an HTTP answer: HTTP/1.1 abc"},
      {"control bytes shown as ?", "HTTP/1.1 500 a\x1b[2Jb\r\n\r\n", S::Refused, "HTTP/1.1 500 a?[2Jb"},
      {"over-long", "HTTP/1.1 101 OK\r\nX: " + std::string(kMaxUpgradeAnswer, 'a'), S::Refused,
       "an answer header longer than 8192 bytes"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TUpgradeAnswer a = ReadUpgradeAnswer(reinterpret_cast<const uint8_t*>(c.Answer.data()),
                                               std::min(c.Answer.size(), kMaxUpgradeAnswer), key);
    EXPECT_EQ(a.State, c.State);
    EXPECT_EQ(a.Reason, c.Reason);
    if (c.State == S::Accepted) {
      EXPECT_EQ(a.HeaderLength, c.HeaderLength ? c.HeaderLength : c.Answer.size());
    }
  }
}

TEST(WebSocketCodec, Addresses) {
  struct TCase {
    std::string URL;
    std::string Display;  // empty: refused
    std::string Target = "";
    std::string HostHeader = "";
  } cases[] = {
      {"ws://broker", "ws://broker:80/mqtt", "/mqtt", "broker"},
      {"wss://broker.example", "wss://broker.example:443/mqtt", "/mqtt", "broker.example"},
      {"WSS://h:8443/a/b?token=secret", "wss://h:8443/a/b?\xE2\x80\xA6", "/a/b?token=secret", "h:8443"},
      {"ws://h?token=x", "ws://h:80/mqtt?\xE2\x80\xA6", "/mqtt?token=x", "h"},
      {"ws://[::1]:9001/", "ws://[::1]:9001/", "/", "[::1]:9001"},
      {"ws://127.0.0.1:443", "ws://127.0.0.1:443/mqtt", "/mqtt", "127.0.0.1:443"},
      {"ws://", ""}, {"ws://:80", ""}, {"ws://h:0", ""}, {"ws://h:65536", ""}, {"ws://h:", ""}, {"ws://h:8o", ""},
      {"ws://[::1", ""}, {std::string("ws://[::1\0\r\n\r\nX]:1", 18), ""}, {"ws://[zz]:1", ""}, {"ws://[::1]x", ""}, {"ws://h/a b", ""}, {"ws://h/#top", ""},
      {"ws://h/x\r\nX: y", ""}, {"ws://bad host/", ""}, {"ws://user:secret@h/", ""}, {"tcp://h", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.URL);
    std::string error;
    const auto a = ParseWebSocketURL(c.URL, error);
    ASSERT_EQ(a.has_value(), !c.Display.empty()) << error;
    if (!a) {
      EXPECT_FALSE(error.empty());
      EXPECT_EQ(error.find("secret"), std::string::npos);
      continue;
    }
    EXPECT_EQ(a->Display(), c.Display);
    EXPECT_EQ(a->Target, c.Target);
    EXPECT_EQ(a->HostHeader(), c.HostHeader);
  }
  std::string error;
  const std::string request =
      UpgradeRequest(*ParseWebSocketURL("ws://[::1]:9001/m", error), "KEY", {{"Authorization", "Bearer t"}});
  EXPECT_EQ(request,
            "GET /m HTTP/1.1\r\nHost: [::1]:9001\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: KEY\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: mqtt\r\n"
            "Authorization: Bearer t\r\n\r\n");
  EXPECT_EQ(NewWebSocketKey().size(), 24u);
  EXPECT_NE(NewWebSocketKey(), NewWebSocketKey());
}

// Connect checks the address and the headers before anything is opened, and
// names the field; no user info, query or header value in what it says.
TEST(WebSocketCodec, ConnectRefusesWhatCannotBeSent) {
  struct TCase {
    std::function<void(TQORMQTTClient&)> Set;
    std::string Field;
    std::string Message;
  } cases[] = {
      {[](auto& C) { C.BrokerHostName = "ws://alice:secret@h/?k=secret"; }, "BrokerHostName",
       "BrokerHostName \"ws://\xE2\x80\xA6@h/?\xE2\x80\xA6\" is not a usable WebSocket address: it carries user info"},
      {[](auto& C) { C.Brokers = {{"h", 1883, false}, {"wss://h:99999", 1, true}}; }, "Brokers[1].Host",
       "Brokers[1].Host \"wss://h:99999\" is not a usable WebSocket address: the port \"99999\" is not 1 to 65535"},
      {[](auto& C) { C.WebSocketHeaders = {{"X-Token", "secret\r\nInjected: 1"}}; }, "WebSocketHeaders",
       "WebSocketHeaders: the value of header \"X-Token\" has a line break"},
      {[](auto& C) { C.WebSocketHeaders = {{"Sec-WebSocket-Protocol", "x"}}; }, "WebSocketHeaders",
       "WebSocketHeaders: the header \"Sec-WebSocket-Protocol\" is the handshake's own"},
      {[](auto& C) { C.WebSocketHeaders = {{"Bad Name", "x"}}; }, "WebSocketHeaders",
       "WebSocketHeaders: the header name \"Bad Name\" is not an HTTP token"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Field);
    TQORMQTTClient client;
    client.BrokerHostName = "ws://127.0.0.1:1/mqtt";
    client.BrokerPort = 0;  // not the URL's business
    c.Set(client);
    try {
      client.Connect();
      ADD_FAILURE() << "Connect did not raise";
    } catch (const EInvalidArgument& e) {
      EXPECT_EQ(e.Field(), c.Field);
      EXPECT_EQ(e.Message().substr(0, c.Message.size()), c.Message);
      EXPECT_EQ(e.Message().find("secret"), std::string::npos);
    }
  }
}
