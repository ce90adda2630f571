// The WebSocket side of a broker stream: the upgrade after the TCP (and
// TLS) connect, one masked frame per write, and the broker's frames read
// back into the MQTT byte stream. The framing itself, bytes in and bytes
// out, is in uWebSocket.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "uBrokerStream.h"

namespace qor {

void TBrokerStream::Upgrade(int64_t ADeadline) {
  const std::string where = FOptions.WebSocket->Display();
  const std::string key = NewWebSocketKey();
  std::string request = UpgradeRequest(*FOptions.WebSocket, key, FOptions.WebSocketHeaders);
  iovec part{request.data(), request.size()};
  WriteAll(
      &part, 1, [ADeadline] { return ADeadline; }, FOptions.Cancel);
  std::string answer;
  for (;;) {
    // At most a buffer's worth in all: the answer's header is bounded, and
    // what follows it must fit where the reader will find it.
    const int n = Receive(Buffer(), kBufferSize - static_cast<int>(answer.size()), ADeadline, FOptions.Cancel);
    if (n <= 0) {
      if (FOptions.Cancel && FOptions.Cancel->load())
        throw ESocketError("WebSocket upgrade with " + where + " cancelled");
      if (FLastReadTimedOut) throw ESocketError("WebSocket upgrade with " + where + " timed out");
      throw ESocketError("WebSocket upgrade refused by " + where + ": the connection ended without an answer (" +
                         (FEndReason.empty() ? std::string("released") : FEndReason) + ")");
    }
    answer.append(reinterpret_cast<const char*>(Buffer()), static_cast<size_t>(n));
    const TUpgradeAnswer verdict = ReadUpgradeAnswer(reinterpret_cast<const uint8_t*>(answer.data()),
                                                     std::min(answer.size(), kMaxUpgradeAnswer), key);
    if (verdict.State == TUpgradeAnswer::Refused)
      throw ESocketError("WebSocket upgrade refused by " + where + ": " + verdict.Reason);
    if (verdict.State == TUpgradeAnswer::Accepted) {
      FBufferLen = static_cast<int>(answer.size() - verdict.HeaderLength);
      std::memcpy(Buffer(), answer.data() + verdict.HeaderLength, static_cast<size_t>(FBufferLen));
      FBufferPos = 0;
      FLastReadTimedOut = false;
      // The answer is not the broker's MQTT: a broker that closes before its
      // first byte of that is told apart as before.
      FLastReceived = FBufferLen > 0 ? CoarseNowNs() : 0;
      FWebSocket = true;
      return;
    }
  }
}

void TBrokerStream::ClaimWriteSide() {
  while (FWriting.exchange(true)) {
    if (FReleased) throw ESocketError("Write on a released connection");
    // The reader sends a pong of a few bytes; a release wakes it too.
    FWriting.wait(true);
  }
}

void TBrokerStream::ReleaseWriteSide() {
  FWriting = false;
  FWriting.notify_all();
}

void TBrokerStream::WriteFrame(iovec* AParts, size_t ACount, const std::function<int64_t()>& ADeadline) {
  uint64_t total = 0;
  for (size_t i = 0; i < ACount; ++i) total += AParts[i].iov_len;
  ClaimWriteSide();
  try {
    const uint32_t mask = FMasks.Next();
    FFrame.resize(static_cast<size_t>(std::min<uint64_t>(total, kFramePiece)) + 14);
    size_t used = EncodeFrameHeader(kWSBinary, total, mask, FFrame.data());
    uint64_t offset = 0;
    size_t part = 0, inPart = 0;
    for (;;) {
      // The caller's memory is not ours to mask: each piece is masked into FFrame.
      while (part < ACount && used < FFrame.size()) {
        const size_t n = std::min(AParts[part].iov_len - inPart, FFrame.size() - used);
        MaskBytes(FFrame.data() + used, static_cast<const uint8_t*>(AParts[part].iov_base) + inPart, n, mask, offset);
        used += n;
        offset += n;
        inPart += n;
        if (inPart == AParts[part].iov_len) {
          ++part;
          inPart = 0;
        }
      }
      iovec piece{FFrame.data(), used};
      WriteAll(&piece, 1, ADeadline);
      used = 0;
      if (part == ACount) break;
    }
  } catch (...) {
    ReleaseWriteSide();
    throw;
  }
  ReleaseWriteSide();
  SendPendingControl();
}

void TBrokerStream::OweControl(uint8_t AOpcode, const std::vector<uint8_t>& APayload) {
  std::vector<uint8_t> frame = EncodeFrame(AOpcode, APayload.data(), APayload.size(), FReaderMasks.Next());
  std::lock_guard<std::mutex> guard(FControlLock);
  FControlFrame.swap(frame);
  FControlPending = true;
}

void TBrokerStream::SendPendingControl() {
  // Set before the claim is tried, looked at again after each release: a
  // pong owed while the writer was finishing its frame is not left behind.
  while (FControlPending && !FWriting.exchange(true)) {
    std::vector<uint8_t> frame;
    {
      std::lock_guard<std::mutex> guard(FControlLock);
      frame.swap(FControlFrame);
      FControlPending = false;
    }
    try {
      if (!frame.empty()) {
        iovec part{frame.data(), frame.size()};
        WriteAll(&part, 1, [this] { return IODeadline(); });
      }
    } catch (const ESocketError& e) {
      ReleaseWriteSide();
      Abort(e.Message());
      return;
    }
    ReleaseWriteSide();
  }
}

int TBrokerStream::ReadWebSocket(uint8_t* ABuffer, int ACount) {
  for (;;) {
    if (FDecoderEnded) return 0;
    if (FBufferPos == FBufferLen) {
      const int n = ReceivePaced(Buffer(), kBufferSize);
      if (n <= 0) return 0;
      FBufferPos = 0;
      FBufferLen = n;
    }
    const TWebSocketDecoder::TResult r = FDecoder.Decode(
        Buffer() + FBufferPos, static_cast<size_t>(FBufferLen - FBufferPos), ABuffer, static_cast<size_t>(ACount));
    FBufferPos += static_cast<int>(r.Consumed);
    if (r.Event == TWebSocketDecoder::TEvent::Ping) {
      OweControl(kWSPong, FDecoder.ControlPayload());
      SendPendingControl();
    } else if (r.Event != TWebSocketDecoder::TEvent::None) {
      // The broker's close is answered with its code; a broken frame with
      // "protocol error". Either way the stream ends here, and the reason
      // reaches whoever looks: during the handshake or in a session.
      FDecoderEnded = true;
      FEndReason = FDecoder.EndReason();
      std::vector<uint8_t> code{0x03, 0xEA};
      if (r.Event == TWebSocketDecoder::TEvent::Close)
        code.assign(FDecoder.ControlPayload().begin(),
                    FDecoder.ControlPayload().begin() + std::min<ptrdiff_t>(FDecoder.ControlPayload().size(), 2));
      OweControl(kWSClose, code);
      SendPendingControl();
      Abort(FEndReason);
    }
    if (r.Produced > 0) return static_cast<int>(r.Produced);
  }
}

}  // namespace qor
