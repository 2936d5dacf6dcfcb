#include "codecs/Codec.h"

namespace {

// Written by the binder under the library's lock, before the load flag is seen.
TVorbisApi GApi;

bool BindVorbis(const TCodecLibrary& Lib) {
  bool Complete = true;
#define VELMORA_BIND_USED(Name) Complete = Lib.Bind(GApi.Name, #Name) && Complete;
#define VELMORA_BIND_OTHER(Name) Lib.Bind(GApi.Name, #Name);
  VELMORA_VORBIS_USED(VELMORA_BIND_USED)
  VELMORA_VORBIS_OTHER(VELMORA_BIND_OTHER)
#undef VELMORA_BIND_USED
#undef VELMORA_BIND_OTHER
  return Complete;
}

}  // namespace

TCodecLibrary& VorbisLibrary() {
  static TCodecLibrary Lib("libvorbis.so.0", BindVorbis);
  return Lib;
}

const TVorbisApi& Vorbis() { return GApi; }
