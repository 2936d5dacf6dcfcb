#include "engine/ACS_Classes.h"

#include <climits>
#include <cmath>

namespace {

// Swaps the input of a component that reads it under Lock. During a job the
// new input is Init-ed first and the old one flushed after the swap, so the
// reader never sees a source that is not ready.
void SwapInput(TComponent* Self, std::atomic<TACSInput*>& Slot, TSpinFlag& Lock, bool Busy,
               TACSInput* Value) {
  TACSInput* Old = Slot.load();
  if (Old == Value) return;
  if (!Busy) {
    Slot = Value;
  } else {
    if (Value) Value->Init();
    Lock.Lock();
    Slot = Value;
    Lock.Unlock();
    if (Old) Old->Flush();
  }
  if (Old) Self->RemoveFreeNotification(Old);
  if (Value) Self->FreeNotification(Value);
}

// GetData on the input under Lock; 0 when there is no input.
int ReadLocked(std::atomic<TACSInput*>& Slot, TSpinFlag& Lock, void* Buffer, int BufferSize) {
  Lock.Lock();
  struct Unlocker {
    TSpinFlag& F;
    ~Unlocker() { F.Unlock(); }
  } U{Lock};
  TACSInput* In = Slot.load();
  return In ? In->GetData(Buffer, BufferSize) : 0;
}

}  // namespace

// ---------------------------------------------------------------- TACSInput

void TACSInput::Reset() {
  try {
    Flush();
  } catch (...) {
    // Reset is the way back to idle from any state: a source that cannot
    // close cleanly is idle all the same.
  }
  FBusy = false;
}

// ---------------------------------------------------------------- TACSConverter

void TACSConverter::SetInput(TACSInput* Value) {
  if (Value == this) return;
  SwapInput(this, FInput, FInputLock, FBusy, Value);
}

std::vector<TACSInput*> TACSConverter::Sources() const {
  if (TACSInput* In = FInput.load()) return {In};
  return {};
}

void TACSConverter::UnlockChain() {
  FInputLock.Unlock();
  if (auto* C = dynamic_cast<TACSConverter*>(FInput.load())) C->UnlockChain();
}

void TACSConverter::Notification(TComponent* AComponent, TOperation Operation) {
  TACSInput::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FInput.load()) {
    // The source is going away: wait for a reader that is inside it, then
    // forget it. A job reading through this converter sees no more data.
    FInputLock.Lock();
    FInput = nullptr;
    FInputLock.Unlock();
  }
}

int TACSConverter::ReadInput(void* Buffer, int BufferSize) {
  return ReadLocked(FInput, FInputLock, Buffer, BufferSize);
}

// ---------------------------------------------------------------- streamed / file input

void TACSStreamedInput::SetStream(TStream* S) {
  FStream = S;
  FStreamAssigned = S != nullptr;
}

int TACSFileIn::InBitsPerSample() {
  return Query([this] { return FBPS; });
}

int TACSFileIn::InChannels() {
  return Query([this] { return FChan; });
}

int TACSFileIn::InSampleRate() {
  return Query([this] { return FSR; });
}

int64_t TACSFileIn::SampleCount() {
  return Query([this] { return FTotalSamples; });
}

bool TACSFileIn::Valid() {
  if (!FStreamAssigned && FFileName.empty()) return false;
  return Query([this] { return FValid; });
}

int TACSFileIn::TotalTime() {
  return Query([this] {
    const int64_t FrameBytes = static_cast<int64_t>(FChan) * (FBPS / 8);
    if (FSR <= 0 || FrameBytes <= 0) return 0;
    // A damaged header can claim more seconds than an int holds.
    const double Seconds =
        std::nearbyint(static_cast<double>(Size()) / (static_cast<double>(FSR) * FrameBytes));
    return Seconds >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(Seconds);
  });
}

TACSFileIn::THold TACSFileIn::HoldOpen() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (!FSeekable || (!FStreamAssigned && FFileName.empty())) return THold(nullptr);
  OpenFile();
  return THold(this);
}

TACSFileIn::THold::~THold() {
  if (!FIn) return;
  std::lock_guard<std::recursive_mutex> L(FIn->FFileLock);
  FIn->CloseFile();
}

void TACSFileIn::Init() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FBusy) throw EACSException("The component is buisy");
  if (!FStreamAssigned && FFileName.empty()) throw EACSException("The file name is not assigned");
  OpenFile();
  if (FStartSample != 0) Seek(FStartSample);
  if (FStartSample != 0 || FEndSample != -1) {
    int64_t Frames = FEndSample == -1 ? FTotalSamples - FStartSample : FEndSample - FStartSample;
    if (Frames < 0) Frames = 0;
    FSize = (FBPS / 8) * Frames * FChan;
  }
  FBusy = true;
  FBufStart = 1;
  FBufEnd = 0;
  FPosition = 0;
  if (!FStreamAssigned) FJobFile.Claim(FFileName);
}

void TACSFileIn::Flush() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  FJobFile.Release();
  CloseFile();
  FBusy = false;
}

void TACSFileIn::Reset() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  TACSInput::Reset();
  FJobFile.Release();
  FOpened = 0;
}

// ---------------------------------------------------------------- TACSThread

TACSThread::TACSThread(TStep Step, TEnd OnEnd, TError OnError)
    : FStep(std::move(Step)), FOnEnd(std::move(OnEnd)), FOnError(std::move(OnError)) {
  FThread = std::thread([this] { Execute(); });
}

TACSThread::~TACSThread() { Terminate(); }

void TACSThread::Resume() {
  std::lock_guard<std::mutex> L(FParkLock);
  FResumePending = true;
  FParkCV.notify_all();
}

bool TACSThread::Park() {
  std::unique_lock<std::mutex> L(FParkLock);
  FSuspended = true;
  FParkCV.wait(L, [this] { return FResumePending || FExitRequest.load(); });
  FResumePending = false;
  FSuspended = false;
  return FExitRequest.load();
}

void TACSThread::Terminate() {
  if (!FThread.joinable()) return;
  {
    std::lock_guard<std::mutex> L(FParkLock);
    FExitRequest = true;
    FParkCV.notify_all();
  }
  FThread.join();
}

void TACSThread::Execute() {
  // Created suspended: the first Run resumes it.
  if (Park()) return;
  while (!FExitRequest.load()) {
    bool Suspend = false;
    {
      std::lock_guard<std::mutex> L(FCS);
      const int D = Delay.load();
      if (D > 5) std::this_thread::sleep_for(std::chrono::milliseconds(D));
      try {
        if (!FStep(AbortRequest.load())) {
          AbortRequest = false;
          FOnEnd();
          Suspend = SuspendWhenIdle.load();
        }
      } catch (const std::exception& E) {
        AbortRequest = false;
        FOnError(E);
        Suspend = SuspendWhenIdle.load();
      } catch (...) {
        // Anything else escaping a step would take the whole program down.
        AbortRequest = false;
        FOnError(EACSException("Unknown error in the worker thread"));
        Suspend = SuspendWhenIdle.load();
      }
    }
    if (Suspend) {
      if (Park()) return;  // ended while suspended: no last step
    } else if (!SuspendWhenIdle.load()) {
      std::lock_guard<std::mutex> L(FParkLock);
      FResumePending = false;  // a spinning worker has nothing to be woken for
    }
  }
  try {
    std::lock_guard<std::mutex> L(FCS);
    FStep(true);
  } catch (...) {
    // The owner is being destroyed: there is nobody left to report to.
  }
}

// ---------------------------------------------------------------- TACSOutput

TACSOutput::TACSOutput(TComponent* AOwner) : TComponent(AOwner) {
  FThread = std::make_unique<TACSThread>([this](bool Abort) { return DoOutput(Abort); },
                                         [this] { WhenDone(); },
                                         [this](const std::exception& E) {
                                           HandleThreadException(E);
                                           FJobEnd.End();
                                         });
  FThread->SuspendWhenIdle = true;
  FJobEnd.SetWorker(FThread->Id());
}

TACSOutput::~TACSOutput() {
  // Normally ended by BeforeDestruction; joining again is harmless.
  FThread.reset();
  // Last: the sinks' own clean-up (BeforeDestruction, destructors) is over
  // when a waiter on another thread is let go.
  FJobEnd.Close();
}

void TACSOutput::BeforeDestruction() {
  // While the object is whole: a running worker gets its last step, then the
  // thread ends. A job cut short here neither runs Done nor raises OnDone.
  FThread->Terminate();
  TComponent::BeforeDestruction();
}

void TACSOutput::Run() {
  if (FBusy) throw EACSException("Component is buisy");
  if (!FInput.load()) throw EACSException("Input is not assigned");
  FInputLock.Unlock();
  FJobFile.Claim(JobFileName());
  try {
    Prepare();
    FJobEnd.Begin();
    FBusy = true;
    FThread->AbortRequest = false;
    FActive = true;
    FThread->Resume();
  } catch (const std::exception& E) {
    HandleThreadException(E);
  }
}

void TACSOutput::Stop() { FThread->AbortRequest = true; }

bool TACSOutput::WaitForEnd(std::optional<std::chrono::milliseconds> Bound) {
  return FJobEnd.Wait(Bound);
}

TOutputStatus TACSOutput::Status() const {
  if (!FBusy) return osIdle;
  return FThread->Suspended() ? osSuspended : osRunning;
}

int TACSOutput::Progress() const {
  TACSInput* In = FInput.load();
  if (!In) return 0;
  const int64_t S = In->Size();
  if (S == -1) return -1;
  if (S == 0) return 0;
  return static_cast<int>(
      std::nearbyint(static_cast<double>(In->Position()) / static_cast<double>(S) * 100.0));
}

void TACSOutput::SetDelay(int Value) {
  if (Value <= 100) FThread->Delay = Value;
}

void TACSOutput::SetInput(TACSInput* Value) { SwapInput(this, FInput, FInputLock, FBusy, Value); }

void TACSOutput::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove || AComponent != FInput.load()) return;
  // The source of a running job is going away: end the job first (Done still
  // flushes the source while it is whole), then forget the source.
  if (FBusy && Status() == osRunning) {
    Stop();
    // On the worker itself (a handler freeing the source) this returns at
    // once; the job then finds no input and ends.
    WaitForEnd();
  }
  FInputLock.Lock();
  FInput = nullptr;
  FInputLock.Unlock();
  RemoveFreeNotification(AComponent);
}

void TACSOutput::ReportProgress() {
  const int P = Progress();
  if (P != FLastProgress) {
    FLastProgress = P;
    if (OnProgress) OnProgress(this);
  }
}

int TACSOutput::ReadInput(void* Buffer, int BufferSize) {
  return ReadLocked(FInput, FInputLock, Buffer, BufferSize);
}

void TACSOutput::WhenDone() {
  if (!FBusy) return;
  FActive = false;
  Done();
  FJobFile.Release();
  FBusy = false;
  if (OnDone) OnDone(this);
  FJobEnd.End();
}

void TACSOutput::HandleThreadException(const std::exception& E) {
  FInputLock.Unlock();
  if (Status() != osIdle) {
    if (auto* C = dynamic_cast<TACSConverter*>(FInput.load())) {
      C->UnlockChain();
    }
    try {
      Done();
    } catch (...) {
      // E is the cause; a second failure while finishing is its consequence.
    }
  }
  FJobFile.Release();
  FActive = false;
  FBusy = false;
  if (OnThreadException) {
    try {
      OnThreadException(this, E);
    } catch (...) {
      // The handler is the last stop of an error: there is nowhere left to
      // send its own.
    }
  }
}

// ---------------------------------------------------------------- TACSFileOut

void TACSFileOut::CheckInputFile() {
  std::vector<TACSInput*> Left{Input()};
  while (!Left.empty()) {
    TACSInput* In = Left.back();
    Left.pop_back();
    if (!In) continue;
    const std::vector<TACSInput*> Below = In->Sources();
    Left.insert(Left.end(), Below.begin(), Below.end());
    auto* F = dynamic_cast<TACSFileIn*>(In);
    if (!F) continue;
    if (!F->Valid()) throw EACSException(NotValidMessage(*F));
    // A reader given a stream reads no file of its own.
    if (!F->StreamGiven() && IsSameFile(F->FileName(), FFileName))
      throw EACSException("Input and output are the same file: " + FFileName);
  }
}

std::string NotValidMessage(const TACSFileIn& In) {
  const std::string Name = In.FileName().empty() ? std::string("The source") : In.FileName();
  return Name + ": not a valid or supported " + In.FormatName() + " file";
}

void TACSFileOut::SetFileMode(TFileOutputMode) { FFileMode = foRewrite; }
