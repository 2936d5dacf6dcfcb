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
    return Ok;
  });
  return Lib;
}

const TMADEntryPoints& MAD() { return GMAD; }
