// The stream engine: sources deliver PCM, a sink pulls it on its own worker
// thread. One job = one sink's Run ... OnDone / OnThreadException.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/Component.h"
#include "engine/JobCompletion.h"
#include "platform/FilesInUse.h"
#include "platform/Streams.h"

// The engine's exception: a message and nothing else.
class EACSException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TOutputStatus { osRunning = 0, osSuspended = 1, osIdle = 2 };
enum TFileOutputMode { foRewrite = 0, foAppend = 1 };

using TOutputDoneEvent = std::function<void(TComponent* Sender)>;
using TOutputProgressEvent = std::function<void(TComponent* Sender)>;
// E lives only for the duration of the call: copy its text to keep it.
using TThreadExceptionEvent = std::function<void(TComponent* Sender, const std::exception& E)>;

// A spin flag taken around every GetData of a sink or converter and around a
// swap of the input during a job.
class TSpinFlag {
 public:
  void Lock() {
    while (FFlag.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  // Takes the flag if it is clear; false (and nothing taken) when it is held.
  bool TryLock() { return !FFlag.test_and_set(std::memory_order_acquire); }
  void Unlock() { FFlag.clear(std::memory_order_release); }

 private:
  std::atomic_flag FFlag;
};

// ---------------------------------------------------------------- sources

class TACSInput : public TComponent {
 public:
  explicit TACSInput(TComponent* AOwner) : TComponent(AOwner) {}

  virtual int InBitsPerSample() = 0;
  virtual int InChannels() = 0;
  virtual int InSampleRate() = 0;
  // Whole seconds of audio; 0 when unknown.
  virtual int TotalTime() { return 0; }
  // Copies at most BufferSize bytes of PCM into Buffer and returns the count;
  // 0 means the source is exhausted. Raises "The Stream is not opened" outside
  // a job.
  virtual int GetData(void* Buffer, int BufferSize) = 0;
  // Flush (errors swallowed), then not busy.
  virtual void Reset();
  // Prepares a job: opens what it reads, Position := 0, computes Size, Busy.
  virtual void Init() = 0;
  // Ends the job on the source side: closes what Init opened, clears Busy.
  virtual void Flush() = 0;
  // The sources this one reads from (a converter's input, both inputs of a
  // mixer); none for a source of its own.
  virtual std::vector<TACSInput*> Sources() const { return {}; }

  // Bytes delivered since the last Init. Read by the sink's Progress from the
  // worker while GetData (same thread) writes it, so plain reads suffice; it is
  // atomic because the window may ask for a job's progress from its thread.
  int64_t Position() const { return FPosition.load(std::memory_order_relaxed); }
  // Bytes this source delivers in the current job; negative = not known.
  int64_t Size() const { return FSize.load(std::memory_order_relaxed); }
  bool Busy() const { return FBusy.load(); }

 protected:
  std::atomic<int64_t> FPosition{0};
  std::atomic<int64_t> FSize{0};
  std::atomic<bool> FBusy{false};
  int FBufStart = 1;  // 1-based index of the next unread byte of the block buffer
  int FBufEnd = 0;    // index of the last valid byte; start > end = empty
};

// A source that pulls from another source.
class TACSConverter : public TACSInput {
 public:
  explicit TACSConverter(TComponent* AOwner) : TACSInput(AOwner) {}

  TACSInput* Input() const { return FInput.load(); }
  // Swapping the input of a running job: the new one is Init-ed first, the old
  // one flushed after the swap. The converter itself is refused.
  virtual void SetInput(TACSInput* Value);
  // Releases this converter's input lock and those of the converters below it.
  void UnlockChain();
  std::vector<TACSInput*> Sources() const override;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // GetData on Input under the input lock.
  int ReadInput(void* Buffer, int BufferSize);

  TSpinFlag FInputLock;
  std::atomic<TACSInput*> FInput{nullptr};
};

class TACSStreamedInput : public TACSInput {
 public:
  explicit TACSStreamedInput(TComponent* AOwner) : TACSInput(AOwner) {}
  // Reads from S instead of a file; S is never freed by the source.
  void SetStream(TStream* S);
  TStream* Stream() const { return FStream; }
  // True while the source reads a stream given by SetStream, not its file.
  bool StreamGiven() const { return FStreamAssigned; }
  bool Seekable() const { return FSeekable; }

 protected:
  TStream* FStream = nullptr;
  bool FStreamAssigned = false;  // the stream came from outside
  bool FSeekable = true;
};

// A source that reads a file (or a given stream). OpenFile / CloseFile are
// counted: only the outermost pair touches the file, so a query during a job
// opens nothing new.
class TACSFileIn : public TACSStreamedInput {
 public:
  explicit TACSFileIn(TComponent* AOwner) : TACSStreamedInput(AOwner) {}

  int InBitsPerSample() override;
  int InChannels() override;
  int InSampleRate() override;
  int TotalTime() override;
  // False when there is nothing to open or the file is not of this format.
  virtual bool Valid();
  // The format in messages about the file ("WAV", "FLAC", ...).
  virtual std::string FormatName() const { return "audio"; }
  void Init() override;
  void Flush() override;
  void Reset() override;

  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& Value) { FFileName = Value; }
  bool Loop() const { return FLoop; }
  void SetLoop(bool Value) { FLoop = Value; }
  int64_t StartSample() const { return FStartSample; }
  void SetStartSample(int64_t Value) { FStartSample = Value; }
  int64_t EndSample() const { return FEndSample; }
  void SetEndSample(int64_t Value) { FEndSample = Value; }
  // Sample frames in the whole file (as of the last OpenFile).
  int64_t SampleCount();

  // Positions the open file at a sample frame; true on success.
  virtual bool Seek(int64_t SampleNumber) = 0;

  // Keeps the file open (one counted open) until the returned object goes,
  // so that a series of queries reads the file once: each outermost open
  // reads the header again, and an MPEG WAVE file is converted whole. Holds
  // nothing for a stream that cannot seek, or when there is neither a file
  // name nor a stream. Raises what opening the file raises.
  class THold {
   public:
    explicit THold(TACSFileIn* In) : FIn(In) {}
    THold(THold&& Other) noexcept : FIn(Other.FIn) { Other.FIn = nullptr; }
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;
    THold& operator=(THold&&) = delete;
    ~THold();

   private:
    TACSFileIn* FIn;
  };
  [[nodiscard]] THold HoldOpen();

 protected:
  // Opens the file when the count is 0 (reads the header, sets Valid, the
  // format fields, SampleCount and Size); counts up in every case.
  virtual void OpenFile() = 0;
  // Counts down; closes the file when the count drops from 1 to 0.
  virtual void CloseFile() = 0;

  // Open, read one field, close: the shape of every query.
  template <class F>
  auto Query(F Field) {
    std::lock_guard<std::recursive_mutex> L(FFileLock);
    if (!FSeekable) return Field();
    OpenFile();
    struct Closer {
      TACSFileIn* Self;
      ~Closer() { Self->CloseFile(); }
    } C{this};
    return Field();
  }

  std::string FFileName;
  int FOpened = 0;  // outstanding OpenFile calls
  bool FValid = false;
  int FBPS = 0;
  int FSR = 0;
  int FChan = 0;
  bool FLoop = false;
  int64_t FStartSample = 0;
  int64_t FEndSample = -1;
  int64_t FTotalSamples = 0;  // SampleCount
  // Serialises the counted open/close of queries (window thread) with Init and
  // Flush (worker thread, when looping).
  std::recursive_mutex FFileLock;

 private:
  // The file, from Init to Flush: the lock test counts it as in use.
  TFileClaim FJobFile;
};

// "<file>: not a valid or supported <format> file": what a job says of a file
// source that is not Valid.
std::string NotValidMessage(const TACSFileIn& In);

// ---------------------------------------------------------------- sinks

class TACSOutput;

// The worker of one sink. Suspended = parked on a condition variable until the
// next Run resumes it.
class TACSThread {
 public:
  using TStep = std::function<bool(bool Abort)>;
  using TEnd = std::function<void()>;
  using TError = std::function<void(const std::exception& E)>;

  TACSThread(TStep Step, TEnd OnEnd, TError OnError);
  ~TACSThread();  // ends and joins the thread

  void Resume();
  bool Suspended() const { return FSuspended.load(); }
  // Ends the loop: a running worker makes one last Step(true) call first; a
  // suspended one just leaves. Waits until the thread is gone.
  void Terminate();
  // The worker thread's id (the thread of every step and end handler).
  std::thread::id Id() const { return FThread.get_id(); }

  std::atomic<bool> SuspendWhenIdle{false};
  std::atomic<bool> AbortRequest{false};
  std::atomic<int> Delay{0};

 private:
  void Execute();
  // Parks the thread until Resume or an exit request; true = exit requested.
  bool Park();

  TStep FStep;
  TEnd FOnEnd;
  TError FOnError;
  std::atomic<bool> FExitRequest{false};
  std::atomic<bool> FSuspended{true};
  std::mutex FCS;  // held for the whole of each step
  std::mutex FParkLock;
  std::condition_variable FParkCV;
  bool FResumePending = false;  // guarded by FParkLock
  std::thread FThread;
};

// A sink: runs one job at a time on its own worker thread.
//
// Thread rules:
// - Run, Stop, the setters and destruction belong to the thread that owns the
//   sink (the window's, or the command line's). Run from inside OnDone or
//   OnThreadException (on the worker) starts the next job.
// - Prepare runs on the thread of Run; DoOutput, Done, OnProgress, OnDone and
//   OnThreadException run on the worker, except that a Prepare failure is
//   reported to OnThreadException on the thread of Run, before Run returns.
// - A job ends exactly once: OnDone after Done, or OnThreadException (after
//   Done, when the job had started). WaitForEnd returns after that handler
//   has returned, so what the handler wrote can be read without a lock of
//   one's own.
// - Destroying a sink during a job ends its worker at the next step without
//   Done or a handler (sinks that must finish their file do so in their own
//   BeforeDestruction); WaitForEnd calls on other threads return once the
//   sink is all but gone, and must not touch it again.
class TACSOutput : public TComponent {
 public:
  explicit TACSOutput(TComponent* AOwner);

  // Starts a job. Raises "Component is buisy" / "Input is not assigned";
  // every other start-up failure goes to OnThreadException on this thread.
  void Run();
  // Asks the job to end at the next step; the end goes through OnDone.
  void Stop();
  // Blocks until the job running at the time of the call has ended and its
  // OnDone / OnThreadException handler has returned, at most Bound when given.
  // True when it has, or no job was running (a failed Prepare has already
  // been reported when Run returns); false when the bound passed first, or
  // when called on the worker (from inside a handler), where waiting for
  // oneself would never end. A job started from inside the handler is not
  // waited for: call again to wait for it.
  bool WaitForEnd(std::optional<std::chrono::milliseconds> Bound = std::nullopt);
  TOutputStatus Status() const;
  // Percent of the input delivered: 0 without input, -1 for Size -1, 0 for
  // Size 0, else Position / Size * 100 rounded half to even.
  int Progress() const;

  TACSInput* Input() const { return FInput.load(); }
  virtual void SetInput(TACSInput* Value);
  bool Busy() const { return FBusy.load(); }
  bool Active() const { return FActive.load(); }
  int Delay() const { return FThread->Delay.load(); }
  void SetDelay(int Value);
  bool SuspendWhenIdle() const { return FThread->SuspendWhenIdle.load(); }
  void SetSuspendWhenIdle(bool Value) { FThread->SuspendWhenIdle = Value; }

  // Raised on the worker thread (a Prepare failure: on the thread of Run).
  TOutputDoneEvent OnDone;
  TOutputProgressEvent OnProgress;
  TThreadExceptionEvent OnThreadException;

 protected:
  ~TACSOutput() override;
  void BeforeDestruction() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

  // One step of the job on the worker; true = call again.
  virtual bool DoOutput(bool Abort) = 0;
  // Finishes the job: completes and closes the output, flushes the input.
  // May run twice after a failure, so it must tolerate an output already closed.
  virtual void Done() = 0;
  // On the thread of Run: opens the output, Inits the input, writes headers.
  virtual void Prepare() = 0;

  // The file a job of this sink writes, claimed from Run to the job's end so
  // that the lock test counts it as in use ("" for none).
  virtual std::string JobFileName() const { return ""; }

  // Step part 2: reports progress when the integer percent changed.
  void ReportProgress();
  // GetData on Input under the input lock.
  int ReadInput(void* Buffer, int BufferSize);

  // Written by Run (caller) and the worker's end handlers; polled by both.
  std::atomic<bool> FActive{false};
  std::atomic<bool> FBusy{false};
  int FLastProgress = 0;  // worker only, once a job runs
  std::atomic<TACSInput*> FInput{nullptr};
  TSpinFlag FInputLock;

 private:
  void WhenDone();
  void HandleThreadException(const std::exception& E);

  std::unique_ptr<TACSThread> FThread;
  TJobCompletion FJobEnd;  // begun by Run, ended by the worker after the handler
  // Claimed by Run, released by the worker once Done has closed the file.
  TFileClaim FJobFile;
};

class TACSStreamedOutput : public TACSOutput {
 public:
  explicit TACSStreamedOutput(TComponent* AOwner) : TACSOutput(AOwner) {}
  TStream* Stream() const { return FStream; }

 protected:
  TStream* FStream = nullptr;
  bool FStreamAssigned = false;  // never set: file sinks open their own file
};

class TACSFileOut : public TACSStreamedOutput {
 public:
  explicit TACSFileOut(TComponent* AOwner) : TACSStreamedOutput(AOwner) {}

  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& Value) { FFileName = Value; }
  TFileOutputMode FileMode() const { return FFileMode; }
  // The base stores foRewrite whatever it is given; sinks that can append
  // override it.
  virtual void SetFileMode(TFileOutputMode Value);

 protected:
  // The first act of every Prepare, before anything is opened or written:
  // refuses a job whose input is, or reads through converters or a mixer
  // from, a file source that is not Valid, with "<file>: not a valid or
  // supported <format> file" (or the reader's own reason when asking it
  // raises): such a source would deliver nothing and the job would end in an
  // empty file. Refuses as well a source that reads the very file this sink
  // writes (under any name), with "Input and output are the same file: <file>".
  void CheckInputFile();
  std::string JobFileName() const override { return FFileName; }

  std::string FFileName;
  TFileOutputMode FFileMode = foRewrite;
};
