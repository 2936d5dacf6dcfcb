#include "platform/SoundLoopback.h"

#include <algorithm>
#include <cmath>
#include <cstring>

TSoundLoopback::TSoundLoopback(TSoundCard& Card, int CaptureDevice, int PlaybackDevice,
                               const TPcmFormat& Format, int BlockMs, int Blocks)
    : FFormat(Format),
      FBlockBytes(std::max<size_t>(
          static_cast<size_t>(Format.BlockAlign()),
          static_cast<size_t>(static_cast<int64_t>(Format.BytesPerSecond()) * std::max(BlockMs, 1) /
                              1000 / Format.BlockAlign() * Format.BlockAlign()))) {
  if (!Format.Supported() || Format.BlockAlign() <= 0)
    throw ESoundCardError("The loopback cannot carry this sound format");
  for (int I = 0; I < std::max(Blocks, 2); ++I)
    FPool.push_back(std::make_unique<TSoundBlock>(FBlockBytes));
  // Should opening the capture side fail, the streams' destruction gives every
  // block back into the queues, which outlive them.
  FPlayback = Card.OpenPlayback(PlaybackDevice, Format, [this](TSoundBlock* B) { Played(B); });
  FCapture = Card.OpenCapture(CaptureDevice, Format, [this](TSoundBlock* B) { Captured(B); });
  for (auto& B : FPool) FCapture->Add(B.get());
  FCapture->Start();
  FThread = std::thread([this] { Execute(); });
}

TSoundLoopback::~TSoundLoopback() {
  {
    std::lock_guard<std::mutex> L(FLock);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
  // The blocks the devices hold come back into the queues; the pool frees them.
  FCapture.reset();
  FPlayback.reset();
}

std::string TSoundLoopback::Error() const {
  std::string E = FCapture->Error();
  if (E.empty()) E = FPlayback->Error();
  return E;
}

void TSoundLoopback::Captured(TSoundBlock* Block) {
  {
    std::lock_guard<std::mutex> L(FLock);
    FToPlay.push_back(Block);
  }
  FWake.notify_one();
}

void TSoundLoopback::Played(TSoundBlock* Block) {
  {
    std::lock_guard<std::mutex> L(FLock);
    FToRecord.push_back(Block);
  }
  FWake.notify_one();
}

// Moves blocks between the devices. The devices' call-backs only queue: each
// runs with its own device's lock held, so handing a block straight to the
// other device there could deadlock against that device's call-back.
void TSoundLoopback::Execute() {
  std::unique_lock<std::mutex> L(FLock);
  for (;;) {
    FWake.wait(L, [this] { return FStop || !FToPlay.empty() || !FToRecord.empty(); });
    if (FStop) return;
    std::deque<TSoundBlock*> Play, Record;
    Play.swap(FToPlay);
    Record.swap(FToRecord);
    L.unlock();
    const double Gain = FGain.load();
    for (TSoundBlock* B : Play) {
      // A block cut short by a reset or a failure plays only what it holds.
      B->Data.resize(std::min(B->BytesRecorded, B->Data.size()));
      if (B->Data.empty()) {
        Record.push_back(B);
        continue;
      }
      if (Gain != 1.0) ApplyGain(B->Data.data(), B->Data.size(), FFormat.BitsPerSample, Gain);
      FPlayback->Add(B);
    }
    for (TSoundBlock* B : Record) {
      B->Data.resize(FBlockBytes);
      B->BytesRecorded = 0;
      FCapture->Add(B);
    }
    L.lock();
  }
}

void TSoundLoopback::ApplyGain(uint8_t* Data, size_t Bytes, int BitsPerSample, double Gain) {
  if (Gain < 0) Gain = 0;
  if (BitsPerSample == 8) {
    for (size_t I = 0; I < Bytes; ++I) {
      const double V = std::clamp((static_cast<int>(Data[I]) - 128) * Gain, -128.0, 127.0);
      Data[I] = static_cast<uint8_t>(std::lround(V) + 128);
    }
    return;
  }
  for (size_t I = 0; I + 1 < Bytes; I += 2) {
    int16_t S;
    std::memcpy(&S, Data + I, 2);
    S = static_cast<int16_t>(std::lround(std::clamp(S * Gain, -32768.0, 32767.0)));
    std::memcpy(Data + I, &S, 2);
  }
}
