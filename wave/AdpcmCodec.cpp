#include "wave/AdpcmCodec.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "wave/AdpcmTables.h"
#include "wave/RiffChunks.h"

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

// ---------------------------------------------------------------- ADPCM decoding

namespace {

// One IMA nibble: the standard reconstruction with integer shifts. The lower
// limit is -32767 so that the output stays symmetric.
inline int16_t ImaExpand(int& Predictor, int& Index, int Nibble) {
  const int Step = ImaStepTable[Index];
  int Diff = Step >> 3;
  if (Nibble & 4) Diff += Step;
  if (Nibble & 2) Diff += Step >> 1;
  if (Nibble & 1) Diff += Step >> 2;
  Predictor += (Nibble & 8) ? -Diff : Diff;
  if (Predictor > 32767) Predictor = 32767;
  if (Predictor < -32767) Predictor = -32767;
  Index += ImaIndexTable[Nibble];
  if (Index < 0) Index = 0;
  if (Index > 88) Index = 88;
  return static_cast<int16_t>(Predictor);
}

// One MS ADPCM channel between nibbles.
struct TMsChannel {
  int C1, C2;  // the coefficient pair chosen by the block header
  int Delta;
  int S1, S2;

  int16_t Expand(int Nibble) {
    // Products of two 16-bit values from the file: a sum of two may not fit in
    // 32 bits. C++ division truncates toward zero, as the format wants.
    const int64_t Prediction =
        (static_cast<int64_t>(S1) * C1 + static_cast<int64_t>(S2) * C2) / 256;
    const int Signed = Nibble >= 8 ? Nibble - 16 : Nibble;
    const int64_t V =
        std::clamp<int64_t>(Prediction + static_cast<int64_t>(Signed) * Delta, -32768, 32767);
    // Hostile data can make the delta grow without end; past this cap every
    // sample is clipped anyway, and the products stay inside 32 bits.
    Delta = std::clamp(Delta * MsAdaptationTable[Nibble] / 256, 16, INT32_MAX / 768);
    S2 = S1;
    S1 = static_cast<int>(V);
    return static_cast<int16_t>(V);
  }
};

}  // namespace

int ImaDecodedFrames(int Bytes, int Channels) {
  if (Channels == 1) return Bytes < 4 ? 0 : 1 + 2 * (Bytes - 4);
  if (Channels == 2) return Bytes < 8 ? 0 : 1 + 8 * ((Bytes - 8) / 8);
  return 0;
}

int DecodeImaBlock(const uint8_t* Block, int Bytes, int Channels, int16_t* Out) {
  const int Frames = ImaDecodedFrames(Bytes, Channels);
  if (Frames == 0) return 0;
  int Predictor[2] = {0, 0}, Index[2] = {0, 0};
  for (int C = 0; C < Channels; ++C) {
    const uint8_t* H = Block + 4 * C;
    Predictor[C] = static_cast<int16_t>(GetLe16(H));
    Index[C] = std::min<int>(H[2], 88);
    Out[C] = static_cast<int16_t>(Predictor[C]);
  }
  if (Channels == 1) {
    const uint8_t* In = Block + 4;
    int16_t* O = Out + 1;
    for (int K = 0; K < Bytes - 4; ++K) {
      *O++ = ImaExpand(Predictor[0], Index[0], In[K] & 0x0F);
      *O++ = ImaExpand(Predictor[0], Index[0], In[K] >> 4);
    }
  } else {
    // Groups of 4 bytes of left then 4 bytes of right, 8 samples each.
    const int Groups = (Frames - 1) / 8;
    for (int G = 0; G < Groups; ++G) {
      const uint8_t* In = Block + 8 + 8 * G;
      int16_t* O = Out + 2 * (1 + 8 * G);
      for (int C = 0; C < 2; ++C)
        for (int K = 0; K < 4; ++K) {
          const uint8_t B = In[4 * C + K];
          O[2 * (2 * K) + C] = ImaExpand(Predictor[C], Index[C], B & 0x0F);
          O[2 * (2 * K + 1) + C] = ImaExpand(Predictor[C], Index[C], B >> 4);
        }
    }
  }
  return Frames;
}

TMsCoefficients StandardMsCoefficients() {
  TMsCoefficients T;
  T.Count = 7;
  for (int I = 0; I < 7; ++I) {
    T.Pair[I][0] = MsStandardCoefficients[I][0];
    T.Pair[I][1] = MsStandardCoefficients[I][1];
  }
  return T;
}

int MsDecodedFrames(int Bytes, int Channels, int SamplesPerBlock) {
  if (Channels != 1 && Channels != 2) return 0;
  const int Header = 7 * Channels;
  if (Bytes < Header) return 0;
  int Coded = std::max(0, SamplesPerBlock - 2);
  if (Channels == 1) Coded &= ~1;
  // Mono takes two nibbles a byte, stereo one nibble per channel a byte.
  const int Available = Channels == 1 ? 2 * (Bytes - Header) : Bytes - Header;
  return 2 + std::min(Coded, Available);
}

int DecodeMsBlock(const uint8_t* Block, int Bytes, int Channels, int SamplesPerBlock,
                  const TMsCoefficients& Coefficients, int16_t* Out) {
  const int Frames = MsDecodedFrames(Bytes, Channels, SamplesPerBlock);
  if (Frames == 0) return 0;
  static const TMsCoefficients Standard = StandardMsCoefficients();
  const TMsCoefficients& Table = Coefficients.Count >= 1 ? Coefficients : Standard;
  const int Count = std::min(Table.Count, MaxMsCoefficients);

  TMsChannel Ch[2];
  for (int C = 0; C < Channels; ++C) {
    const int Index = std::min<int>(Block[C], Count - 1);
    Ch[C].C1 = Table.Pair[Index][0];
    Ch[C].C2 = Table.Pair[Index][1];
    Ch[C].Delta = static_cast<int16_t>(GetLe16(Block + Channels + 2 * C));
    Ch[C].S1 = static_cast<int16_t>(GetLe16(Block + 3 * Channels + 2 * C));
    Ch[C].S2 = static_cast<int16_t>(GetLe16(Block + 5 * Channels + 2 * C));
    Out[C] = static_cast<int16_t>(Ch[C].S2);
    Out[Channels + C] = static_cast<int16_t>(Ch[C].S1);
  }
  const uint8_t* In = Block + 7 * Channels;
  int16_t* O = Out + 2 * Channels;
  const int Coded = Frames - 2;
  if (Channels == 1) {
    for (int K = 0; K < Coded / 2; ++K) {
      *O++ = Ch[0].Expand(In[K] >> 4);
      *O++ = Ch[0].Expand(In[K] & 0x0F);
    }
  } else {
    for (int K = 0; K < Coded; ++K) {
      *O++ = Ch[0].Expand(In[K] >> 4);
      *O++ = Ch[1].Expand(In[K] & 0x0F);
    }
  }
  return Frames;
}
