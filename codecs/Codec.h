// Run-time binding of libvorbis: the library (VorbisLibrary()) and its table of entry
// points (Vorbis()), filled each time the file is loaded. The library's own header
// gives the types only.
#pragma once

#include <vorbis/codec.h>

#include "codecs/CodecLibrary.h"

// Entry points the adapters call: a file without one of them counts as not
// loaded.
// clang-format off: one entry point a line
#define VELMORA_VORBIS_USED(X) \
  X(vorbis_info_init)          \
  X(vorbis_info_clear)         \
  X(vorbis_comment_init)       \
  X(vorbis_comment_add_tag)    \
  X(vorbis_comment_clear)      \
  X(vorbis_analysis_init)      \
  X(vorbis_block_init)         \
  X(vorbis_block_clear)        \
  X(vorbis_dsp_clear)          \
  X(vorbis_analysis_headerout) \
  X(vorbis_analysis_buffer)    \
  X(vorbis_analysis_wrote)     \
  X(vorbis_analysis_blockout)  \
  X(vorbis_analysis)           \
  X(vorbis_bitrate_addblock)   \
  X(vorbis_bitrate_flushpacket)
// clang-format on

#ifndef VELMORA_ENTRY_SLOT
#define VELMORA_ENTRY_SLOT(Name) decltype(&::Name) Name = nullptr;
#endif

struct TVorbisApi {
  VELMORA_VORBIS_USED(VELMORA_ENTRY_SLOT)
};

// "libvorbis.so.0"; loading it fills the table.
TCodecLibrary& VorbisLibrary();
// The table; valid while VorbisLibrary() is loaded.
const TVorbisApi& Vorbis();
