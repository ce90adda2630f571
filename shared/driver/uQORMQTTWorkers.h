// The client's worker threads, each with its own loop, started when
// constructed and joined by the connection driver:
// - the reader reads each link the driver hands it, frames the broker's
//   packets and feeds them to the session; it ends after reporting a lost
//   link, and a new one serves the reconnect;
// - the writer drains the write queue (started with the first packet that
//   has to wait there);
// - the keepalive thread ticks the session's keepalive at its deadlines,
//   declares a silent link dead and runs the reconnect loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "uQORMQTTLink.h"
#include "uQORThread.h"

namespace qor {

class TQORMQTTConnection;
class TLinkOutput;
class TClientEvents;

class TQORMQTTReaderThread final : public TThread {
 public:
  explicit TQORMQTTReaderThread(TQORMQTTConnection& AConnection) : FConnection(AConnection) { Start(); }
  // Its loop is over: it reads nothing more and is about to finish.
  bool Retired() const { return FRetired.load(); }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  // Reads ALink until it ends. False when the reader has reported its loss
  // and ends (a new reader serves the reconnect).
  bool Read(const TLink& ALink);
  TQORMQTTConnection& FConnection;
  std::atomic<bool> FRetired{false};
};

// Ticks the session's keepalive on the link of now (a silent one is lost);
// how long until the next tick. The keepalive thread's, or a context's loop's.
int64_t SuperviseLink(TQORMQTTConnection& AConnection);

class TQORMQTTKeepaliveThread final : public TThread {
 public:
  explicit TQORMQTTKeepaliveThread(TQORMQTTConnection& AConnection) : FConnection(AConnection) { Start(); }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  TQORMQTTConnection& FConnection;
};

class TQORMQTTWriterThread final : public TThread {
 public:
  TQORMQTTWriterThread(TLinkOutput& AOutput, const TClientEvents& AEvents, std::atomic<bool>& ARunning)
      : FOutput(AOutput), FEvents(AEvents), FRunning(ARunning) {
    Start();
  }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  TLinkOutput& FOutput;
  const TClientEvents& FEvents;
  std::atomic<bool>& FRunning;  // cleared when the loop ends
};

}  // namespace qor
