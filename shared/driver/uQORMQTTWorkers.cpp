#include "uQORMQTTWorkers.h"

#include <algorithm>
#include <string>
#include <vector>

#include "uQORMQTTConnection.h"
#include "uQORMQTTFramer.h"
#include "uQORMQTTOutput.h"

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
  TQORMQTTSession& session = FConnection.Session();
  TBrokerLink& link = FConnection.Link();
  TBrokerStream& stream = *ALink.Stream;
  TQORMQTTConnection::TOutput sink(FConnection, ALink.Epoch, true);
  TPacketFramer framer(
      stream, session.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50 ? FConnection.Settings().MaximumPacketSize : 0);
  uint8_t header = 0;
  std::string body;
  try {
    for (;;) {
      if (!framer.Next(header, body)) {
        if (Terminated() || link.UserDisconnect()) return false;
        if (stream.LastReadTimedOut()) continue;  // an idle link; the keepalive thread judges it
        // The stream has ended. In an established session that is a lost
        // link; during the handshake the attempt waiting for its CONNACK
        // learns why at once (a TLS alert refusing the client's certificate
        // comes only now); either way a new link is waited for.
        if (!stream.Released()) {
          if (link.InSession(ALink.Epoch)) {
            // A write that failed ended it: that is the reason, not the broker.
            const std::string aborted = stream.AbortReason();
            throw ESocketError(aborted.empty() ? "Connection closed by broker" : aborted);
          }
          link.HandshakeEnded(ALink.Epoch, stream.EndReason(), false);
        }
        return true;
      }
      // Publications that arrived together are acknowledged together; any
      // other packet first lets the batch go, so that events keep the
      // packets' order.
      const bool more = stream.WholePacketBuffered();
      if ((header >> 4) != MQTT_PUBLISH) sink.Flush();
      sink.Batch(more);
      session.Receive(header, body, sink);
      if (!more) sink.Flush();
      FConnection.PacketRead();
    }
  } catch (...) {
    // What was acknowledged is delivered, and the acknowledgements go
    // before the DISCONNECT the fault brings; the fault is what is reported.
    try {
      sink.Flush();
    } catch (...) {
    }
    return Failed(ALink, header, body);
  }
}

bool TQORMQTTReaderThread::Failed(const TLink& ALink, uint8_t AHeader, const std::string& ABody) {
  TQORMQTTSession& session = FConnection.Session();
  TBrokerLink& link = FConnection.Link();
  if (Terminated() || link.UserDisconnect()) return false;
  // Released under us on purpose (a retry at 3.1.1, say): nothing was lost.
  if (ALink.Stream->Released()) return true;
  TErrorDescription error = DescribeError(std::current_exception());
  // A packet the broker must not send ends the link with MQTT's reason,
  // which the broker is told (at 5.0) and the caller too, so that a faulty
  // broker is not taken for a lost network.
  uint8_t code = mqrcUnspecifiedError;
  try {
    throw;
  } catch (const ETruncatedPacket&) {
    // Only the session knows which field the stream ended in.
    error = {"ESocketError", session.DescribeTruncated(AHeader, ABody)};
  } catch (const EProtocolError& e) {
    code = e.ReasonCode();
  } catch (const EPacketTooLarge&) {
    code = 0x95;
  } catch (const EMalformedPacket&) {
    code = mqrcMalformedPacket;
  } catch (...) {
  }
  const TClientEvents& events = FConnection.Events();
  events.Log("Reader thread error: %s: %s", error.ClassName.c_str(), error.Message.c_str());
  const bool faulty = code != mqrcUnspecifiedError;
  TQORMQTTConnection::TOutput sink(FConnection, ALink.Epoch);
  if (faulty && session.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50) session.Disconnect(code, {}, sink);
  if (!link.InSession(ALink.Epoch)) {
    // No session yet, so no loss to report and no reconnect: the attempt
    // waiting for its CONNACK fails at once, for this reason.
    ALink.Stream->Release();
    link.HandshakeEnded(ALink.Epoch, error.Message, true);
    return true;
  }
  // Retired before the loss is told: the reconnect it asks for may come
  // before this thread has left, and must start a reader of its own.
  FRetired = true;
  FConnection.LinkLost(ALink.Epoch, static_cast<TQORMQTTReasonCode>(code),
                       faulty ? Format("Disconnected (reason=$%2.2X): %s", code, error.Message.c_str())
                              : Format("Disconnected (reason=$%2.2X)", code));
  return false;
}

// --- the keepalive thread --------------------------------------------------------------

void TQORMQTTKeepaliveThread::Execute() {
  while (!Terminated()) {
    const int64_t wait = Supervise();
    if (FConnection.Link().WaitForWork(wait, *this)) FConnection.ReconnectLoop();
  }
}

void TQORMQTTKeepaliveThread::Uncaught(std::exception_ptr AError) noexcept {
  FConnection.Events().ThreadFailed("Keepalive", AError);
}

int64_t TQORMQTTKeepaliveThread::Supervise() {
  TBrokerLink& link = FConnection.Link();
  if (link.State() != TLinkState::Connected) return kNsPerSecond;
  const TLink current = link.Current();
  if (!current.Stream) return kNsPerSecond;
  TBrokerStream& stream = *current.Stream;
  TLinkProgress progress;
  progress.LastReceived = stream.LastReceived();
  uint64_t acknowledged = 0, written = 0;
  if (stream.Delivery(acknowledged, written)) progress.Acknowledged = acknowledged;
  progress.BytesWaiting = stream.BytesWaiting();
  TQORMQTTSession& session = FConnection.Session();
  TQORMQTTConnection::TOutput sink(FConnection, current.Epoch);
  const int64_t now = CoarseNowNs();
  if (session.Tick(now, progress, sink) == TKeepalive::TAction::Dead) {
    FConnection.Events().Log("No data received for %ds \xE2\x80\x94 keepalive timeout, reconnecting",
                             session.KeepAliveSecs(FConnection.Settings().KeepAliveSecs));
    FConnection.LinkLost(current.Epoch, mqrcUnspecifiedError,
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
