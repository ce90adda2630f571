// Arbitrary bytes as what a WebSocket host sends: its answer to the upgrade,
// then frames, read in pieces of any size into reads of any size; and the
// same bytes as an address. No crash, no leak, no undefined behaviour, every
// loop ends, nothing is produced that was not fed, and whatever is taken
// for a request target or a header cannot break the request apart.
#include <cstdlib>
#include <string>
#include <vector>

#include "uWebSocket.h"

namespace {

void Check(bool ACondition) {
  if (!ACondition) std::abort();
}

void Frames(const uint8_t* AData, size_t ASize, size_t APiece, size_t AOut) {
  qor::TWebSocketDecoder decoder;
  std::vector<uint8_t> out(AOut);
  size_t produced = 0;
  bool ended = false;
  for (size_t pos = 0; pos < ASize && !ended; pos += APiece) {
    const size_t n = std::min(APiece, ASize - pos);
    size_t used = 0;
    for (int rounds = 0;; ++rounds) {
      Check(rounds <= static_cast<int>(n) + 4);  // every call takes or gives something, or waits
      const auto r = decoder.Decode(AData + pos + used, n - used, out.data(), out.size());
      Check(r.Consumed <= n - used && r.Produced <= out.size() && r.Produced <= r.Consumed);
      used += r.Consumed;
      produced += r.Produced;
      if (r.Event == qor::TWebSocketDecoder::TEvent::Ping) Check(decoder.ControlPayload().size() <= 125);
      if (r.Event == qor::TWebSocketDecoder::TEvent::Close || r.Event == qor::TWebSocketDecoder::TEvent::Error) {
        Check(!decoder.EndReason().empty());
        // Nothing more after the end.
        Check(decoder.Decode(AData, ASize, out.data(), out.size()).Consumed == 0);
        ended = true;
        break;
      }
      if (r.Consumed == 0 && r.Produced == 0 && r.Event == qor::TWebSocketDecoder::TEvent::None) break;
    }
  }
  Check(produced <= ASize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize < 1) return 0;
  const uint8_t control = AData[0];
  ++AData;
  --ASize;
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  const qor::TUpgradeAnswer answer = qor::ReadUpgradeAnswer(AData, std::min(ASize, qor::kMaxUpgradeAnswer), key);
  if (answer.State == qor::TUpgradeAnswer::Accepted) {
    Check(answer.HeaderLength <= ASize);
    // Bytes behind the answer are the stream's first.
    Frames(AData + answer.HeaderLength, ASize - answer.HeaderLength, 1 + (control & 0x0F), 1 + (control >> 4));
  } else if (answer.State == qor::TUpgradeAnswer::Refused) {
    Check(!answer.Reason.empty() && answer.Reason.size() <= 300);
    Check(answer.Reason.find_first_of("\r\n") == std::string::npos);
  }
  Frames(AData, ASize, 1 + (control & 0x0F) * 37, 1 + (control >> 4) * 101);

  const std::string text(reinterpret_cast<const char*>(AData), ASize);
  std::string error;
  if (const auto address = qor::ParseWebSocketURL(text, error)) {
    const std::string request = qor::UpgradeRequest(*address, key);
    // One request line, the fixed headers, one blank line: nothing the address brought splits it.
    Check(request.find("\r\n\r\n") == request.size() - 4);
    Check(address->Port != 0 && !address->Host.empty() && address->Target[0] == '/');
    // No user info: the host part holds no '@' (a path may).
    const std::string shown = address->Display();
    Check(shown.find('@') == std::string::npos || shown.find('@') > shown.find('/', shown.find("://") + 3));
  } else {
    Check(!error.empty());
  }
  const size_t split = control % (ASize + 1);
  const std::string name = text.substr(0, split), value = text.substr(split);
  if (qor::WebSocketHeaderProblem(name, value).empty()) {
    const std::string request = qor::UpgradeRequest({false, "h", 80, "/mqtt"}, key, {{name, value}});
    Check(request.find("\r\n\r\n") == request.size() - 4);
  }
  return 0;
}
