// A client on an I/O context: what its reader, writer and keepalive threads
// do for a client with threads of its own, done instead by one loop of the
// context when the socket is ready or a deadline comes, and its reconnect
// attempts run on the context's connect threads.
//
// Everything but the calls marked "any thread" runs on the port's loop.
// Tasks hold the port (shared) and do nothing once it is detached, so the
// connection may go as soon as Detach has returned.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "uQORIOLoop.h"
#include "uQORMQTTConnection.h"
#include "uQORWriteQueue.h"

namespace qor {

class TIOContextCore;

class TContextPort final : public IIOPort, public IWriteDriver, public std::enable_shared_from_this<TContextPort> {
 public:
  TContextPort(TQORMQTTConnection& AConnection, std::shared_ptr<TIOContextCore> ACore);
  ~TContextPort() override;

  // --- any thread ----------------------------------------------------------------------
  // Joins the loop (once, right after construction).
  void Attach();
  // The link of AEpoch is handed over for reading.
  void Read(uint64_t AEpoch);
  void WantWrite() override;
  bool OnDriverThread() const override;
  // The session's deadlines have changed (a new session): looked at now.
  void Retick();
  // The link was lost and the client is to reconnect.
  void Reconnect();
  // Leaves the loop; afterwards nothing of the port runs. Not on a connect
  // thread running one of the connection's attempts.
  void Detach();

  // --- the loop ----------------------------------------------------------------------------
  void Ready(uint32_t AEvents) override;
  void Due() override;

 private:
  template <typename TTask>
  void Post(TTask ATask);
  void StartReading(uint64_t AEpoch);
  void StopReading();
  void OnReadable();
  // Feeds the whole packets at AData to the session, ATaken their bytes;
  // false once the link is done with (nothing of AData may be touched then).
  bool TakePackets(const uint8_t* AData, size_t ASize, size_t& ATaken);
  void Drain();
  // Watches the socket read for reading, and for writing while AWrite.
  void WatchFor(bool AWrite);
  void Arm();
  void ScheduleReconnect();
  void Attempt();

  TQORMQTTConnection& FC;
  const std::shared_ptr<TIOContextCore> FCore;  // kept while the client may still call
  TIOLoop& FLoop;
  std::atomic<bool> FDetached{false};
  std::atomic<bool> FWritePosted{false};
  // The link being read.
  TLink FLink;
  int FFd = -1;
  bool FWatchingWrites = false;
  std::unique_ptr<TQORMQTTConnection::TOutput> FReader;
  std::vector<uint8_t> FIn;  // bytes read that do not yet make a whole packet
  // The batch being written, and how much of it has gone.
  std::vector<TWriteQueue::TEntry> FBatch;
  std::shared_ptr<TBrokerStream> FBatchStream;
  size_t FBatchSent = 0;
  std::vector<iovec> FRest;  // what of it is left, kept between drains rather than allocated per write
  // Deadlines (CoarseNowNs).
  int64_t FKeepaliveAt = 0;
  int64_t FReconnectAt = INT64_MAX;
  int64_t FAckAt = INT64_MAX;  // when the stream's ACK asked for soon is due
  int FAttempt = 0;  // the number of the reconnect attempt due
};

}  // namespace qor
