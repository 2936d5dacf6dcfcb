#include "platform/PulseConnection.h"

#include "platform/SoundCard.h"

TPulseConnection::TPulseConnection(const std::string& Server) {
  FLoop = pa_threaded_mainloop_new();
  if (!FLoop) throw ESoundCardError("The sound server cannot be reached (out of memory)");
  FContext = pa_context_new(pa_threaded_mainloop_get_api(FLoop), "Velmora");
  if (!FContext) {
    pa_threaded_mainloop_free(FLoop);
    FLoop = nullptr;
    throw ESoundCardError("The sound server cannot be reached (out of memory)");
  }
  pa_context_set_state_callback(FContext, &TPulseConnection::Signal, FLoop);
  // The loop's thread is not running yet: no lock needed for the connect.
  if (pa_context_connect(FContext, Server.empty() ? nullptr : Server.c_str(),
                         PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      pa_threaded_mainloop_start(FLoop) < 0) {
    const std::string Why = LastError();
    Release();
    throw ESoundCardError("The sound server cannot be reached (" + Why + ")");
  }
  Lock();
  const bool Ready = Wait(
      [this] {
        const pa_context_state_t S = pa_context_get_state(FContext);
        return S == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(S);
      },
      kConnectTimeoutMs);
  const bool Ok = Ready && pa_context_get_state(FContext) == PA_CONTEXT_READY;
  const std::string Why = Ready ? LastError() : std::string("timed out");
  Unlock();
  if (!Ok) {
    Release();
    throw ESoundCardError("The sound server cannot be reached (" + Why + ")");
  }
}

bool TPulseConnection::Finish(pa_operation* Op, int TimeoutMs) {
  if (!Op) return false;
  // Any change of the operation's state wakes the waiter, whatever its own
  // call-back does.
  pa_operation_set_state_callback(
      Op,
      [](pa_operation*, void* Loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(Loop), 0);
      },
      FLoop);
  const bool Done = Wait(
      [&] { return pa_operation_get_state(Op) != PA_OPERATION_RUNNING || !Good(); }, TimeoutMs);
  const bool Ok = Done && pa_operation_get_state(Op) == PA_OPERATION_DONE;
  pa_operation_set_state_callback(Op, nullptr, nullptr);
  if (pa_operation_get_state(Op) == PA_OPERATION_RUNNING) pa_operation_cancel(Op);
  pa_operation_unref(Op);
  return Ok;
}

void TPulseConnection::Release() {
  if (FLoop) pa_threaded_mainloop_stop(FLoop);
  if (FContext) {
    pa_context_set_state_callback(FContext, nullptr, nullptr);
    pa_context_disconnect(FContext);
    pa_context_unref(FContext);
    FContext = nullptr;
  }
  if (FLoop) pa_threaded_mainloop_free(FLoop);
  FLoop = nullptr;
}
