// A known tone to play into the test microphone, and its frequency and level
// measured back from what was recorded.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace testing_support {

// Interleaved stereo 16-bit sine at 44100 Hz, both channels alike.
inline std::vector<uint8_t> ToneBytes(double Seconds, double Freq, double Amplitude) {
  const int Frames = static_cast<int>(Seconds * 44100);
  std::vector<int16_t> S(static_cast<size_t>(Frames) * 2);
  for (int I = 0; I < Frames; ++I)
    S[2 * I] = S[2 * I + 1] = static_cast<int16_t>(
        std::lround(Amplitude * 32767 * std::sin(2 * M_PI * Freq * I / 44100)));
  std::vector<uint8_t> B(S.size() * 2);
  std::memcpy(B.data(), S.data(), B.size());
  return B;
}

struct TToneFit {
  double Frequency = 0;
  double RmsDb = -200;  // dB relative to full scale
};

template <class T>
T Median(std::vector<T> V) {
  if (V.empty()) return T();
  std::nth_element(V.begin(), V.begin() + static_cast<std::ptrdiff_t>(V.size() / 2), V.end());
  return V[V.size() / 2];
}

// The left channel of Frames stereo frames at 44100 Hz from First. Frequency
// from the median period between rising zero crossings (interpolated), level
// from the median RMS of 10 ms windows: a short gap that a busy machine may
// leave in real-time sound moves neither.
inline TToneFit MeasureTone(const std::vector<int16_t>& S, size_t First, size_t Frames) {
  TToneFit R;
  if ((First + Frames) * 2 > S.size()) return R;
  std::vector<double> Periods, WindowDb;
  double LastCross = -1, Sq = 0;
  for (size_t I = First; I < First + Frames; ++I) {
    const double X = S[I * 2];
    Sq += X * X;
    if ((I - First + 1) % 441 == 0) {
      WindowDb.push_back(Sq > 0 ? 20 * std::log10(std::sqrt(Sq / 441) / 32768.0) : -200);
      Sq = 0;
    }
    if (I > First) {
      const double P = S[(I - 1) * 2];
      if (P < 0 && X >= 0) {
        const double T = static_cast<double>(I - 1) + (-P) / (X - P);
        if (LastCross >= 0) Periods.push_back(T - LastCross);
        LastCross = T;
      }
    }
  }
  const double Period = Median(Periods);
  if (Period > 0) R.Frequency = 44100.0 / Period;
  R.RmsDb = Median(WindowDb);
  return R;
}

// The expected RMS level of a sine of the given peak amplitude.
inline double SineDb(double Amplitude) {
  return 20 * std::log10(Amplitude * 32767 / 32768.0 / std::sqrt(2.0));
}

}  // namespace testing_support
