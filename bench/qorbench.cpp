// qorbench: QOR against the other MQTT client libraries built in, through a
// private mosquitto on 127.0.0.1:18900. Every scenario runs 3 times per
// library, libraries alternating, each run in a child process of its own so
// that CPU time, peak RSS and threads are its alone. Prints a table of
// medians and one JSON line per run. Every payload carries a sequence number:
// lost, duplicated, reordered and corrupted messages are counted and shown.
//
//   qorbench [--quick] [--scale] [--outages] [--clients=N[,N...] ...] [--library=NAME ...]
//            [--scenario=NAME ...]
//     --quick     a tenth of the messages (for a smoke run)
//     --scale     also 1, 100 and 1000 connected clients per library
//     --outages   also a broker ended (SIGTERM, SIGKILL) or paused (SIGSTOP) under
//                 a QoS 1 and a QoS 2 stream between clients that keep their
//                 sessions: what each library accepted, lost, duplicated, reordered
//     --clients   also N clients in one process, for each N given (a list, the
//                 option repeated, or both: --clients=1000,10000), once per
//                 variant and N, the counts rising: the ms from starting to
//                 connect all N until all are connected; the RSS grown per client
//                 (KiB) once all are connected and subscribed; the process's
//                 threads then; the ms one QoS 0 message takes to reach all N,
//                 all subscribed to one topic; the ms until all N have
//                 disconnected. A variant that fails a phase, or has not finished
//                 it after 60 s, is reported with how many it connected. Variants:
//                 qor (each client with threads of its own, 8 threads calling the
//                 blocking Connect), qor-context (all clients on one I/O context
//                 with its defaults, a loop thread per core; ConnectAsync for all
//                 at once, the context pacing them), and the peers as below:
//                 libmosquitto with a loop thread per client
//                 (mosquitto_loop_start, as its documentation has it) and Paho's
//                 MQTTAsync, both connecting in the background from one thread
//                 with 64 connects under way; Paho's MQTTClient from 8 threads
//                 calling its blocking connect. Raises the descriptor limit for
//                 the broker and itself (as far as root may); beyond 20 000
//                 clients the broker listens on 18902, 18903 ... too. Stops a
//                 variant before the machine runs short of threads.
//     --library   only the libraries named (qor, libmosquitto, paho-sync,
//                 paho-async; for --clients also qor-context)
//     --scenario  only the scenarios named (qos0, qos1, latency, large, connect,
//                 burst, reqresp, scale1, scale100, scale1000, outage-term-q1 ...,
//                 clients: the --clients runs, 1000 clients unless given), e.g. to
//                 profile one of them
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "BenchClient.h"
#include "BenchFleet.h"
#include "LinkSegments.h"

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;
constexpr uint16_t kBrokerPort = 18900;

double Seconds(TClock::duration ADuration) { return std::chrono::duration<double>(ADuration).count(); }

// --- payloads with a sequence number -------------------------------------------------

std::string MakePayload(uint64_t ASeq, size_t ASize) {
  std::string p(std::max<size_t>(ASize, 8), '\0');
  std::memcpy(p.data(), &ASeq, 8);
  for (size_t i = 8; i < p.size(); ++i) p[i] = static_cast<char>((ASeq * 31 + i) & 0xFF);
  return p;
}

// Checks what arrives against the order it was sent in.
struct TSequenceCheck {
  std::atomic<uint64_t> Received{0}, Lost{0}, Duplicated{0}, Reordered{0}, Corrupted{0};
  std::atomic<int64_t> LastArrival{0};
  uint64_t Next = 0;  // the reader thread only
  std::vector<bool> Seen;

  explicit TSequenceCheck(size_t ACount) : Seen(ACount, false) {}

  void Check(const char* AData, size_t ALength) {
    LastArrival = TClock::now().time_since_epoch().count();
    uint64_t seq = 0;
    if (ALength < 8) {
      ++Corrupted;
      return;
    }
    std::memcpy(&seq, AData, 8);
    bool intact = seq < Seen.size();
    for (size_t i = 8; intact && i < ALength; ++i)
      intact = AData[i] == static_cast<char>((seq * 31 + i) & 0xFF);
    if (!intact) {
      ++Corrupted;
      return;
    }
    if (Seen[seq]) {
      ++Duplicated;
      return;
    }
    Seen[seq] = true;
    ++Received;
    if (seq != Next) ++Reordered;
    Next = seq + 1;
  }
  // Messages never published (a run cut short) are not counted as lost.
  void Finish(size_t ASent) {
    Lost = static_cast<uint64_t>(std::count(Seen.begin(), Seen.begin() + static_cast<std::ptrdiff_t>(ASent), false));
  }
};

// Waits until ACondition holds, or nothing has arrived for 3 s, or 120 s passed.
template <typename TCondition>
void WaitForArrivals(TSequenceCheck& ACheck, TCondition ACondition) {
  const auto start = TClock::now();
  while (!ACondition()) {
    const auto last = TClock::time_point(TClock::duration(ACheck.LastArrival.load()));
    const auto quiet = TClock::now() - std::max(last, start);
    if (quiet > std::chrono::seconds(3) || TClock::now() - start > std::chrono::seconds(120)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// --- one run ---------------------------------------------------------------------------

struct TRun {
  double Value = 0;  // in the scenario's unit
  double Extra = 0;  // p99 for latency, p90 for burst
  uint64_t Lost = 0, Duplicated = 0, Reordered = 0, Corrupted = 0;
  double CpuSeconds = 0;
  double BrokerCpuSeconds = 0;  // what the broker spent serving this run
  long PeakRssKiB = 0;
  double ThreadsPerClient = 0;
  // What the per-message figures divide by: messages delivered, round
  // trips, or connects.
  double Messages = 0;
  TLinkSegments Segments;  // summed over the run's connections, read before they close
};

void AddSegments(TRun& ARun, uint16_t APort) {
  const TLinkSegments now = LinkSegments(APort);
  ARun.Segments.ToBroker += now.ToBroker;
  ARun.Segments.FromBroker += now.FromBroker;
}

size_t ThreadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

std::string Id(const char* APrefix) { return std::string(APrefix) + "-" + std::to_string(getpid()); }

void TakeCounts(TRun& ARun, TSequenceCheck& ACheck, size_t ASent) {
  ACheck.Finish(ASent);
  ARun.Lost = ACheck.Lost;
  ARun.Duplicated = ACheck.Duplicated;
  ARun.Reordered = ACheck.Reordered;
  ARun.Corrupted = ACheck.Corrupted;
}

// ACount round trips of AMicros each: p50 and p99, what arrived, the segments.
void TakeRoundTrips(TRun& ARun, std::vector<double>& AMicros, TSequenceCheck& ACheck, size_t ACount) {
  std::sort(AMicros.begin(), AMicros.end());
  ARun.Value = AMicros[AMicros.size() / 2];
  ARun.Extra = AMicros[AMicros.size() * 99 / 100];
  TakeCounts(ARun, ACheck, ACount);
  ARun.Messages = static_cast<double>(ACount);
  AddSegments(ARun, kBrokerPort);
}

// Publisher -> broker -> subscriber: messages per second (or MB/s for large ones).
TRun Throughput(const TBenchLibrary& ALib, size_t ACount, size_t ASize, int AQoS, size_t AWindow) {
  TRun run;
  TSequenceCheck check(ACount);
  auto sub = ALib.Create();
  auto pub = ALib.Create();
  const size_t before = ThreadCount();
  sub->Connect(kBrokerPort, Id("qb-sub"), [&](const char* AData, size_t ALength) { check.Check(AData, ALength); });
  pub->Connect(kBrokerPort, Id("qb-pub"), [](const char*, size_t) {});
  run.ThreadsPerClient = static_cast<double>(ThreadCount() - before) / 2;
  const std::string topic = "qorbench/" + std::to_string(getpid());
  sub->Subscribe(topic, AQoS);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::vector<std::string> payloads;
  if (ASize <= 1024)
    for (size_t i = 0; i < ACount; ++i) payloads.push_back(MakePayload(i, ASize));
  // A library that cannot keep up is measured on what it sent in 60 s.
  const auto start = TClock::now();
  size_t sent = 0;
  for (; sent < ACount && TClock::now() - start < std::chrono::seconds(60); ++sent) {
    while (AWindow > 0 && pub->InFlight() >= AWindow) std::this_thread::yield();
    pub->Publish(topic, payloads.empty() ? MakePayload(sent, ASize) : payloads[sent], AQoS);
  }
  WaitForArrivals(check, [&] { return check.Received + check.Duplicated + check.Corrupted >= sent; });
  const auto last = TClock::time_point(TClock::duration(check.LastArrival.load()));
  const double seconds = Seconds(last - start);
  run.Value = seconds > 0 ? static_cast<double>(check.Received) * (ASize > 1024 ? ASize / 1e6 : 1.0) / seconds : 0;
  TakeCounts(run, check, sent);
  run.Messages = static_cast<double>(check.Received);
  AddSegments(run, kBrokerPort);
  pub->Disconnect();
  sub->Disconnect();
  return run;
}

// One client publishing to a topic it subscribes to: microseconds per round trip.
TRun Latency(const TBenchLibrary& ALib, size_t ACount) {
  TRun run;
  TSequenceCheck check(ACount);
  std::atomic<uint64_t> arrived{0};
  auto client = ALib.Create();
  const size_t before = ThreadCount();
  client->Connect(kBrokerPort, Id("qb-lat"), [&](const char* AData, size_t ALength) {
    check.Check(AData, ALength);
    arrived.fetch_add(1, std::memory_order_release);
  });
  run.ThreadsPerClient = static_cast<double>(ThreadCount() - before);
  const std::string topic = "qorbench/lat/" + std::to_string(getpid());
  client->Subscribe(topic, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<double> micros;
  for (size_t i = 0; i < ACount; ++i) {
    const auto t0 = TClock::now();
    client->Publish(topic, MakePayload(i, 64), 0);
    while (arrived.load(std::memory_order_acquire) <= i) {
      if (TClock::now() - t0 > std::chrono::seconds(2)) break;  // lost: counted below
    }
    micros.push_back(Seconds(TClock::now() - t0) * 1e6);
  }
  TakeRoundTrips(run, micros, check, ACount);
  client->Disconnect();
  return run;
}

// Bursts of three QoS 0 messages from one client to a topic it subscribes
// to, each burst on a link that has gone quiet: microseconds from a burst's
// start to each message's arrival, p50 (p90 in Extra). The broker keeps
// Nagle's algorithm on, so it holds the second and third message until the
// client acknowledges the first; a client that delays its acknowledgements
// (as Linux does on a link that sends as well as receives) stalls them.
TRun Burst(const TBenchLibrary& ALib, size_t ABursts) {
  TRun run;
  TSequenceCheck check(ABursts * 3);
  std::atomic<int64_t> arrivals[3];
  std::atomic<uint64_t> arrived{0};
  auto client = ALib.Create();
  client->Connect(kBrokerPort, Id("qb-burst"), [&](const char* AData, size_t ALength) {
    check.Check(AData, ALength);
    const uint64_t n = arrived.load(std::memory_order_relaxed);
    arrivals[n % 3].store(TClock::now().time_since_epoch().count(), std::memory_order_relaxed);
    arrived.store(n + 1, std::memory_order_release);
  });
  const std::string topic = "qorbench/burst/" + std::to_string(getpid());
  client->Subscribe(topic, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<double> micros;
  for (size_t b = 0; b < ABursts; ++b) {
    const auto t0 = TClock::now();
    for (size_t i = 0; i < 3; ++i) client->Publish(topic, MakePayload(b * 3 + i, 64), 0);
    while (arrived.load(std::memory_order_acquire) < (b + 1) * 3 && TClock::now() - t0 < std::chrono::seconds(2))
      std::this_thread::yield();
    for (auto& a : arrivals)
      micros.push_back(Seconds(TClock::time_point(TClock::duration(a.load())) - t0) * 1e6);
    arrived = (b + 1) * 3;  // a lost message does not shift the next burst's slots
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the link goes quiet
  }
  std::sort(micros.begin(), micros.end());
  run.Value = micros[micros.size() / 2];
  run.Extra = micros[micros.size() * 9 / 10];
  TakeCounts(run, check, ABursts * 3);
  run.Messages = static_cast<double>(ABursts * 3);
  AddSegments(run, kBrokerPort);
  client->Disconnect();
  return run;
}

// A request and its answer at QoS 1, as a program asking another over the
// broker does: one client publishes to a topic the other subscribes to, the
// other answers on a topic the first subscribes to. Microseconds from the
// request to its answer, p50 (p99 in Extra). Each link sends as well as
// receives, so a host that delays its ACK of the broker's last small
// segment (its PUBACK) holds the broker's next one, Nagle's algorithm
// being on: the answer, or the next request.
TRun RequestResponse(const TBenchLibrary& ALib, size_t ACount) {
  TRun run;
  TSequenceCheck check(ACount);
  std::atomic<uint64_t> asked{0}, answered{0};
  std::atomic<bool> done{false};
  auto asker = ALib.Create();
  auto answerer = ALib.Create();
  const std::string requests = "qorbench/req/" + std::to_string(getpid());
  const std::string answers = "qorbench/resp/" + std::to_string(getpid());
  answerer->Connect(kBrokerPort, Id("qb-answer"), [&](const char*, size_t) {
    asked.fetch_add(1, std::memory_order_release);
  });
  asker->Connect(kBrokerPort, Id("qb-ask"), [&](const char* AData, size_t ALength) {
    check.Check(AData, ALength);
    answered.fetch_add(1, std::memory_order_release);
  });
  answerer->Subscribe(requests, 1);
  asker->Subscribe(answers, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Answered from a thread of the bench's own: not every library may
  // publish at QoS 1 from inside its message callback.
  std::thread answering([&] {
    for (uint64_t i = 0; i < ACount; ++i) {
      while (asked.load(std::memory_order_acquire) <= i)
        if (done.load(std::memory_order_relaxed)) return;
        else std::this_thread::yield();
      answerer->Publish(answers, MakePayload(i, 64), 1);
    }
  });
  std::vector<double> micros;
  for (size_t i = 0; i < ACount; ++i) {
    const auto t0 = TClock::now();
    asker->Publish(requests, MakePayload(i, 64), 1);
    while (answered.load(std::memory_order_acquire) <= i && TClock::now() - t0 < std::chrono::seconds(2))
      std::this_thread::yield();
    micros.push_back(Seconds(TClock::now() - t0) * 1e6);
  }
  done = true;
  answering.join();
  TakeRoundTrips(run, micros, check, ACount);
  asker->Disconnect();
  answerer->Disconnect();
  return run;
}

// A new client's TCP connect and CONNECT/CONNACK: median microseconds.
TRun Connect(const TBenchLibrary& ALib, size_t ACount) {
  TRun run;
  std::vector<double> micros;
  for (size_t i = 0; i < ACount; ++i) {
    auto client = ALib.Create();
    const auto t0 = TClock::now();
    client->Connect(kBrokerPort, Id("qb-conn") + "-" + std::to_string(i), [](const char*, size_t) {});
    micros.push_back(Seconds(TClock::now() - t0) * 1e6);
    AddSegments(run, kBrokerPort);
    client->Disconnect();
  }
  run.Messages = static_cast<double>(ACount);
  std::sort(micros.begin(), micros.end());
  run.Value = micros[micros.size() / 2];
  return run;
}

// N clients each subscribed to its own topic, one message a second to each for 3 s.
TRun Scale(const TBenchLibrary& ALib, size_t AClients) {
  TRun run;
  std::vector<std::unique_ptr<IBenchClient>> clients;
  std::atomic<uint64_t> received{0};
  const size_t before = ThreadCount();
  const auto start = TClock::now();
  // A library that connects slowly is measured on the clients it connected
  // in 60 s; the ticks the others never got count as lost.
  for (size_t i = 0; i < AClients && TClock::now() - start < std::chrono::seconds(60); ++i) {
    clients.push_back(ALib.Create());
    clients.back()->Connect(kBrokerPort, Id("qb-scale") + "-" + std::to_string(i),
                            [&](const char*, size_t) { ++received; });
    clients.back()->Subscribe("qorbench/scale/" + std::to_string(getpid()) + "/" + std::to_string(i), 0);
  }
  run.Value = Seconds(TClock::now() - start) * 1e3;  // ms to connect and subscribe all
  run.ThreadsPerClient = static_cast<double>(ThreadCount() - before) / static_cast<double>(clients.size());
  auto pub = ALib.Create();
  pub->Connect(kBrokerPort, Id("qb-scale-pub"), [](const char*, size_t) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int second = 0; second < 3; ++second) {
    for (size_t i = 0; i < clients.size(); ++i)
      pub->Publish("qorbench/scale/" + std::to_string(getpid()) + "/" + std::to_string(i), "tick", 0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  run.Lost = 3 * AClients - std::min<uint64_t>(received, 3 * AClients);
  run.Messages = static_cast<double>(received);
  AddSegments(run, kBrokerPort);
  pub->Disconnect();
  for (auto& c : clients) c->Disconnect();
  return run;
}

// The outage scenarios' mosquitto, which saves its state every second (the
// shared broker must not die).
constexpr uint16_t kOutageBrokerPort = 18901;

// Starts mosquitto on 127.0.0.1:APort with AConfig, its file in ADir.
pid_t StartBroker(const std::string& ADir, uint16_t APort, const std::string& AConfig) {
  std::ofstream(ADir + "/mosquitto.conf") << "listener " << APort << " 127.0.0.1\n"
                                          << "allow_anonymous true\nlog_dest none\nmax_queued_messages 0\n"
                                          << AConfig;
  std::string conf = ADir + "/mosquitto.conf";
  std::vector<char*> argv{const_cast<char*>("mosquitto"), const_cast<char*>("-c"), conf.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "mosquitto", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start mosquitto");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return pid;
}

// A publisher and a subscriber that keep their sessions, numbered messages
// at AQoS at 2 000 a second for 8 s, and the broker taken away after 2 s:
// ended by ASignal and restarted a second later, or (SIGSTOP) paused for 4 s.
// The value is the number of messages the library accepted; what it lost,
// duplicated or reordered of them is counted.
TRun Outage(const TBenchLibrary& ALib, int ASignal, int AQoS) {
  TRun run;
  constexpr size_t kRate = 2000, kSeconds = 8;
  TSequenceCheck check(kRate * kSeconds);
  char dirName[] = "/tmp/qorbench-outage-XXXXXX";
  const std::string dir = mkdtemp(dirName);
  // mosquitto started by root runs as its own user, and must write its file here.
  std::filesystem::permissions(dir, std::filesystem::perms::all);
  const std::string persisting = "persistence true\npersistence_location " + dir + "/\nautosave_interval 1\n";
  pid_t broker = StartBroker(dir, kOutageBrokerPort, persisting);
  auto sub = ALib.Create();
  auto pub = ALib.Create();
  if (!sub->OffersDurability()) throw std::runtime_error("no automatic reconnect and offline buffer");
  sub->Durable = pub->Durable = true;
  sub->Connect(kOutageBrokerPort, Id("qb-osub"),
               [&](const char* AData, size_t ALength) { check.Check(AData, ALength); });
  pub->Connect(kOutageBrokerPort, Id("qb-opub"), [](const char*, size_t) {});
  const std::string topic = "qorbench/outage/" + std::to_string(getpid());
  sub->Subscribe(topic, AQoS);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::atomic<size_t> accepted{0};
  std::thread publisher([&] {
    const auto start = TClock::now();
    // A refused message is offered again under the same number, so that
    // the numbers accepted are 0, 1, 2 ...
    for (size_t n = 0; n < kRate * kSeconds;) {
      const auto due = static_cast<size_t>(Seconds(TClock::now() - start) * kRate);
      while (n < std::min(due, kRate * kSeconds) && pub->Offer(topic, MakePayload(n, 64), AQoS)) accepted = ++n;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (TClock::now() - start > std::chrono::seconds(2 * kSeconds)) break;
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  if (ASignal == SIGSTOP) {
    kill(broker, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    kill(broker, SIGCONT);
  } else {
    kill(broker, ASignal);
    waitpid(broker, nullptr, 0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    broker = StartBroker(dir, kOutageBrokerPort, persisting);
  }
  publisher.join();
  // Up to 30 s for what is owed to arrive after the reconnects.
  for (int i = 0; i < 3000 && check.Received < accepted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  run.Value = static_cast<double>(accepted);
  TakeCounts(run, check, accepted);
  pub->Disconnect();
  sub->Disconnect();
  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  std::system(("rm -rf '" + dir + "'").c_str());
  return run;
}

// --- many clients in one process (--clients) --------------------------------------------

// Connections one broker port takes from 127.0.0.1: each needs a local port
// of its own towards it, and Linux hands out about 28 000 of them. Beyond
// this many clients the broker listens on further ports, from 18902 on.
constexpr size_t kClientsPerPort = 20000;
constexpr uint16_t kExtraPortsFrom = 18902;
// Each phase of a run (connect, subscribe, fan-out, disconnect) ends after this.
constexpr auto kPhaseLimit = std::chrono::seconds(60);

std::vector<uint16_t> BrokerPorts(size_t AClients) {
  std::vector<uint16_t> ports{kBrokerPort};
  for (uint16_t p = kExtraPortsFrom; ports.size() * kClientsPerPort < AClients; ++p) ports.push_back(p);
  return ports;
}

struct TClientsRun {
  size_t Connected = 0;  // how far the connect phase got
  // -1: not measured (the run stopped before)
  double ConnectMs = -1, KiBPerClient = -1, FanOutMs = -1, DisconnectMs = -1;
  long Threads = -1;
  uint64_t Received = 0, Duplicated = 0;  // of the one message fanned out
  double CpuSeconds = 0, BrokerCpuSeconds = 0;
  std::string Error;  // the phase that failed and why
  const char* Phase = "create";  // the phase under way
};

long ResidentKiB() {
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  in >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long ProcessThreads() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("Threads:")) return std::atol(line.c_str() + 8);
  return -1;
}

double Millis(TClock::duration ADuration) { return std::chrono::duration<double, std::milli>(ADuration).count(); }

void WriteLine(int AFd, const std::string& ALine) {
  const std::string text = ALine + "\n";
  if (write(AFd, text.data(), text.size()) < 0) _exit(2);
}

// N clients of ALib: connect all, subscribe all to one topic, one message to
// all of them, disconnect all. Writes "reached K" lines to AProgressFd while
// they connect, so that a run that dies still tells how far it got. Fills
// in ARun as it goes: what was measured stands when a phase throws.
void ManyClients(const TFleetLibrary& ALib, size_t AClients, int AProgressFd, TClientsRun& ARun) {
  TClientsRun& run = ARun;
  std::vector<std::atomic<uint32_t>> arrivals(AClients);
  std::atomic<size_t> received{0}, duplicated{0};
  std::atomic<int64_t> allArrived{0};
  const auto handler = [&](size_t AClient, const char*, size_t) {
    if (arrivals[AClient].fetch_add(1) > 0) {
      ++duplicated;
    } else if (++received == AClients) {
      allArrived = TClock::now().time_since_epoch().count();
    }
  };
  const long before = ResidentKiB();
  // Released, not destroyed, whatever happens: the process ends with the
  // run, and a library stuck in a failed phase could hold up its destructor.
  IBenchFleet& fleet = *ALib.Create(AClients).release();

  std::mutex lock;
  std::condition_variable changed;
  bool connecting = true;
  std::thread progress([&] {
    size_t told = 0;
    std::unique_lock<std::mutex> guard(lock);
    while (connecting) {
      changed.wait_for(guard, std::chrono::milliseconds(200));
      if (fleet.Connected != told) WriteLine(AProgressFd, "reached " + std::to_string(told = fleet.Connected));
    }
  });
  run.Phase = "connect";
  const auto start = TClock::now();
  std::string error;
  try {  // the progress thread is still to be joined
    error = fleet.Connect(BrokerPorts(AClients), Id("qb-cl"), handler, start + kPhaseLimit);
  } catch (const std::exception& e) {
    error = e.what();
  }
  const double connectMs = Millis(TClock::now() - start);
  {
    std::lock_guard<std::mutex> guard(lock);
    connecting = false;
  }
  changed.notify_all();
  progress.join();
  run.Connected = fleet.Connected;
  if (!error.empty()) {
    run.Error = "connect: " + error;
    return;
  }
  run.ConnectMs = connectMs;

  run.Phase = "subscribe";
  const std::string topic = "qorbench/clients/" + std::to_string(getpid());
  error = fleet.Subscribe(topic, TClock::now() + kPhaseLimit);
  if (!error.empty()) {
    run.Error = "subscribe: " + error;
    return;
  }
  run.KiBPerClient = static_cast<double>(ResidentKiB() - before) / static_cast<double>(AClients);
  run.Threads = ProcessThreads();

  run.Phase = "fan-out";
  auto publisher = ALib.CreatePublisher();
  publisher->Connect(kBrokerPort, Id("qb-cl-pub"), [](const char*, size_t) {});
  const auto published = TClock::now();
  publisher->Publish(topic, "fan-out", 0);
  while (received < AClients && TClock::now() - published < kPhaseLimit)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  run.Received = received;
  run.Duplicated = duplicated;
  if (received < AClients) {
    run.Error = "fan-out: " + std::to_string(received) + " of " + std::to_string(AClients) + " received in " +
                std::to_string(kPhaseLimit.count()) + " s";
    return;
  }
  run.FanOutMs = Millis(TClock::time_point(TClock::duration(allArrived.load())) - published);
  publisher->Disconnect();

  run.Phase = "disconnect";
  const auto leaving = TClock::now();
  error = fleet.Disconnect(leaving + kPhaseLimit);
  if (error.empty())
    run.DisconnectMs = Millis(TClock::now() - leaving);
  else
    run.Error = "disconnect: " + error;
}

// A run of ManyClients in a child process of its own, killed when it has
// not finished in 7 minutes: every phase is bounded, but a library's own
// wait inside one may not be.
TClientsRun RunClientsInChild(const TFleetLibrary& ALib, size_t AClients) {
  constexpr auto kChildLimit = std::chrono::minutes(7);
  TClientsRun run;
  int pipeFd[2];
  if (pipe2(pipeFd, O_CLOEXEC) != 0) {
    run.Error = std::string("no pipe: ") + std::strerror(errno);
    return run;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFd[0]);
    close(pipeFd[1]);
    run.Error = std::string("no child process: ") + std::strerror(errno);
    return run;
  }
  if (pid == 0) {
    close(pipeFd[0]);
    TClientsRun r;
    try {
      ManyClients(ALib, AClients, pipeFd[1], r);
    } catch (const std::exception& e) {
      r.Error = std::string(r.Phase) + ": " + e.what();
    }
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    r.CpuSeconds = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                   static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    std::ostringstream out;
    out << "result " << r.Connected << " " << r.ConnectMs << " " << r.KiBPerClient << " " << r.Threads << " "
        << r.FanOutMs << " " << r.Received << " " << r.Duplicated << " " << r.DisconnectMs << " " << r.CpuSeconds
        << " " << r.Error;
    std::string line = out.str();
    std::replace(line.begin(), line.end(), '\n', ' ');
    WriteLine(pipeFd[1], line);
    _exit(0);
  }
  close(pipeFd[1]);
  std::string text;
  const auto killAt = TClock::now() + kChildLimit;
  bool killed = false;
  for (char buf[512];;) {
    pollfd p{pipeFd[0], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(killAt - TClock::now()).count();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    const ssize_t n = read(pipeFd[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(pipeFd[0]);
  int status = 0;
  waitpid(pid, &status, 0);

  std::istringstream lines(text);
  bool finished = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::string kind;
    in >> kind;
    if (kind == "reached") {
      in >> run.Connected;
    } else if (kind == "result") {
      in >> run.Connected >> run.ConnectMs >> run.KiBPerClient >> run.Threads >> run.FanOutMs >> run.Received >>
          run.Duplicated >> run.DisconnectMs >> run.CpuSeconds;
      std::getline(in >> std::ws, run.Error);
      finished = !in.bad();
    }
  }
  if (!finished) {
    if (killed)
      run.Error = "still running after " + std::to_string(kChildLimit.count()) + " min: killed";
    else if (WIFSIGNALED(status))
      run.Error = std::string("the run died of signal ") + std::to_string(WTERMSIG(status)) + " (" +
                  strsignal(WTERMSIG(status)) + ")";
    else
      run.Error = "the run ended without a result";
  }
  return run;
}

// AText as a JSON string's contents.
std::string JsonText(const std::string& AText) {
  std::string out;
  for (const char c : AText) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

// A figure for JSON: null where it was not measured.
std::string JsonNumber(double AValue, int ADecimals) {
  if (AValue < 0) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", ADecimals, AValue);
  return text;
}

// "--clients=1000,10000": the counts, or none when one is no positive number.
std::vector<size_t> ParseClientCounts(const std::string& AList) {
  std::vector<size_t> counts;
  std::istringstream in(AList);
  for (std::string item; std::getline(in, item, ',');) {
    if (item.empty() || item.size() > 9 || item.find_first_not_of("0123456789") != std::string::npos) return {};
    const size_t n = std::stoul(item);
    if (n == 0) return {};
    counts.push_back(n);
  }
  return counts;
}

// --- scenarios, child processes, the report ---------------------------------------------

struct TScenario {
  std::string Name;
  std::string Unit;
  bool HigherIsBetter;
  std::function<TRun(const TBenchLibrary&)> Body;
};

// Runs ABody in a child process; the child reports its result on a pipe.
bool RunInChild(const std::function<TRun()>& ABody, TRun& AResult, std::string& AError) {
  int pipeFd[2];
  // Close-on-exec: a broker the child starts must not hold the pipe open after the child ends.
  if (pipe2(pipeFd, O_CLOEXEC) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFd[0]);
    std::string line;
    try {
      TRun r = ABody();
      rusage u{};
      getrusage(RUSAGE_SELF, &u);
      r.CpuSeconds = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
      r.PeakRssKiB = u.ru_maxrss;
      std::ostringstream out;
      out << "ok " << r.Value << " " << r.Extra << " " << r.Lost << " " << r.Duplicated << " " << r.Reordered << " "
          << r.Corrupted << " " << r.CpuSeconds << " " << r.PeakRssKiB << " " << r.ThreadsPerClient << " " << r.Messages
          << " " << r.Segments.ToBroker << " " << r.Segments.FromBroker;
      line = out.str();
    } catch (const std::exception& e) {
      line = std::string("error ") + e.what();
    }
    if (write(pipeFd[1], line.data(), line.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipeFd[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(pipeFd[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(pipeFd[0]);
  waitpid(pid, nullptr, 0);
  std::istringstream in(text);
  std::string status;
  in >> status;
  if (status != "ok") {
    AError = text.empty() ? "child died" : text;
    return false;
  }
  in >> AResult.Value >> AResult.Extra >> AResult.Lost >> AResult.Duplicated >> AResult.Reordered >>
      AResult.Corrupted >> AResult.CpuSeconds >> AResult.PeakRssKiB >> AResult.ThreadsPerClient >> AResult.Messages >>
      AResult.Segments.ToBroker >> AResult.Segments.FromBroker;
  return true;
}

// A run's costs per message (per round trip, per connect): zero where it counted none.
struct TPerMessage {
  double BrokerMicros = 0, ToBroker = 0, FromBroker = 0;
};

TPerMessage PerMessage(const TRun& ARun) {
  if (ARun.Messages <= 0) return {};
  return {ARun.BrokerCpuSeconds * 1e6 / ARun.Messages, static_cast<double>(ARun.Segments.ToBroker) / ARun.Messages,
          static_cast<double>(ARun.Segments.FromBroker) / ARun.Messages};
}

double Median(std::vector<double> AValues) {
  std::sort(AValues.begin(), AValues.end());
  return AValues.empty() ? 0 : AValues[AValues.size() / 2];
}

// User plus system time of a process so far, from /proc/PID/stat.
double ProcessCpuSeconds(pid_t APid) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t end = text.rfind(')');  // the command name may hold spaces
  if (end == std::string::npos) return 0;
  std::istringstream fields(text.substr(end + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  unsigned long long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, scale = false, outages = false;
  std::vector<std::string> only, onlyScenarios;
  std::vector<size_t> clientCounts;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--clients=", 10) == 0) {
      const std::vector<size_t> counts = ParseClientCounts(argv[i] + 10);
      if (counts.empty()) {
        std::fprintf(stderr, "qorbench: %s: expected --clients=N or --clients=N,N,... (N from 1)\n", argv[i]);
        return 2;
      }
      clientCounts.insert(clientCounts.end(), counts.begin(), counts.end());
    }
    quick |= std::strcmp(argv[i], "--quick") == 0;
    scale |= std::strcmp(argv[i], "--scale") == 0;
    outages |= std::strcmp(argv[i], "--outages") == 0;
    if (std::strncmp(argv[i], "--library=", 10) == 0) only.emplace_back(argv[i] + 10);
    if (std::strncmp(argv[i], "--scenario=", 11) == 0) {
      onlyScenarios.emplace_back(argv[i] + 11);
      scale |= onlyScenarios.back().starts_with("scale");
      outages |= onlyScenarios.back().starts_with("outage");
    }
  }
  const bool clientsNamed =
      std::find(onlyScenarios.begin(), onlyScenarios.end(), "clients") != onlyScenarios.end();
  if (clientsNamed && clientCounts.empty()) clientCounts.push_back(1000);
  if (!onlyScenarios.empty() && !clientsNamed) clientCounts.clear();
  std::sort(clientCounts.begin(), clientCounts.end());
  clientCounts.erase(std::unique(clientCounts.begin(), clientCounts.end()), clientCounts.end());
  const size_t mostClients = clientCounts.empty() ? 0 : clientCounts.back();

  // Many clients need many descriptors, in the broker (started below) as here.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  // --clients: libmosquitto takes three a client (its socket and a pair to
  // wake its loop). Raising the hard limit takes root; without it the runs
  // go as far as the limit lets them.
  const rlim_t wanted = static_cast<rlim_t>(mostClients) * 3 + 1024;
  if (wanted > files.rlim_max) {
    rlim_t most = 0;
    std::ifstream("/proc/sys/fs/nr_open") >> most;
    const rlimit raised{std::min(wanted, most), std::min(wanted, most)};
    if (most <= files.rlim_max || setrlimit(RLIMIT_NOFILE, &raised) != 0)
      std::fprintf(stderr, "qorbench: %llu descriptors at most (the hard limit): runs of more clients stop short\n",
                   static_cast<unsigned long long>(files.rlim_max));
  }
  signal(SIGPIPE, SIG_IGN);  // peers that do not guard their writes

  char dirName[] = "/tmp/qorbench-XXXXXX";
  const std::string dir = mkdtemp(dirName);
  std::string listeners;
  for (const uint16_t port : BrokerPorts(mostClients))
    if (port != kBrokerPort) listeners += "listener " + std::to_string(port) + " 127.0.0.1\nmax_connections -1\n";
  const pid_t broker = StartBroker(dir, kBrokerPort, "persistence false\nmax_connections -1\n" + listeners);

  const size_t f = quick ? 10 : 1;
  std::vector<TScenario> scenarios = {
      {"qos0", "msg/s", true, [f](const TBenchLibrary& L) { return Throughput(L, 200000 / f, 64, 0, 0); }},
      {"qos1", "msg/s", true, [f](const TBenchLibrary& L) { return Throughput(L, 50000 / f, 64, 1, 100); }},
      {"latency", "us p50", false, [f](const TBenchLibrary& L) { return Latency(L, 10000 / f); }},
      {"large", "MB/s", true, [f](const TBenchLibrary& L) { return Throughput(L, 200 / f, 1 << 20, 0, 0); }},
      {"connect", "us", false, [f](const TBenchLibrary& L) { return Connect(L, 200 / f); }},
      {"burst", "us p50", false, [](const TBenchLibrary& L) { return Burst(L, 50); }},
      {"reqresp", "us p50", false, [f](const TBenchLibrary& L) { return RequestResponse(L, 200 / f); }},
  };
  if (outages)
    for (const auto& [name, signal] : {std::pair<const char*, int>{"term", SIGTERM}, {"kill", SIGKILL}, {"stop", SIGSTOP}})
      for (int qos : {1, 2})
        scenarios.push_back({std::string("outage-") + name + "-q" + std::to_string(qos), "accepted", true,
                             [signal, qos](const TBenchLibrary& L) { return Outage(L, signal, qos); }});
  if (scale)
    for (size_t n : {size_t{1}, size_t{100}, size_t{1000}})
      scenarios.push_back({"scale" + std::to_string(n), "ms to connect", false,
                           [n](const TBenchLibrary& L) { return Scale(L, n); }});
  if (!onlyScenarios.empty())
    std::erase_if(scenarios, [&](const TScenario& s) {
      return std::find(onlyScenarios.begin(), onlyScenarios.end(), s.Name) == onlyScenarios.end();
    });

  std::vector<TBenchLibrary> libraries;
  for (auto& lib : BenchLibraries())
    if (only.empty() || std::find(only.begin(), only.end(), lib.Name) != only.end()) libraries.push_back(lib);
  std::map<std::pair<std::string, std::string>, std::vector<TRun>> runs;
  for (const auto& s : scenarios) {
    // An outage run takes a quarter of a minute and counts rather than times: once is enough.
    const int reps = s.Name.starts_with("outage") ? 1 : 3;
    for (int rep = 1; rep <= reps; ++rep) {
      for (const auto& lib : libraries) {  // alternating libraries
        TRun r;
        std::string error;
        const double brokerBefore = ProcessCpuSeconds(broker);
        const bool ok = RunInChild([&] { return s.Body(lib); }, r, error);
        r.BrokerCpuSeconds = ProcessCpuSeconds(broker) - brokerBefore;
        if (!ok) {
          std::printf("{\"library\":\"%s\",\"scenario\":\"%s\",\"rep\":%d,\"error\":\"%s\"}\n", lib.Name.c_str(),
                      s.Name.c_str(), rep, JsonText(error).c_str());
          continue;
        }
        runs[{s.Name, lib.Name}].push_back(r);
        const TPerMessage per = PerMessage(r);
        std::printf(
            "{\"library\":\"%s\",\"scenario\":\"%s\",\"rep\":%d,\"value\":%.1f,\"unit\":\"%s\","
            "\"p99\":%.1f,\"lost\":%llu,\"duplicated\":%llu,\"reordered\":%llu,\"corrupted\":%llu,"
            "\"cpu_s\":%.3f,\"broker_cpu_s\":%.2f,\"peak_rss_kib\":%ld,\"threads_per_client\":%.2f,"
            "\"messages\":%.0f,\"segments_to_broker\":%llu,\"segments_from_broker\":%llu,"
            "\"broker_us_per_msg\":%.2f,\"segments_to_broker_per_msg\":%.3f,\"segments_from_broker_per_msg\":%.3f}\n",
            lib.Name.c_str(), s.Name.c_str(), rep, r.Value, s.Unit.c_str(), r.Extra,
            static_cast<unsigned long long>(r.Lost), static_cast<unsigned long long>(r.Duplicated),
            static_cast<unsigned long long>(r.Reordered), static_cast<unsigned long long>(r.Corrupted), r.CpuSeconds,
            r.BrokerCpuSeconds, r.PeakRssKiB, r.ThreadsPerClient, r.Messages,
            static_cast<unsigned long long>(r.Segments.ToBroker),
            static_cast<unsigned long long>(r.Segments.FromBroker), per.BrokerMicros, per.ToBroker, per.FromBroker);
        std::fflush(stdout);
      }
    }
  }

  // --clients: once per count and variant, the counts rising, so that a
  // variant's limit shows before the longest runs.
  std::vector<TFleetLibrary> fleets;
  for (auto& fleet : FleetLibraries())
    if (only.empty() || std::find(only.begin(), only.end(), fleet.Name) != only.end()) fleets.push_back(fleet);
  std::vector<std::tuple<size_t, std::string, TClientsRun>> clientRuns;
  for (const size_t n : clientCounts) {
    for (const auto& fleet : fleets) {
      const double brokerBefore = ProcessCpuSeconds(broker);
      TClientsRun r = RunClientsInChild(fleet, n);
      r.BrokerCpuSeconds = ProcessCpuSeconds(broker) - brokerBefore;
      std::printf(
          "{\"library\":\"%s\",\"scenario\":\"clients\",\"clients\":%zu,\"connected\":%zu,\"connect_ms\":%s,"
          "\"kib_per_client\":%s,\"threads\":%s,\"fanout_ms\":%s,\"received\":%llu,\"duplicated\":%llu,"
          "\"disconnect_ms\":%s,\"cpu_s\":%.3f,\"broker_cpu_s\":%.2f%s}\n",
          fleet.Name.c_str(), n, r.Connected, JsonNumber(r.ConnectMs, 1).c_str(), JsonNumber(r.KiBPerClient, 2).c_str(),
          JsonNumber(static_cast<double>(r.Threads), 0).c_str(), JsonNumber(r.FanOutMs, 1).c_str(),
          static_cast<unsigned long long>(r.Received), static_cast<unsigned long long>(r.Duplicated),
          JsonNumber(r.DisconnectMs, 1).c_str(), r.CpuSeconds, r.BrokerCpuSeconds,
          r.Error.empty() ? "" : (",\"error\":\"" + JsonText(r.Error) + "\"").c_str());
      std::fflush(stdout);
      clientRuns.emplace_back(n, fleet.Name, r);
    }
  }

  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  std::system(("rm -rf '" + dir + "'").c_str());

  if (!clientRuns.empty()) {
    std::printf("\nmany clients in one process, one run each (ms; memory: RSS grown per client; threads: the\n"
                "process's with all connected; fan-out: one QoS 0 message to all; !duplicates where any)\n");
    std::printf("%-8s %-14s %12s %11s %8s %11s %14s\n", "clients", "library", "connect ms", "KiB/client", "threads",
                "fan-out ms", "disconnect ms");
    for (const auto& [n, name, r] : clientRuns) {
      std::printf("%-8zu %-14s ", n, name.c_str());
      if (r.Error.empty()) {
        std::printf("%12.1f %11.2f %8ld %11.1f %14.1f", r.ConnectMs, r.KiBPerClient, r.Threads, r.FanOutMs,
                    r.DisconnectMs);
        if (r.Duplicated > 0) std::printf(" !%llu", static_cast<unsigned long long>(r.Duplicated));
        std::printf("\n");
      } else {
        std::printf("failed with %zu of %zu connected: %s\n", r.Connected, n, r.Error.c_str());
      }
    }
    // Only the --clients runs were asked for: no empty table of the others.
    if (scenarios.empty() || libraries.empty()) return 0;
  }

  std::printf("\nmedians of 3 runs, one for outages (loss counts summed over the runs)\n%-14s", "scenario");
  for (const auto& lib : libraries) std::printf(" | %-84s", lib.Name.c_str());
  std::printf("\n");
  for (const auto& s : scenarios) {
    std::printf("%-14s", s.Name.c_str());
    for (const auto& lib : libraries) {
      const auto& list = runs[{s.Name, lib.Name}];
      std::vector<double> values, cpu, brokerCpu, extra, rss, threads, brokerPer, upPer, downPer;
      uint64_t lost = 0, dup = 0, reord = 0, corrupt = 0;
      for (const auto& r : list) {
        values.push_back(r.Value);
        cpu.push_back(r.CpuSeconds);
        brokerCpu.push_back(r.BrokerCpuSeconds);
        rss.push_back(static_cast<double>(r.PeakRssKiB));
        threads.push_back(r.ThreadsPerClient);
        extra.push_back(r.Extra);
        const TPerMessage per = PerMessage(r);
        brokerPer.push_back(per.BrokerMicros);
        upPer.push_back(per.ToBroker);
        downPer.push_back(per.FromBroker);
        lost += r.Lost;
        dup += r.Duplicated;
        reord += r.Reordered;
        corrupt += r.Corrupted;
      }
      char cell[160];
      if (s.Name.starts_with("scale"))
        std::snprintf(cell, sizeof cell, "%.0f ms, peak RSS %.0f MiB, %.2f thr/client", Median(values),
                      Median(rss) / 1024, Median(threads));
      else if (s.Name == "latency" || s.Name == "reqresp")
        std::snprintf(cell, sizeof cell, "p50 %.1f us, p99 %.1f us", Median(values), Median(extra));
      else if (s.Name == "burst")
        std::snprintf(cell, sizeof cell, "p50 %.0f us, p90 %.0f us", Median(values), Median(extra));
      else
        std::snprintf(cell, sizeof cell, "%.0f %s, %.2f s CPU (broker %.2f)", Median(values), s.Unit.c_str(),
                      Median(cpu), Median(brokerCpu));
      std::string text = cell;
      if (Median(upPer) + Median(downPer) > 0) {
        char costs[96];
        std::snprintf(costs, sizeof costs, "; broker %.1f us, segs %.2f up %.2f down /%s", Median(brokerPer),
                      Median(upPer), Median(downPer), s.Name == "connect" ? "conn" : "msg");
        text += costs;
      }
      if (lost + dup + reord + corrupt > 0)
        text += " !" + std::to_string(lost) + "/" + std::to_string(dup) + "/" + std::to_string(reord) + "/" +
                std::to_string(corrupt);
      std::printf(" | %-84s", list.empty() ? "(failed)" : text.c_str());
    }
    std::printf("\n");
  }
  std::printf(
      "(!lost/duplicated/reordered/corrupted where any; per message: the broker's CPU time and the TCP segments,\n"
      " ACKs included, on the run's connections up to and down from the broker; per round trip for latency)\n");
  return 0;
}
