#include "codecs/ogg.h"

namespace {

// Written by the binder under the library's lock, before the load flag is seen.
TOggApi GApi;

bool BindOgg(const TCodecLibrary& Lib) {
  bool Complete = true;
#define VELMORA_BIND_USED(Name) Complete = Lib.Bind(GApi.Name, #Name) && Complete;
  VELMORA_OGG_USED(VELMORA_BIND_USED)
#undef VELMORA_BIND_USED
  return Complete;
}

}  // namespace

TCodecLibrary& OggLibrary() {
  static TCodecLibrary Lib("libogg.so.0", BindOgg);
  return Lib;
}

const TOggApi& Ogg() { return GApi; }
