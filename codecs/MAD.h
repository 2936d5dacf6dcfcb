// The libmad binding: the library's file name, its load flag and the table of
// the decoder entry points Velmora calls. libmad's own header supplies the
// types only; the library itself is opened at run time.
#pragma once

#include <mad.h>

#include "codecs/CodecLibrary.h"

struct TMADEntryPoints {
  decltype(&::mad_decoder_init) mad_decoder_init = nullptr;
  decltype(&::mad_decoder_finish) mad_decoder_finish = nullptr;
  decltype(&::mad_decoder_run) mad_decoder_run = nullptr;
  decltype(&::mad_stream_buffer) mad_stream_buffer = nullptr;
};

// "libmad.so.0", loaded at program start (LoadCodecLibraries) or by the first
// decoder component.
TCodecLibrary& MADLibrary();
// The entry points; valid while MADLibrary() is loaded.
const TMADEntryPoints& MAD();
