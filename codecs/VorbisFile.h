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
#define VELMORA_VORBISFILE_USED(X) \
  X(ov_open_callbacks) X(ov_clear) X(ov_comment) X(ov_info) X(ov_pcm_total) X(ov_read) \
  X(ov_pcm_seek) X(ov_seekable) X(ov_streams)

// Looked up as well, for later users of the binding.
#define VELMORA_VORBISFILE_OTHER(X) \
  X(ov_test_callbacks) X(ov_test_open) X(ov_bitrate) X(ov_bitrate_instant) \
  X(ov_serialnumber) X(ov_raw_total) X(ov_time_total) X(ov_raw_seek) X(ov_pcm_seek_page) \
  X(ov_time_seek) X(ov_time_seek_page) X(ov_raw_tell) X(ov_pcm_tell) X(ov_time_tell) \
  X(ov_read_float)

#ifndef VELMORA_ENTRY_SLOT
#define VELMORA_ENTRY_SLOT(Name) decltype(&::Name) Name = nullptr;
#endif

struct TVorbisFileApi {
  VELMORA_VORBISFILE_USED(VELMORA_ENTRY_SLOT)
  VELMORA_VORBISFILE_OTHER(VELMORA_ENTRY_SLOT)
};

// "libvorbisfile.so.3"; loading it fills the table.
TCodecLibrary& VorbisFileLibrary();
// The table; valid while VorbisFileLibrary() is loaded.
const TVorbisFileApi& VorbisFile();
