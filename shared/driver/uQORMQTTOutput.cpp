#include "uQORMQTTOutput.h"

#include "uQORMQTTWorkers.h"

namespace qor {

TLinkOutput::TLinkOutput(TWriteQueue& AQueue, TQORMQTTSession& ASession, const TClientEvents& AEvents,
                         const TBrokerLink& ALink)
    : FQueue(AQueue), FSession(ASession), FEvents(AEvents), FLink(ALink) {}

TLinkOutput::~TLinkOutput() = default;

bool TLinkOutput::Send(TBytes APacket, const TSendMode& AMode, const TBrokerStream* AOnly) {
  // A payload sent from the caller's memory returns once written; on a
  // driver's thread (a handler on a context's loop) that wait would be for
  // itself: the payload joins the packet, which then waits in the queue.
  if (!AMode.Tail.empty() && FQueue.OnDriverThread()) {
    APacket.insert(APacket.end(), AMode.Tail.begin(), AMode.Tail.end());
    TSendMode copied = AMode;
    copied.Tail = {};
    return Send(std::move(APacket), copied, AOnly);
  }
  // After the caller's DISCONNECT (the one packet sent with Flush) nothing
  // more may go: acknowledgements read meanwhile release no publication onto a link being closed.
  if (FLink.UserDisconnect() && !AMode.Flush) return false;
  std::shared_ptr<TBrokerStream> stream;
  // A TLS record or a WebSocket frame must be written whole, and a payload
  // in the caller's memory must be written to its end: they go through the writer.
  if (AMode.Tail.empty() && FQueue.BeginDirect(stream)) {
    if (AOnly && stream.get() != AOnly) {
      FQueue.EndDirect({}, stream.get());
      return false;
    }
    size_t sent = 0;
    if (stream->AllowsPartialWrites()) {
      try {
        const iovec part{APacket.data(), APacket.size()};
        sent = stream->TryWrite(&part, 1);
      } catch (...) {
        FQueue.EndDirect({}, stream.get());
        Failed(*stream, DescribeError(std::current_exception()).Message);
        return false;
      }
      if (sent > 0) FSession.Written(CoarseNowNs());
      if (sent == APacket.size()) Written(APacket, *stream);
    }
    // What the socket did not take goes first in the queue.
    if (sent > 0) APacket.erase(APacket.begin(), APacket.begin() + static_cast<std::ptrdiff_t>(sent));
    const bool rest = !APacket.empty();
    FQueue.EndDirect(std::move(APacket), stream.get());
    if (rest) EnsureWriter();
    // A caller that waits for its packet waits for what the writer still has of it.
    if (AMode.Flush && rest) return FQueue.WaitWritten(AMode.FlushMs);
    return true;
  }
  EnsureWriter();
  if (AMode.Flush) return FQueue.Push(std::move(APacket), {}, false, true, AMode.FlushMs, AOnly);
  // A driver's thread waiting for room would wait for itself.
  const bool bounded = AMode.Request && !FQueue.OnDriverThread();
  return FQueue.Push(std::move(APacket), AMode.Tail, bounded, false, -1, AOnly);
}

void TLinkOutput::EnsureWriter() {
  // A queue with a driver of its own tells it of each packet.
  if (FWriterRunning || FQueue.Driven()) return;
  std::unique_ptr<TQORMQTTWriterThread> ended;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    if (FLink.Stopping() || FWriterRunning) return;
    ended = std::move(FWriter);
    FQueue.Restart();
    // Before the thread starts: a loop that ends at once clears it after.
    FWriterRunning = true;
    FWriter = std::make_unique<TQORMQTTWriterThread>(*this, FEvents, FWriterRunning);
  }
  if (ended) ended->WaitFor();
}

bool TLinkOutput::OnWriterThread() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FWriter && FWriter->OnThisThread();
}

void TLinkOutput::Terminate() {
  std::lock_guard<std::mutex> guard(FMutex);
  if (FWriter) FWriter->Terminate();
}

void TLinkOutput::Join() {
  std::unique_ptr<TQORMQTTWriterThread> writer;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    writer = std::move(FWriter);
  }
  if (writer) writer->WaitFor();
  FWriterRunning = false;
}

bool TLinkOutput::WriteOut(TBrokerStream& AStream, iovec* AParts, size_t ACount) {
  try {
    AStream.Write(AParts, ACount, [this](int64_t ALastProgress) { return FSession.WriteDeadline(ALastProgress); });
    FSession.Written(CoarseNowNs());
    return true;
  } catch (...) {
    Failed(AStream, DescribeError(std::current_exception()).Message);
    return false;
  }
}

void TLinkOutput::Progress() { FSession.Written(CoarseNowNs()); }

void TLinkOutput::Written(const TBytes& APacket, const TBrokerStream& AStream) {
  if (APacket.size() != 2 || APacket[0] != (MQTT_PINGREQ << 4)) return;
  // The PINGREQ has reached the broker's host once every byte written so far has.
  uint64_t acknowledged = 0, written = 0;
  FSession.PingWritten(CoarseNowNs(), AStream.Delivery(acknowledged, written) ? std::optional(written)
                                                                               : std::nullopt);
}

void TLinkOutput::Failed(TBrokerStream& AStream, const std::string& AError) {
  if (AStream.Released()) return;  // closed on purpose: nothing to report
  FEvents.Log("Write failed: %s", AError.c_str());
  AStream.Abort(AError);
}

}  // namespace qor
