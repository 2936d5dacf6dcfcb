// The libmad binding: the library's file name, its load flag and the table of
// the decoder entry points Velmora calls. libmad's own header supplies the
// types only; the library itself is opened at run time.
#pragma once

#include <mad.h>

#include <cstdint>
#include <stdexcept>

#include "codecs/CodecLibrary.h"

struct TMADEntryPoints {
  decltype(&::mad_decoder_init) mad_decoder_init = nullptr;
  decltype(&::mad_decoder_finish) mad_decoder_finish = nullptr;
  decltype(&::mad_decoder_run) mad_decoder_run = nullptr;
  decltype(&::mad_stream_buffer) mad_stream_buffer = nullptr;
  // Frame by frame, for conversions fed in pieces.
  decltype(&::mad_stream_init) mad_stream_init = nullptr;
  decltype(&::mad_stream_finish) mad_stream_finish = nullptr;
  decltype(&::mad_frame_init) mad_frame_init = nullptr;
  decltype(&::mad_frame_finish) mad_frame_finish = nullptr;
  decltype(&::mad_frame_decode) mad_frame_decode = nullptr;
  decltype(&::mad_header_decode) mad_header_decode = nullptr;
  decltype(&::mad_synth_init) mad_synth_init = nullptr;
  decltype(&::mad_synth_frame) mad_synth_frame = nullptr;
};

// A decoded sample (28 fraction bits) as 16 bits: clipped to [-1, 1), then
// the low 13 bits dropped (no rounding, no dither).
inline int16_t MadSampleTo16(mad_fixed_t X) {
  if (X > 0x0FFFFFFF)
    X = 0x0FFFFFFF;
  else if (X < -0x10000000)
    X = -0x10000000;
  return static_cast<int16_t>(X >> 13);
}

// The first N samples of a decoded frame as interleaved 16-bit PCM in
// Channels (1 or 2) channels. A frame of another channel count than the
// stream's is brought to it: a mono frame is doubled, a stereo frame into one
// channel keeps its left channel.
inline void MadPcmTo16(const mad_pcm& P, int N, int Channels, int16_t* Out) {
  const mad_fixed_t* L = P.samples[0];
  const mad_fixed_t* R = P.channels == 2 ? P.samples[1] : P.samples[0];
  if (Channels == 2) {
    for (int I = 0; I < N; ++I) {
      Out[2 * I] = MadSampleTo16(L[I]);
      Out[2 * I + 1] = MadSampleTo16(R[I]);
    }
  } else {
    for (int I = 0; I < N; ++I) Out[I] = MadSampleTo16(L[I]);
  }
}

// "libmad.so.0", loaded at program start (LoadCodecLibraries) or by the first
// decoder component.
TCodecLibrary& MADLibrary();

// Owner, once libmad is loaded; raises the library's load error otherwise. A
// decoder component checks the library in its base's initializer, so that a
// missing library leaves nothing half-built behind (no entry in the owner's
// list).
template <class TOwner>
TOwner* CheckMad(TOwner* Owner) {
  if (!MADLibrary().Load()) throw std::runtime_error(MADLibrary().LoadError());
  return Owner;
}
// The entry points; valid while MADLibrary() is loaded.
const TMADEntryPoints& MAD();
