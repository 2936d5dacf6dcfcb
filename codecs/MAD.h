// The libmad binding: the library's file name, its load flag and the table of
// the decoder entry points Velmora calls. libmad's own header supplies the
// types only; the library itself is opened at run time.
#pragma once

#include <mad.h>

#include <cstdint>

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

// "libmad.so.0", loaded at program start (LoadCodecLibraries) or by the first
// decoder component.
TCodecLibrary& MADLibrary();
// The entry points; valid while MADLibrary() is loaded.
const TMADEntryPoints& MAD();
