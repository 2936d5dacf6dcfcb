// Run-time binding of libogg: the library (OggLibrary()) and its table of entry
// points (Ogg()), filled each time the file is loaded. The library's own header
// gives the types only.
#pragma once

#include <ogg/ogg.h>

#include "codecs/CodecLibrary.h"

// Entry points the adapters call: a file without one of them counts as not
// loaded.
#define VELMORA_OGG_USED(X)                                                                   \
  X(ogg_stream_init) X(ogg_stream_clear) X(ogg_stream_packetin) X(ogg_stream_pageout)         \
  X(ogg_stream_flush) X(ogg_page_eos)

// Looked up as well, for later users of the binding.
#define VELMORA_OGG_OTHER(X)                                                                  \
  X(ogg_stream_reset) X(ogg_stream_destroy) X(ogg_stream_eos) X(ogg_page_checksum_set)         \
  X(ogg_page_version) X(ogg_page_continued) X(ogg_page_bos) X(ogg_page_granulepos)             \
  X(ogg_page_serialno) X(ogg_page_pageno) X(ogg_page_packets) X(ogg_packet_clear)              \
  X(oggpack_writeinit) X(oggpack_writetrunc) X(oggpack_writealign) X(oggpack_writecopy)       \
  X(oggpack_reset) X(oggpack_writeclear) X(oggpack_readinit) X(oggpack_write) X(oggpack_look) \
  X(oggpack_look1) X(oggpack_adv) X(oggpack_adv1) X(oggpack_read) X(oggpack_read1)            \
  X(oggpack_bytes) X(oggpack_bits) X(oggpack_get_buffer) X(ogg_sync_init) X(ogg_sync_clear)   \
  X(ogg_sync_reset) X(ogg_sync_destroy) X(ogg_sync_buffer) X(ogg_sync_wrote)                  \
  X(ogg_sync_pageseek) X(ogg_sync_pageout) X(ogg_stream_pagein) X(ogg_stream_packetout)       \
  X(ogg_stream_packetpeek)

#ifndef VELMORA_ENTRY_SLOT
#define VELMORA_ENTRY_SLOT(Name) decltype(&::Name) Name = nullptr;
#endif

struct TOggApi {
  VELMORA_OGG_USED(VELMORA_ENTRY_SLOT)
  VELMORA_OGG_OTHER(VELMORA_ENTRY_SLOT)
};

// "libogg.so.0"; loading it fills the table.
TCodecLibrary& OggLibrary();
// The table; valid while OggLibrary() is loaded.
const TOggApi& Ogg();
