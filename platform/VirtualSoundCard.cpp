#include "platform/VirtualSoundCard.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <thread>

// One open virtual device: a thread that fills (capture) or consumes
// (playback) the blocks handed over, oldest first.
class TVirtualStream final : public TSoundStream {
 public:
  TVirtualStream(TVirtualSoundCard& Card, bool Capture, int Device, const TPcmFormat& Format,
                 TSoundBlockDone OnDone, TVirtualSoundCard::TSettings Settings)
      : FCard(Card),
        FCapture(Capture),
        FDevice(Device),
        FFormat(Format),
        FOnDone(std::move(OnDone)),
        FSettings(std::move(Settings)) {
    FThread = std::thread([this] {
      if (FCapture && FSettings.RealTime)
        ExecuteRealTime();
      else
        Execute();
    });
  }

  ~TVirtualStream() override {
    {
      std::lock_guard<std::mutex> L(FLock);
      FClosing = true;
      FWake.notify_all();
    }
    FThread.join();
    GiveBackAll();
    FCard.StreamClosed();
  }

  void Add(TSoundBlock* Block) override {
    {
      std::lock_guard<std::mutex> L(FLock);
      if (FError.empty()) {
        FBlocks.push_back(Block);
        FCard.NoteHeld(++FHeld);
        FWake.notify_all();
        return;
      }
    }
    FOnDone(Block);
  }

  void Start() override {
    std::lock_guard<std::mutex> L(FLock);
    FStarted = true;
    FWake.notify_all();
  }

  void Reset() override {
    {
      std::unique_lock<std::mutex> L(FLock);
      FStarted = false;
      // A block the device is working on comes back from its thread first.
      FWake.wait(L, [this] { return FInFlight == 0; });
    }
    GiveBackAll();
  }

  void Drain(int TimeoutMs) override {
    if (FCapture) return;
    std::unique_lock<std::mutex> L(FLock);
    FWake.wait_for(L, std::chrono::milliseconds(TimeoutMs),
                   [this] { return (FBlocks.empty() && FInFlight == 0) || !FError.empty(); });
  }

  std::string Error() const override {
    std::lock_guard<std::mutex> L(FLock);
    return FError;
  }

  uint64_t DroppedBytes() const override {
    std::lock_guard<std::mutex> L(FLock);
    return FDropped;
  }

 private:
  void GiveBackAll() {
    std::deque<TSoundBlock*> Held;
    {
      std::lock_guard<std::mutex> L(FLock);
      Held.swap(FBlocks);
      FHeld -= static_cast<int>(Held.size());
    }
    for (TSoundBlock* B : Held) FOnDone(B);
  }

  bool CanWork() const {
    return !FBlocks.empty() && FError.empty() && (!FCapture || (FStarted && !FSettings.Stalled));
  }

  void Execute() {
    std::unique_lock<std::mutex> L(FLock);
    for (;;) {
      FWake.wait(L, [this] { return FClosing || CanWork(); });
      if (FClosing) return;
      TSoundBlock* B = FBlocks.front();
      FBlocks.pop_front();
      ++FInFlight;
      const size_t Bytes = B->Data.size();
      size_t N = Bytes;
      bool Fails = false;
      const int64_t Limit = FCapture ? FSettings.CaptureFailAfter : FSettings.PlaybackFailAfter;
      if (Limit >= 0 && FDone + Bytes > static_cast<uint64_t>(Limit)) {
        N = static_cast<size_t>(static_cast<uint64_t>(Limit) -
                                std::min<uint64_t>(FDone, static_cast<uint64_t>(Limit)));
        Fails = true;
      }
      L.unlock();
      if (FSettings.Speed > 0) {
        const double Seconds = static_cast<double>(N) / FFormat.BytesPerSecond() / FSettings.Speed;
        std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
      }
      if (FCapture) {
        FSettings.Generator(B->Data.data(), N, FDone, FFormat);
        B->BytesRecorded = N;
      } else {
        FCard.AppendPlayed(FDevice, B->Data.data(), N);
      }
      FDone += N;
      {
        std::lock_guard<std::mutex> Count(FLock);
        --FHeld;  // the component may hand it over again at once
      }
      FOnDone(B);
      L.lock();
      --FInFlight;
      if (Fails && FError.empty()) {
        FError = "The virtual device was unplugged";
        std::deque<TSoundBlock*> Held;
        Held.swap(FBlocks);
        FHeld -= static_cast<int>(Held.size());
        L.unlock();
        for (TSoundBlock* H : Held) FOnDone(H);
        L.lock();
      }
      FWake.notify_all();
    }
  }

  // Real-time capture: a slice of sound every 10 ms of device time, whether
  // or not a block waits for it.
  void ExecuteRealTime() {
    using TClock = std::chrono::steady_clock;
    const size_t Frame = static_cast<size_t>(FFormat.BlockAlign());
    const size_t Slice =
        std::max(Frame, static_cast<size_t>(FFormat.BytesPerSecond()) / 100 / Frame * Frame);
    const double Speed = FSettings.Speed > 0 ? FSettings.Speed : 1;
    const auto SliceTime =
        std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(
            static_cast<double>(Slice) / FFormat.BytesPerSecond() / Speed));
    std::vector<uint8_t> Sound(Slice);
    std::vector<TSoundBlock*> Full;
    std::unique_lock<std::mutex> L(FLock);
    auto Next = TClock::now();
    for (;;) {
      if (!FStarted || !FError.empty()) {
        FWake.wait(L, [this] { return FClosing || (FStarted && FError.empty()); });
        Next = TClock::now();
      }
      if (FClosing) return;
      Next += SliceTime;
      const uint64_t Offset = FDone;
      L.unlock();
      std::this_thread::sleep_until(Next);
      FSettings.Generator(Sound.data(), Slice, Offset, FFormat);
      L.lock();
      if (FClosing) return;
      if (!FStarted) continue;  // reset meanwhile: this slice belongs to no recording
      size_t N = Slice;
      const int64_t Limit = FSettings.CaptureFailAfter;
      const bool Fails = Limit >= 0 && Offset + Slice > static_cast<uint64_t>(Limit);
      if (Fails)
        N = static_cast<size_t>(static_cast<uint64_t>(Limit) -
                                std::min<uint64_t>(Offset, static_cast<uint64_t>(Limit)));
      for (size_t I = 0; I < N;) {
        // Up to the next edge of the injected loss.
        const uint64_t At = Offset + I;
        const uint64_t LossAt =
            FSettings.LossAt < 0 ? UINT64_MAX : static_cast<uint64_t>(FSettings.LossAt);
        const uint64_t LossEnd = LossAt + static_cast<uint64_t>(FSettings.LossCount);
        const bool Lost = At >= LossAt && At < LossEnd;
        const uint64_t Edge = Lost ? LossEnd : (At < LossAt ? LossAt : UINT64_MAX);
        const size_t Run = static_cast<size_t>(std::min<uint64_t>(N - I, Edge - At));
        size_t Put = 0;
        while (!Lost && Put < Run && !FBlocks.empty()) {
          TSoundBlock* B = FBlocks.front();
          const size_t K = std::min(B->Data.size() - B->BytesRecorded, Run - Put);
          std::memcpy(B->Data.data() + B->BytesRecorded, Sound.data() + I + Put, K);
          B->BytesRecorded += K;
          Put += K;
          if (B->BytesRecorded == B->Data.size()) {
            FBlocks.pop_front();
            --FHeld;
            ++FInFlight;
            Full.push_back(B);
          }
        }
        FDropped += Run - Put;
        I += Run;
      }
      FDone += Slice;
      std::deque<TSoundBlock*> Held;
      if (Fails && FError.empty()) {
        FError = "The virtual device was unplugged";
        Held.swap(FBlocks);
        FHeld -= static_cast<int>(Held.size());
      }
      L.unlock();
      for (TSoundBlock* B : Full) FOnDone(B);
      for (TSoundBlock* B : Held) FOnDone(B);
      L.lock();
      FInFlight -= static_cast<int>(Full.size());
      Full.clear();
      FWake.notify_all();
    }
  }

  TVirtualSoundCard& FCard;
  const bool FCapture;
  const int FDevice;
  const TPcmFormat FFormat;
  TSoundBlockDone FOnDone;
  const TVirtualSoundCard::TSettings FSettings;
  uint64_t FDone = 0;        // device thread only: bytes recorded or played
  mutable std::mutex FLock;  // guards everything below
  std::condition_variable FWake;
  std::deque<TSoundBlock*> FBlocks;
  int FInFlight = 0;  // blocks the device thread holds outside FBlocks
  int FHeld = 0;      // blocks handed over and not yet given back
  bool FStarted = false;
  bool FClosing = false;
  std::string FError;
  uint64_t FDropped = 0;  // real-time capture: bytes that found no block
  std::thread FThread;
};

TVirtualSoundCard::TVirtualSoundCard(int CaptureDevices, int PlaybackDevices)
    : FCaptureCount(CaptureDevices), FPlaybackCount(PlaybackDevices) {
  FSettings.Generator = [](uint8_t* To, size_t Count, uint64_t Offset, const TPcmFormat&) {
    for (size_t I = 0; I < Count; ++I) To[I] = PatternByte(Offset + I);
  };
}

TVirtualSoundCard::~TVirtualSoundCard() = default;

std::vector<TSoundDevice> TVirtualSoundCard::CaptureDevices() {
  std::vector<TSoundDevice> R;
  for (int I = 0; I < FCaptureCount; ++I)
    R.push_back(
        {I, "virtual-source-" + std::to_string(I), "Virtual microphone " + std::to_string(I)});
  return R;
}

std::vector<TSoundDevice> TVirtualSoundCard::PlaybackDevices() {
  std::vector<TSoundDevice> R;
  for (int I = 0; I < FPlaybackCount; ++I)
    R.push_back({I, "virtual-sink-" + std::to_string(I), "Virtual speaker " + std::to_string(I)});
  return R;
}

std::unique_ptr<TSoundStream> TVirtualSoundCard::Open(bool Capture, int Device,
                                                      const TPcmFormat& Format,
                                                      TSoundBlockDone OnDone) {
  const std::string What =
      std::string(Capture ? "Capture" : "Playback") + " device " + std::to_string(Device);
  const int D = Device < 0 ? 0 : Device;
  TSettings S;
  {
    std::lock_guard<std::mutex> L(FLock);
    if (D >= (Capture ? FCaptureCount : FPlaybackCount))
      throw ESoundCardError(What + " does not exist");
    if (!Format.Supported()) throw ESoundCardError(What + " cannot carry this format");
    if (!FOpenFailure.empty())
      throw ESoundCardError(What + " could not be opened: " + FOpenFailure);
    S = FSettings;
    ++FOpen;
    FLastFormat = Format;
    FLastDevice = Device;
  }
  return std::make_unique<TVirtualStream>(*this, Capture, D, Format, std::move(OnDone),
                                          std::move(S));
}

std::unique_ptr<TSoundStream> TVirtualSoundCard::OpenCapture(int Device, const TPcmFormat& Format,
                                                             TSoundBlockDone OnDone) {
  return Open(true, Device, Format, std::move(OnDone));
}

std::unique_ptr<TSoundStream> TVirtualSoundCard::OpenPlayback(int Device, const TPcmFormat& Format,
                                                              TSoundBlockDone OnDone) {
  return Open(false, Device, Format, std::move(OnDone));
}

void TVirtualSoundCard::SetRecordingSelection(const std::string& SourceName) {
  std::lock_guard<std::mutex> L(FLock);
  FSelection = SourceName;
}

std::string TVirtualSoundCard::RecordingSelection() const {
  std::lock_guard<std::mutex> L(FLock);
  return FSelection;
}

void TVirtualSoundCard::SetGenerator(TGenerator G) {
  std::lock_guard<std::mutex> L(FLock);
  FSettings.Generator = std::move(G);
}

void TVirtualSoundCard::SetSpeed(double Factor) {
  std::lock_guard<std::mutex> L(FLock);
  FSettings.Speed = Factor;
}

void TVirtualSoundCard::SetOpenFailure(const std::string& Message) {
  std::lock_guard<std::mutex> L(FLock);
  FOpenFailure = Message;
}

void TVirtualSoundCard::SetCaptureFailAfter(int64_t Bytes) {
  std::lock_guard<std::mutex> L(FLock);
  FSettings.CaptureFailAfter = Bytes;
}

void TVirtualSoundCard::SetPlaybackFailAfter(int64_t Bytes) {
  std::lock_guard<std::mutex> L(FLock);
  FSettings.PlaybackFailAfter = Bytes;
}

int TVirtualSoundCard::MaxHeld() const {
  std::lock_guard<std::mutex> L(FLock);
  return FMaxHeld;
}

void TVirtualSoundCard::NoteHeld(int Count) {
  std::lock_guard<std::mutex> L(FLock);
  FMaxHeld = std::max(FMaxHeld, Count);
}

void TVirtualSoundCard::SetStalled(bool Value) {
  std::lock_guard<std::mutex> L(FLock);
  FSettings.Stalled = Value;
}

void TVirtualSoundCard::SetRealTimeCapture(bool Value) {
  std::lock_guard<std::mutex> L(FLock);
  FSettings.RealTime = Value;
}

void TVirtualSoundCard::SetCaptureLoss(int64_t At, int64_t Count) {
  std::lock_guard<std::mutex> L(FLock);
  FSettings.LossAt = At;
  FSettings.LossCount = Count;
}

std::vector<uint8_t> TVirtualSoundCard::Played(int Device) const {
  std::lock_guard<std::mutex> L(FLock);
  auto It = FPlayed.find(Device);
  return It == FPlayed.end() ? std::vector<uint8_t>() : It->second;
}

int TVirtualSoundCard::OpenStreams() const {
  std::lock_guard<std::mutex> L(FLock);
  return FOpen;
}

TPcmFormat TVirtualSoundCard::LastFormat() const {
  std::lock_guard<std::mutex> L(FLock);
  return FLastFormat;
}

int TVirtualSoundCard::LastDevice() const {
  std::lock_guard<std::mutex> L(FLock);
  return FLastDevice;
}

void TVirtualSoundCard::StreamClosed() {
  std::lock_guard<std::mutex> L(FLock);
  --FOpen;
}

void TVirtualSoundCard::AppendPlayed(int Device, const uint8_t* Data, size_t Count) {
  std::lock_guard<std::mutex> L(FLock);
  std::vector<uint8_t>& V = FPlayed[Device];
  V.insert(V.end(), Data, Data + Count);
}
