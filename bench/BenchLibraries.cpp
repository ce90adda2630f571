#include "BenchClient.h"
#include "BenchFleet.h"

std::unique_ptr<IBenchClient> CreateQorBenchClient();
#ifdef QOR_BENCH_WITH_IO_CONTEXT
std::unique_ptr<IBenchFleet> CreateQorContextFleet(size_t ACount);
#endif
#ifdef QOR_BENCH_WITH_MOSQUITTO
std::unique_ptr<IBenchClient> CreateMosquittoBenchClient();
#endif
#ifdef QOR_BENCH_WITH_PAHO
std::unique_ptr<IBenchClient> CreatePahoSyncBenchClient();
std::unique_ptr<IBenchClient> CreatePahoAsyncBenchClient();
#endif

std::vector<TBenchLibrary> BenchLibraries() {
  std::vector<TBenchLibrary> libraries{{"qor", CreateQorBenchClient}};
#ifdef QOR_BENCH_WITH_MOSQUITTO
  libraries.push_back({"libmosquitto", CreateMosquittoBenchClient});
#endif
#ifdef QOR_BENCH_WITH_PAHO
  libraries.push_back({"paho-sync", CreatePahoSyncBenchClient});
  libraries.push_back({"paho-async", CreatePahoAsyncBenchClient});
#endif
  return libraries;
}

std::vector<TFleetLibrary> FleetLibraries() {
  // Blocking connects one at a time would take minutes for 10 000 clients;
  // a handful of threads is what a program would give them.
  constexpr size_t kConnectThreads = 8;
  std::vector<TFleetLibrary> fleets;
  for (const auto& library : BenchLibraries()) {
    fleets.push_back({library.Name,
                      [library](size_t ACount) { return CreatePooledFleet(library, ACount, kConnectThreads); },
                      library.Create});
#ifdef QOR_BENCH_WITH_IO_CONTEXT
    if (library.Name == "qor") fleets.push_back({"qor-context", CreateQorContextFleet, CreateQorBenchClient});
#endif
  }
  return fleets;
}
