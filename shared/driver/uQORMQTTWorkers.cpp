#include "uQORMQTTWorkers.h"

#include "uQORMQTTConnection.h"

namespace qor {

void TQORMQTTReaderThread::Execute() {
  uint64_t epoch = 0;
  while (!Terminated()) {
    const TLink link = FConnection.WaitForLink(epoch, *this);
    if (!link.Stream) break;
    epoch = link.Epoch;
    if (!FConnection.ReadLink(link, *this)) break;
  }
  FRetired = true;
}

void TQORMQTTReaderThread::Uncaught(std::exception_ptr AError) noexcept {
  FRetired = true;
  FConnection.LogThreadError("Reader", AError);
}

void TQORMQTTKeepaliveThread::Execute() {
  while (!Terminated()) FConnection.Supervise(*this);
}

void TQORMQTTKeepaliveThread::Uncaught(std::exception_ptr AError) noexcept {
  FConnection.LogThreadError("Keepalive", AError);
}

void TQORMQTTWriterThread::Execute() { FConnection.WriteLoop(); }

void TQORMQTTWriterThread::Uncaught(std::exception_ptr AError) noexcept {
  FConnection.LogThreadError("Writer", AError);
}

}  // namespace qor
