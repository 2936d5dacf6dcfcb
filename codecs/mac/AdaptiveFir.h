// The third prediction stage of an APE channel: an adaptive FIR filter over
// the last Order values (saturated to 16 bits) whose int16 coefficients move
// by sign-sign steps. Levels chain one to three of them.
#pragma once

#include <cstdint>
#include <vector>

namespace ape {

class TAdaptiveFir {
 public:
  // Order is a multiple of 16; Shift scales the dot product down.
  TAdaptiveFir(int Order, int Shift);
  TAdaptiveFir(const TAdaptiveFir&) = delete;
  TAdaptiveFir& operator=(const TAdaptiveFir&) = delete;
  TAdaptiveFir(TAdaptiveFir&&) = default;

  void Reset();
  // The filtered value of V (what the decoder's inverse step takes as input).
  int32_t Compress(int32_t V);
  int Order() const { return FOrder; }

 private:
  // History and adapt values live in windows that slide through a longer
  // buffer and are copied back to its start when they reach the end.
  static constexpr int kWindow = 512;

  int FOrder;
  int FShift;
  int32_t FRound;
  int32_t FAverage = 0;
  int FPos = 0;  // start of the current window
  std::vector<int16_t> FCoef;
  std::vector<int16_t> FHistory;
  std::vector<int16_t> FAdapt;
};

}  // namespace ape
