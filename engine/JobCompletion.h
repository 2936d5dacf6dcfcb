// The end of a job as other threads see it: one blocking wait that returns once
// the worker has finished the job and its completion handler has returned.
// Sinks (TACSOutput) and the MP3 decoder (TMP3ToWav) each keep one and offer it
// as WaitForEnd; nobody needs a flag, a condition variable or a sleep loop of
// their own to learn that a job is over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

// Thread rules:
// - Begin is called by the thread that starts a job, before the worker can
//   reach End. End is called by the worker, once per begun job, as its very
//   last act for that job (after the completion handler returned). An End
//   without an outstanding job is ignored, so a start that fails before Begin
//   needs no End.
// - Wait may be called on any thread. On the worker thread itself (from
//   inside a handler) it cannot wait for the job it is running and returns
//   false at once instead of deadlocking.
// - A job begun from inside a completion handler is a new job: a Wait that
//   started before it returns when the earlier job has ended.
// - Close is called by the owner's destruction once its worker is gone: it
//   counts every job as ended, wakes every waiter, and returns only when no
//   thread is left inside Wait. A waiter woken that way must not touch the
//   owner again.
class TJobCompletion {
 public:
  TJobCompletion() = default;
  TJobCompletion(const TJobCompletion&) = delete;
  TJobCompletion& operator=(const TJobCompletion&) = delete;
  ~TJobCompletion() { Close(); }

  // The thread whose Wait calls must not block (the worker).
  void SetWorker(std::thread::id Worker);
  void Begin();
  void End();
  // Blocks until every job begun before the call has ended, at most Bound
  // when given. True when they have (or none was running, or the owner is
  // being destroyed); false when the bound passed first or when called on
  // the worker.
  bool Wait(std::optional<std::chrono::milliseconds> Bound = std::nullopt);
  void Close();
  // Threads inside Wait right now (for tests).
  int Waiting();

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  // All guarded by FLock.
  std::thread::id FWorker;
  uint64_t FBegun = 0;
  uint64_t FEnded = 0;
  int FWaiters = 0;
  bool FClosed = false;
};
