// A pass-through converter that measures the level of what passes: every
// block goes on unchanged, and on the side a 32-band log-magnitude spectrum is
// accumulated from 64-frame chunks. The window reads and clears it on a timer.
#pragma once

#include <atomic>

#include "engine/ACS_Classes.h"

class TSoundIndicator : public TACSConverter {
 public:
  static constexpr int kBands = 32;
  static constexpr int kChunkFrames = 64;

  explicit TSoundIndicator(TComponent* AOwner);

  // Those of Input; "Input is not assigned." without one.
  int InBitsPerSample() override;
  int InChannels() override;
  int InSampleRate() override;

  // Inits the input and takes over its Size; the bands start at 0.
  void Init() override;
  // Reads from the input and analyses what it got, unless GetValues is
  // reading the bands right then (that block then goes unmeasured rather than
  // waiting). The bytes handed out are exactly the input's.
  int GetData(void* Buffer, int BufferSize) override;
  void Flush() override;

  // Values[i] := band i × 20, then the bands start again from 0. Each value
  // is the running average of log10 magnitudes since the previous call; 0 for
  // silence. Safe to call from any thread during a job.
  void GetValues(double (&Values)[kBands]);

  // The analysis of one block of PCM, as GetData does it (exposed for
  // measuring). Blocks shorter than one chunk leave the bands unchanged.
  void Analyse(const void* Data, int Bytes, int Bits, int Channels);

 private:
  TACSInput* CheckedInput() const;

  // Held by the analysis (worker) and by GetValues (window thread).
  std::atomic<bool> FAnalysisLock{false};
  // A symmetric Hann window built for 1024 points, of which the first 64 are
  // used.
  double FWindow[1024];
  double FBands[kBands] = {};  // guarded by FAnalysisLock
};
