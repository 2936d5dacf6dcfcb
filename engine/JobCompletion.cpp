#include "engine/JobCompletion.h"

void TJobCompletion::SetWorker(std::thread::id Worker) {
  std::lock_guard<std::mutex> L(FLock);
  FWorker = Worker;
}

void TJobCompletion::Begin() {
  std::lock_guard<std::mutex> L(FLock);
  ++FBegun;
}

void TJobCompletion::End() {
  std::lock_guard<std::mutex> L(FLock);
  if (FEnded < FBegun) ++FEnded;
  FChanged.notify_all();
}

bool TJobCompletion::Wait(std::optional<std::chrono::milliseconds> Bound) {
  std::unique_lock<std::mutex> L(FLock);
  if (std::this_thread::get_id() == FWorker) return false;
  const uint64_t Target = FBegun;
  auto Over = [&] { return FClosed || FEnded >= Target; };
  if (Over()) return true;
  ++FWaiters;
  bool Ended = true;
  if (Bound)
    Ended = FChanged.wait_for(L, *Bound, Over);
  else
    FChanged.wait(L, Over);
  // Close waits for the last waiter to leave: tell it while the lock is held,
  // since the object may be gone as soon as the lock is released.
  if (--FWaiters == 0 && FClosed) FChanged.notify_all();
  return Ended;
}

void TJobCompletion::Close() {
  std::unique_lock<std::mutex> L(FLock);
  FClosed = true;
  FEnded = FBegun;
  FChanged.notify_all();
  FChanged.wait(L, [this] { return FWaiters == 0; });
}

int TJobCompletion::Waiting() {
  std::lock_guard<std::mutex> L(FLock);
  return FWaiters;
}
