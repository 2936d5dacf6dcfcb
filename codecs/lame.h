// The LAME binding: the encoder library's file name, its load count and the
// table of the entry points Velmora calls. LAME's own header supplies the
// types only; the library itself is opened at run time.
//
// Unlike the other codec libraries, LAME is not loaded at program start: each
// encoder component takes a reference in its constructor and gives it back in
// its destructor, so the library is loaded while at least one encoder exists.
#pragma once

#include <lame/lame.h>

#include "codecs/CodecLibrary.h"

struct TLameEntryPoints {
  decltype(&::lame_init) lame_init = nullptr;
  decltype(&::lame_set_num_samples) lame_set_num_samples = nullptr;
  decltype(&::lame_set_in_samplerate) lame_set_in_samplerate = nullptr;
  decltype(&::lame_set_num_channels) lame_set_num_channels = nullptr;
  decltype(&::lame_set_brate) lame_set_brate = nullptr;
  decltype(&::lame_init_params) lame_init_params = nullptr;
  decltype(&::lame_get_brate) lame_get_brate = nullptr;  // optional
  decltype(&::lame_encode_buffer) lame_encode_buffer = nullptr;
  decltype(&::lame_encode_buffer_interleaved) lame_encode_buffer_interleaved = nullptr;
  decltype(&::lame_encode_buffer_int) lame_encode_buffer_int = nullptr;  // optional: 24 bits
  decltype(&::lame_encode_flush) lame_encode_flush = nullptr;
  decltype(&::lame_get_lametag_frame) lame_get_lametag_frame = nullptr;
  decltype(&::lame_close) lame_close = nullptr;
  decltype(&::id3tag_init) id3tag_init = nullptr;
  decltype(&::id3tag_set_title) id3tag_set_title = nullptr;
  decltype(&::id3tag_set_artist) id3tag_set_artist = nullptr;
  decltype(&::id3tag_set_album) id3tag_set_album = nullptr;
  decltype(&::id3tag_set_year) id3tag_set_year = nullptr;
  decltype(&::id3tag_set_track) id3tag_set_track = nullptr;
  decltype(&::id3tag_set_comment) id3tag_set_comment = nullptr;
};

// "libmp3lame.so.0", counted by the encoder components.
TCodecLibrary& LameLibrary();
// The entry points; valid while LameLibrary() is loaded.
const TLameEntryPoints& Lame();
