#include "codecs/mac/FrameEncoder.h"

#include "codecs/mac/Checksums.h"

namespace ape {

namespace {

// The model of the overflow symbol: cumulative counts and widths out of
// 65536. Symbols 21 to 63 all have width 1; 63 escapes to a raw 32-bit value.
constexpr uint32_t kCum[21] = {0,     19578, 36160, 48417, 56323, 60899, 63265,
                               64435, 64971, 65232, 65351, 65416, 65447, 65466,
                               65476, 65482, 65485, 65488, 65490, 65491, 65492};
constexpr uint32_t kWidth[21] = {19578, 16582, 12257, 7906, 4576, 2366, 1170, 536, 261, 119, 65,
                                 31,    19,    10,    6,    3,    3,    2,    1,   1,   1};
constexpr uint32_t kEscape = 63;

struct TFilterSpec {
  int Order, Shift;
};

// Filters per level, largest (applied first when compressing) first.
std::vector<TFilterSpec> FiltersForLevel(int Level) {
  switch (Level) {
    case 2000:
      return {{16, 11}};
    case 3000:
      return {{64, 11}};
    case 4000:
      return {{256, 13}, {32, 10}};
    case 5000:
      return {{1280, 15}, {256, 13}, {16, 11}};
    default:
      return {};
  }
}

void PutBigEndian32(std::vector<uint8_t>& Out, uint32_t V) {
  Out.push_back(static_cast<uint8_t>(V >> 24));
  Out.push_back(static_cast<uint8_t>(V >> 16));
  Out.push_back(static_cast<uint8_t>(V >> 8));
  Out.push_back(static_cast<uint8_t>(V));
}

}  // namespace

int BlocksPerFrameForLevel(int Level) {
  if (Level >= 5000) return 73728 * 16;
  if (Level >= 4000) return 73728 * 4;
  return 73728;
}

TFrameEncoder::TFrameEncoder(int Level, int Bits, int Channels) : FBits(Bits), FChannels(Channels) {
  for (TChannel& C : FCh)
    for (const TFilterSpec& S : FiltersForLevel(Level)) C.Filters.emplace_back(S.Order, S.Shift);
}

void TFrameEncoder::Unpack(const uint8_t* Pcm, int Blocks) {
  FX.resize(static_cast<size_t>(Blocks));
  FY.resize(FChannels == 2 ? static_cast<size_t>(Blocks) : 0);
  const int N = Blocks * FChannels;
  int32_t* Dst[2] = {FX.data(), FY.data()};
  for (int I = 0; I < N; ++I) {
    int32_t V;
    if (FBits == 8) {
      V = static_cast<int32_t>(Pcm[I]) - 128;
    } else if (FBits == 16) {
      V = static_cast<int16_t>(static_cast<uint16_t>(Pcm[2 * I] | Pcm[2 * I + 1] << 8));
    } else {
      const uint32_t U = static_cast<uint32_t>(Pcm[3 * I]) |
                         static_cast<uint32_t>(Pcm[3 * I + 1]) << 8 |
                         static_cast<uint32_t>(Pcm[3 * I + 2]) << 16;
      V = static_cast<int32_t>(U << 8) >> 8;
    }
    Dst[I % FChannels][I / FChannels] = V;
  }
}

uint32_t TFrameEncoder::SpecialCodes(int Blocks) const {
  // Decoders take the codes from 16-bit frames only. Only the two forms every
  // decoder reads the same way are written: a fully silent frame and a frame
  // whose channels are equal. A frame with one silent channel is coded
  // normally.
  if (FBits != 16) return 0;
  if (FChannels == 1) {
    for (int T = 0; T < Blocks; ++T)
      if (FX[static_cast<size_t>(T)] != 0) return 0;
    return kSpecialMonoSilence;
  }
  bool Equal = true, Silent = true;
  for (int T = 0; T < Blocks && Equal; ++T) {
    const int32_t X = FX[static_cast<size_t>(T)], Y = FY[static_cast<size_t>(T)];
    Equal = X == Y;
    Silent = Silent && X == 0;
  }
  if (!Equal) return 0;
  return Silent ? kSpecialMonoSilence | kSpecialOtherSilence | kSpecialPseudoStereo
                : kSpecialPseudoStereo;
}

void TFrameEncoder::ResetChannel(TChannel& C) {
  C.Predictor.Reset();
  for (TAdaptiveFir& F : C.Filters) F.Reset();
  C.KSum = 16384;
}

inline int32_t TFrameEncoder::Filter(TChannel& C, int32_t R) {
  for (TAdaptiveFir& F : C.Filters) R = F.Compress(R);
  return R;
}

inline void TFrameEncoder::EncodeValue(TChannel& C, int32_t V) {
  // Signed to unsigned: 1 -> 1, -1 -> 2, 2 -> 3, ...
  const uint32_t U = V > 0 ? static_cast<uint32_t>(V) * 2 - 1 : (0u - static_cast<uint32_t>(V)) * 2;
  uint32_t Pivot = C.KSum >> 5;
  if (Pivot == 0) Pivot = 1;
  const uint32_t Overflow = U / Pivot;
  const uint32_t Base = U - Overflow * Pivot;
  C.KSum += ((U + 1) >> 1) - ((C.KSum + 16) >> 5);

  if (Overflow < kEscape) {
    if (Overflow <= 20)
      FCoder.EncodeShift16(kWidth[Overflow], kCum[Overflow]);
    else
      FCoder.EncodeShift16(1, 65493 + (Overflow - 21));
  } else {
    FCoder.EncodeShift16(1, 65493 + (kEscape - 21));
    FCoder.EncodeRaw16(Overflow >> 16);
    FCoder.EncodeRaw16(Overflow & 0xFFFF);
  }

  if (Pivot < 65536) {
    FCoder.EncodeTotal(Base, Pivot);
  } else {
    // Too wide for one step: the high part first, then the low bits.
    int K = 0;
    while ((Pivot >> K) > 0xFFFF) ++K;
    FCoder.EncodeTotal(Base >> K, (Pivot >> K) + 1);
    FCoder.EncodeTotal(Base & ((1u << K) - 1), 1u << K);
  }
}

void TFrameEncoder::Encode(const uint8_t* Pcm, int Blocks, std::vector<uint8_t>& Out) {
  const size_t PcmBytes = static_cast<size_t>(Blocks) * FChannels * (FBits / 8);
  const uint32_t Crc = Crc32Final(Crc32Update(Crc32Start(), Pcm, PcmBytes)) >> 1;
  Unpack(Pcm, Blocks);
  const uint32_t Special = SpecialCodes(Blocks);
  PutBigEndian32(Out, Special ? Crc | 0x80000000u : Crc);
  if (Special) PutBigEndian32(Out, Special);

  for (TChannel& C : FCh) ResetChannel(C);
  FCoder.Start(&Out);

  const bool Silent = FChannels == 1 ? (Special & kSpecialMonoSilence) != 0
                                     : (Special & (kSpecialMonoSilence | kSpecialOtherSilence)) ==
                                           (kSpecialMonoSilence | kSpecialOtherSilence);
  if (Silent) {
    // Nothing is coded.
  } else if (FChannels == 1 || (Special & kSpecialPseudoStereo)) {
    // One channel (the mid of an equal pair is the first channel itself).
    TChannel& C = FCh[0];
    for (int T = 0; T < Blocks; ++T)
      EncodeValue(C, Filter(C, C.Predictor.CompressMono(FX[static_cast<size_t>(T)])));
  } else {
    // Side then mid in every block. The side is predicted with the previous
    // mid as cross input, the mid with the current side.
    TChannel& CS = FCh[0];
    TChannel& CM = FCh[1];
    int32_t PrevM = 0;
    for (int T = 0; T < Blocks; ++T) {
      const int32_t X = FX[static_cast<size_t>(T)], Y = FY[static_cast<size_t>(T)];
      const int32_t S = static_cast<int32_t>(static_cast<uint32_t>(Y) - static_cast<uint32_t>(X));
      const int32_t M = X + S / 2;
      EncodeValue(CS, Filter(CS, CS.Predictor.Compress(S, PrevM)));
      EncodeValue(CM, Filter(CM, CM.Predictor.Compress(M, S)));
      PrevM = M;
    }
  }
  FCoder.Flush();
}

}  // namespace ape
