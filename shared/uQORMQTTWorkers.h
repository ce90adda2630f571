// The client's worker threads:
// - the reader reads and dispatches every inbound packet;
// - the keepalive thread pings a quiet link and declares a silent one dead
//   (and runs the reconnect loop itself when it noticed the loss);
// - the reconnect thread runs the reconnect loop when the reader noticed the
//   loss, so that a reader is free to read each new attempt's CONNACK.
// Each starts running when constructed and is joined by the client.
#pragma once

#include "uQORThread.h"

namespace qor {

class TQORMQTTClient;

class TQORMQTTReaderThread final : public TThread {
 public:
  explicit TQORMQTTReaderThread(TQORMQTTClient& AClient) : FClient(AClient) { Start(); }
  // The loop has given up (after a reader error); Finished follows shortly.
  bool Ending() const { return FEnding.load(); }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  TQORMQTTClient& FClient;
  std::atomic<bool> FEnding{false};
};

class TQORMQTTKeepaliveThread final : public TThread {
 public:
  explicit TQORMQTTKeepaliveThread(TQORMQTTClient& AClient) : FClient(AClient) { Start(); }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  TQORMQTTClient& FClient;
};

class TQORMQTTReconnectThread final : public TThread {
 public:
  explicit TQORMQTTReconnectThread(TQORMQTTClient& AClient) : FClient(AClient) { Start(); }

 protected:
  void Execute() override;
  void Uncaught(std::exception_ptr AError) noexcept override;

 private:
  TQORMQTTClient& FClient;
};

// Which client's worker, if any, the calling thread is, and whether it is that client's reader.
bool OnWorkerThreadOf(const TQORMQTTClient& AClient);
bool OnReaderThreadOf(const TQORMQTTClient& AClient);

}  // namespace qor
