#include "uQORIOContextCore.h"

#include <algorithm>
#include <thread>

#include "uQORErrors.h"
#include "uQORFormat.h"

namespace qor {

namespace {

// The options, checked before any thread starts.
const TQORMQTTIOContextOptions& Checked(const TQORMQTTIOContextOptions& AOptions) {
  if (AOptions.Threads < 0 || AOptions.Threads > 256)
    throw EInvalidArgument("Threads", Format("Threads is %d; 0 (one per core) to 256", AOptions.Threads));
  if (AOptions.Connecting < 1 || AOptions.Connecting > 1024)
    throw EInvalidArgument("Connecting", Format("Connecting is %d; 1 to 1024", AOptions.Connecting));
  return AOptions;
}

}  // namespace

TIOContextCore::TIOContextCore(const TQORMQTTIOContextOptions& AOptions)
    : FConnects(Checked(AOptions).Connecting) {
  const int loops =
      AOptions.Threads > 0 ? AOptions.Threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 0; i < loops; ++i) FLoops.push_back(std::make_unique<TIOLoop>());
}

TIOContextCore::~TIOContextCore() { Stop(); }

void TIOContextCore::Stop() {
  FConnects.Stop();
  for (auto& loop : FLoops) loop->Stop();
}

TIOLoop& TIOContextCore::PickLoop() { return *FLoops[FNext++ % FLoops.size()]; }

bool TIOContextCore::OnOwnThread() const {
  if (FConnects.OnPoolThread()) return true;
  return std::any_of(FLoops.begin(), FLoops.end(), [](const auto& ALoop) { return ALoop->OnThisThread(); });
}

size_t TIOContextCore::Clients() const {
  size_t n = 0;
  for (const auto& loop : FLoops) n += loop->Ports();
  return n;
}

// --- the public face --------------------------------------------------------------------

TQORMQTTIOContext::TQORMQTTIOContext() : TQORMQTTIOContext(TQORMQTTIOContextOptions{}) {}

TQORMQTTIOContext::TQORMQTTIOContext(const TQORMQTTIOContextOptions& AOptions)
    : FCore(std::make_shared<TIOContextCore>(AOptions)) {}

TQORMQTTIOContext::~TQORMQTTIOContext() { FCore->Stop(); }

int TQORMQTTIOContext::Threads() const { return FCore->Threads(); }

size_t TQORMQTTIOContext::Clients() const { return FCore->Clients(); }

}  // namespace qor
