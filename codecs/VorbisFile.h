// Run-time binding of vorbisfile: the library (VorbisFileLibrary()) and its table of entry
// points (VorbisFile()), filled each time the file is loaded. The library's own header
// gives the types only.
#pragma once

// The header's stdio call-back tables would be unused statics here.
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include "codecs/CodecLibrary.h"

// Entry points the adapters call: a file without one of them counts as not
// loaded.
// clang-format off: one entry point a line
#define VELMORA_VORBISFILE_USED(X) \
  X(ov_open_callbacks)             \
  X(ov_clear)                      \
  X(ov_comment)                    \
  X(ov_info)                       \
  X(ov_pcm_total)                  \
  X(ov_read)                       \
  X(ov_pcm_seek)                   \
  X(ov_seekable)                   \
  X(ov_streams)
// clang-format on

#ifndef VELMORA_ENTRY_SLOT
#define VELMORA_ENTRY_SLOT(Name) decltype(&::Name) Name = nullptr;
#endif

struct TVorbisFileApi {
  VELMORA_VORBISFILE_USED(VELMORA_ENTRY_SLOT)
};

// "libvorbisfile.so.3"; loading it fills the table.
TCodecLibrary& VorbisFileLibrary();
// The table; valid while VorbisFileLibrary() is loaded.
const TVorbisFileApi& VorbisFile();
