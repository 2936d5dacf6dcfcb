#include "codecs/Codec.h"

namespace {

// Written by the binder under the library's lock, before the load flag is seen.
TVorbisApi GApi;

bool BindVorbis(const TCodecLibrary& Lib) {
  bool Complete = true;
#define VELMORA_BIND_USED(Name) Complete = Lib.Bind(GApi.Name, #Name) && Complete;
  VELMORA_VORBIS_USED(VELMORA_BIND_USED)
#undef VELMORA_BIND_USED
  return Complete;
}

}  // namespace

TCodecLibrary& VorbisLibrary() {
  static TCodecLibrary Lib("libvorbis.so.0", BindVorbis);
  return Lib;
}

const TVorbisApi& Vorbis() { return GApi; }
