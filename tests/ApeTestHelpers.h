// Helpers shared by the APE test suites: running a sink job to its end,
// reading a source whole, signals with something for the predictors to do,
// and decoding with ffmpeg.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codecs/ACS_MAC.h"
#include "tests/support/TestSupport.h"

namespace ape_test {

using testing_support::RunJob;

// Everything a source delivers in one job, pulled in uneven pieces.
inline std::vector<uint8_t> ReadAll(TACSInput& In, size_t Limit = SIZE_MAX) {
  std::vector<uint8_t> R;
  In.Init();
  std::vector<uint8_t> Buf(20011);
  for (int Piece = 1; R.size() < Limit;) {
    const int N = In.GetData(Buf.data(), std::min<int>(Piece, static_cast<int>(Buf.size())));
    if (N == 0) break;
    R.insert(R.end(), Buf.data(), Buf.data() + N);
    Piece = Piece * 5 % 20011 + 1;
  }
  In.Flush();
  return R;
}

// Compresses Pcm (interleaved, as in WAV data) into File through TMACOut;
// returns "" or the job's error.
inline std::string Compress(const std::vector<uint8_t>& Pcm, int Bits, int Channels,
                            const std::string& File, int Level, int64_t MaxAudioBytes = -1) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  auto* Src = new testing_support::TMemorySource(Owner.get());
  Src->Data = Pcm;
  Src->Bits = Bits;
  Src->Channels = Channels;
  Src->Rate = 44100;
  auto* Out = new TMACOut(Owner.get());
  Out->SetFileName(File);
  Out->SetCompressionLevel(Level);
  Out->SetMaxAudioBytes(MaxAudioBytes);
  Out->SetInput(Src);
  return RunJob(*Out);
}

// The whole PCM of an APE file through TMACIn.
inline std::vector<uint8_t> DecodeWithReader(const std::string& File) {
  TOwned<TMACIn> In(new TMACIn(nullptr));
  In->SetFileName(File);
  return ReadAll(*In);
}

// The PCM ffmpeg decodes from File with frame CRCs checked and any error
// fatal; Ok is false when ffmpeg failed.
inline std::vector<uint8_t> DecodeWithFfmpeg(const std::string& File, int Bits, bool& Ok,
                                             std::string* Err = nullptr) {
  testing_support::TempDir T;
  const std::string Raw = T.Path("out.raw");
  const std::string Cmd = "ffmpeg -nostdin -v error -err_detect crccheck+explode -i " +
                          testing_support::Quote(File) + " -f " +
                          (Bits == 8    ? "u8"
                           : Bits == 24 ? "s24le"
                                        : "s16le") +
                          " -y " + testing_support::Quote(Raw);
  std::string E;
  Ok = testing_support::Run(Cmd, nullptr, &E) == 0 && E.empty();
  if (Err) *Err = E;
  if (!Ok) return {};
  return testing_support::ReadFileBytes(Raw);
}

// Music-like material: a few notes with harmonics and decaying envelopes that
// change every quarter second, a slow vibrato, a little noise; the channels
// hear the notes in different mixes. Full range of Bits, interleaved.
inline std::vector<uint8_t> MusicLike(int Frames, int Channels, int Bits) {
  std::vector<uint8_t> Out(static_cast<size_t>(Frames) * Channels * (Bits / 8));
  std::mt19937 Rng(2024);
  std::normal_distribution<double> Noise(0.0, 0.004);
  const double Notes[] = {220.0, 261.63, 329.63, 392.0, 440.0, 523.25, 587.33, 659.25};
  const int Rate = 44100, Segment = Rate / 4;
  for (int F = 0; F < Frames; ++F) {
    const int Seg = F / Segment;
    const double T = static_cast<double>(F % Segment) / Rate;
    const double Env = std::exp(-3.0 * T);
    for (int C = 0; C < Channels; ++C) {
      double V = 0;
      for (int K = 0; K < 3; ++K) {
        const double Freq = Notes[(Seg * 3 + K * (C + 2)) % 8] *
                            (1.0 + 0.002 * std::sin(2 * M_PI * 5.0 * F / Rate));
        const double Phase = 2 * M_PI * Freq * F / Rate;
        V += (0.5 * std::sin(Phase) + 0.2 * std::sin(2 * Phase) + 0.1 * std::sin(3 * Phase)) *
             (K == C ? 0.5 : 0.3);
      }
      V = std::clamp(V * Env * 0.8 + Noise(Rng), -1.0, 1.0);
      const size_t I = static_cast<size_t>(F) * Channels + C;
      if (Bits == 8) {
        Out[I] = static_cast<uint8_t>(std::lround(V * 127.0) + 128);
      } else {
        const auto S = static_cast<uint16_t>(static_cast<int16_t>(std::lround(V * 32767.0)));
        Out[2 * I] = static_cast<uint8_t>(S);
        Out[2 * I + 1] = static_cast<uint8_t>(S >> 8);
      }
    }
  }
  return Out;
}

// Full-scale white noise.
inline std::vector<uint8_t> FullScaleNoise(int Frames, int Channels, int Bits) {
  std::vector<uint8_t> Out(static_cast<size_t>(Frames) * Channels * (Bits / 8));
  std::mt19937 Rng(77);
  for (uint8_t& B : Out) B = static_cast<uint8_t>(Rng());
  return Out;
}

// A frame of silence in the PCM's own encoding (8-bit silence is 0x80).
inline std::vector<uint8_t> Silence(int Frames, int Channels, int Bits) {
  return std::vector<uint8_t>(static_cast<size_t>(Frames) * Channels * (Bits / 8),
                              Bits == 8 ? 0x80 : 0x00);
}

// Stereo PCM with channel Channel (0 or 1) replaced by silence, or (Channel
// -1) the second channel made a copy of the first.
inline std::vector<uint8_t> ReshapeStereo(std::vector<uint8_t> Pcm, int Bits, int Channel) {
  const size_t S = static_cast<size_t>(Bits / 8);
  for (size_t I = 0; I + 2 * S <= Pcm.size(); I += 2 * S) {
    if (Channel < 0)
      std::memcpy(&Pcm[I + S], &Pcm[I], S);
    else
      for (size_t B = 0; B < S; ++B) Pcm[I + Channel * S + B] = (Bits == 8 && B == 0) ? 0x80 : 0;
  }
  return Pcm;
}

}  // namespace ape_test
