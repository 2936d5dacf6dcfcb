// Run-time binding of vorbisenc: the library (VorbisEncLibrary()) and its table of entry
// points (VorbisEnc()), filled each time the file is loaded. The library's own header
// gives the types only.
#pragma once

#include <vorbis/vorbisenc.h>

#include "codecs/CodecLibrary.h"

// Entry points the adapters call: a file without one of them counts as not
// loaded.
// clang-format off: one entry point a line
#define VELMORA_VORBISENC_USED(X) \
  X(vorbis_encode_init)           \
  X(vorbis_encode_init_vbr)
// clang-format on

#ifndef VELMORA_ENTRY_SLOT
#define VELMORA_ENTRY_SLOT(Name) decltype(&::Name) Name = nullptr;
#endif

struct TVorbisEncApi {
  VELMORA_VORBISENC_USED(VELMORA_ENTRY_SLOT)
};

// "libvorbisenc.so.2"; loading it fills the table.
TCodecLibrary& VorbisEncLibrary();
// The table; valid while VorbisEncLibrary() is loaded.
const TVorbisEncApi& VorbisEnc();
