// Block codecs of the ADPCM kinds a WAVE file can hold. Each function works on
// one whole block as it lies in the file's "data" chunk.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------- IMA ADPCM encoding

// The largest IMA block a WAVE header can describe: the mono samples-per-block
// field, 2 x (BlockSize - 4) + 1, must fit in 16 bits.
constexpr int MaxImaBlockSize = 32768;

// Sample frames one IMA ADPCM block of BlockSize bytes holds: the header frame
// plus 2 x (BlockSize - 4) coded samples for mono, BlockSize - 8 coded samples
// per channel for stereo. 0 when the block cannot be laid out (see
// ImaBlockLayoutValid).
int ImaSamplesPerBlock(int BlockSize, int Channels);

// True when a block of BlockSize bytes can carry Channels channels: 1 or 2
// channels, BlockSize a multiple of 4 from 4 x Channels to MaxImaBlockSize, and
// for stereo a whole number of 8-byte left/right groups after the headers.
bool ImaBlockLayoutValid(int BlockSize, int Channels);

// Encodes one IMA ADPCM block.
// Samples: ImaSamplesPerBlock(BlockSize, Channels) interleaved 16-bit frames;
//   the first frame becomes the block header's predictors.
// StepIndex: one entry per channel; on entry the step index the previous block
//   ended with (0 for the first block of a file), on return the one this block
//   ended with, to be handed to the next block.
// Block: receives exactly BlockSize bytes.
// Raises std::invalid_argument when ImaBlockLayoutValid is false.
void EncodeImaBlock(const int16_t* Samples, int Channels, int BlockSize, uint8_t StepIndex[2],
                    uint8_t* Block);

// ---------------------------------------------------------------- ADPCM decoding
//
// The decoders accept the first Bytes bytes of a block, so that the short last
// block of a cut file still gives what it holds. They never read past Bytes and
// write exactly the frame count their *DecodedFrames function returns.

// Frames DecodeImaBlock makes of Bytes bytes: the header frame plus every
// coded sample after the headers (mono: 2 x (Bytes - 4); stereo: whole 8-byte
// left/right groups only, 8 samples each). 0 when Bytes cannot hold the
// headers or Channels is not 1 or 2.
int ImaDecodedFrames(int Bytes, int Channels);

// Decodes one IMA ADPCM block into interleaved 16-bit samples. The first frame
// is the header predictors; a header step index above 88 is taken as 88.
// Out needs room for ImaDecodedFrames(Bytes, Channels) x Channels samples.
// Returns the frames written.
int DecodeImaBlock(const uint8_t* Block, int Bytes, int Channels, int16_t* Out);

// The coefficient table of a Microsoft ADPCM file: at most 32 pairs.
constexpr int MaxMsCoefficients = 32;
struct TMsCoefficients {
  int Count = 0;  // pairs in use, 1 ... MaxMsCoefficients
  int16_t Pair[MaxMsCoefficients][2] = {};
};

// The standard seven pairs every MS ADPCM file starts its table with.
TMsCoefficients StandardMsCoefficients();

// Frames DecodeMsBlock makes of Bytes bytes with the header's samples per
// block: the two header samples plus SamplesPerBlock - 2 coded frames (mono:
// rounded down to an even count), fewer when Bytes does not hold that many
// nibbles. 0 when Bytes cannot hold the header (7 bytes a channel) or Channels
// is not 1 or 2.
int MsDecodedFrames(int Bytes, int Channels, int SamplesPerBlock);

// Decodes one Microsoft ADPCM block into interleaved 16-bit samples: first
// sample 2, then sample 1 of the header, then one sample a nibble (high nibble
// first; stereo: high nibble left, low nibble right). A header predictor index
// past the table is taken as its last pair; an empty table is taken as the
// standard seven pairs. Out needs room for
// MsDecodedFrames(Bytes, Channels, SamplesPerBlock) x Channels samples.
// Returns the frames written.
int DecodeMsBlock(const uint8_t* Block, int Bytes, int Channels, int SamplesPerBlock,
                  const TMsCoefficients& Coefficients, int16_t* Out);
