#include "uQORMQTTLink.h"

#include <chrono>

namespace qor {

namespace {

using TGuard = std::lock_guard<std::mutex>;
using TLock = std::unique_lock<std::mutex>;

}  // namespace

bool TBrokerLink::IsConnected() const {
  const TLinkState s = FState;
  return s == TLinkState::Handshake || s == TLinkState::Connected || s == TLinkState::Rehandshake;
}

TQORMQTTConnectionStatus TBrokerLink::Status() const {
  switch (FState.load()) {
    case TLinkState::Connecting:
    case TLinkState::Handshake: return mqConnecting;
    case TLinkState::Connected:
    case TLinkState::Closing: return mqConnected;  // until Disconnect has joined the threads
    default: return mqDisconnected;
  }
}

bool TBrokerLink::BeginConnect(std::optional<uint64_t> AUnlessAfter, bool* ACancelled) {
  TGuard guard(FMutex);
  if (AUnlessAfter && *AUnlessAfter != FDisconnects) {
    if (ACancelled) *ACancelled = true;
    return false;
  }
  if (FState != TLinkState::Idle) return false;
  FState = TLinkState::Connecting;
  FUserDisconnect = false;
  FStopping = false;
  return true;
}

void TBrokerLink::UserDisconnecting() {
  TGuard guard(FMutex);
  FUserDisconnect = true;
  ++FDisconnects;
}

void TBrokerLink::SetState(TLinkState AState) {
  {
    TGuard guard(FMutex);
    FState = AState;
    if (AState == TLinkState::Idle) FGivingUp = false;
  }
  FChanged.notify_all();
}

void TBrokerLink::GiveUp() {
  TGuard guard(FMutex);
  if (FState == TLinkState::Reconnecting) FGivingUp = true;
}

void TBrokerLink::GaveUp() {
  {
    TGuard guard(FMutex);
    if (FState == TLinkState::Reconnecting) FState = TLinkState::Idle;
    FGivingUp = false;
  }
  FChanged.notify_all();
}

void TBrokerLink::AwaitGiveUp() {
  TLock lock(FMutex);
  FChanged.wait(lock, [&] { return !FGivingUp; });
}

void TBrokerLink::Move(TLinkState AFrom, TLinkState ATo) {
  TGuard guard(FMutex);
  if (FState == AFrom) FState = ATo;
}

void TBrokerLink::Stop() {
  {
    TGuard guard(FMutex);
    // Set under the lock, so that no waiter can test it and then miss the wake-up.
    FStopping = true;
    ReleaseLocked();
    switch (FState.load()) {
      case TLinkState::Connected: FState = TLinkState::Closing; break;
      case TLinkState::Handshake: FState = TLinkState::Connecting; break;
      case TLinkState::Rehandshake: FState = TLinkState::Reconnecting; break;
      default: break;
    }
  }
  FChanged.notify_all();
}

void TBrokerLink::ReleaseLocked() {
  if (FStream) FStream->Release();
  FStream.reset();
  FQueue.Close();
}

void TBrokerLink::Release() {
  TGuard guard(FMutex);
  ReleaseLocked();
}

void TBrokerLink::Wake() {
  { TGuard guard(FMutex); }
  FChanged.notify_all();
}

std::shared_ptr<TBrokerStream> TBrokerLink::Open(const TClientSettings& ASettings, const TClientEvents& AEvents,
                                                 uint8_t ALevel, TQORMQTTBrokerAddress& ABroker) {
  std::vector<TQORMQTTBrokerAddress> brokers = ASettings.Brokers;
  {
    TGuard guard(FMutex);
    ReleaseLocked();
    if (FReferredBroker) brokers.insert(brokers.begin(), *FReferredBroker);
    FReferredBroker.reset();
  }
  for (size_t i = 0;; ++i) {
    ABroker = brokers[i];
    // A Unix socket is always plain.
    AEvents.Log("Connecting to %s (SSL=%s, protocol=%d)", Endpoint(ABroker.Host, ABroker.Port).c_str(),
                ABroker.UseSSL && !IsUnixSocket(ABroker.Host) ? "True" : "False", ALevel);
    TBrokerStreamOptions options = ASettings.StreamOptions(ABroker);
    options.Sessions = ASettings.TLSSessionResumption ? &FTLSSessions : nullptr;
    // A lookup, connect or handshake under way gives up once the client stops.
    options.Cancel = &FStopping;
    options.Resolver = &FResolver;
    // A Unix socket has no segments to save: it is read the moment bytes land.
    if (!IsUnixSocket(ABroker.Host)) options.Pacer = &FPacer;
    try {
      return TBrokerStream::Open(options);
    } catch (const ESocketError& e) {
      if (i + 1 == brokers.size() || FStopping) throw;
      AEvents.Log("Broker %s unreachable: %s", Endpoint(ABroker.Host, ABroker.Port).c_str(), e.Message().c_str());
    }
  }
}

void TBrokerLink::ReferTo(const std::string& AServerReference) {
  TGuard guard(FMutex);
  FReferredBroker = ParseReference(AServerReference, FCurrentBroker);
}

uint64_t TBrokerLink::Attach(std::shared_ptr<TBrokerStream> AStream, const TQORMQTTBrokerAddress& ABroker,
                             bool AFromLoop) {
  TGuard guard(FMutex);
  if (FStopping) {
    AStream->Release();
    throw Exception("Connection attempt cancelled");
  }
  FStream = AStream;
  FCurrentBroker = ABroker;
  FQueue.Open(std::move(AStream));
  FState = AFromLoop ? TLinkState::Rehandshake : TLinkState::Handshake;
  return ++FEpoch;
}

void TBrokerLink::Abandon(uint64_t AEpoch, bool AFromLoop) {
  TGuard guard(FMutex);
  if (FEpoch != AEpoch) return;
  ReleaseLocked();
  if (FState != TLinkState::Idle) FState = AFromLoop ? TLinkState::Reconnecting : TLinkState::Connecting;
}

void TBrokerLink::MakeReadable(uint64_t AEpoch) {
  {
    TGuard guard(FMutex);
    FReadableEpoch = AEpoch;
  }
  FChanged.notify_all();
}

THandshake TBrokerLink::AwaitHandshake(uint64_t AEpoch, int64_t ADeadline) {
  THandshake result;
  TLock lock(FMutex);
  const auto done = [&] { return FConnackEpoch == AEpoch || FEndedEpoch == AEpoch || FStopping; };
  while (!done()) {
    const int64_t left = ADeadline - CoarseNowNs();
    if (left <= 0) break;
    FChanged.wait_for(lock, std::chrono::nanoseconds(left));
  }
  result.Answered = FConnackEpoch == AEpoch;
  result.Reason = FConnackReason;
  result.SessionPresent = FConnackSessionPresent;
  if (FEndedEpoch == AEpoch) {
    result.Ended = FEndedReason;
    result.Failed = FEndedFailed;
  }
  return result;
}

TLink TBrokerLink::WaitForReadable(uint64_t AAfter, const TThread& AReader) {
  TLock lock(FMutex);
  FChanged.wait(lock, [&] {
    return AReader.Terminated() || (FReadableEpoch > AAfter && FReadableEpoch == FEpoch && FStream);
  });
  if (AReader.Terminated()) return {};
  return {FStream, FEpoch};
}

bool TBrokerLink::InSession(uint64_t AEpoch) const {
  TGuard guard(FMutex);
  return FEpoch == AEpoch && FState == TLinkState::Connected;
}

TLink TBrokerLink::Current() const {
  TGuard guard(FMutex);
  return {FStream, FEpoch};
}

bool TBrokerLink::ConnackArrived(uint64_t AEpoch, uint8_t AReason, bool ASessionPresent) {
  {
    TGuard guard(FMutex);
    // A CONNACK on a link its attempt has given up is too late.
    if (AEpoch != FEpoch || !FStream) return false;
    if (AReason == mqrcSuccess && (FState == TLinkState::Handshake || FState == TLinkState::Rehandshake))
      FState = TLinkState::Connected;
    FConnackEpoch = AEpoch;
    FConnackReason = AReason;
    FConnackSessionPresent = ASessionPresent;
  }
  FChanged.notify_all();
  return true;
}

void TBrokerLink::HandshakeEnded(uint64_t AEpoch, const std::string& AReason, bool AFailed) {
  {
    TGuard guard(FMutex);
    if (AEpoch != FEpoch) return;
    FEndedEpoch = AEpoch;
    FEndedReason = AReason.empty() ? "closed" : AReason;
    FEndedFailed = AFailed;
  }
  FChanged.notify_all();
}

bool TBrokerLink::Lose(uint64_t AEpoch, bool AGiveUp) {
  {
    TGuard guard(FMutex);
    if (AEpoch != FEpoch || FState != TLinkState::Connected) return false;
    ReleaseLocked();
    FState = Ending() ? TLinkState::Idle : TLinkState::Reconnecting;
    FGivingUp = AGiveUp && FState == TLinkState::Reconnecting;
  }
  // A Publish waiting for held publications to leave gives up.
  FChanged.notify_all();
  return true;
}

bool TBrokerLink::AskReconnect() {
  {
    TGuard guard(FMutex);
    if (FState != TLinkState::Reconnecting) return false;
    FReconnectRequested = true;
  }
  FChanged.notify_all();
  return true;
}

bool TBrokerLink::WaitForWork(int64_t AWaitNs, const TThread& AKeepalive) {
  TLock lock(FMutex);
  FChanged.wait_for(lock, std::chrono::nanoseconds(AWaitNs),
                    [&] { return AKeepalive.Terminated() || FReconnectRequested || FRetick; });
  FRetick = false;
  if (AKeepalive.Terminated() || !FReconnectRequested) return false;
  FReconnectRequested = false;
  return true;
}

void TBrokerLink::Retick() {
  {
    TGuard guard(FMutex);
    FRetick = true;
  }
  FChanged.notify_all();
}

bool TBrokerLink::WaitDelay(int64_t AWaitMs) {
  TLock lock(FMutex);
  FChanged.wait_for(lock, std::chrono::milliseconds(AWaitMs), [&] { return Ending(); });
  return !Ending();
}

}  // namespace qor

