#include "codecs/ACS_MAD.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "codecs/MAD.h"
#include "codecs/MpegFrame.h"
#include "wave/RiffChunks.h"

namespace {

// A memory stream is sized from the estimate up to this much in advance; past
// it, it grows as the samples come (a damaged header must not make the
// decoder reserve gigabytes).
constexpr int64_t MaxPresize = 256ll << 20;
// Decoded frames are gathered into writes of this size: one write per frame
// costs a system call every 4.6 KB.
constexpr size_t StageBytes = 64 * 1024;

}  // namespace

// One decoding run. Everything here lives on the worker thread except the
// atomics, which the component reads.
class TMADThread {
 public:
  TMADThread(TComponent* Owner, TStream* In, TStream* Out, std::unique_ptr<TFileStream> OwnIn,
             std::unique_ptr<TReplacementFile> OwnOut, int64_t SizeLimit,
             TMADProgressEvent OnProgress, TMADDoneEvent OnDone, TThreadExceptionEvent OnFailure)
      : FOwner(Owner),
        FIn(In),
        FOut(Out),
        FMemoryOut(dynamic_cast<TMemoryStream*>(Out) != nullptr),
        FSizeLimit(SizeLimit),
        FOwnIn(std::move(OwnIn)),
        FOwnOut(std::move(OwnOut)),
        FOnProgress(std::move(OnProgress)),
        FOnDone(std::move(OnDone)),
        FOnFailure(std::move(OnFailure)) {}

  // Set after OnDone returned, just before JobEnd is told.
  std::atomic<bool> Finished{false};
  // Set by the component's destruction; the call-backs stop at the next frame.
  std::atomic<bool> TerminateRequest{false};
  std::atomic<int> LastProgress{0};
  // Set by Run once FWorker and Thread are in place.
  std::atomic<bool> Started{false};
  std::thread Thread;
  // The component's record of the run's end; set by Run before the thread
  // starts, cleared by the worker itself when the component is destroyed from
  // inside OnDone (it is gone by the time OnDone returns).
  TJobCompletion* JobEnd = nullptr;

  void Execute();

 private:
  void ReadInput();
  void Decode();
  // Writes the gathered frames; FWritten counts what reached the stream.
  void FlushStage();
  // Makes the header tell the truth and closes the files Run opened.
  void FinishOutput();
  void CleanUp();
  // Hands the failure to OnThreadException as an exception with its reason.
  void RaiseFailure(const std::exception_ptr& Failure);

  mad_flow Input(mad_stream* S);
  mad_flow Output(const mad_header& H, const mad_pcm& P);
  void WriteHeader(const mad_header& H, const mad_pcm& P);
  mad_flow Flow() const { return TerminateRequest.load() ? MAD_FLOW_STOP : MAD_FLOW_CONTINUE; }

  // Trampolines: no exception may cross libmad. The first one is kept, the
  // run is broken off, and Decode raises it once libmad has returned.
  static mad_flow InputCb(void* Data, mad_stream* S) noexcept;
  static mad_flow OutputCb(void* Data, const mad_header* H, mad_pcm* P) noexcept;
  static mad_flow ErrorCb(void* Data, mad_stream* S, mad_frame* F) noexcept;

  TComponent* FOwner;
  TStream* FIn;
  TStream* FOut;
  bool FMemoryOut;     // the image of a memory stream: sized ahead, never made 64-bit
  int64_t FSizeLimit;  // the most a 32-bit size field is taken to hold
  std::unique_ptr<TFileStream> FOwnIn;        // opened by Run, closed by CleanUp
  std::unique_ptr<TReplacementFile> FOwnOut;  // created by Run, closed by CleanUp
  TMADProgressEvent FOnProgress;
  TMADDoneEvent FOnDone;
  TThreadExceptionEvent FOnFailure;

  mad_decoder FDecoder{};
  std::unique_ptr<uint8_t[]> FBuffer;  // the whole input plus the guard bytes
  size_t FInputSize = 0;
  bool FBufferHanded = false;
  bool FFirstFrameSeen = false;
  bool FHeaderWritten = false;
  bool FSuccess = false;
  int FSampleRate = 0;
  int FChannels = 0;
  int FBitRate = 0;
  int64_t FEstimate = 0;    // estimated data bytes, 0 until the first frame
  int64_t FHeaderPos = -1;  // where the header went; -1 = the output cannot seek
  TWaveSizes FSizes;        // the header's size fields, once it is written
  int64_t FWritten = 0;     // data bytes written after the header
  // Decoded frames not yet written: room for a full stage plus one frame.
  std::unique_ptr<int16_t[]> FStage{new int16_t[StageBytes / 2 + 1152 * 2]};
  size_t FStaged = 0;  // samples in FStage
  std::exception_ptr FError;
};

void TMADThread::Execute() {
  // The first failure is the cause; what fails after it (closing a file that
  // could not be written) is its echo.
  std::exception_ptr Failure;
  auto Keep = [&Failure] {
    if (!Failure) Failure = std::current_exception();
  };
  try {
    ReadInput();
    Decode();
  } catch (...) {
    Keep();
  }
  FBuffer.reset();
  try {
    FlushStage();
  } catch (...) {
    Keep();
  }
  try {
    FinishOutput();
    // A file of our own takes the target's place once its header is true,
    // after a stop or a failure too; one without a single frame does not.
    if (FOwnOut && FHeaderWritten) FOwnOut->Commit();
  } catch (...) {
    Keep();
  }
  CleanUp();
  // Every end is reported, a failed one too: the caller is waiting for it.
  try {
    if (Failure && FOnFailure)
      RaiseFailure(Failure);
    else if (FOnDone)
      FOnDone(FOwner, FSuccess && !Failure);
  } catch (...) {
    // The handler is the last stop of the run: nobody is left to tell.
  }
  Finished = true;
  if (JobEnd) JobEnd->End();
}

void TMADThread::RaiseFailure(const std::exception_ptr& Failure) {
  try {
    std::rethrow_exception(Failure);
  } catch (const std::bad_alloc&) {
    FOnFailure(FOwner, std::runtime_error(std::strerror(ENOMEM)));
  } catch (const std::exception& E) {
    FOnFailure(FOwner, E);
  } catch (...) {
    FOnFailure(FOwner, std::runtime_error("Decoding failed."));
  }
}

void TMADThread::ReadInput() {
  int64_t Remaining = -1;
  try {
    Remaining = std::max<int64_t>(0, FIn->Size() - FIn->Position());
  } catch (const EStreamError&) {
    Remaining = -1;  // a stream that cannot tell its size: read to its end
  }
  if (Remaining >= 0) {
    FBuffer.reset(new uint8_t[static_cast<size_t>(Remaining) + MAD_BUFFER_GUARD]);
    FInputSize = static_cast<size_t>(FIn->Read(FBuffer.get(), Remaining));
  } else {
    std::vector<uint8_t> All;
    uint8_t Chunk[65536];
    for (;;) {
      const int64_t N = FIn->Read(Chunk, sizeof Chunk);
      if (N <= 0) break;
      All.insert(All.end(), Chunk, Chunk + N);
    }
    FBuffer.reset(new uint8_t[All.size() + MAD_BUFFER_GUARD]);
    std::memcpy(FBuffer.get(), All.data(), All.size());
    FInputSize = All.size();
  }
  // WATCHOUT: libmad only decodes a frame once it sees the next frame's start
  // or MAD_BUFFER_GUARD bytes behind it; without zeros behind the data the last
  // frame of the file would be lost.
  std::memset(FBuffer.get() + FInputSize, 0, MAD_BUFFER_GUARD);
}

void TMADThread::Decode() {
  const TMADEntryPoints& M = MAD();
  M.mad_decoder_init(&FDecoder, this, InputCb, nullptr, nullptr, OutputCb, ErrorCb, nullptr);
  M.mad_decoder_run(&FDecoder, MAD_DECODER_MODE_SYNC);
  M.mad_decoder_finish(&FDecoder);
  if (FError) std::rethrow_exception(FError);
}

mad_flow TMADThread::Input(mad_stream* S) {
  // The whole input goes in at once; asked again, the data is used up.
  if (FBufferHanded) return MAD_FLOW_STOP;
  FBufferHanded = true;
  MAD().mad_stream_buffer(S, FBuffer.get(), FInputSize + MAD_BUFFER_GUARD);
  return Flow();
}

void TMADThread::WriteHeader(const mad_header& H, const mad_pcm& P) {
  FSampleRate = static_cast<int>(P.samplerate);
  FChannels = P.channels == 2 ? 2 : 1;
  FBitRate = static_cast<int>(H.bitrate);
  // The length of a frame at this bit rate, in bytes, stands for 1152 samples
  // (for the half-length frames of the lower sample rates, 72/576 = 144/1152).
  const double FrameLength =
      FSampleRate > 0 ? std::ceil(static_cast<double>(FBitRate) * 144.0 / FSampleRate) : 0.0;
  if (FrameLength > 0) {
    const double Frames = std::nearbyint(static_cast<double>(FInputSize) / FrameLength * 1152.0);
    FEstimate = static_cast<int64_t>(std::min(Frames, 1e15)) * FChannels * 2;
  }
  FSuccess = true;

  const int64_t Stated = std::min(FEstimate, FSizeLimit - 36);
  uint8_t Hd[PcmHeaderSize];
  PutPcmHeader(Hd, FChannels, FSampleRate, 16, Stated);

  if (FMemoryOut) {
    auto* Mem = static_cast<TMemoryStream*>(FOut);
    // The image starts at the start of a memory stream, which is sized once
    // from the estimate; FinishOutput cuts it to what was really written.
    try {
      Mem->SetSize(std::min(Stated, MaxPresize) + PcmHeaderSize);
    } catch (const std::bad_alloc&) {
      // Only a head start: the stream grows as it is written.
    }
    Mem->Seek(0, TSeekOrigin::soBeginning);
  }
  try {
    FHeaderPos = FOut->Position();
  } catch (const EStreamError&) {
    FHeaderPos = -1;
  }
  FOut->WriteBuffer(Hd, PcmHeaderSize);
  if (FHeaderPos >= 0) FSizes = TWaveSizes::PcmAt(FHeaderPos);
  FHeaderWritten = true;
}

mad_flow TMADThread::Output(const mad_header& H, const mad_pcm& P) {
  if (!FFirstFrameSeen) {
    FFirstFrameSeen = true;
    // An encoder's information frame decodes to silence but is not part of
    // the audio: players skip it, and so does this decoder.
    const mad_stream& St = FDecoder.sync->stream;
    TMpegFrameHeader F;
    if (St.this_frame && St.next_frame > St.this_frame && ParseMpegFrameHeader(St.this_frame, F) &&
        IsXingFrame(St.this_frame, static_cast<size_t>(St.next_frame - St.this_frame), F))
      return Flow();
  }
  if (!FHeaderWritten) WriteHeader(H, P);

  const int N = std::min<int>(P.length, 1152);
  const int64_t Bytes = static_cast<int64_t>(N) * FChannels * 2;
  const int64_t Decoded = FWritten + static_cast<int64_t>(FStaged) * 2;
  // Past what the header's size fields can state, a file turns 64-bit
  // (FlushStage) and the image in memory goes on, its "data" size all ones,
  // which the WAV reader takes as "to the end". A stream that cannot seek
  // keeps the header it was given and would lose the rest.
  if (FHeaderPos < 0 && !FMemoryOut && Decoded + Bytes + 36 > FSizeLimit)
    throw std::runtime_error(
        "The decoded sound is longer than a WAV file can hold (4 GB); nothing past that would "
        "be kept");
  // A frame of another channel count than the first one's is brought to it.
  MadPcmTo16(P, N, FChannels, FStage.get() + FStaged);
  FStaged += static_cast<size_t>(Bytes / 2);
  if (FStaged * 2 >= StageBytes) FlushStage();

  if (FEstimate != 0) {
    const int64_t Position = std::max<int64_t>(FHeaderPos, 0) + PcmHeaderSize + Decoded + Bytes;
    // A damaged first frame can make the estimate absurdly small.
    const double Exact = static_cast<double>(Position) / static_cast<double>(FEstimate) * 100.0;
    const int Percent = static_cast<int>(std::nearbyint(std::min(Exact, 1e9)));
    if (Percent != LastProgress.load()) {
      LastProgress = Percent;
      if (FOnProgress) FOnProgress(FOwner);
    }
  }
  return Flow();
}

void TMADThread::FlushStage() {
  if (FStaged == 0) return;
  // Emptied first: after a failed write the samples are not offered again.
  const int64_t Bytes = static_cast<int64_t>(FStaged) * 2;
  FStaged = 0;
  if (FHeaderPos >= 0 && !FMemoryOut) FSizes.MakeRoom(*FOut, Bytes, 0, FSizeLimit);
  FOut->WriteBuffer(FStage.get(), Bytes);
  FWritten += Bytes;
}

void TMADThread::FinishOutput() {
  if (!FHeaderWritten || FHeaderPos < 0) return;
  if (FSizes.HeaderLost)
    throw std::runtime_error(
        "The samples could not be moved to make room for the sizes of a file past 4 GB");
  const int64_t End = FSizes.DataStart + FWritten;
  FSizes.Patch(*FOut, End, FWritten / (FChannels * 2), FSizeLimit);
  // A memory stream was sized from the estimate, and a file of our own may
  // hold the start of a write that failed: both end where the data ends.
  if (FMemoryOut || FOut == FOwnOut.get()) FOut->SetSize(End);
  FOut->Seek(End, TSeekOrigin::soBeginning);
}

void TMADThread::CleanUp() {
  FOwnIn.reset();
  FOwnOut.reset();
}

mad_flow TMADThread::InputCb(void* Data, mad_stream* S) noexcept {
  auto* T = static_cast<TMADThread*>(Data);
  try {
    return T->Input(S);
  } catch (...) {
    if (!T->FError) T->FError = std::current_exception();
    return MAD_FLOW_BREAK;
  }
}

mad_flow TMADThread::OutputCb(void* Data, const mad_header* H, mad_pcm* P) noexcept {
  auto* T = static_cast<TMADThread*>(Data);
  try {
    return T->Output(*H, *P);
  } catch (...) {
    if (!T->FError) T->FError = std::current_exception();
    return MAD_FLOW_BREAK;
  }
}

mad_flow TMADThread::ErrorCb(void*, mad_stream*, mad_frame*) noexcept {
  // Damaged frames are skipped; the lost sync at the very end of the data
  // (the guard bytes) comes through here as well.
  return MAD_FLOW_CONTINUE;
}

// ---------------------------------------------------------------- TMP3ToWav

TMP3ToWav::TMP3ToWav(TComponent* AOwner) : TComponent(CheckMad(AOwner)) {}

TMP3ToWav::~TMP3ToWav() {
  // The worker is gone (BeforeDestruction): let waiters on other threads go.
  FJobEnd.Close();
}

void TMP3ToWav::BeforeDestruction() {
  if (FWorker) FWorker->TerminateRequest = true;
  ReleaseWorker();
  TComponent::BeforeDestruction();
}

void TMP3ToWav::SetInputStream(TStream* S) {
  FInputStream = S;
  FInputStreamAssigned = S != nullptr;
}

void TMP3ToWav::SetOutputStream(TStream* S) {
  FOutputStream = S;
  FOutputStreamAssigned = S != nullptr;
}

void TMP3ToWav::ReleaseWorker() {
  if (!FWorker) return;
  if (FWorker->Thread.joinable()) {
    // Destroyed from inside its own OnDone: the worker has nothing left to do
    // with the component and keeps its own state alive until it ends.
    if (FWorker->Thread.get_id() == std::this_thread::get_id()) {
      FWorker->JobEnd = nullptr;
      FWorker->Thread.detach();
    } else
      FWorker->Thread.join();
  }
  FWorker.reset();
}

void TMP3ToWav::Run() {
  if (FWorker) {
    if (!FWorker->Finished.load()) throw std::runtime_error("Component is buisy.");
    ReleaseWorker();
  }
  std::unique_ptr<TFileStream> OwnIn;
  std::unique_ptr<TReplacementFile> OwnOut;
  TStream* In = FInputStream;
  if (!FInputStreamAssigned) {
    if (FInputFile.empty())
      throw std::runtime_error("Neither input stream not file name is assigned.");
    OwnIn = std::make_unique<TFileStream>(FInputFile, TFileMode::fmOpenRead);
    In = OwnIn.get();
  }
  TStream* Out = FOutputStream;
  if (!FOutputStreamAssigned) {
    if (FOutputFile.empty())
      throw std::runtime_error("Neither output stream not file name is assigned.");
    OwnOut = std::make_unique<TReplacementFile>(FOutputFile);
    Out = OwnOut.get();
  }
  auto W = std::make_shared<TMADThread>(this, In, Out, std::move(OwnIn), std::move(OwnOut),
                                        FSizeLimit, OnProgress, OnDone, OnThreadException);
  // The worker waits until the component knows it: an OnDone handler that
  // calls Run, or destroys the component, looks at FWorker and its thread.
  FWorker = W;
  W->JobEnd = &FJobEnd;
  W->Thread = std::thread([W] {
    W->Started.wait(false);
    W->Execute();
  });
  // The worker waits for Started: it cannot end the run before it is begun.
  FJobEnd.SetWorker(W->Thread.get_id());
  FJobEnd.Begin();
  W->Started = true;
  W->Started.notify_one();
}

int TMP3ToWav::Progress() const {
  if (!FWorker || FWorker->Finished.load()) return 0;
  return FWorker->LastProgress.load();
}
