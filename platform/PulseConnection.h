// One connection to the sound server: a threaded main loop with one context.
// Every libpulse call on the context or its streams happens with the loop
// locked; the library's call-backs run on the loop's thread with the lock
// held. Shared by the sound-card layer and the mixer layer.
#pragma once

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <string>

class TPulseConnection {
 public:
  // Connects to Server (empty = the usual lookup) and waits until the context
  // is ready. Raises ESoundCardError "The sound server cannot be reached (...)".
  explicit TPulseConnection(const std::string& Server);
  ~TPulseConnection() { Release(); }
  TPulseConnection(const TPulseConnection&) = delete;
  TPulseConnection& operator=(const TPulseConnection&) = delete;

  pa_context* Context() const { return FContext; }
  pa_threaded_mainloop* Loop() const { return FLoop; }
  void Lock() { pa_threaded_mainloop_lock(FLoop); }
  void Unlock() { pa_threaded_mainloop_unlock(FLoop); }
  // With the lock held: false once the server has gone away.
  bool Good() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(FContext)); }

  // With the lock held: sleeps until Done() holds or TimeoutMs passed; every
  // call-back that changes something signals the loop. True when Done() held.
  template <class P>
  bool Wait(P Done, int TimeoutMs) {
    struct TTimer {
      pa_threaded_mainloop* Loop;
      bool Fired = false;
    } T{FLoop};
    auto OnTimer = [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* U) {
      auto* Timer = static_cast<TTimer*>(U);
      Timer->Fired = true;
      pa_threaded_mainloop_signal(Timer->Loop, 0);
    };
    pa_time_event* E = pa_context_rttime_new(
        FContext, pa_rtclock_now() + static_cast<pa_usec_t>(TimeoutMs) * PA_USEC_PER_MSEC, OnTimer,
        &T);
    while (!Done() && !T.Fired) pa_threaded_mainloop_wait(FLoop);
    if (E) pa_threaded_mainloop_get_api(FLoop)->time_free(E);
    return Done();
  }

  // With the lock held: waits for an operation whose call-back signals the
  // loop, at most TimeoutMs, and releases it (cancelled when still running).
  // True when it finished. Null (the request could not be sent) is false.
  bool Finish(pa_operation* Op, int TimeoutMs);

  // With the lock held: sends one of the server's list queries
  // (pa_context_get_source_info_list and its kind) with L as the call-back's
  // user data. Every item goes to L.Item(const TInfo&), the end of the list
  // to L.End(bool Failed) (Failed when the server broke the list off); both
  // run on the loop's thread. Null when the request could not be sent.
  template <class TInfo, class TList>
  pa_operation* List(pa_operation* (*Query)(pa_context*,
                                            void (*)(pa_context*, const TInfo*, int, void*), void*),
                     TList& L) {
    return Query(
        FContext,
        [](pa_context*, const TInfo* I, int Eol, void* U) {
          auto* Into = static_cast<TList*>(U);
          if (Eol != 0)
            Into->End(Eol < 0);
          else if (I)
            Into->Item(*I);
        },
        &L);
  }

  // The loop's user data for call-backs that only wake a waiter.
  static void Signal(pa_context*, void* Loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(Loop), 0);
  }

  // The reason for the context's last failure.
  std::string LastError() const { return pa_strerror(pa_context_errno(FContext)); }

  static constexpr int kConnectTimeoutMs = 5000;

 private:
  void Release();

  pa_threaded_mainloop* FLoop = nullptr;
  pa_context* FContext = nullptr;
};

// Scoped lock of a connection's main loop.
class TLoopLock {
 public:
  explicit TLoopLock(TPulseConnection& C) : FC(&C) { FC->Lock(); }
  ~TLoopLock() { Release(); }
  TLoopLock(const TLoopLock&) = delete;
  TLoopLock& operator=(const TLoopLock&) = delete;
  // Lets the loop go before the end of the scope.
  void Release() {
    if (FC) FC->Unlock();
    FC = nullptr;
  }

 private:
  TPulseConnection* FC;
};
