#include "uQORMQTTWorkers.h"

#include <algorithm>
#include <string>
#include <vector>

#include "uQORMQTTConnection.h"
#include "uQORMQTTFramer.h"
#include "uQORMQTTOutput.h"
#include "uQORMQTTReading.h"

namespace qor {

namespace {

// Longest wait of the keepalive thread: it also notices a new link's
// deadlines within this, and a wait never overflows the clock.
constexpr int64_t kLongestWaitNs = 10 * kNsPerSecond;

}  // namespace

// --- the reader --------------------------------------------------------------------

void TQORMQTTReaderThread::Execute() {
  uint64_t epoch = 0;
  while (!Terminated()) {
    const TLink link = FConnection.Link().WaitForReadable(epoch, *this);
    if (!link.Stream) break;
    epoch = link.Epoch;
    if (!Read(link)) break;
  }
  FRetired = true;
}

void TQORMQTTReaderThread::Uncaught(std::exception_ptr AError) noexcept {
  FRetired = true;
  FConnection.Events().ThreadFailed("Reader", AError);
}

bool TQORMQTTReaderThread::Read(const TLink& ALink) {
  TBrokerLink& link = FConnection.Link();
  TBrokerStream& stream = *ALink.Stream;
  TQORMQTTConnection::TOutput sink(FConnection, ALink.Epoch, true);
  TPacketFramer framer(stream, FConnection.InboundPacketLimit());
  uint8_t header = 0;
  std::string body;
  try {
    for (;;) {
      if (!framer.Next(header, body)) {
        if (Terminated() || link.UserDisconnect()) return false;
        if (stream.LastReadTimedOut()) continue;  // an idle link; the keepalive thread judges it
        // Either way a new link is waited for.
        if (!stream.Released()) StreamEnded(FConnection, ALink);
        return true;
      }
      TakePacket(FConnection, stream, sink, header, body, stream.WholePacketBuffered());
    }
  } catch (...) {
    // What was acknowledged is delivered, and the acknowledgements go
    // before the DISCONNECT the fault brings; the fault is what is reported.
    try {
      sink.Flush();
    } catch (...) {
    }
    if (Terminated() || link.UserDisconnect()) return false;
    return ReadFailed(FConnection, ALink, header, body, [this] { FRetired = true; });
  }
}

// --- the keepalive thread --------------------------------------------------------------

void TQORMQTTKeepaliveThread::Execute() {
  while (!Terminated()) {
    const int64_t wait = SuperviseLink(FConnection);
    if (FConnection.Link().WaitForWork(wait, *this)) FConnection.ReconnectLoop();
  }
}

void TQORMQTTKeepaliveThread::Uncaught(std::exception_ptr AError) noexcept {
  FConnection.Events().ThreadFailed("Keepalive", AError);
}

int64_t SuperviseLink(TQORMQTTConnection& AConnection) {
  TBrokerLink& link = AConnection.Link();
  if (link.State() != TLinkState::Connected) return kNsPerSecond;
  const TLink current = link.Current();
  if (!current.Stream) return kNsPerSecond;
  TBrokerStream& stream = *current.Stream;
  TLinkProgress progress;
  progress.LastReceived = stream.LastReceived();
  uint64_t acknowledged = 0, written = 0;
  if (stream.Delivery(acknowledged, written)) progress.Acknowledged = acknowledged;
  progress.BytesWaiting = stream.BytesWaiting();
  TQORMQTTSession& session = AConnection.Session();
  TQORMQTTConnection::TOutput sink(AConnection, current.Epoch);
  const int64_t now = CoarseNowNs();
  if (session.Tick(now, progress, sink) == TKeepalive::TAction::Dead) {
    AConnection.Events().Log("No data received for %ds \xE2\x80\x94 keepalive timeout, reconnecting",
                             session.KeepAliveSecs(AConnection.Settings().KeepAliveSecs));
    AConnection.LinkLost(current.Epoch, mqrcUnspecifiedError,
                         Format("Disconnected (reason=$%2.2X)", mqrcUnspecifiedError));
    return kNsPerSecond;
  }
  return std::clamp<int64_t>(session.NextDeadline(now) - now, kNsPerMs, kLongestWaitNs);
}

// --- the writer --------------------------------------------------------------------------

void TQORMQTTWriterThread::Execute() {
  // However the loop ends, the next packet that has to wait starts a new writer.
  struct TEnded {
    std::atomic<bool>& Running;
    ~TEnded() { Running = false; }
  } ended{FRunning};
  TWriteQueue& queue = FOutput.Queue();
  std::vector<TWriteQueue::TEntry> batch;
  std::vector<iovec> parts;
  while (const std::shared_ptr<TBrokerStream> stream = queue.Take(batch)) {
    parts.clear();
    for (const TWriteQueue::TEntry& e : batch) {
      parts.push_back({const_cast<uint8_t*>(e.Packet.data()), e.Packet.size()});
      if (!e.Tail.empty()) parts.push_back({const_cast<char*>(e.Tail.data()), e.Tail.size()});
    }
    const bool written = FOutput.WriteOut(*stream, parts.data(), parts.size());
    if (written)
      for (const TWriteQueue::TEntry& e : batch) FOutput.Written(e.Packet, *stream);
    queue.Finished(batch, written);
  }
}

void TQORMQTTWriterThread::Uncaught(std::exception_ptr AError) noexcept {
  FEvents.ThreadFailed("Writer", AError);
}

}  // namespace qor
