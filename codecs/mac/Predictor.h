// The first two prediction stages of an APE channel (format 3950 and later):
// a scaled first-order filter, then a sign-sign adaptive predictor that also
// looks at a second, cross-channel input. All state starts fresh with every
// frame. Arithmetic wraps at 32 bits, as the decoders' does.
#pragma once

#include <cstdint>

namespace ape {

// y = x - round-down(last * 31 / 32); remembers x.
class TScaledFirstOrder {
 public:
  void Reset() { FLast = 0; }
  int32_t Compress(int32_t X) {
    const int32_t Y =
        static_cast<int32_t>(static_cast<uint32_t>(X) - static_cast<uint32_t>(Mul31Shift5(FLast)));
    FLast = X;
    return Y;
  }

 private:
  static int32_t Mul31Shift5(int32_t V) {
    return static_cast<int32_t>(static_cast<uint32_t>(V) * 31u) >> 5;
  }
  int32_t FLast = 0;
};

class TPredictor {
 public:
  TPredictor() { Reset(); }
  void Reset();
  // The residual of X, with B the cross-channel input of the same instant
  // (0 for mono).
  int32_t Compress(int32_t X, int32_t B);
  // The same with no cross input (mono, pseudo-stereo): B and its
  // coefficients stay 0.
  int32_t CompressMono(int32_t X);

 private:
  static int32_t Sgn(int32_t V) { return (V > 0) - (V < 0); }
  static uint32_t U(int32_t V) { return static_cast<uint32_t>(V); }

  TScaledFirstOrder FStageA, FStageB;
  int32_t FA[4];   // terms of the own input: A(t-1), then three differences
  int32_t FB[5];   // terms of the cross input: B(t), then four differences
  int32_t FLastB;  // B(t-1)
  int32_t FCoefA[4];
  int32_t FCoefB[5];
};

}  // namespace ape
