#include "engine/ACS_Audio.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

// One critical section per direction, shared by every component of that
// direction, as the device call-backs of all of them may run at once.
std::mutex GCaptureSection;
std::mutex GPlaybackSection;

// A device that goes this long past a block's length without giving one back
// is taken as hung.
constexpr int kStallGraceMs = 5000;
// How often a capture source waiting for a block looks whether its device
// failed or hung.
constexpr int kWaitSliceMs = 50;

std::string ChannelNotAvailable(int Value) {
  return "Channel " + std::to_string(Value) + " is not available";
}

void SleepMs(int Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms)); }

using TClock = std::chrono::steady_clock;

int64_t MsSince(TClock::time_point T) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - T).count();
}

}  // namespace

// ---------------------------------------------------------------- TAudioIn

TAudioIn::TAudioIn(TComponent* AOwner) : TACSInput(AOwner), FBuffer(kBlockSize) {}

TAudioIn::~TAudioIn() { CloseDevice(); }

void TAudioIn::SetBaseChannel(int Value) {
  if (FBusy) throw EACSException("Component is buisy");
  if (Value != -1 && Value >= CurrentSoundCard().CaptureDeviceCount())
    throw EACSException(ChannelNotAvailable(Value));
  FBaseChannel = Value;
}

TPcmFormat TAudioIn::Format() const {
  TPcmFormat F;
  F.SampleRate = FFreq;
  F.Channels = FChan;
  F.BitsPerSample = FBPS;
  return F;
}

int TAudioIn::BlocksQueued(const TPcmFormat& Format) {
  const int64_t Bytes = int64_t{Format.BytesPerSecond()} * kQueuedMs / 1000;
  const int64_t Blocks = (Bytes + kBlockSize - 1) / kBlockSize;
  return static_cast<int>(std::clamp<int64_t>(Blocks, kMinBlocksQueued, 1024));
}

int TAudioIn::BlockMs() const {
  const int64_t Rate = static_cast<int64_t>(FFreq) * FChan * (FBPS / 8);
  return Rate > 0 ? static_cast<int>(int64_t{kBlockSize} * 1000 / Rate) : 0;
}

void TAudioIn::Init() {
  if (FBusy) throw EACSException("The component is buisy");
  FBufEnd = 0;
  FBufStart = 1;
  FPosition = 0;
  FBytesToRecord = static_cast<int64_t>(FBPS / 8) * FRecTime * FChan * FFreq;
  FBlocksWanted = BlocksQueued(Format());
  FDropped = 0;
  FBusy = true;
  if (FOpenCount == 0) {
    try {
      FStream = CurrentSoundCard().OpenCapture(FBaseChannel, Format(),
                                               [this](TSoundBlock* B) { BlockDone(B); });
    } catch (const ESoundCardError& E) {
      // Nothing was opened: the source is not in a job.
      FBusy = false;
      throw EACSException(E.what());
    }
  }
  ++FOpenCount;
  FreeQueue();
  FSize = FBytesToRecord;
  FQueued = 0;
  // The device has somewhere to put the sound from its first moment: until
  // the worker asks for data, whatever arrived would otherwise be lost.
  QueueBlocks();
  FStream->Start();
}

void TAudioIn::QueueBlocks() {
  // A failed device gives every block straight back; no point handing it more.
  while (FQueued < FBlocksWanted && FStream->Error().empty()) {
    ++FQueued;  // before Add: the block may come back before Add returns
    FStream->Add(new TSoundBlock(kBlockSize));
  }
}

void TAudioIn::BlockDone(TSoundBlock* Block) {
  std::lock_guard<std::mutex> L(GCaptureSection);
  Block->Next = nullptr;
  *FTail = Block;
  FTail = &Block->Next;
  --FQueued;
  FArrived.notify_all();
}

TSoundBlock* TAudioIn::WaitForBlock(int TimeoutMs) {
  std::unique_lock<std::mutex> L(GCaptureSection);
  FArrived.wait_for(L, std::chrono::milliseconds(TimeoutMs), [this] { return FHead != nullptr; });
  TSoundBlock* B = FHead;
  if (B) {
    FHead = B->Next;
    if (!FHead) FTail = &FHead;
  }
  return B;
}

TSoundBlock* TAudioIn::TakeBlock() {
  std::lock_guard<std::mutex> L(GCaptureSection);
  TSoundBlock* B = FHead;
  if (B) {
    FHead = B->Next;
    if (!FHead) FTail = &FHead;
  }
  return B;
}

void TAudioIn::FreeQueue() {
  while (TSoundBlock* B = TakeBlock()) delete B;
}

int TAudioIn::GetData(void* Buffer, int BufferSize) {
  if (!FBusy) throw EACSException("The Stream is not opened");
  if (FBytesToRecord >= 0 && FPosition >= FBytesToRecord) return 0;
  QueueBlocks();
  if (FBufStart > FBufEnd) {
    FBufStart = 1;
    const auto Since = TClock::now();
    for (;;) {
      // Woken as soon as a block comes back (a failing device gives back
      // every block it holds, so failures wake it too); the time-out only
      // paces the check for a hung device.
      std::unique_ptr<TSoundBlock> B(WaitForBlock(kWaitSliceMs));
      FDropped = FStream->DroppedBytes();
      if (B) {
        if (B->BytesRecorded == 0) continue;  // given back empty by a reset or a failure
        std::memcpy(FBuffer.data(), B->Data.data(), B->BytesRecorded);
        FBufEnd = static_cast<int>(B->BytesRecorded);
        break;
      }
      // Only once everything recorded has been delivered does a failure count.
      const std::string Why = FStream->Error();
      if (!Why.empty()) throw EACSException(Why);
      if (MsSince(Since) > BlockMs() + kStallGraceMs)
        throw EACSException("No sound arrives from capture device " + std::to_string(FBaseChannel));
    }
  }
  const int N = std::min(BufferSize, FBufEnd - FBufStart + 1);
  if (N <= 0) return 0;
  std::memcpy(Buffer, FBuffer.data() + (FBufStart - 1), static_cast<size_t>(N));
  FBufStart += N;
  FPosition += N;
  return N;
}

void TAudioIn::Flush() {
  if (FStream) {
    // Counted before the device stops: what it drops afterwards is sound
    // after the end of the job.
    FDropped = FStream->DroppedBytes();
    // Nothing recorded from here on is delivered, so there is no point in
    // waiting for the blocks to fill: the reset gives them all back.
    FStream->Reset();
    FreeQueue();
    if (FOpenCount == 1) CloseDevice();
  }
  if (FOpenCount > 0) --FOpenCount;
  FBusy = false;
}

void TAudioIn::CloseDevice() {
  // Closing gives back whatever the device still holds.
  FStream.reset();
  FreeQueue();
  FQueued = 0;
}

// ---------------------------------------------------------------- TAudioOut

TAudioOut::TAudioOut(TComponent* AOwner) : TACSOutput(AOwner) { SetDelay(6); }

TAudioOut::~TAudioOut() { CloseDevice(); }

void TAudioOut::SetBaseChannel(int Value) {
  if (FBusy) throw EACSException("Component is buisy");
  const int Count = CurrentSoundCard().PlaybackDeviceCount();
  if (Count == 0) {
    FBaseChannel = 0;
    return;
  }
  if (Value >= Count) throw EACSException(ChannelNotAvailable(Value));
  FBaseChannel = Value;
}

void TAudioOut::BlockDone(TSoundBlock* Block) {
  std::lock_guard<std::mutex> L(GPlaybackSection);
  Block->Next = nullptr;
  *FTail = Block;
  FTail = &Block->Next;
  --FQueued;
}

void TAudioOut::FreeQueue() {
  TSoundBlock* B;
  {
    std::lock_guard<std::mutex> L(GPlaybackSection);
    B = FHead;
    FHead = nullptr;
    FTail = &FHead;
  }
  while (B) {
    TSoundBlock* Next = B->Next;
    delete B;
    B = Next;
  }
}

void TAudioOut::CloseDevice() {
  FStream.reset();
  FreeQueue();
  FQueued = 0;
}

void TAudioOut::Prepare() {
  TACSInput* In = Input();
  In->Init();
  TPcmFormat F;
  try {
    F.SampleRate = In->InSampleRate();
    F.Channels = In->InChannels();
    F.BitsPerSample = In->InBitsPerSample();
    FStream =
        CurrentSoundCard().OpenPlayback(FBaseChannel, F, [this](TSoundBlock* B) { BlockDone(B); });
  } catch (const std::exception& E) {
    // The input was opened for a job that will not run.
    try {
      In->Flush();
    } catch (...) {
      // E is what the caller must hear; a failing Flush is only its echo.
    }
    if (dynamic_cast<const ESoundCardError*>(&E)) throw EACSException(E.what());
    throw;
  }
  FBits = F.BitsPerSample;
  FBytesPerSecond = F.BytesPerSecond();
  FPrepared = true;
  FQueued = 0;
  FreeQueue();
}

void TAudioOut::ApplyVolume(TSoundBlock& Block, int Bits) const {
  const int V = FVolume;
  if (Bits == 8) {
    for (uint8_t& S : Block.Data) S = static_cast<uint8_t>(128 + (S - 128) * V / 255);
  } else {
    const size_t N = Block.Data.size() / 2;
    uint8_t* P = Block.Data.data();
    for (size_t I = 0; I < N; ++I, P += 2) {
      int16_t S;
      std::memcpy(&S, P, 2);
      S = static_cast<int16_t>(S * V / 255);
      std::memcpy(P, &S, 2);
    }
  }
}

bool TAudioOut::DoOutput(bool Abort) {
  if (!FBusy) return true;
  if (Abort || !FActive) return false;
  FreeQueue();
  const std::string Why = FStream->Error();
  if (!Why.empty()) throw EACSException(Why);
  const int Queued = FQueued;
  if (Queued <= FQueueTarget) {
    for (int I = FQueueTarget - Queued + 1; I > 0; --I) {
      auto B = std::make_unique<TSoundBlock>(kBlockSize);
      const int N = ReadInput(B->Data.data(), kBlockSize);
      if (N < 1) return false;  // the input is exhausted
      B->Data.resize(static_cast<size_t>(N));
      if (FVolume != 255) ApplyVolume(*B, FBits);
      ++FQueued;
      FStream->Add(B.release());
    }
  }
  TACSInput* In = Input();
  if (OnProgress && In && In->Size() > 0) ReportProgress();
  return true;
}

void TAudioOut::Done() {
  if (FStream) {
    // Everything queued plays to the end; a hung device is reset after the
    // queue's playing time and a grace period.
    const int64_t QueueMs =
        int64_t{FQueueTarget + 1} * kBlockSize * 1000 / (FBytesPerSecond > 0 ? FBytesPerSecond : 1);
    const auto Since = TClock::now();
    while (FQueued > 0 && MsSince(Since) <= QueueMs + kStallGraceMs) SleepMs(1);
    if (FQueued > 0) FStream->Reset();
    FStream->Drain(static_cast<int>(QueueMs) + kStallGraceMs);
    CloseDevice();
  }
  if (FPrepared) {
    FPrepared = false;
    if (TACSInput* In = Input()) In->Flush();
  }
}
