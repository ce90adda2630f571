#include "BenchClient.h"

std::unique_ptr<IBenchClient> CreateQorBenchClient();
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
