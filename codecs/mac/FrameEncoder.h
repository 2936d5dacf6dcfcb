// Turns the PCM of one APE frame into the frame's bytes: CRC word, optional
// special-code word, then the range-coded residuals of every channel.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/mac/AdaptiveFir.h"
#include "codecs/mac/Predictor.h"
#include "codecs/mac/RangeEncoder.h"

namespace ape {

// Frame special codes.
enum : uint32_t {
  kSpecialMonoSilence = 1,   // mono: all zero; stereo: the second channel is
  kSpecialOtherSilence = 2,  // stereo: the first channel is all zero
  kSpecialPseudoStereo = 4,  // stereo: both channels equal
};

// Blocks per frame written at each level.
int BlocksPerFrameForLevel(int Level);

class TFrameEncoder {
 public:
  // Level 1000..5000; Bits 8, 16 or 24; Channels 1 or 2.
  TFrameEncoder(int Level, int Bits, int Channels);

  // Appends the frame made of Blocks blocks of interleaved PCM at Pcm to Out,
  // in the byte order of the frame (before the file's 32-bit word packing).
  void Encode(const uint8_t* Pcm, int Blocks, std::vector<uint8_t>& Out);

 private:
  struct TChannel {
    TPredictor Predictor;
    std::vector<TAdaptiveFir> Filters;  // largest first
    uint32_t KSum = 0;
  };

  void Unpack(const uint8_t* Pcm, int Blocks);
  uint32_t SpecialCodes(int Blocks) const;
  void ResetChannel(TChannel& C);
  int32_t Filter(TChannel& C, int32_t R);
  void EncodeValue(TChannel& C, int32_t V);

  int FBits;
  int FChannels;
  TChannel FCh[2];
  TRangeEncoder FCoder;
  std::vector<int32_t> FX;  // first channel
  std::vector<int32_t> FY;  // second channel
};

}  // namespace ape
