#include "uQORResolver.h"

#include <chrono>

#include "uQORErrors.h"

namespace qor {

// One lookup, shared by the caller and the resolver's thread, so that a
// caller that gave up leaves the thread nothing dangling.
struct TResolver::TRequest {
  std::string Host, Port;
  bool Done = false;       // FMutex
  int Code = 0;            // FMutex
  addrinfo* Result = nullptr;  // FMutex; owned here until taken
  ~TRequest() {
    if (Result) freeaddrinfo(Result);
  }
};

TResolver::TResolver(TLookup ALookup) : FLookup(std::move(ALookup)) {
  if (!FLookup)
    FLookup = [](const std::string& AHost, const std::string& APort, addrinfo** AResult) {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      return getaddrinfo(AHost.c_str(), APort.c_str(), &hints, AResult);
    };
}

TResolver::~TResolver() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FStopping = true;
  }
  FChanged.notify_all();
  // Waits for a lookup still under way: the system resolver cannot be stopped.
  if (FThread.joinable()) FThread.join();
}

void TResolver::Run() {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    FChanged.wait(lock, [&] { return FStopping || FPending; });
    if (FStopping) return;
    const std::shared_ptr<TRequest> request = std::move(FPending);
    lock.unlock();
    addrinfo* result = nullptr;
    const int code = FLookup(request->Host, request->Port, &result);
    lock.lock();
    request->Code = code;
    request->Result = result;
    request->Done = true;
    FChanged.notify_all();
  }
}

addrinfo* TResolver::Resolve(const std::string& AHost, uint16_t APort, int64_t ATimeoutMs,
                             const std::atomic<bool>* ACancel) {
  const auto request = std::make_shared<TRequest>();
  request->Host = AHost;
  request->Port = std::to_string(APort);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs < 0 ? 0 : ATimeoutMs);
  std::unique_lock<std::mutex> lock(FMutex);
  if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
  // A lookup given up on earlier may still run: this one waits its turn,
  // within the same deadline.
  FPending = request;
  FChanged.notify_all();
  for (;;) {
    const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    FChanged.wait_until(lock, ATimeoutMs < 0 ? slice : std::min(slice, deadline), [&] { return request->Done; });
    if (request->Done) break;
    const bool cancelled = ACancel && ACancel->load();
    if (cancelled || (ATimeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline)) {
      if (FPending == request) FPending.reset();
      throw EResolveError("Cannot resolve host \"" + AHost + "\": " + (cancelled ? "cancelled" : "timed out"));
    }
  }
  if (request->Code != 0)
    throw EResolveError("Cannot resolve host \"" + AHost + "\": " + gai_strerror(request->Code));
  addrinfo* result = request->Result;
  request->Result = nullptr;
  return result;
}

}  // namespace qor
