// TQORMQTTIOContext: a few threads that drive many clients. A client whose
// IOContext field points at a context when it connects has no thread of its
// own: the context's loop threads read its socket (epoll), write what its
// write queue holds when the socket has room, keep its link alive at the
// session's deadlines and wait out its reconnect delays; the context's
// connect threads open its links (name lookup, TCP connect, TLS handshake,
// WebSocket upgrade) and wait for the CONNACK, a bounded number at a time.
// Everything else is the same as for a client with threads of its own.
//
// Thread rules for a client on a context
// - Every callback runs on one of the context's threads: OnMessage,
//   OnMessageReceived, OnAuth, OnAcknowledgement, the complete events and
//   OnDisconnect on the client's loop thread (one loop serves each client
//   for its life, so its callbacks never overlap); OnConnected on the
//   connect thread that completed the connect (or on the caller's, for the
//   blocking Connect); OnLog on any of them and on the caller's.
// - A handler runs on a thread that serves many clients: while it runs, the
//   others of its loop wait. Keep handlers short, and hand long work to a
//   thread of the program's.
// - A handler must never call Connect, ConnectAsync or Disconnect, nor
//   destroy a client, of any client on the same context: the client raises
//   an error instead (destroying one waits for the context's threads).
//   Publish, Subscribe and Unsubscribe are fine: in a handler they never
//   wait for room in the write queue (a handler that publishes more than the
//   link takes lets the queue grow beyond its bound rather than stall the loop).
// - The context must outlive its clients: destroy (or Disconnect) every
//   client first. A client is attached to the context at Connect and keeps
//   it until it is disconnected; the field is read only then.
#pragma once

#include <cstddef>
#include <memory>

#include "uQORMQTTExport.h"

namespace qor {

class TIOContextCore;

/// How many threads a TQORMQTTIOContext has.
struct TQORMQTTIOContextOptions {
  /// Loop threads, 0 to 256; 0: one per core.
  int Threads = 0;
  /// Connects under way at once, 1 to 1024 (each on a connect thread of the
  /// context, from the name lookup to the CONNACK); further ones wait their turn.
  int Connecting = 16;
};

/// A few threads that drive many clients (see the top of this header).
/// Options out of range raise EInvalidArgument.
class QORMQTT_EXPORT TQORMQTTIOContext {
 public:
  /// One loop thread per core, 16 connect threads.
  TQORMQTTIOContext();
  /// As AOptions says.
  explicit TQORMQTTIOContext(const TQORMQTTIOContextOptions& AOptions);
  /// Stops and joins the threads. Every client must be disconnected first:
  /// one still attached is no longer read, written or kept alive (its
  /// Disconnect still works).
  ~TQORMQTTIOContext();
  TQORMQTTIOContext(const TQORMQTTIOContext&) = delete;
  TQORMQTTIOContext& operator=(const TQORMQTTIOContext&) = delete;

  /// The loop threads.
  int Threads() const;
  /// Clients attached now.
  size_t Clients() const;

  /// The library's own: shared by the clients attached, so that a client
  /// left attached when the context goes finds stopped threads, not freed memory.
  const std::shared_ptr<TIOContextCore>& Core() const { return FCore; }

 private:
  std::shared_ptr<TIOContextCore> FCore;
};

}  // namespace qor
