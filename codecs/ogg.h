// Run-time binding of libogg: the library (OggLibrary()) and its table of entry
// points (Ogg()), filled each time the file is loaded. The library's own header
// gives the types only.
#pragma once

#include <ogg/ogg.h>

#include "codecs/CodecLibrary.h"

// Entry points the adapters call: a file without one of them counts as not
// loaded.
// clang-format off: one entry point a line
#define VELMORA_OGG_USED(X) \
  X(ogg_stream_init)        \
  X(ogg_stream_clear)       \
  X(ogg_stream_packetin)    \
  X(ogg_stream_pageout)     \
  X(ogg_stream_flush)       \
  X(ogg_page_eos)
// clang-format on

#ifndef VELMORA_ENTRY_SLOT
#define VELMORA_ENTRY_SLOT(Name) decltype(&::Name) Name = nullptr;
#endif

struct TOggApi {
  VELMORA_OGG_USED(VELMORA_ENTRY_SLOT)
};

// "libogg.so.0"; loading it fills the table.
TCodecLibrary& OggLibrary();
// The table; valid while OggLibrary() is loaded.
const TOggApi& Ogg();
