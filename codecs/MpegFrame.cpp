#include "codecs/MpegFrame.h"

#include <cstring>

namespace {

// kbit/s by [row][index]; rows: MPEG-1 layer I, II, III; MPEG-2/2.5 layer I,
// layers II and III.
constexpr int BitRates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
constexpr int Mpeg1Rates[3] = {44100, 48000, 32000};

}  // namespace

bool ParseMpegFrameHeader(const uint8_t* P, TMpegFrameHeader& H) {
  if (P[0] != 0xFF || (P[1] & 0xE0) != 0xE0) return false;
  const int VersionBits = (P[1] >> 3) & 3;
  const int LayerBits = (P[1] >> 1) & 3;
  const int RateIndex = P[2] >> 4;
  const int FreqIndex = (P[2] >> 2) & 3;
  if (VersionBits == 1 || LayerBits == 0 || RateIndex == 15 || FreqIndex == 3) return false;

  TMpegFrameHeader R;
  R.Version = VersionBits == 3 ? 10 : VersionBits == 2 ? 20 : 25;
  R.Layer = 4 - LayerBits;
  const int Row = R.Version == 10 ? R.Layer - 1 : (R.Layer == 1 ? 3 : 4);
  R.BitRate = BitRates[Row][RateIndex] * 1000;
  R.SampleRate = Mpeg1Rates[FreqIndex] / (R.Version == 10 ? 1 : R.Version == 20 ? 2 : 4);
  R.Protected = (P[1] & 1) == 0;
  R.Padding = ((P[2] >> 1) & 1) != 0;
  R.ChannelMode = P[3] >> 6;
  R.Channels = R.ChannelMode == 3 ? 1 : 2;
  R.Copyright = ((P[3] >> 3) & 1) != 0;
  R.Original = ((P[3] >> 2) & 1) != 0;
  if (R.Layer == 1) {
    R.SamplesPerFrame = 384;
    R.FrameBytes = (12 * R.BitRate / R.SampleRate + (R.Padding ? 1 : 0)) * 4;
  } else {
    const bool Half = R.Layer == 3 && R.Version != 10;
    R.SamplesPerFrame = Half ? 576 : 1152;
    R.FrameBytes = (Half ? 72 : 144) * R.BitRate / R.SampleRate + (R.Padding ? 1 : 0);
  }
  H = R;
  return true;
}

size_t Id3v2TagSize(const uint8_t* P, size_t Len) {
  if (Len < 10 || std::memcmp(P, "ID3", 3) != 0) return 0;
  if (P[3] == 0xFF || P[4] == 0xFF) return 0;
  // The body size is stored as four 7-bit bytes.
  if ((P[6] | P[7] | P[8] | P[9]) & 0x80) return 0;
  const size_t Body = (size_t(P[6]) << 21) | (size_t(P[7]) << 14) | (size_t(P[8]) << 7) | P[9];
  const bool Footer = (P[5] & 0x10) != 0;
  return 10 + Body + (Footer ? 10 : 0);
}

bool SameMpegStream(const TMpegFrameHeader& A, const TMpegFrameHeader& B) {
  return A.Version == B.Version && A.Layer == B.Layer && A.SampleRate == B.SampleRate;
}

int64_t FindFirstMpegFrame(const uint8_t* P, size_t Len, TMpegFrameHeader& H) {
  for (size_t I = 0; I + 4 <= Len; ++I) {
    if (P[I] != 0xFF) continue;
    TMpegFrameHeader A;
    if (!ParseMpegFrameHeader(P + I, A) || A.FrameBytes <= 0) continue;
    const size_t Next = I + static_cast<size_t>(A.FrameBytes);
    if (Next == Len) {
      H = A;
      return static_cast<int64_t>(I);
    }
    if (Next + 4 > Len) continue;
    TMpegFrameHeader B;
    if (ParseMpegFrameHeader(P + Next, B) && SameMpegStream(A, B)) {
      H = A;
      return static_cast<int64_t>(I);
    }
  }
  return -1;
}

int XingTagOffset(const TMpegFrameHeader& H) {
  int Side;
  if (H.Version == 10)
    Side = H.Channels == 1 ? 17 : 32;
  else
    Side = H.Channels == 1 ? 9 : 17;
  return 4 + (H.Protected ? 2 : 0) + Side;
}

bool IsXingFrame(const uint8_t* P, size_t Len, const TMpegFrameHeader& H) {
  if (H.Layer != 3) return false;
  const size_t At = static_cast<size_t>(XingTagOffset(H));
  if (At + 4 > Len) return false;
  return std::memcmp(P + At, "Xing", 4) == 0 || std::memcmp(P + At, "Info", 4) == 0;
}
