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
