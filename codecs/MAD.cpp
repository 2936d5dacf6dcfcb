#include "codecs/MAD.h"

namespace {
TMADEntryPoints GMAD;
}  // namespace

TCodecLibrary& MADLibrary() {
  static TCodecLibrary Lib("libmad.so.0", [](const TCodecLibrary& L) {
    bool Ok = true;
    Ok &= L.Bind(GMAD.mad_decoder_init, "mad_decoder_init");
    Ok &= L.Bind(GMAD.mad_decoder_finish, "mad_decoder_finish");
    Ok &= L.Bind(GMAD.mad_decoder_run, "mad_decoder_run");
    Ok &= L.Bind(GMAD.mad_stream_buffer, "mad_stream_buffer");
    Ok &= L.Bind(GMAD.mad_stream_init, "mad_stream_init");
    Ok &= L.Bind(GMAD.mad_stream_finish, "mad_stream_finish");
    Ok &= L.Bind(GMAD.mad_frame_init, "mad_frame_init");
    Ok &= L.Bind(GMAD.mad_frame_finish, "mad_frame_finish");
    Ok &= L.Bind(GMAD.mad_frame_decode, "mad_frame_decode");
    Ok &= L.Bind(GMAD.mad_header_decode, "mad_header_decode");
    Ok &= L.Bind(GMAD.mad_synth_init, "mad_synth_init");
    Ok &= L.Bind(GMAD.mad_synth_frame, "mad_synth_frame");
    return Ok;
  });
  return Lib;
}

const TMADEntryPoints& MAD() { return GMAD; }
