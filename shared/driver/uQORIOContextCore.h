// What a TQORMQTTIOContext is made of: its loop threads and its connect
// threads, and which loop serves the next client.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "uQORIOLoop.h"
#include "uQORMQTTIOContext.h"

namespace qor {

class TIOContextCore {
 public:
  explicit TIOContextCore(const TQORMQTTIOContextOptions& AOptions);
  ~TIOContextCore();
  // The threads end (the public context is going); clients still attached
  // keep the core, whose loops then run what they are asked at once.
  void Stop();

  // The loop that serves a new client: each in turn.
  TIOLoop& PickLoop();
  TConnectPool& Connects() { return FConnects; }
  // One of this context's threads runs the caller.
  bool OnOwnThread() const;
  int Threads() const { return static_cast<int>(FLoops.size()); }
  size_t Clients() const;

 private:
  std::vector<std::unique_ptr<TIOLoop>> FLoops;
  TConnectPool FConnects;
  std::atomic<size_t> FNext{0};
};

}  // namespace qor
