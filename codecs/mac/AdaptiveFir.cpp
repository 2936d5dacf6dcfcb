#include "codecs/mac/AdaptiveFir.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ape {

namespace {

inline int16_t Saturate16(int32_t V) {
  return static_cast<int16_t>(std::clamp<int32_t>(V, -32768, 32767));
}

// Sum of H[j] * C[j], wrapping at 32 bits (the decoders sum in int32 too).
inline int32_t Dot(const int16_t* H, const int16_t* C, int N) {
#if defined(__SSE2__)
  __m128i S0 = _mm_setzero_si128(), S1 = _mm_setzero_si128();
  for (int J = 0; J < N; J += 16) {
    S0 =
        _mm_add_epi32(S0, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(H + J)),
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(C + J))));
    S1 = _mm_add_epi32(
        S1, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(H + J + 8)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(C + J + 8))));
  }
  S0 = _mm_add_epi32(S0, S1);
  S0 = _mm_add_epi32(S0, _mm_shuffle_epi32(S0, 0x4E));
  S0 = _mm_add_epi32(S0, _mm_shuffle_epi32(S0, 0xB1));
  return _mm_cvtsi128_si32(S0);
#else
  uint32_t S = 0;
  for (int J = 0; J < N; ++J)
    S += static_cast<uint32_t>(static_cast<int32_t>(H[J]) * static_cast<int32_t>(C[J]));
  return static_cast<int32_t>(S);
#endif
}

// C[j] += D[j] (Add) or C[j] -= D[j], wrapping at 16 bits.
inline void Adapt(int16_t* C, const int16_t* D, int N, bool Add) {
#if defined(__SSE2__)
  if (Add) {
    for (int J = 0; J < N; J += 8) {
      auto* P = reinterpret_cast<__m128i*>(C + J);
      _mm_storeu_si128(P, _mm_add_epi16(_mm_loadu_si128(P),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(D + J))));
    }
  } else {
    for (int J = 0; J < N; J += 8) {
      auto* P = reinterpret_cast<__m128i*>(C + J);
      _mm_storeu_si128(P, _mm_sub_epi16(_mm_loadu_si128(P),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(D + J))));
    }
  }
#else
  for (int J = 0; J < N; ++J) C[J] = static_cast<int16_t>(Add ? C[J] + D[J] : C[J] - D[J]);
#endif
}

}  // namespace

TAdaptiveFir::TAdaptiveFir(int Order, int Shift)
    : FOrder(Order),
      FShift(Shift),
      FRound(1 << (Shift - 1)),
      FCoef(static_cast<size_t>(Order)),
      FHistory(static_cast<size_t>(Order + kWindow)),
      FAdapt(static_cast<size_t>(Order + kWindow)) {
  Reset();
}

void TAdaptiveFir::Reset() {
  std::fill(FCoef.begin(), FCoef.end(), 0);
  std::fill(FHistory.begin(), FHistory.end(), 0);
  std::fill(FAdapt.begin(), FAdapt.end(), 0);
  FAverage = 0;
  FPos = 0;
}

int32_t TAdaptiveFir::Compress(int32_t V) {
  int16_t* H = FHistory.data() + FPos;
  int16_t* D = FAdapt.data() + FPos;
  const int32_t DotP = Dot(H, FCoef.data(), FOrder);
  const int32_t Pred = static_cast<int32_t>((static_cast<int64_t>(DotP) + FRound) >> FShift);
  const int32_t Out = static_cast<int32_t>(static_cast<uint32_t>(V) - static_cast<uint32_t>(Pred));

  // The coefficients follow the sign of what is coded next; the decoder sees
  // the same value as its input.
  if (Out > 0)
    Adapt(FCoef.data(), D, FOrder, false);
  else if (Out < 0)
    Adapt(FCoef.data(), D, FOrder, true);

  // The new adapt step depends on how large V is against its running average,
  // and points against V's sign.
  const uint32_t AbsV = V < 0 ? 0u - static_cast<uint32_t>(V) : static_cast<uint32_t>(V);
  int16_t Step = 0;
  if (AbsV != 0) {
    int Mag = 8;
    if (static_cast<int64_t>(AbsV) > static_cast<int64_t>(FAverage) * 3)
      Mag = 32;
    else if (static_cast<int64_t>(AbsV) > FAverage + FAverage / 3)
      Mag = 16;
    Step = static_cast<int16_t>(V < 0 ? Mag : -Mag);
  }
  FAverage += static_cast<int32_t>(AbsV - static_cast<uint32_t>(FAverage)) / 16;

  if (FPos == kWindow) {
    // Slide the window back to the start of the buffer.
    std::memmove(FHistory.data(), FHistory.data() + kWindow, sizeof(int16_t) * FOrder);
    std::memmove(FAdapt.data(), FAdapt.data() + kWindow, sizeof(int16_t) * FOrder);
    FPos = 0;
  }
  const int New = FPos + FOrder;  // index of the value being added
  FHistory[New] = Saturate16(V);
  FAdapt[New] = Step;
  // Older steps fade: half at age 2, a quarter from age 3, an eighth from 9.
  FAdapt[New - 1] >>= 1;
  FAdapt[New - 2] >>= 1;
  FAdapt[New - 8] >>= 1;
  ++FPos;
  return Out;
}

}  // namespace ape
