#include "codecs/mac/Predictor.h"

namespace ape {

void TPredictor::Reset() {
  FStageA.Reset();
  FStageB.Reset();
  for (int32_t& V : FA) V = 0;
  for (int32_t& V : FB) V = 0;
  FLastB = 0;
  FCoefA[0] = 360;
  FCoefA[1] = 317;
  FCoefA[2] = -109;
  FCoefA[3] = 98;
  for (int32_t& V : FCoefB) V = 0;
}

int32_t TPredictor::Compress(int32_t X, int32_t B) {
  const int32_t A = FStageA.Compress(X);
  const int32_t Bt = FStageB.Compress(B);
  // The cross input is used at its current instant; its older terms are
  // differences carried over from the previous instants.
  FB[4] = FB[3];
  FB[3] = FB[2];
  FB[2] = FB[1];
  FB[1] = static_cast<int32_t>(U(Bt) - U(FLastB));
  FB[0] = Bt;
  FLastB = Bt;

  uint32_t PA = 0, PB = 0;
  for (int K = 0; K < 4; ++K) PA += U(FA[K]) * U(FCoefA[K]);
  for (int K = 0; K < 5; ++K) PB += U(FB[K]) * U(FCoefB[K]);
  const int32_t P = static_cast<int32_t>(PA + U(static_cast<int32_t>(PB) >> 1)) >> 10;
  const int32_t R = static_cast<int32_t>(U(A) - U(P));

  if (R != 0) {
    const int32_t S = R > 0 ? 1 : -1;
    for (int K = 0; K < 4; ++K) FCoefA[K] += S * Sgn(FA[K]);
    for (int K = 0; K < 5; ++K) FCoefB[K] += S * Sgn(FB[K]);
  }
  FA[3] = FA[2];
  FA[2] = FA[1];
  FA[1] = static_cast<int32_t>(U(A) - U(FA[0]));
  FA[0] = A;
  return R;
}

int32_t TPredictor::CompressMono(int32_t X) {
  const int32_t A = FStageA.Compress(X);
  uint32_t PA = 0;
  for (int K = 0; K < 4; ++K) PA += U(FA[K]) * U(FCoefA[K]);
  const int32_t P = static_cast<int32_t>(PA) >> 10;
  const int32_t R = static_cast<int32_t>(U(A) - U(P));
  if (R != 0) {
    const int32_t S = R > 0 ? 1 : -1;
    for (int K = 0; K < 4; ++K) FCoefA[K] += S * Sgn(FA[K]);
  }
  FA[3] = FA[2];
  FA[2] = FA[1];
  FA[1] = static_cast<int32_t>(U(A) - U(FA[0]));
  FA[0] = A;
  return R;
}

}  // namespace ape
