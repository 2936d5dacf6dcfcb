#include "codecs/VorbisEnc.h"

namespace {

// Written by the binder under the library's lock, before the load flag is seen.
TVorbisEncApi GApi;

bool BindVorbisEnc(const TCodecLibrary& Lib) {
  bool Complete = true;
#define VELMORA_BIND_USED(Name) Complete = Lib.Bind(GApi.Name, #Name) && Complete;
  VELMORA_VORBISENC_USED(VELMORA_BIND_USED)
#undef VELMORA_BIND_USED
  return Complete;
}

}  // namespace

TCodecLibrary& VorbisEncLibrary() {
  static TCodecLibrary Lib("libvorbisenc.so.2", BindVorbisEnc);
  return Lib;
}

const TVorbisEncApi& VorbisEnc() { return GApi; }
