#include "codecs/lame.h"

namespace {
TLameEntryPoints GLame;
}  // namespace

TCodecLibrary& LameLibrary() {
  static TCodecLibrary Lib("libmp3lame.so.0", [](const TCodecLibrary& L) {
    TLameEntryPoints& E = GLame;
    bool Ok = true;
    Ok &= L.Bind(E.lame_init, "lame_init");
    Ok &= L.Bind(E.lame_set_num_samples, "lame_set_num_samples");
    Ok &= L.Bind(E.lame_set_in_samplerate, "lame_set_in_samplerate");
    Ok &= L.Bind(E.lame_set_num_channels, "lame_set_num_channels");
    Ok &= L.Bind(E.lame_set_brate, "lame_set_brate");
    Ok &= L.Bind(E.lame_init_params, "lame_init_params");
    Ok &= L.Bind(E.lame_encode_buffer, "lame_encode_buffer");
    Ok &= L.Bind(E.lame_encode_buffer_interleaved, "lame_encode_buffer_interleaved");
    Ok &= L.Bind(E.lame_encode_flush, "lame_encode_flush");
    Ok &= L.Bind(E.lame_close, "lame_close");
    Ok &= L.Bind(E.id3tag_init, "id3tag_init");
    Ok &= L.Bind(E.id3tag_set_title, "id3tag_set_title");
    Ok &= L.Bind(E.id3tag_set_artist, "id3tag_set_artist");
    Ok &= L.Bind(E.id3tag_set_album, "id3tag_set_album");
    Ok &= L.Bind(E.id3tag_set_year, "id3tag_set_year");
    Ok &= L.Bind(E.id3tag_set_track, "id3tag_set_track");
    Ok &= L.Bind(E.id3tag_set_comment, "id3tag_set_comment");
    // Optional: an older library without it still encodes; the first frame
    // then stays the encoder's placeholder.
    L.Bind(E.lame_get_lametag_frame, "lame_get_lametag_frame");
    // Optional: without it, 24-bit audio is refused rather than cut to 16.
    L.Bind(E.lame_encode_buffer_int, "lame_encode_buffer_int");
    // Optional: without it a bit rate the encoder changed goes unreported.
    L.Bind(E.lame_get_brate, "lame_get_brate");
    return Ok;
  });
  return Lib;
}

const TLameEntryPoints& Lame() { return GLame; }
