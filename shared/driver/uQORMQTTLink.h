// The link to the broker: its state (one enum; IsConnected and
// ConnectionStatus are both answered from it), the stream open now and the
// epoch that tells it from every stream before and after, how an attempt's
// handshake ended, the brokers to try and a broker's referral, and the stop
// flags every wait of the driver's threads looks at. One lock, never held
// across a blocking call, a wait for another thread or a callback; one
// condition for everything that changes under it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "uBrokerStream.h"
#include "uQORMQTTClient.h"
#include "uQORMQTTEvents.h"
#include "uQORMQTTSettings.h"
#include "uQORResolver.h"
#include "uQORThread.h"
#include "uQORWriteQueue.h"

namespace qor {

enum class TLinkState : uint8_t {
  Idle,          // no link and no attempt
  Connecting,    // Connect's attempt, opening the stream
  Handshake,     // Connect's attempt, stream open, waiting for the CONNACK
  Connected,     // the broker accepted the session
  Reconnecting,  // the reconnect loop, between attempts or opening a stream
  Rehandshake,   // the reconnect loop, stream open, waiting for the CONNACK
  Closing,       // Disconnect on a session: the link is closed, threads not yet joined
};

// One opened stream; Epoch tells it from every stream before and after it.
struct TLink {
  std::shared_ptr<TBrokerStream> Stream;
  uint64_t Epoch = 0;
};

// How an attempt's handshake ended.
struct THandshake {
  bool Answered = false;  // a CONNACK came (with Reason)
  uint8_t Reason = 0;
  bool SessionPresent = false;
  std::string Ended;    // the stream ended before a CONNACK, for this reason
  bool Failed = false;  // the reader refused what the broker sent
};

class TBrokerLink {
 public:
  explicit TBrokerLink(TWriteQueue& AQueue) : FQueue(AQueue) {}

  // --- state -------------------------------------------------------------------
  TLinkState State() const { return FState; }
  bool IsConnected() const;
  TQORMQTTConnectionStatus Status() const;
  // Set by Stop until the next Connect: no new threads, no more attempts.
  bool Stopping() const { return FStopping; }
  bool UserDisconnect() const { return FUserDisconnect; }
  bool Ending() const { return FStopping || FUserDisconnect; }
  // Connect's start: Connecting, stop flags cleared; false unless Idle
  // (an attempt under way, also a reconnect loop's, or a session).
  // With AUnlessAfter, also false (and ACancelled set) once a Disconnect
  // has come since Disconnects() said AUnlessAfter: a connect queued
  // before a Disconnect must not undo it when it starts.
  bool BeginConnect(std::optional<uint64_t> AUnlessAfter = std::nullopt, bool* ACancelled = nullptr);
  // Disconnect calls so far.
  uint64_t Disconnects() const { return FDisconnects; }
  // Idle ends a give-up under way.
  void SetState(TLinkState AState);
  // From AFrom to ATo only.
  void Move(TLinkState AFrom, TLinkState ATo);

  // --- giving up reconnecting ----------------------------------------------------
  // Reconnecting, the client has given up and is about to be idle: Connect
  // waits for that rather than take it for a reconnect loop under way.
  bool GivingUp() const { return FGivingUp; }
  // Reconnecting: the reconnect loop gives up.
  void GiveUp();
  // The give-up is over: Reconnecting becomes Idle.
  void GaveUp();
  // Waits while a give-up is under way.
  void AwaitGiveUp();
  void UserDisconnecting();
  // The program sent a request the broker answers: the reader reads its answer without pausing.
  void Requested() { FPacer.Requested(); }
  // Stops every wait: the stream is released, no new attempt or thread
  // starts; the status stays what it was until the caller sets it.
  void Stop();

  // --- an attempt ------------------------------------------------------------
  // A stream to the first broker that takes one, of the settings' list in
  // order (a server a broker referred the client to first, once): ABroker.
  // Releases the last link first. Raises the last broker's ESocketError.
  std::shared_ptr<TBrokerStream> Open(const TClientSettings& ASettings, const TClientEvents& AEvents, uint8_t ALevel,
                                      TQORMQTTBrokerAddress& ABroker);
  // The newest link is AStream to ABroker, in its handshake: its epoch.
  // Raises when the client is stopping meanwhile.
  uint64_t Attach(std::shared_ptr<TBrokerStream> AStream, const TQORMQTTBrokerAddress& ABroker, bool AFromLoop);
  // Undoes the attempt of AEpoch, so that neither IsConnected nor a late
  // CONNACK can make it look like a session.
  void Abandon(uint64_t AEpoch, bool AFromLoop);
  // The reader may read the link of AEpoch now.
  void MakeReadable(uint64_t AEpoch);
  // Waits for the CONNACK of AEpoch, the end of its stream, Stop or ADeadline
  // (CoarseNowNs).
  THandshake AwaitHandshake(uint64_t AEpoch, int64_t ADeadline);
  // A broker names another server to use: the next attempt tries it first.
  void ReferTo(const std::string& AServerReference);

  // --- the link's life -----------------------------------------------------------
  // The reader: a link newer than AAfter handed over for reading; an empty
  // one when AReader was terminated.
  TLink WaitForReadable(uint64_t AAfter, const TThread& AReader);
  // The link of AEpoch carries an established session.
  bool InSession(uint64_t AEpoch) const;
  TLink Current() const;
  // A CONNACK for AEpoch; a success makes it the session's link. False
  // when the attempt has given the link up.
  bool ConnackArrived(uint64_t AEpoch, uint8_t AReason, bool ASessionPresent);
  void HandshakeEnded(uint64_t AEpoch, const std::string& AReason, bool AFailed);
  // The session's link of AEpoch is lost: released, Reconnecting (or Idle
  // when stopping), and giving up already with AGiveUp (no attempt is to be
  // made). False when it was not the session's link (any more).
  bool Lose(uint64_t AEpoch, bool AGiveUp = false);
  // Asks the keepalive thread for the reconnect loop, when reconnecting.
  bool AskReconnect();
  // The keepalive thread: waits up to AWaitNs, or until Retick; true (and
  // taken) when the reconnect loop is asked for.
  bool WaitForWork(int64_t AWaitNs, const TThread& AKeepalive);
  // A new session's keepalive counts from now: the keepalive thread looks
  // at its deadlines again.
  void Retick();
  // A reconnect delay of AWaitMs; false when Disconnect or destruction cut it short.
  bool WaitDelay(int64_t AWaitMs);
  // Waits while ABusy holds (tested under the lock), until the session's
  // link goes or the client stops: false then. What ABusy tests may change
  // again as soon as the lock is let go: only the link's end is an answer.
  template <typename TBusy>
  bool WaitWhile(TBusy ABusy) {
    std::unique_lock<std::mutex> lock(FMutex);
    FChanged.wait(lock, [&] { return !ABusy() || FState != TLinkState::Connected || Ending(); });
    return FState == TLinkState::Connected && !Ending();
  }
  // Wakes every waiter (taken and released first, so that a waiter between
  // its test and its wait cannot miss it).
  void Wake();
  // Closes the stream and drops what the queue holds for it.
  void Release();

 private:
  void ReleaseLocked();

  TWriteQueue& FQueue;
  TResolver FResolver;
  TTLSSessionCache FTLSSessions;  // a reconnect to the same broker resumes the last TLS session
  TReadPacer FPacer;              // read by one link's reader at a time
  mutable std::mutex FMutex;
  std::condition_variable FChanged;  // state, links, CONNACKs, stop requests
  std::atomic<TLinkState> FState{TLinkState::Idle};  // written under FMutex
  std::atomic<bool> FUserDisconnect{false};
  std::atomic<uint64_t> FDisconnects{0};  // written under FMutex
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FGivingUp{false};  // written under FMutex
  std::shared_ptr<TBrokerStream> FStream;
  uint64_t FEpoch = 0;          // the newest link's
  uint64_t FReadableEpoch = 0;  // handed to the reader
  uint64_t FConnackEpoch = 0;   // the link whose CONNACK came
  uint8_t FConnackReason = 0;
  bool FConnackSessionPresent = false;
  uint64_t FEndedEpoch = 0;  // the link that ended in its handshake
  std::string FEndedReason;
  bool FEndedFailed = false;
  bool FReconnectRequested = false;
  bool FRetick = false;
  TQORMQTTBrokerAddress FCurrentBroker;                  // the broker of the newest link
  std::optional<TQORMQTTBrokerAddress> FReferredBroker;  // to be tried first, once
};

}  // namespace qor
