// Host names to addresses, within a deadline. The system resolver cannot be
// interrupted, so lookups run on a thread of the resolver's own: a caller
// that gives up (deadline, cancel) returns at once, and the lookup it left
// finishes there, its answer dropped. The thread starts with the first
// lookup and is joined when the resolver goes.
#pragma once

#include <netdb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qor {

class TResolver {
 public:
  // getaddrinfo's contract: 0 and a list for the caller to free, or an EAI_ code.
  using TLookup = std::function<int(const std::string& AHost, const std::string& APort, addrinfo** AResult)>;

  // ALookup: getaddrinfo for IPv4 and IPv6 stream sockets unless given.
  explicit TResolver(TLookup ALookup = nullptr);
  ~TResolver();
  TResolver(const TResolver&) = delete;
  TResolver& operator=(const TResolver&) = delete;

  // The addresses of AHost (freed with freeaddrinfo), waiting at most
  // ATimeoutMs (negative: no bound) and giving up within 100 ms once ACancel
  // turns true. Raises EResolveError "Cannot resolve host ...".
  addrinfo* Resolve(const std::string& AHost, uint16_t APort, int64_t ATimeoutMs,
                    const std::atomic<bool>* ACancel);

 private:
  struct TRequest;
  void Run();

  TLookup FLookup;
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::shared_ptr<TRequest> FPending;  // FMutex; the next lookup for the thread
  bool FStopping = false;              // FMutex
  std::thread FThread;                 // started by the first Resolve
};

}  // namespace qor
