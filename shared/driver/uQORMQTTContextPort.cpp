#include "uQORMQTTContextPort.h"

#include <sys/uio.h>

#include <algorithm>

#include "uQORIOContextCore.h"
#include "uQORMQTTFramer.h"
#include "uQORMQTTReading.h"
#include "uQORMQTTWorkers.h"

namespace qor {

namespace {

// One read's worth, shared by the clients of a loop: a client keeps only
// what does not yet make a whole packet.
constexpr int kReadSize = 64 * 1024;
// Kept between reads at most this large; a large packet's buffer goes with it.
constexpr size_t kKeptCapacity = 4096;

// The bytes of a buffer, read from its start.
class TSpanSource final : public IByteSource {
 public:
  TSpanSource(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize) {}
  int Read(uint8_t* ABuffer, int ACount) override {
    const size_t n = std::min(static_cast<size_t>(std::max(ACount, 0)), FSize - FUsed);
    std::copy_n(FData + FUsed, n, ABuffer);
    FUsed += n;
    return static_cast<int>(n);
  }
  size_t Used() const { return FUsed; }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FUsed = 0;
};

// Whether the framer can judge the packet at AData now: it is whole, or
// its header already says it is malformed or too large.
bool Judgeable(const uint8_t* AData, size_t ASize, uint32_t ALimit) {
  uint64_t length = 0;
  for (size_t i = 1; i <= 4; ++i) {
    if (i >= ASize) return false;
    length |= static_cast<uint64_t>(AData[i] & 0x7F) << (7 * (i - 1));
    if ((AData[i] & 0x80) == 0) {
      const uint64_t size = 1 + i + length;
      return ASize >= size || (ALimit != 0 && size > ALimit);
    }
  }
  return ASize >= 5;  // a fifth length byte: malformed
}

}  // namespace

TContextPort::TContextPort(TQORMQTTConnection& AConnection, std::shared_ptr<TIOContextCore> ACore)
    : FC(AConnection), FCore(std::move(ACore)), FLoop(FCore->PickLoop()) {}

TContextPort::~TContextPort() = default;

template <typename TTask>
void TContextPort::Post(TTask ATask) {
  FLoop.Post([self = shared_from_this(), ATask] {
    if (!self->FDetached) ATask(*self);
  });
}

void TContextPort::Attach() {
  Post([](TContextPort& APort) {
    APort.FLoop.Add(&APort);
    APort.FKeepaliveAt = CoarseNowNs() + kNsPerSecond;
    APort.Arm();
  });
}

void TContextPort::Detach() {
  FLoop.Run([this] {
    if (FDetached.exchange(true)) return;
    StopReading();
    if (!FBatch.empty()) FC.Output().Queue().Finished(FBatch, false);
    FBatchStream.reset();
    FLoop.Remove(this);
  });
}

bool TContextPort::OnDriverThread() const { return FCore->OnOwnThread(); }

void TContextPort::Read(uint64_t AEpoch) {
  Post([AEpoch](TContextPort& APort) { APort.StartReading(AEpoch); });
}

void TContextPort::WantWrite() {
  if (FWritePosted.exchange(true)) return;
  Post([](TContextPort& APort) {
    APort.FWritePosted = false;
    APort.Drain();
  });
}

void TContextPort::Retick() {
  Post([](TContextPort& APort) {
    APort.FKeepaliveAt = CoarseNowNs();
    APort.Arm();
  });
}

void TContextPort::Reconnect() {
  Post([](TContextPort& APort) { APort.ScheduleReconnect(); });
}

// --- reading ---------------------------------------------------------------------------------

void TContextPort::StartReading(uint64_t AEpoch) {
  const TLink link = FC.Link().Current();
  if (link.Epoch != AEpoch || !link.Stream) return;  // given up meanwhile
  StopReading();
  FLink = link;
  FFd = link.Stream->Descriptor();
  FReader = std::make_unique<TQORMQTTConnection::TOutput>(FC, AEpoch, true);
  FLoop.Watch(FFd, EPOLLIN | EPOLLRDHUP, this, true);
  FWatchingWrites = false;
  // Bytes may wait already where epoll does not see them (after a
  // WebSocket's upgrade answer, in a TLS record read with the handshake).
  OnReadable();
}

void TContextPort::StopReading() {
  if (FFd >= 0) FLoop.Unwatch(FFd);
  FFd = -1;
  FWatchingWrites = false;
  FReader.reset();
  FLink = {};
  FIn = {};
}

void TContextPort::Ready(uint32_t AEvents) {
  const std::shared_ptr<TContextPort> self = shared_from_this();  // a handler may let the client go
  if (AEvents & EPOLLOUT) Drain();
  if (FDetached || FFd < 0) return;
  if (AEvents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) OnReadable();
}

void TContextPort::OnReadable() {
  static thread_local std::vector<uint8_t> scratch(kReadSize);
  while (FReader && !FDetached) {
    TBrokerStream& stream = *FLink.Stream;
    const int n = stream.ReadAvailable(scratch.data(), kReadSize);
    if (n > 0) {
      // Packets are cut from the read itself; only an incomplete one's bytes are kept.
      const uint8_t* data = scratch.data();
      size_t size = static_cast<size_t>(n);
      if (!FIn.empty()) {
        FIn.insert(FIn.end(), scratch.begin(), scratch.begin() + n);
        data = FIn.data();
        size = FIn.size();
      }
      size_t taken = 0;
      if (!TakePackets(data, size, taken)) return;
      if (stream.AcknowledgeDue() != 0 && FAckAt == INT64_MAX) {
        FAckAt = CoarseNowNs() + 2 * kNsPerMs;
        Arm();
      }
      if (FIn.empty()) {
        FIn.assign(data + taken, data + size);
      } else {
        FIn.erase(FIn.begin(), FIn.begin() + static_cast<std::ptrdiff_t>(taken));
      }
      // A plain socket that filled less than the buffer is empty: another
      // read would only say so (epoll tells when more comes). TLS and a
      // WebSocket may hold more where epoll does not see it.
      if (n < kReadSize && stream.AllowsPartialWrites()) break;
      continue;
    }
    if (stream.LastReadTimedOut()) break;  // nothing more for now
    const TLink link = FLink;
    TBrokerLink& brokerLink = FC.Link();
    if (brokerLink.UserDisconnect() || stream.Released()) {
      StopReading();
      return;
    }
    // What arrived of a packet the stream ended in is a truncated packet.
    uint8_t header = FIn.empty() ? 0 : FIn[0];
    std::string body;
    try {
      if (!FIn.empty()) {
        TSpanSource source(FIn.data(), FIn.size());
        TPacketFramer(source, FC.InboundPacketLimit()).Next(header, body);
      }
      StopReading();
      StreamEnded(FC, link);
    } catch (...) {
      StopReading();
      ReadFailed(FC, link, header, body, [] {});
    }
    return;
  }
  if (FIn.empty() && FIn.capacity() > kKeptCapacity) FIn = {};
}

bool TContextPort::TakePackets(const uint8_t* AData, size_t ASize, size_t& ATaken) {
  const uint32_t limit = FC.InboundPacketLimit();
  size_t& at = ATaken;
  uint8_t header = 0;
  std::string body;
  const TLink link = FLink;
  try {
    while (Judgeable(AData + at, ASize - at, limit)) {
      TSpanSource source(AData + at, ASize - at);
      TPacketFramer(source, limit).Next(header, body);
      at += source.Used();
      TakePacket(FC, *link.Stream, *FReader, header, body, Judgeable(AData + at, ASize - at, 0));
      // A handler's Disconnect elsewhere, a DISCONNECT of the broker's, a
      // loss: each releases the stream (a newer link's comes after that).
      if (FDetached || !FReader || link.Stream->Released()) {
        if (!FDetached && FReader) StopReading();
        return false;
      }
    }
  } catch (...) {
    try {
      if (FReader) FReader->Flush();
    } catch (...) {
    }
    StopReading();
    if (!FDetached && !FC.Link().UserDisconnect()) ReadFailed(FC, link, header, body, [] {});
    return false;
  }
  return true;
}

// --- writing ----------------------------------------------------------------------------------

void TContextPort::Drain() {
  TLinkOutput& output = FC.Output();
  TWriteQueue& queue = output.Queue();
  for (;;) {
    if (FBatch.empty()) {
      FBatchStream = queue.TakeNow(FBatch);
      FBatchSent = 0;
      if (!FBatchStream) {
        FBatch.clear();
        if (FWatchingWrites) WatchFor(false);
        return;
      }
    }
    TBrokerStream& stream = *FBatchStream;
    // What of the batch has not gone yet.
    std::vector<iovec>& rest = FRest;
    rest.clear();
    size_t skip = FBatchSent, total = 0;
    const auto add = [&](void* AData, size_t ASize) {
      total += ASize;
      if (skip >= ASize) {
        skip -= ASize;
        return;
      }
      rest.push_back({static_cast<uint8_t*>(AData) + skip, ASize - skip});
      skip = 0;
    };
    for (const TWriteQueue::TEntry& e : FBatch) {
      add(const_cast<uint8_t*>(e.Packet.data()), e.Packet.size());
      if (!e.Tail.empty()) add(const_cast<char*>(e.Tail.data()), e.Tail.size());
    }
    // Only a socket this loop watches can tell when it takes more; a TLS
    // record and a WebSocket frame must go whole: those are written out here.
    const bool watched = FFd >= 0 && FLink.Stream == FBatchStream;
    bool written = true;
    if (!stream.AllowsPartialWrites() || !watched) {
      written = output.WriteOut(stream, rest.data(), rest.size());
    } else {
      size_t sent = 0;
      try {
        sent = stream.TryWrite(rest.data(), rest.size());
      } catch (...) {
        output.Failed(stream, DescribeError(std::current_exception()).Message);
        queue.Finished(FBatch, false);
        FBatchStream.reset();
        continue;
      }
      if (sent > 0) output.Progress();
      FBatchSent += sent;
      if (FBatchSent < total) {
        if (!FWatchingWrites) WatchFor(true);
        return;
      }
    }
    if (written)
      for (const TWriteQueue::TEntry& e : FBatch) output.Written(e.Packet, stream);
    queue.Finished(FBatch, written);
    FBatchStream.reset();
  }
}

void TContextPort::WatchFor(bool AWrite) {
  FWatchingWrites = AWrite;
  const uint32_t events = EPOLLIN | EPOLLRDHUP | (AWrite ? static_cast<uint32_t>(EPOLLOUT) : 0u);
  if (FFd >= 0) FLoop.Watch(FFd, events, this, false);
}

// --- time --------------------------------------------------------------------------------

void TContextPort::Arm() { FLoop.SetTimer(this, std::min({FKeepaliveAt, FReconnectAt, FAckAt})); }

void TContextPort::Due() {
  const std::shared_ptr<TContextPort> self = shared_from_this();
  const int64_t now = CoarseNowNs();
  if (FReconnectAt <= now) {
    FReconnectAt = INT64_MAX;
    Attempt();
  }
  if (FDetached) return;
  if (FAckAt <= now) {
    FAckAt = INT64_MAX;
    if (FReader && FLink.Stream) {
      FLink.Stream->AcknowledgeIfDue();
      // The loop's clock is coarser than the stream's.
      if (FLink.Stream->AcknowledgeDue() != 0) FAckAt = now + kNsPerMs;
    }
  }
  if (FKeepaliveAt <= now) FKeepaliveAt = CoarseNowNs() + SuperviseLink(FC);
  if (!FDetached) Arm();
}

void TContextPort::ScheduleReconnect() {
  const std::optional<TBackoff::TAttempt> next = FC.NextReconnect();
  if (!next || FDetached) return;  // given up, or stopping
  FAttempt = next->Number;
  FReconnectAt = CoarseNowNs() + static_cast<int64_t>(next->WaitMs) * kNsPerMs;
  Arm();
}

void TContextPort::Attempt() {
  // The attempt waits for its CONNACK, which this loop reads: on a connect thread.
  FCore->Connects().Post(&FC, [self = shared_from_this(), number = FAttempt] {
    if (self->FDetached) return;
    if (!self->FC.AttemptReconnect(number)) self->Reconnect();
  });
}

}  // namespace qor
