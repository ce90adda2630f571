// The one way bytes leave for the broker. A packet is written at once by
// the thread that sends it when the link is idle and takes it whole (a
// hand-over to the writer thread would cost a wake-up on the way out); else
// it joins the write queue, which the writer thread drains in batches. The
// writer starts with the first packet that has to wait: a client whose
// packets all leave at once (a quiet one, say) never pays for the thread.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "uQORMQTTEvents.h"
#include "uQORMQTTLink.h"
#include "uQORMQTTSession.h"
#include "uQORWriteQueue.h"

namespace qor {

class TQORMQTTWriterThread;

class TLinkOutput {
 public:
  TLinkOutput(TWriteQueue& AQueue, TQORMQTTSession& ASession, const TClientEvents& AEvents, const TBrokerLink& ALink);
  ~TLinkOutput();

  // False when there was no link to send it on, or writing it broke the
  // link (AMode.Tail or Flush: when it was not written). AOnly: false,
  // nothing sent, unless the link open now is that stream's.
  bool Send(TBytes APacket, const TSendMode& AMode, const TBrokerStream* AOnly = nullptr);
  bool OnWriterThread() const;
  // Stopping: the writer is told, and ends once the queue stops; Join waits for it.
  void Terminate();
  void Join();

  // --- for the writer thread -------------------------------------------------------
  TWriteQueue& Queue() { return FQueue; }
  // Writes AParts to AStream; a failure ends the link (logged, reader told).
  bool WriteOut(TBrokerStream& AStream, iovec* AParts, size_t ACount);
  // A packet has been written to AStream: a PINGREQ's answer is awaited from now on.
  void Written(const TBytes& APacket, const TBrokerStream& AStream);
  // Bytes have left on a link: it is making progress.
  void Progress();
  // A link that cannot be written to is broken: its reader is told so by
  // the stream, and reports the loss as for any broken link.
  void Failed(TBrokerStream& AStream, const std::string& AError);

 private:
  void EnsureWriter();

  TWriteQueue& FQueue;
  TQORMQTTSession& FSession;
  const TClientEvents& FEvents;
  const TBrokerLink& FLink;
  mutable std::mutex FMutex;  // the writer thread object
  std::unique_ptr<TQORMQTTWriterThread> FWriter;
  std::atomic<bool> FWriterRunning{false};  // FWriter's loop runs; set under FMutex
};

}  // namespace qor
