#include "uQORMQTTWorkers.h"

#include "uBrokerStream.h"
#include "uQORMQTTClient.h"
#include "uQORMQTTPacketReader.h"

namespace qor {

namespace {

thread_local const TQORMQTTClient* tWorkerOf = nullptr;
thread_local bool tIsReader = false;

// Marks the calling thread as a worker of AClient for as long as it lives.
struct TWorkerRole {
  TWorkerRole(const TQORMQTTClient& AClient, bool AIsReader) {
    tWorkerOf = &AClient;
    tIsReader = AIsReader;
  }
};

// An idle reader looks for a stream this often; also its pause after a
// stream that ended, so a closed connection cannot spin a core.
constexpr int kIdlePassMs = 100;

}  // namespace

bool OnWorkerThreadOf(const TQORMQTTClient& AClient) { return tWorkerOf == &AClient; }
bool OnReaderThreadOf(const TQORMQTTClient& AClient) { return tWorkerOf == &AClient && tIsReader; }

void TQORMQTTReaderThread::Uncaught(std::exception_ptr AError) noexcept {
  FEnding = true;
  FClient.LogThreadError("Reader", AError);
}

void TQORMQTTKeepaliveThread::Uncaught(std::exception_ptr AError) noexcept {
  FClient.LogThreadError("Keepalive", AError);
}

void TQORMQTTReconnectThread::Uncaught(std::exception_ptr AError) noexcept {
  FClient.LogThreadError("Reconnect", AError);
}

void TQORMQTTReaderThread::Execute() {
  TWorkerRole role(FClient, true);
  TQORMQTTClient& c = FClient;
  while (!Terminated()) {
    const std::shared_ptr<TBrokerStream> stream = c.CurrentStream();
    if (!stream) {
      Sleep(kIdlePassMs);
      continue;
    }
    try {
      TPacketReader in(*stream);
      uint8_t header;
      if (!in.TryReadByte(header)) {
        if (Terminated() || c.FUserDisconnect) break;
        if (stream->LastReadTimedOut()) continue;  // an idle link; the keepalive thread judges it
        // The stream has ended. In an established session that is a lost
        // link; otherwise (handshake, released on purpose) wait for a new one.
        if (!stream->Released() && c.FStatus == mqConnected)
          throw ESocketError("Connection closed by broker");
        Sleep(kIdlePassMs);
        continue;
      }
      c.Dispatch(in, header, stream.get());
    } catch (...) {
      if (Terminated() || c.FUserDisconnect) break;
      if (stream->Released()) {
        // Released under us on purpose (a retry at 3.1.1, say): nothing was lost.
        Sleep(kIdlePassMs);
        continue;
      }
      const TErrorDescription error = DescribeError(std::current_exception());
      c.Log("Reader thread error: %s: %s", error.ClassName.c_str(), error.Message.c_str());
      if (c.FStatus != mqConnected) {
        // No session yet, so no loss to report and no reconnect of the
        // reader's own: the attempt waiting for its CONNACK fails by itself.
        stream->Release();
        Sleep(kIdlePassMs);
        continue;
      }
      FEnding = true;
      c.DoDisconnect(mqrcUnspecifiedError, false);
      break;
    }
  }
  FEnding = true;
}

void TQORMQTTKeepaliveThread::Execute() {
  TWorkerRole role(FClient, false);
  TQORMQTTClient& c = FClient;
  const int32_t fullInterval = c.KeepAliveSecs;
  const int32_t halfInterval = std::max<int32_t>(fullInterval / 2, 1);
  // Keepalive 0 means no keepalive at all: nothing to ping, nothing to time out.
  const bool enabled = fullInterval > 0;
  while (!Terminated()) {
    if (Sleep(1000)) break;
    if (!enabled || c.FStatus != mqConnected) continue;
    const double elapsedSend = c.SecondsSince(c.FLastSendTime);
    const double elapsedRecv = c.SecondsSince(c.FLastRecvTime);
    if (elapsedSend >= halfInterval) {
      try {
        c.SendBytes(c.BuildPingReq());
        c.Log("PINGREQ sent");
      } catch (...) {
        c.Log("Keepalive PINGREQ failed: %s", DescribeError(std::current_exception()).Message.c_str());
      }
    }
    if (elapsedRecv >= fullInterval) {
      c.Log("No data received for %ds \xE2\x80\x94 keepalive timeout, reconnecting", fullInterval);
      c.DoDisconnect(mqrcUnspecifiedError, false);
    }
  }
}

void TQORMQTTReconnectThread::Execute() {
  TWorkerRole role(FClient, false);
  FClient.ReconnectLoop();
}

}  // namespace qor
