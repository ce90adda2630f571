// Micro-benchmarks: the cost of building packets and of handling an inbound
// PUBLISH, in nanoseconds and heap allocations per operation. Where a cost was
// designed away, the way it would otherwise be paid runs beside it (the
// *Reference benchmarks), so the figure shows what the design saves.
//   build/default/bench/qor_micro_bench
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "AllocationCounter.h"
#include "uBrokerStream.h"
#include "uQORMQTTSession.h"

namespace {

using namespace qor;

// Reports allocations per iteration for the loop that follows.
class TAllocationCounter {
 public:
  explicit TAllocationCounter(benchmark::State& AState) : FState(AState), FStart(AllocationCount()) {}
  ~TAllocationCounter() {
    FState.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(AllocationCount() - FStart), benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& FState;
  uint64_t FStart;
};

void BM_BuildPublishPacket(benchmark::State& AState) {
  const std::string payload(static_cast<size_t>(AState.range(0)), 'p');
  uint16_t id = 1;
  TAllocationCounter count(AState);
  for (auto _ : AState) {
    TBytes packet = BuildPublishPacket("bench/topic/temperature", std::string_view(payload), 1, id++, 5,
                                       false, false);
    benchmark::DoNotOptimize(packet.data());
  }
  AState.SetBytesProcessed(AState.iterations() * AState.range(0));
}
BENCHMARK(BM_BuildPublishPacket)->Arg(64)->Arg(16384);

// The same bytes put together from the field encoders, each field a buffer of
// its own, then wrapped: what sizing the packet first saves.
void BM_BuildPublishPacketReference(benchmark::State& AState) {
  const std::string payload(static_cast<size_t>(AState.range(0)), 'p');
  uint16_t id = 1;
  TAllocationCounter count(AState);
  for (auto _ : AState) {
    TBytes content = EncodeMQTTString("bench/topic/temperature");
    const TBytes word = EncodeWord(id++);
    content.insert(content.end(), word.begin(), word.end());
    content.push_back(0);  // property length
    const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
    content.insert(content.end(), bytes, bytes + payload.size());
    TBytes packet = WrapWithFixedHeader(MQTT_PUBLISH, 2, content);
    benchmark::DoNotOptimize(packet.data());
  }
  AState.SetBytesProcessed(AState.iterations() * AState.range(0));
}
BENCHMARK(BM_BuildPublishPacketReference)->Arg(64)->Arg(16384);

void BM_BuildConnectPacket(benchmark::State& AState) {
  TAllocationCounter count(AState);
  for (auto _ : AState) {
    TBytes packet = BuildConnectPacket(5, true, 60, "bench-client-0001", "user", "password", 300);
    benchmark::DoNotOptimize(packet.data());
  }
}
BENCHMARK(BM_BuildConnectPacket);

void BM_EncodeVarInt(benchmark::State& AState) {
  uint32_t value = 0;
  TAllocationCounter count(AState);
  for (auto _ : AState) {
    TBytes bytes = EncodeVarInt(value);
    benchmark::DoNotOptimize(bytes.data());
    value = (value * 2654435761u + 1) & MQTT_MAX_VARINT;
  }
}
BENCHMARK(BM_EncodeVarInt);

// Replays one packet over and over, as bytes already buffered by the stream.
class TReplaySource : public IByteSource {
 public:
  explicit TReplaySource(TBytes APacket) : FPacket(std::move(APacket)) {}
  int Read(uint8_t* ABuffer, int ACount) override {
    const size_t n = std::min(static_cast<size_t>(ACount), FPacket.size() - FPos);
    std::memcpy(ABuffer, FPacket.data() + FPos, n);
    FPos += n;
    return static_cast<int>(n);
  }
  void Rewind() { FPos = 0; }

 private:
  TBytes FPacket;
  size_t FPos = 0;
};

// Counts what the session delivers; with Logged, it also wants the log
// lines: the formatting that an unset OnLog skips.
struct TCountingSink final : ISessionSink {
  bool Logged = false;
  size_t Received = 0;
  bool Logging() const override { return Logged; }
  void Log(const std::string& ALine) override { Received += ALine.size(); }
  bool Send(TBytes, const TSendMode&) override { return true; }
  void Deliver(TQORMQTTMessage& AMessage) override { Received += AMessage.Payload.size(); }
  void Connack(uint8_t, bool) override {}
  void BrokerDisconnect(uint8_t, const TBrokerWords&) override {}
};

void HandleBufferedPublish(benchmark::State& AState, bool ALogged) {
  const std::string payload(static_cast<size_t>(AState.range(0)), 'p');
  TReplaySource source(
      BuildPublishPacket("bench/topic/temperature", std::string_view(payload), 0, 0, 5, false, false));
  TQORMQTTSession session;
  TCountingSink sink;
  sink.Logged = ALogged;
  TAllocationCounter count(AState);
  for (auto _ : AState) {
    source.Rewind();
    benchmark::DoNotOptimize(session.Feed(source, sink));
  }
  benchmark::DoNotOptimize(sink.Received);
}

void BM_ReaderHandlesBufferedPublish(benchmark::State& AState) { HandleBufferedPublish(AState, false); }
BENCHMARK(BM_ReaderHandlesBufferedPublish)->Arg(64)->Arg(16384);

void BM_ReaderHandlesBufferedPublishLogged(benchmark::State& AState) { HandleBufferedPublish(AState, true); }
BENCHMARK(BM_ReaderHandlesBufferedPublishLogged)->Arg(64);

// --- inbound through a real loopback connection ------------------------------------

// A TCP connection on the loopback. The near end is a TBrokerStream or, for
// the reference, a plain blocking socket; the far end writes.
struct TLoopbackLink {
  int Listener = -1, Near = -1, Far = -1;
  std::shared_ptr<TBrokerStream> Stream;

  explicit TLoopbackLink(bool APlainSocket) {
    Listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(Listener, 1) != 0 ||
        getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      std::abort();
    if (APlainSocket) {
      Near = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(Near, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    } else {
      TBrokerStreamOptions options;
      options.Host = "127.0.0.1";
      options.Port = ntohs(address.sin_port);
      Stream = TBrokerStream::Open(options);
    }
    Far = accept(Listener, nullptr, nullptr);
  }
  ~TLoopbackLink() {
    if (Stream) Stream->Release();
    if (Near >= 0) close(Near);
    close(Far);
    close(Listener);
  }
  void Send(const TBytes& AData) const {
    for (size_t done = 0; done < AData.size();) {
      const ssize_t n = send(Far, AData.data() + done, AData.size() - done, 0);
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }
};

// Reads at most ABudget bytes from ASource, then reports the end: one batch.
class TBudgetSource : public IByteSource {
 public:
  TBudgetSource(IByteSource& ASource, size_t ABudget) : FSource(ASource), FBudget(ABudget) {}
  int Read(uint8_t* ABuffer, int ACount) override {
    if (FBudget == 0) return 0;
    const int n = FSource.Read(ABuffer, static_cast<int>(std::min(static_cast<size_t>(ACount), FBudget)));
    if (n > 0) FBudget -= static_cast<size_t>(n);
    return n;
  }

 private:
  IByteSource& FSource;
  size_t FBudget;
};

// One receive per read, as a client without a buffer of its own does it.
class TUnbufferedSource : public IByteSource {
 public:
  explicit TUnbufferedSource(int AFd) : FFd(AFd) {}
  int Read(uint8_t* ABuffer, int ACount) override {
    return static_cast<int>(recv(FFd, ABuffer, static_cast<size_t>(ACount), MSG_WAITALL));
  }

 private:
  int FFd;
};

// Batches of 100 PUBLISH packets with 64-byte payloads, written by the far
// end and dispatched by the client; the time per batch covers both ends.
void ReadBatchesOverLoopback(benchmark::State& AState, bool AUnbuffered) {
  constexpr size_t kBatch = 100;
  const TBytes packet =
      BuildPublishPacket("bench/topic/temperature", std::string_view(std::string(64, 'p')), 0, 0, 5, false, false);
  TBytes batch;
  for (size_t i = 0; i < kBatch; ++i) batch.insert(batch.end(), packet.begin(), packet.end());
  TLoopbackLink link(AUnbuffered);
  TUnbufferedSource unbuffered(link.Near);
  IByteSource& near = AUnbuffered ? static_cast<IByteSource&>(unbuffered) : *link.Stream;
  TQORMQTTSession session;
  TCountingSink sink;
  for (auto _ : AState) {
    link.Send(batch);
    TBudgetSource source(near, batch.size());
    benchmark::DoNotOptimize(session.Feed(source, sink));
  }
  const size_t received = sink.Received / 64;
  if (received != AState.iterations() * kBatch) AState.SkipWithError("messages lost");
  AState.SetItemsProcessed(static_cast<int64_t>(received));
}

void BM_ReaderThroughStream(benchmark::State& AState) { ReadBatchesOverLoopback(AState, false); }
BENCHMARK(BM_ReaderThroughStream);

void BM_ReaderThroughStreamReference(benchmark::State& AState) { ReadBatchesOverLoopback(AState, true); }
BENCHMARK(BM_ReaderThroughStreamReference);

// --- the pending list ------------------------------------------------------------------

// APending identifiers in flight, acknowledged in order: one publication and
// one acknowledgement per iteration. A deque takes the oldest off the front
// at once; a vector moves every other entry down.
template <typename TList>
void PendingListInOrder(benchmark::State& AState) {
  TList list;
  uint16_t next = 1;
  for (int64_t i = 0; i < AState.range(0); ++i) list.push_back(next++);
  for (auto _ : AState) {
    list.push_back(next++);
    list.erase(std::find(list.begin(), list.end(), list.front()));
    benchmark::DoNotOptimize(list.size());
  }
}

void BM_PendingListInOrder(benchmark::State& AState) { PendingListInOrder<std::deque<uint16_t>>(AState); }
BENCHMARK(BM_PendingListInOrder)->Arg(100)->Arg(10000);

void BM_PendingListInOrderReference(benchmark::State& AState) { PendingListInOrder<std::vector<uint16_t>>(AState); }
BENCHMARK(BM_PendingListInOrderReference)->Arg(100)->Arg(10000);

}  // namespace

// A QoS 1 publication through the session and its PUBACK: what Publish
// costs beyond the wire, the copy kept for resending included. Given up
// (an rvalue payload), a large payload is kept without that copy; the
// Reference copies it as a const payload is.
void SessionPublishQoS1(benchmark::State& AState, bool AGivenUp) {
  const std::string payload(static_cast<size_t>(AState.range(0)), 'p');
  TQORMQTTSession session;
  TCountingSink sink;
  TAllocationCounter count(AState);
  for (auto _ : AState) {
    std::string given = payload;  // the caller's message, made afresh each time
    TPublishExtras extras;
    extras.Payload = AGivenUp ? &given : nullptr;
    const uint16_t id = session.Publish("bench/topic/temperature", given, mqQoS1, sink, extras).PacketId;
    std::string ack{static_cast<char>(id >> 8), static_cast<char>(id & 0xFF)};
    session.Receive(MQTT_PUBACK << 4, ack, sink);
  }
  AState.SetBytesProcessed(AState.iterations() * AState.range(0));
}

void BM_SessionPublishQoS1GivenUp(benchmark::State& AState) { SessionPublishQoS1(AState, true); }
BENCHMARK(BM_SessionPublishQoS1GivenUp)->Arg(64)->Arg(4096)->Arg(1 << 20);
void BM_SessionPublishQoS1GivenUpReference(benchmark::State& AState) { SessionPublishQoS1(AState, false); }
BENCHMARK(BM_SessionPublishQoS1GivenUpReference)->Arg(64)->Arg(4096)->Arg(1 << 20);

BENCHMARK_MAIN();
