#include "uBrokerStream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <linux/sockios.h>
#include <linux/tcp.h>  // its tcp_info has the bytes acknowledged; glibc's lacks them
#include <sys/ioctl.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>

namespace qor {

bool IsUnixSocket(const std::string& AHost) { return AHost.rfind("unix:", 0) == 0; }

std::string Endpoint(const std::string& AHost, int32_t APort) {
  if (IsUnixSocket(AHost)) return AHost;
  if (IsWebSocketURL(AHost)) {
    std::string error;
    const auto address = ParseWebSocketURL(AHost, error);
    return address ? address->Display() : RedactedURL(AHost);
  }
  return HostForDisplay(AHost) + ":" + std::to_string(APort);
}

std::string HostForDisplay(const std::string& AHost) {
  return AHost.find(':') != std::string::npos && !IsUnixSocket(AHost) ? "[" + AHost + "]" : AHost;
}

int64_t CoarseNowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr int64_t kNoDeadline = -1;

std::string Endpoint(const TBrokerStreamOptions& AOptions) {
  return AOptions.WebSocket ? AOptions.WebSocket->Display() : qor::Endpoint(AOptions.Host, AOptions.Port);
}

std::string OpenSSLError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "unknown TLS error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool IsRetry(int AErrno) { return AErrno == EAGAIN || AErrno == EWOULDBLOCK || AErrno == EINTR; }

// A socket BIO that sends with MSG_NOSIGNAL: a peer that has reset the
// connection must fail the write, not kill the process with SIGPIPE.
int BioWrite(BIO* ABio, const char* AData, int ALength) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(ABio)));
  BIO_clear_retry_flags(ABio);
  const ssize_t n = send(fd, AData, static_cast<size_t>(ALength), MSG_NOSIGNAL);
  if (n < 0 && IsRetry(errno)) BIO_set_retry_write(ABio);
  return static_cast<int>(n);
}

int BioRead(BIO* ABio, char* AData, int ALength) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(ABio)));
  BIO_clear_retry_flags(ABio);
  const ssize_t n = recv(fd, AData, static_cast<size_t>(ALength), 0);
  if (n < 0 && IsRetry(errno)) BIO_set_retry_read(ABio);
  return static_cast<int>(n);
}

long BioCtrl(BIO*, int ACommand, long, void*) { return ACommand == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* ABio) {
  BIO_set_init(ABio, 1);
  return 1;
}

BIO* NewSocketBio(int AFd) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qor socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    return m;
  }();
  BIO* bio = BIO_new(method);
  if (bio) BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(AFd)));
  return bio;
}

bool IsIPLiteral(const std::string& AHost) {
  in6_addr addr{};
  return inet_pton(AF_INET, AHost.c_str(), &addr) == 1 || inet_pton(AF_INET6, AHost.c_str(), &addr) == 1;
}

// The addresses AHost has, IPv4 and IPv6, in the resolver's order; the
// caller frees them. Raises EResolveError.
addrinfo* Resolve(const TBrokerStreamOptions& AOptions, int64_t ADeadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // An address needs no lookup; a name is looked up within the deadline.
  if (IsIPLiteral(AOptions.Host)) {
    hints.ai_flags = AI_NUMERICHOST;
  } else if (AOptions.Resolver) {
    return AOptions.Resolver->Resolve(AOptions.Host, AOptions.Port,
                                      ADeadline == kNoDeadline ? -1 : std::max<int64_t>(ADeadline - NowMs(), 0),
                                      AOptions.Cancel);
  }
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(AOptions.Host.c_str(), std::to_string(AOptions.Port).c_str(), &hints, &found);
  if (rc != 0) throw EResolveError("Cannot resolve host \"" + AOptions.Host + "\": " + gai_strerror(rc));
  return found;
}

// Waits for AEvents: 1 ready, 0 deadline passed, -1 error or cancelled.
int PollFor(int AFd, short AEvents, int64_t ADeadline, const std::atomic<bool>* ACancel = nullptr) {
  constexpr int64_t kCancelCheckMs = 100;
  for (;;) {
    if (ACancel && ACancel->load()) return -1;
    int64_t timeout = -1;
    if (ADeadline != kNoDeadline) {
      timeout = ADeadline - NowMs();
      if (timeout <= 0) return 0;
    }
    if (ACancel) timeout = timeout < 0 ? kCancelCheckMs : std::min(timeout, kCancelCheckMs);
    pollfd p{AFd, AEvents, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(timeout, INT_MAX)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r > 0) return 1;
    if (!ACancel) return 0;  // with a cancel flag, a slice ended: look again
  }
}

// A non-blocking connect to one address, bounded by ADeadline; the socket or -1 with AError set.
int ConnectOne(int AFamily, const sockaddr* AAddress, socklen_t ALength, int64_t ADeadline,
               const std::atomic<bool>* ACancel, std::string& AError) {
  const int fd = socket(AFamily, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    AError = std::strerror(errno);
    return -1;
  }
  for (;;) {
    if (connect(fd, AAddress, ALength) == 0) return fd;
    // A Unix socket whose listener's backlog is full says so at once, where
    // TCP would wait: many clients connecting together try again shortly.
    if (errno != EAGAIN || AFamily != AF_UNIX) break;
    if ((ADeadline != kNoDeadline && NowMs() >= ADeadline) || (ACancel && ACancel->load())) {
      AError = ACancel && ACancel->load() ? "cancelled" : "timed out";
      close(fd);
      return -1;
    }
    const timespec pause{0, 2'000'000};
    nanosleep(&pause, nullptr);
  }
  if (errno == EINPROGRESS) {
    const int ready = PollFor(fd, POLLOUT, ADeadline, ACancel);
    int soError = 0;
    socklen_t len = sizeof soError;
    if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0)
      return fd;
    AError = ready == 0                      ? "timed out"
             : ACancel && ACancel->load() ? "cancelled"
                                             : std::strerror(soError ? soError : errno);
  } else {
    AError = std::strerror(errno);
  }
  close(fd);
  return -1;
}

}  // namespace

std::shared_ptr<TBrokerStream> TBrokerStream::Open(const TBrokerStreamOptions& AOptions) {
  const int64_t deadline =
      AOptions.ConnectTimeoutMs > 0 ? NowMs() + AOptions.ConnectTimeoutMs : kNoDeadline;
  int fd = -1;
  std::string error = "no address";
  const bool unixSocket = IsUnixSocket(AOptions.Host);
  if (unixSocket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = AOptions.Host.substr(5);
    if (path.empty() || path.size() >= sizeof address.sun_path)
      throw ESocketError("Unix socket path of " + std::to_string(path.size()) + " bytes: it must have 1 to " +
                         std::to_string(sizeof address.sun_path - 1));
    std::memcpy(address.sun_path, path.data(), path.size());
    fd = ConnectOne(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline, AOptions.Cancel,
                    error);
  } else {
    addrinfo* found = Resolve(AOptions, deadline);
    // Every address the name has, in the resolver's order, until one answers.
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next)
      fd = ConnectOne(a->ai_family, a->ai_addr, a->ai_addrlen, deadline, AOptions.Cancel, error);
    freeaddrinfo(found);
  }
  if (fd < 0) throw ESocketError("Connect to " + Endpoint(AOptions) + " failed: " + error);

  const int one = 1;
  if (!unixSocket) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::shared_ptr<TBrokerStream> stream(new TBrokerStream(fd, AOptions));
  // A local socket is plain: nobody in between to protect it from.
  if (AOptions.UseSSL && !unixSocket) stream->StartTLS(deadline);
  if (AOptions.WebSocket && !unixSocket) stream->Upgrade(deadline);
  return stream;
}

TBrokerStream::TBrokerStream(int AFd, const TBrokerStreamOptions& AOptions)
    : FFd(AFd), FOptions(AOptions) {}

uint8_t* TBrokerStream::Buffer() {
  if (!FBuffer) FBuffer.reset(new uint8_t[kBufferSize]);
  return FBuffer.get();
}

TBrokerStream::~TBrokerStream() {
  Release();
  if (FSSL) SSL_free(FSSL);
  if (FContext) SSL_CTX_free(FContext);
  close(FFd);
}

void TBrokerStream::StartTLS(int64_t ADeadline) {
  ERR_clear_error();
  FContext = SSL_CTX_new(TLS_client_method());
  if (!FContext) throw ETLSError("TLS unavailable: " + OpenSSLError());
  if (FOptions.VerifyPeer) {
    SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    const bool own = !FOptions.CAFile.empty() || !FOptions.CAPath.empty();
    // OpenSSL takes a missing directory without a word, and every chain
    // would then fail as of an unknown issuer: say what is wrong instead.
    struct stat info {};
    if (!FOptions.CAPath.empty() && (stat(FOptions.CAPath.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
      throw ETLSError("Cannot load trusted certificates \"" + FOptions.CAPath + "\": not a directory");
    const int loaded =
        own ? SSL_CTX_load_verify_locations(FContext, FOptions.CAFile.empty() ? nullptr : FOptions.CAFile.c_str(),
                                            FOptions.CAPath.empty() ? nullptr : FOptions.CAPath.c_str())
            : SSL_CTX_set_default_verify_paths(FContext);
    if (loaded != 1)
      throw ETLSError("Cannot load trusted certificates \"" +
                      (FOptions.CAFile.empty() ? FOptions.CAPath : FOptions.CAFile) + "\": " + OpenSSLError());
  } else {
    SSL_CTX_set_verify(FContext, SSL_VERIFY_NONE, nullptr);
  }
  ConfigureClientTLS();

  FSSL = SSL_new(FContext);
  BIO* bio = FSSL ? NewSocketBio(FFd) : nullptr;
  if (!bio) throw ETLSError("TLS unavailable: " + OpenSSLError());
  SSL_set_bio(FSSL, bio, bio);
  SSL_set_mode(FSSL, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (FOptions.Sessions) {
    FEndpoint = Endpoint(FOptions);
    SSL_set_app_data(FSSL, &FEndpoint);
    if (SSL_SESSION* last = FOptions.Sessions->Get(FEndpoint)) {
      SSL_set_session(FSSL, last);
      SSL_SESSION_free(last);
    }
  }
  const bool ipLiteral = IsIPLiteral(FOptions.Host);
  // Server name indication names hosts, never addresses.
  if (!ipLiteral) SSL_set_tlsext_host_name(FSSL, FOptions.Host.c_str());
  if (FOptions.VerifyPeer && FOptions.VerifyHostName) {
    X509_VERIFY_PARAM* param = SSL_get0_param(FSSL);
    if (ipLiteral) {
      X509_VERIFY_PARAM_set1_ip_asc(param, FOptions.Host.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(FSSL, FOptions.Host.c_str());
    }
  }

  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(FSSL);
    if (r == 1) {
      FResumed = SSL_session_reused(FSSL) == 1;
      return;
    }
    const int err = SSL_get_error(FSSL, r);
    int ready = -1;
    if (err == SSL_ERROR_WANT_READ) {
      ready = PollFor(FFd, POLLIN, ADeadline, FOptions.Cancel);
    } else if (err == SSL_ERROR_WANT_WRITE) {
      ready = PollFor(FFd, POLLOUT, ADeadline, FOptions.Cancel);
    } else {
      const long verify = SSL_get_verify_result(FSSL);
      if (FOptions.VerifyPeer && verify != X509_V_OK)
        throw ETLSError("TLS certificate of " + Endpoint(FOptions) +
                        " not accepted: " + X509_verify_cert_error_string(verify));
      throw ETLSError("TLS handshake with " + Endpoint(FOptions) + " failed: " + OpenSSLError());
    }
    if (ready == 0) throw ETLSError("TLS handshake with " + Endpoint(FOptions) + " timed out");
    if (ready < 0)
      throw ETLSError("TLS handshake with " + Endpoint(FOptions) +
                      (FOptions.Cancel && FOptions.Cancel->load() ? " cancelled" : " failed"));
  }
}

namespace {

// OpenSSL asks for the key's password through this; the password itself is
// never part of an error text.
int KeyPassword(char* ABuffer, int ASize, int, void* APassword) {
  const std::string& password = *static_cast<const std::string*>(APassword);
  const int n = static_cast<int>(std::min<size_t>(password.size(), static_cast<size_t>(ASize)));
  std::memcpy(ABuffer, password.data(), static_cast<size_t>(n));
  return n;
}

}  // namespace

TTLSSessionCache::~TTLSSessionCache() {
  if (FSession) SSL_SESSION_free(FSession);
}

void TTLSSessionCache::Store(const std::string& AEndpoint, SSL_SESSION* ASession) {
  SSL_SESSION* old;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    old = FSession;
    FSession = ASession;
    FEndpoint = AEndpoint;
  }
  if (old) SSL_SESSION_free(old);
}

SSL_SESSION* TTLSSessionCache::Get(const std::string& AEndpoint) {
  std::lock_guard<std::mutex> guard(FMutex);
  if (!FSession || FEndpoint != AEndpoint || SSL_SESSION_is_resumable(FSession) != 1) return nullptr;
  SSL_SESSION_up_ref(FSession);
  return FSession;
}

namespace {

// A new session (TLS 1.3: a ticket after the handshake, read by the
// reader) goes to the client's cache; 1: the cache took the reference.
int NewSession(SSL* ASSL, SSL_SESSION* ASession) {
  auto* cache = static_cast<TTLSSessionCache*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ASSL)));
  const auto* endpoint = static_cast<const std::string*>(SSL_get_app_data(ASSL));
  if (!cache || !endpoint) return 0;
  cache->Store(*endpoint, ASession);
  return 1;
}

}  // namespace

void TBrokerStream::ConfigureClientTLS() {
  if (FOptions.Sessions) {
    SSL_CTX_set_session_cache_mode(FContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_set_app_data(FContext, FOptions.Sessions);
    SSL_CTX_sess_set_new_cb(FContext, NewSession);
  }
  if (FOptions.MinTLSVersion != 0 && SSL_CTX_set_min_proto_version(FContext, FOptions.MinTLSVersion) != 1)
    throw ETLSError("TLS minimum version " + std::to_string(FOptions.MinTLSVersion) + " not known to OpenSSL");
  if (!FOptions.Ciphers.empty() && SSL_CTX_set_cipher_list(FContext, FOptions.Ciphers.c_str()) != 1)
    throw ETLSError("TLS cipher list \"" + FOptions.Ciphers + "\" not usable: " + OpenSSLError());
  if (!FOptions.ALPN.empty()) {
    // The wire form: each name behind its length byte.
    std::vector<uint8_t> protocols;
    for (const std::string& name : FOptions.ALPN) {
      if (name.empty() || name.size() > 255) throw ETLSError("ALPN protocol names must have 1 to 255 bytes");
      protocols.push_back(static_cast<uint8_t>(name.size()));
      protocols.insert(protocols.end(), name.begin(), name.end());
    }
    if (SSL_CTX_set_alpn_protos(FContext, protocols.data(), static_cast<unsigned>(protocols.size())) != 0)
      throw ETLSError("TLS ALPN not usable: " + OpenSSLError());
  }
  if (FOptions.CertFile.empty() && FOptions.KeyFile.empty()) return;
  SSL_CTX_set_default_passwd_cb(FContext, KeyPassword);
  SSL_CTX_set_default_passwd_cb_userdata(FContext, &FOptions.KeyPassword);
  if (SSL_CTX_use_certificate_chain_file(FContext, FOptions.CertFile.c_str()) != 1)
    throw ETLSError("Cannot load client certificate \"" + FOptions.CertFile + "\": " + OpenSSLError());
  const std::string& keyFile = FOptions.KeyFile.empty() ? FOptions.CertFile : FOptions.KeyFile;
  if (SSL_CTX_use_PrivateKey_file(FContext, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw ETLSError("Cannot load client key \"" + keyFile + "\": " + OpenSSLError());
  if (SSL_CTX_check_private_key(FContext) != 1)
    throw ETLSError("Client key \"" + keyFile + "\" does not match certificate \"" + FOptions.CertFile + "\"");
}

std::string TBrokerStream::ALPNSelected() const {
  if (!FSSL) return {};
  const unsigned char* name = nullptr;
  unsigned length = 0;
  SSL_get0_alpn_selected(FSSL, &name, &length);
  return name ? std::string(reinterpret_cast<const char*>(name), length) : std::string();
}

int64_t TBrokerStream::SteadyDeadline(int64_t ADeadline) {
  if (ADeadline == INT64_MAX) return kNoDeadline;
  return NowMs() + std::max<int64_t>(ADeadline - CoarseNowNs(), 0) / 1'000'000;
}

int64_t TBrokerStream::IODeadline() const {
  const int timeout = FIOTimeoutMs;
  return timeout > 0 ? NowMs() + timeout : kNoDeadline;
}

int TBrokerStream::WaitReady(short AEvents, int64_t ADeadline, const std::atomic<bool>* ACancel) const {
  if (FReleased) return -1;
  const int r = PollFor(FFd, AEvents, ADeadline, ACancel);
  return FReleased ? -1 : r;
}

int TBrokerStream::Read(uint8_t* ABuffer, int ACount) {
  FLastReadTimedOut = false;
  // What was buffered before the release (or the finish) is not delivered:
  // a Disconnect must not wait while a slow handler is handed message after message.
  if (ACount <= 0 || FReleased || FFinishing) return 0;
  if (FWebSocket) return ReadWebSocket(ABuffer, ACount);
  if (FBufferPos == FBufferLen) {
    // A read as large as the buffer goes straight to the caller's memory.
    if (ACount >= kBufferSize) return ReceivePaced(ABuffer, ACount);
    const int n = ReceivePaced(Buffer(), kBufferSize);
    if (n <= 0) return n;
    FBufferPos = 0;
    FBufferLen = n;
  }
  const int n = std::min(ACount, FBufferLen - FBufferPos);
  std::memcpy(ABuffer, FBuffer.get() + FBufferPos, static_cast<size_t>(n));
  FBufferPos += n;
  return n;
}

int TBrokerStream::ReadAvailable(uint8_t* ABuffer, int ACount) {
  FNoWait = true;
  const int n = Read(ABuffer, ACount);
  FNoWait = false;
  return n;
}

int TBrokerStream::ReceivePaced(uint8_t* ABuffer, int ACount) {
  TReadPacer* pacer = FOptions.Pacer;
  if (!pacer || FOptions.ReadPauseNs <= 0) return Receive(ABuffer, ACount, IODeadline());
  bool pause = pacer->Streaming() && !BytesWaiting();
  if (pause && FSSL) {
    std::lock_guard<std::mutex> guard(FSSLLock);
    pause = !SSL_has_pending(FSSL);
  }
  if (pause) {
    // Bounded (a setting of at most 10 ms), and a release is noticed by the read after it.
    const timespec length{0, static_cast<long>(FOptions.ReadPauseNs)};
    nanosleep(&length, nullptr);
  }
  const int n = Receive(ABuffer, ACount, IODeadline());
  if (n > 0) pacer->Received(std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1));
  return n;
}

int TBrokerStream::Receive(uint8_t* ABuffer, int ACount, int64_t ADeadline, const std::atomic<bool>* ACancel) {
  for (;;) {
    if (FReleased || FFinishing) return 0;
    short waitFor = POLLIN;
    if (FSSL) {
      std::lock_guard<std::mutex> guard(FSSLLock);
      ERR_clear_error();
      const int n = SSL_read(FSSL, ABuffer, ACount);
      if (n > 0) {
        FLastReceived = CoarseNowNs();
        FAckDueMs = 0;
        return n;
      }
      const int err = SSL_get_error(FSSL, n);
      if (err == SSL_ERROR_WANT_WRITE) {
        waitFor = POLLOUT;
      } else if (err != SSL_ERROR_WANT_READ) {
        // Close notify, reset or a TLS error (an alert of the broker's, say): the stream has ended.
        FEndReason = err == SSL_ERROR_SSL ? OpenSSLError() : "closed by the broker";
        return 0;
      }
    } else {
      const ssize_t n = recv(FFd, ABuffer, static_cast<size_t>(ACount), 0);
      if (n > 0) {
        FLastReceived = CoarseNowNs();
        FAckDueMs = 0;
        return static_cast<int>(n);
      }
      if (n == 0 || !IsRetry(errno)) {
        FEndReason = n == 0 ? "closed by the broker" : std::strerror(errno);
        return 0;
      }
    }
    // An ACK due comes first: once sent, the wait goes on.
    const bool ackFirst = !FNoWait && FAckDueMs != 0 && (ADeadline == kNoDeadline || FAckDueMs < ADeadline);
    const int ready = FNoWait ? 0 : WaitReady(waitFor, ackFirst ? FAckDueMs : ADeadline, ACancel);
    if (ready == 0 && ackFirst) {
      AcknowledgeIfDue();
      continue;
    }
    if (ready == 0) {
      FLastReadTimedOut = true;
      return 0;
    }
    if (ready < 0) return 0;
  }
}

void TBrokerStream::Write(iovec* AParts, size_t ACount, const std::function<int64_t(int64_t)>& AStallDeadline) {
  const std::function<int64_t()> stallDeadline = [&] {
    return AStallDeadline ? SteadyDeadline(AStallDeadline(CoarseNowNs())) : kNoDeadline;
  };
  if (FWebSocket) {
    WriteFrame(AParts, ACount, stallDeadline);
    return;
  }
  // TLS: several small packets go out as one record, not one record each.
  if (FSSL && ACount > 1) {
    size_t total = 0;
    for (size_t i = 0; i < ACount; ++i) total += AParts[i].iov_len;
    if (total <= kCoalesceBytes) {
      FCoalesced.clear();
      for (size_t i = 0; i < ACount; ++i) {
        const auto* p = static_cast<const uint8_t*>(AParts[i].iov_base);
        FCoalesced.insert(FCoalesced.end(), p, p + AParts[i].iov_len);
      }
      iovec whole{FCoalesced.data(), FCoalesced.size()};
      WriteAll(&whole, 1, stallDeadline);
      return;
    }
  }
  WriteAll(AParts, ACount, stallDeadline);
}

void TBrokerStream::WriteAll(iovec* AParts, size_t ACount, const std::function<int64_t()>& ADeadline,
                             const std::atomic<bool>* ACancel) {
  int64_t deadline = ADeadline();
  size_t first = 0;  // the first part with bytes left
  while (first < ACount && AParts[first].iov_len == 0) ++first;
  while (first < ACount) {
    if (FReleased) throw ESocketError("Write on a released connection");
    short waitFor = POLLOUT;
    size_t sent = 0;
    if (FSSL) {
      std::lock_guard<std::mutex> guard(FSSLLock);
      ERR_clear_error();
      const size_t chunk = std::min<size_t>(AParts[first].iov_len, INT_MAX);
      const int n = SSL_write(FSSL, AParts[first].iov_base, static_cast<int>(chunk));
      if (n > 0) {
        sent = static_cast<size_t>(n);
      } else {
        const int err = SSL_get_error(FSSL, n);
        if (err == SSL_ERROR_WANT_READ) {
          waitFor = POLLIN;
        } else if (err != SSL_ERROR_WANT_WRITE) {
          throw ESocketError("TLS write to " + Endpoint(FOptions) + " failed: " + OpenSSLError());
        }
      }
    } else {
      // Every part in one system call: the packets leave together.
      msghdr message{};
      message.msg_iov = AParts + first;
      message.msg_iovlen = std::min<size_t>(ACount - first, IOV_MAX);
      const ssize_t n = sendmsg(FFd, &message, MSG_NOSIGNAL);
      if (n > 0) {
        sent = static_cast<size_t>(n);
      } else if (n < 0 && !IsRetry(errno)) {
        throw ESocketError("Write to " + Endpoint(FOptions) + " failed: " + std::strerror(errno));
      }
    }
    if (sent > 0) {
      // Progress: the link is slow, not dead.
      deadline = ADeadline();
      while (first < ACount && sent >= AParts[first].iov_len) sent -= AParts[first++].iov_len;
      if (first < ACount) {
        AParts[first].iov_base = static_cast<uint8_t*>(AParts[first].iov_base) + sent;
        AParts[first].iov_len -= sent;
      }
      continue;
    }
    const int ready = WaitReady(waitFor, deadline, ACancel);
    if (ready == 0) throw ESocketError("Write to " + Endpoint(FOptions) + " timed out");
    if (ready < 0 && ACancel && ACancel->load()) throw ESocketError("Write to " + Endpoint(FOptions) + " cancelled");
    if (ready < 0) throw ESocketError("Write to " + Endpoint(FOptions) + " failed: connection released");
  }
}

size_t TBrokerStream::TryWrite(const iovec* AParts, size_t ACount) {
  if (FReleased) throw ESocketError("Write on a released connection");
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(AParts);
  message.msg_iovlen = std::min<size_t>(ACount, IOV_MAX);
  const ssize_t n = sendmsg(FFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return static_cast<size_t>(n);
  if (IsRetry(errno)) return 0;
  throw ESocketError("Write to " + Endpoint(FOptions) + " failed: " + std::strerror(errno));
}

bool TBrokerStream::WholePacketBuffered() const {
  if (FWebSocket || !FBuffer) return false;
  const uint8_t* p = FBuffer.get() + FBufferPos;
  const int available = FBufferLen - FBufferPos;
  uint32_t remaining = 0;
  for (int i = 1; i <= 4 && i < available; ++i) {
    remaining |= static_cast<uint32_t>(p[i] & 0x7F) << (7 * (i - 1));
    if ((p[i] & 0x80) == 0) return static_cast<int64_t>(available) >= static_cast<int64_t>(i) + 1 + remaining;
  }
  return false;
}

bool TBrokerStream::BytesWaiting() const {
  int waiting = 0;
  return !FReleased && ioctl(FFd, FIONREAD, &waiting) == 0 && waiting > 0;
}

void TBrokerStream::AcknowledgeAtOnce() const {
  if (FReleased || IsUnixSocket(FOptions.Host)) return;
  const int one = 1;
  setsockopt(FFd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool TBrokerStream::Delivery(uint64_t& AAcknowledged, uint64_t& AWritten) const {
  if (FReleased || IsUnixSocket(FOptions.Host)) return false;
  tcp_info info{};
  socklen_t length = sizeof info;
  int queued = 0;
  if (getsockopt(FFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked ||
      ioctl(FFd, SIOCOUTQ, &queued) != 0)
    return false;
  AAcknowledged = info.tcpi_bytes_acked;
  AWritten = AAcknowledged + static_cast<uint64_t>(std::max(queued, 0));
  return true;
}

void TBrokerStream::Abort(const std::string& AReason) {
  if (!FAbortClaimed.exchange(true)) {
    FAbortReason = AReason;
    FAborted = true;
  }
  shutdown(FFd, SHUT_RDWR);
}

void TBrokerStream::AcknowledgeSoon() {
  // 2: a millisecond clock's next tick may be a moment away.
  if (FAckDueMs == 0) FAckDueMs = NowMs() + 2;
}

void TBrokerStream::AcknowledgeIfDue() {
  if (FAckDueMs == 0 || NowMs() < FAckDueMs) return;
  FAckDueMs = 0;
  AcknowledgeAtOnce();
}

void TBrokerStream::Finish(int AMaxMs) {
  // Reading is not shut: data that reaches a TCP socket whose reading is
  // shut, before the broker's FIN, makes it reset the connection (a Unix
  // socket closed with bytes unread resets the broker's end too), and a
  // broker whose connection is reset drops what it has not read yet (the
  // DISCONNECT and the acknowledgements just before it: it would send
  // those messages again to the next session). Once the broker has closed
  // its side, it has read everything, and what this side does next is
  // harmless. What still arrives meanwhile is dropped, unacknowledged (the
  // reader delivers nothing more): a full receive window would keep the
  // broker's close out.
  FFinishing = true;
  SayGoodbye();
  shutdown(FFd, SHUT_WR);
  const int64_t deadline = NowMs() + AMaxMs;
  uint8_t scratch[4096];
  for (;;) {
    const ssize_t n = recv(FFd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0 && NowMs() < deadline) continue;  // a flood never empties the socket: bounded too
    if (n >= 0 || !IsRetry(errno)) return;    // closed by the broker (or the time is up), or reset
    if (PollFor(FFd, POLLIN, deadline) <= 0) return;
  }
}

void TBrokerStream::Release() {
  if (FReleased.exchange(true)) return;
  SayGoodbye();
  shutdown(FFd, SHUT_RDWR);
}

void TBrokerStream::SayGoodbye() {
  if (FGoodbyeSaid.exchange(true)) return;
  // A WebSocket says goodbye when nobody is half-way through a frame; only
  // what the socket takes at once, as the close follows anyway.
  if (FWebSocket && !FWriting.exchange(true)) {
    const uint8_t normal[2] = {0x03, 0xE8};
    const std::vector<uint8_t> frame = EncodeFrame(kWSClose, normal, sizeof normal, FMasks.Next());
    if (FSSL) {
      std::lock_guard<std::mutex> guard(FSSLLock);
      ERR_clear_error();
      SSL_write(FSSL, frame.data(), static_cast<int>(frame.size()));
    } else {
      [[maybe_unused]] const ssize_t sent = send(FFd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ReleaseWriteSide();
  }
  if (FSSL) {
    std::lock_guard<std::mutex> guard(FSSLLock);
    ERR_clear_error();
    SSL_shutdown(FSSL);  // best effort: the socket is non-blocking
  }
}

}  // namespace qor
