// The byte stream between a client and its broker: TCP over IPv4 or IPv6,
// optionally wrapped in TLS by OpenSSL, or a Unix-domain socket; over TCP or
// TLS, optionally inside a WebSocket.
//
// One thread reads while another writes;
// a TLS session is only ever touched under the stream's own short lock, with
// the socket in non-blocking mode and waits done in poll() outside that lock.
// Release() may come from any thread: it shuts the socket down, which wakes a
// blocked read at once; the descriptor is closed only when the last owner
// lets go, so a read in progress never sees a reused descriptor.
//
// A WebSocket's frames must not interleave: whoever writes claims the
// stream's write side (an atomic flag, held across the socket writes of one
// frame, never a lock). The reader answers a ping itself when it can claim
// it; otherwise the writer sends the pong right after its frame.
#pragma once

#include <openssl/ssl.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "uQORByteSource.h"
#include "uQORErrors.h"
#include "uQORResolver.h"
#include "uReadPacer.h"
#include "uWebSocket.h"

namespace qor {

// A host as it is shown beside a port: an IPv6 address in brackets.
std::string HostForDisplay(const std::string& AHost);

// A host of the form "unix:/path" names a Unix-domain socket.
bool IsUnixSocket(const std::string& AHost);
// A broker as log lines and errors name it: host:port, the socket's path, or
// "ws://host:port/path" (the URL decides the port).
std::string Endpoint(const std::string& AHost, int32_t APort);

// Nanoseconds of the coarse monotonic clock (a few milliseconds of
// resolution, a fraction of the precise one's cost): the stamps of a link's
// life, taken per receive and per packet, only feed whole-second rules.
int64_t CoarseNowNs();

// The TLS session of the last handshake with one broker, offered again by
// the next one with the same broker so that it can be resumed (shorter:
// no certificate exchange). Shared by a client's streams; thread-safe.
class TTLSSessionCache {
 public:
  TTLSSessionCache() = default;
  ~TTLSSessionCache();
  TTLSSessionCache(const TTLSSessionCache&) = delete;
  TTLSSessionCache& operator=(const TTLSSessionCache&) = delete;
  // Keeps ASession (the cache takes the caller's reference) for AEndpoint.
  void Store(const std::string& AEndpoint, SSL_SESSION* ASession);
  // A new reference to the session kept for AEndpoint, or null.
  SSL_SESSION* Get(const std::string& AEndpoint);

 private:
  std::mutex FMutex;
  std::string FEndpoint;
  SSL_SESSION* FSession = nullptr;
};

struct TBrokerStreamOptions {
  std::string Host;  // a name, an address, or "unix:/path" (always plain)
  uint16_t Port = 0;
  int ConnectTimeoutMs = 10000;  // bounds the name lookup, the TCP connect and the TLS handshake together
  bool UseSSL = false;
  bool VerifyPeer = false;     // TLS: check the chain (and with VerifyHostName the host name)
  std::string CAFile;          // TLS with VerifyPeer: trusted CAs; CAFile and CAPath empty: the system store
  std::string CAPath;          // TLS with VerifyPeer: a directory of hashed CA certificates, beside CAFile
  bool VerifyHostName = true;  // with VerifyPeer: the certificate must name Host
  std::string CertFile;     // TLS: the client's certificate chain (PEM), sent when the broker asks
  std::string KeyFile;      // its private key (PEM)
  std::string KeyPassword;  // for an encrypted key; never shown
  std::vector<std::string> ALPN;  // protocols offered, in order of preference
  int MinTLSVersion = 0;    // e.g. TLS1_2_VERSION; 0: any OpenSSL offers
  std::string Ciphers;      // OpenSSL cipher list for TLS 1.2 and below; empty: OpenSSL's
  TTLSSessionCache* Sessions = nullptr;  // resume the last session with this broker; null: never
  // Looks names up within the deadline; without it, the lookup is unbounded.
  TResolver* Resolver = nullptr;
  // When set and it turns true, a lookup, connect or handshake under way gives up
  // within 100 ms: stopping a client must not wait out a silent host.
  const std::atomic<bool>* Cancel = nullptr;
  // Set, with a pause above 0: while messages stream in, each read that
  // would find nothing waiting pauses this long first (see TReadPacer).
  TReadPacer* Pacer = nullptr;
  int64_t ReadPauseNs = 0;
  // Set: MQTT travels in a WebSocket to this address (Host, Port and UseSSL
  // are its own), upgraded within the connect deadline.
  std::optional<TWebSocketAddress> WebSocket;
  TWebSocketHeaders WebSocketHeaders;  // further headers of the upgrade request
};

class TBrokerStream final : public IByteSource {
 public:
  // Connects (and completes the TLS handshake and the WebSocket upgrade) or
  // raises ESocketError (EResolveError for a name that does not resolve,
  // ETLSError for TLS; a refused upgrade says what the host answered).
  static std::shared_ptr<TBrokerStream> Open(const TBrokerStreamOptions& AOptions);
  ~TBrokerStream() override;
  TBrokerStream(const TBrokerStream&) = delete;
  TBrokerStream& operator=(const TBrokerStream&) = delete;

  // Bounds every later read's wait (the reader then looks again); 0: no bound.
  void SetIOTimeout(int AMilliseconds) { FIOTimeoutMs = AMilliseconds; }

  // Served from an internal buffer that one receive of up to 16 KiB fills.
  int Read(uint8_t* ABuffer, int ACount) override;
  // As Read, but never waits: 0 with LastReadTimedOut() when nothing has
  // arrived. For a reader driven by readiness (an I/O context's loop).
  int ReadAvailable(uint8_t* ABuffer, int ACount);
  // The socket, for readiness; the stream keeps owning it.
  int Descriptor() const { return FFd; }
  // Whether the last Read that delivered nothing ended by the I/O time-out
  // (rather than by end of stream, an error or a release).
  bool LastReadTimedOut() const { return FLastReadTimedOut; }
  // The next MQTT packet has arrived whole: reading it takes no system call
  // and no wait (never told in a WebSocket, where frames cut it). For the
  // reading thread.
  bool WholePacketBuffered() const;
  // Why the stream ended under the reader (the broker closed it, a TLS
  // alert, a socket error); for the reading thread.
  const std::string& EndReason() const { return FEndReason; }
  // When bytes last arrived (CoarseNowNs); 0 before the first. Any thread:
  // bytes arriving, not whole packets, are what tells a live link.
  int64_t LastReceived() const { return FLastReceived; }
  // Bytes have arrived that nobody has read yet (the reader is busy in a
  // handler, say); any thread.
  bool BytesWaiting() const;
  // Has TCP acknowledge what arrived now rather than with the next write
  // or after its delay (a Unix socket has no ACKs to delay); for the reading thread.
  void AcknowledgeAtOnce() const;
  // As AcknowledgeAtOnce, in about 2 ms, unless more arrives first (a write
  // meanwhile carries the ACK itself). A blocking read waits for it; a
  // reader driven by readiness calls AcknowledgeIfDue at AcknowledgeDue()
  // (NowMs-based; 0: none). For the reading thread.
  void AcknowledgeSoon();
  int64_t AcknowledgeDue() const { return FAckDueMs; }
  void AcknowledgeIfDue();
  // After the client's DISCONNECT has been written: reads deliver nothing
  // more, it says goodbye as Release does and shuts the write side, then
  // waits until the broker has closed its side, at most AMaxMs. Release follows.
  void Finish(int AMaxMs);
  // How far the bytes written have got: AWritten handed to the kernel so
  // far, AAcknowledged of them taken by the broker's host. A write returns
  // while megabytes may still be on their way over a slow link. False where
  // it cannot be told (a Unix socket). Any thread.
  bool Delivery(uint64_t& AAcknowledged, uint64_t& AWritten) const;

  // The parts in order, as one write: over TCP one system call per attempt,
  // so packets and payloads leave from their own memory; in a WebSocket one
  // binary frame. AParts is used up.
  // Sends every byte or raises ESocketError; never raises SIGPIPE. It times
  // out ("Write to <broker> timed out") when the link takes nothing until
  // AStallDeadline(the last progress) (CoarseNowNs; without it, never).
  void Write(iovec* AParts, size_t ACount, const std::function<int64_t(int64_t)>& AStallDeadline = {});

  // As much of the parts as the socket takes at once, without waiting: the
  // bytes sent. Only where AllowsPartialWrites(); raises ESocketError when
  // the link is broken.
  size_t TryWrite(const iovec* AParts, size_t ACount);
  // Whether a write may stop part-way and go on later from another call:
  // plain TCP and Unix sockets. A TLS record or a WebSocket frame must be
  // written whole by the call that began it.
  bool AllowsPartialWrites() const { return FSSL == nullptr && !FWebSocket; }
  bool IsWebSocket() const { return FWebSocket; }
  // The protocol the broker chose by ALPN; empty when none. Asked right
  // after Open, before the stream is shared.
  std::string ALPNSelected() const;
  // The handshake resumed an earlier session.
  bool Resumed() const { return FResumed; }

  // Ends the connection under its reader's feet without marking it released:
  // the reader sees a broken link (after a failed write, say), and AReason
  // tells it why rather than a close by the broker.
  void Abort(const std::string& AReason);
  // Why Abort ended the stream; empty when it did not. For the reader.
  std::string AbortReason() const { return FAborted ? FAbortReason : std::string(); }

  // Ends the connection (TLS close notify, then shutdown). Idempotent.
  void Release();
  bool Released() const { return FReleased; }

 private:
  TBrokerStream(int AFd, const TBrokerStreamOptions& AOptions);
  void StartTLS(int64_t ADeadline);
  // Asks for the WebSocket and reads the answer; bytes after it stay in the buffer.
  void Upgrade(int64_t ADeadline);
  // The parts to the socket (TLS or not) until every byte has gone;
  // ADeadline() is asked again after each progress.
  void WriteAll(iovec* AParts, size_t ACount, const std::function<int64_t()>& ADeadline,
                const std::atomic<bool>* ACancel = nullptr);
  // The parts as one binary frame, masked piece by piece.
  void WriteFrame(iovec* AParts, size_t ACount, const std::function<int64_t()>& ADeadline);
  // Waits while another thread holds the write side; raises once released.
  void ClaimWriteSide();
  // A WebSocket's close frame and TLS's close_notify, once.
  void SayGoodbye();
  void ReleaseWriteSide();
  // A pong or close the reader owes, sent by whoever holds the write side next.
  void OweControl(uint8_t AOpcode, const std::vector<uint8_t>& APayload);
  void SendPendingControl();
  int ReadWebSocket(uint8_t* ABuffer, int ACount);
  // The client's own certificate, ALPN, version floor and ciphers.
  void ConfigureClientTLS();
  // The reader's receive: while messages stream in and nothing is waiting
  // yet, it pauses first (see TReadPacer), and it tells the pacer what came.
  int ReceivePaced(uint8_t* ABuffer, int ACount);
  // One receive into ABuffer, waiting up to ADeadline.
  int Receive(uint8_t* ABuffer, int ACount, int64_t ADeadline, const std::atomic<bool>* ACancel = nullptr);
  // Waits for AEvents on the socket; 1 ready, 0 time-out, -1 error, released or cancelled.
  int WaitReady(short AEvents, int64_t ADeadline, const std::atomic<bool>* ACancel = nullptr) const;
  int64_t IODeadline() const;
  // A deadline of CoarseNowNs as one of the steady clock's milliseconds.
  static int64_t SteadyDeadline(int64_t ADeadline);

  static constexpr int kBufferSize = 16384;
  static constexpr size_t kCoalesceBytes = 64 * 1024;
  static constexpr size_t kFramePiece = 64 * 1024;  // a frame is masked and sent this much at a time

  int FFd;
  TBrokerStreamOptions FOptions;
  SSL_CTX* FContext = nullptr;
  SSL* FSSL = nullptr;
  std::mutex FSSLLock;  // guards FSSL: OpenSSL sessions are not shared between threads
  std::atomic<bool> FReleased{false};
  std::atomic<bool> FGoodbyeSaid{false};  // a WebSocket's close, TLS's close_notify: once
  std::atomic<bool> FFinishing{false};    // Finish under way: reads deliver nothing
  int64_t FAckDueMs = 0;                  // see AcknowledgeSoon; the reading thread's
  std::atomic<int> FIOTimeoutMs{0};
  std::atomic<bool> FLastReadTimedOut{false};
  std::atomic<int64_t> FLastReceived{0};
  std::atomic<bool> FAbortClaimed{false};  // the first Abort writes the reason
  std::string FAbortReason;                // written once, before FAborted is set
  std::atomic<bool> FAborted{false};
  // Read side, used by the one reading thread only.
  // Allocated at its first use: a reader that reads into its own memory
  // (an I/O context's, with many idle clients) never pays for it.
  uint8_t* Buffer();
  std::unique_ptr<uint8_t[]> FBuffer;
  bool FNoWait = false;  // the read under way returns rather than wait
  int FBufferPos = 0;
  int FBufferLen = 0;
  std::string FEndReason;
  bool FResumed = false;  // set by the handshake, before the stream is shared
  std::string FEndpoint;  // the session cache's key for this broker
  // Write side, used by the one writing thread only.
  std::vector<uint8_t> FCoalesced;
  // WebSocket: set by Open before the stream is shared.
  bool FWebSocket = false;
  TWebSocketDecoder FDecoder;  // the reader's
  TMaskSource FReaderMasks;    // the reader's, for the control frames it owes
  bool FDecoderEnded = false;  // the reader's: a close or a fault has been read
  // Whoever holds it writes frames: the writer, or the reader for a pong.
  std::atomic<bool> FWriting{false};
  TMaskSource FMasks;                  // used under FWriting
  std::vector<uint8_t> FFrame;         // a frame's piece being sent; under FWriting
  std::mutex FControlLock;             // guards FControlFrame; held for no system call
  std::vector<uint8_t> FControlFrame;  // the pong or close owed, whole and masked
  std::atomic<bool> FControlPending{false};
};

}  // namespace qor
