#include "wave/AdpcmCodec.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "wave/AdpcmTables.h"

// ---------------------------------------------------------------- IMA ADPCM encoding

int ImaSamplesPerBlock(int BlockSize, int Channels) {
  if (!ImaBlockLayoutValid(BlockSize, Channels)) return 0;
  return (2 / Channels) * (BlockSize - 4 * Channels) + 1;
}

bool ImaBlockLayoutValid(int BlockSize, int Channels) {
  if (Channels != 1 && Channels != 2) return false;
  if (BlockSize % 4 != 0 || BlockSize < 4 * Channels || BlockSize > MaxImaBlockSize) return false;
  // Stereo data alternates 4 bytes of left and 4 bytes of right: a trailing
  // half group would have nowhere to put the right channel.
  return Channels == 1 || (BlockSize - 8) % 8 == 0;
}

namespace {

// One channel's running state: the decoder's reconstruction, which the
// encoder must track exactly so that its errors do not accumulate.
struct TImaEncoder {
  int Predictor;
  int Index;

  uint8_t Encode(int Sample) {
    const int Step = ImaStepTable[Index];
    int Diff = Sample - Predictor;
    uint8_t Code = 0;
    if (Diff < 0) {
      Code = 8;
      Diff = -Diff;
    }
    if (Diff >= Step) {
      Code |= 4;
      Diff -= Step;
    }
    if (Diff >= Step / 2) {
      Code |= 2;
      Diff -= Step / 2;
    }
    if (Diff >= Step / 4) Code |= 1;

    // The same reconstruction as the decoder, shifts and all.
    int Delta = Step >> 3;
    if (Code & 4) Delta += Step;
    if (Code & 2) Delta += Step >> 1;
    if (Code & 1) Delta += Step >> 2;
    Predictor += (Code & 8) ? -Delta : Delta;
    Predictor = std::clamp(Predictor, -32767, 32767);
    Index = std::clamp(Index + ImaIndexTable[Code], 0, 88);
    return Code;
  }
};

}  // namespace

void EncodeImaBlock(const int16_t* Samples, int Channels, int BlockSize, uint8_t StepIndex[2],
                    uint8_t* Block) {
  if (!ImaBlockLayoutValid(BlockSize, Channels))
    throw std::invalid_argument("IMA ADPCM block layout not possible");
  std::memset(Block, 0, static_cast<size_t>(BlockSize));

  TImaEncoder Enc[2];
  for (int C = 0; C < Channels; ++C) {
    Enc[C].Predictor = Samples[C];
    Enc[C].Index = std::min<int>(StepIndex[C], 88);
    uint8_t* H = Block + 4 * C;
    const auto P = static_cast<uint16_t>(Samples[C]);
    H[0] = static_cast<uint8_t>(P & 0xFF);
    H[1] = static_cast<uint8_t>(P >> 8);
    H[2] = static_cast<uint8_t>(Enc[C].Index);
    H[3] = 0;
  }

  const int16_t* Data = Samples + Channels;  // frames after the header frame
  if (Channels == 1) {
    const int Coded = 2 * (BlockSize - 4);
    uint8_t* Out = Block + 4;
    for (int K = 0; K < Coded; K += 2) {
      const uint8_t Lo = Enc[0].Encode(Data[K]);
      const uint8_t Hi = Enc[0].Encode(Data[K + 1]);
      Out[K / 2] = static_cast<uint8_t>(Lo | (Hi << 4));
    }
  } else {
    const int Coded = BlockSize - 8;  // per channel
    for (int C = 0; C < 2; ++C) {
      for (int K = 0; K < Coded; K += 2) {
        const uint8_t Lo = Enc[C].Encode(Data[2 * K + C]);
        const uint8_t Hi = Enc[C].Encode(Data[2 * (K + 1) + C]);
        Block[8 + 8 * (K / 8) + (K / 2) % 4 + 4 * C] = static_cast<uint8_t>(Lo | (Hi << 4));
      }
    }
  }
  for (int C = 0; C < Channels; ++C) StepIndex[C] = static_cast<uint8_t>(Enc[C].Index);
}
