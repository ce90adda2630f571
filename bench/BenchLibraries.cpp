#include "BenchClient.h"

std::unique_ptr<IBenchClient> CreateQorBenchClient();
#ifdef QOR_BENCH_WITH_MOSQUITTO
std::unique_ptr<IBenchClient> CreateMosquittoBenchClient();
#endif

std::vector<TBenchLibrary> BenchLibraries() {
  std::vector<TBenchLibrary> libraries{{"qor", CreateQorBenchClient}};
#ifdef QOR_BENCH_WITH_MOSQUITTO
  libraries.push_back({"libmosquitto", CreateMosquittoBenchClient});
#endif
  return libraries;
}
