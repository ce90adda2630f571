// Micro-benchmarks: the cost of building packets and of handling an inbound
// PUBLISH, in nanoseconds and heap allocations per operation.
//   build/default/bench/qor_micro_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "AllocationCounter.h"
#include "uQORMQTTInboundDriver.h"

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

void BM_ReaderHandlesBufferedPublish(benchmark::State& AState) {
  const std::string payload(static_cast<size_t>(AState.range(0)), 'p');
  TReplaySource source(
      BuildPublishPacket("bench/topic/temperature", std::string_view(payload), 0, 0, 5, false, false));
  TQORMQTTClient client;
  size_t received = 0;
  client.OnMessage = [&](const std::string&, const std::string& APayload, TQORMQTTQoS) {
    received += APayload.size();
  };
  TQORMQTTInboundDriver driver(client, 5);
  TAllocationCounter count(AState);
  for (auto _ : AState) {
    source.Rewind();
    benchmark::DoNotOptimize(driver.Feed(source));
  }
  benchmark::DoNotOptimize(received);
}
BENCHMARK(BM_ReaderHandlesBufferedPublish)->Arg(64)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
