// The client's worker threads, each started when constructed and joined by
// the connection driver:
// - the reader reads each link the driver hands it and feeds the session;
//   it ends after reporting a lost link, and a new one serves the reconnect;
// - the writer drains the write queue (started with the first packet that
//   has to wait there);
// - the keepalive thread pings a quiet link, declares a silent one dead and
//   runs the reconnect loop.
#pragma once

#include <atomic>

#include "uQORThread.h"

namespace qor {

class TQORMQTTConnection;

class TQORMQTTReaderThread final : public TThread {
 public:
  explicit TQORMQTTReaderThread(TQORMQTTConnection& AConnection) : FConnection(AConnection) { Start(); }
  // Its loop is over: it reads nothing more and is about to finish.
  bool Retired() const { return FRetired.load(); }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  TQORMQTTConnection& FConnection;
  std::atomic<bool> FRetired{false};
};

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
  explicit TQORMQTTWriterThread(TQORMQTTConnection& AConnection) : FConnection(AConnection) { Start(); }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  TQORMQTTConnection& FConnection;
};

}  // namespace qor
