#include "codecs/VorbisFile.h"

namespace {

// Written by the binder under the library's lock, before the load flag is seen.
TVorbisFileApi GApi;

bool BindVorbisFile(const TCodecLibrary& Lib) {
  bool Complete = true;
#define VELMORA_BIND_USED(Name) Complete = Lib.Bind(GApi.Name, #Name) && Complete;
  VELMORA_VORBISFILE_USED(VELMORA_BIND_USED)
#undef VELMORA_BIND_USED
  return Complete;
}

}  // namespace

TCodecLibrary& VorbisFileLibrary() {
  static TCodecLibrary Lib("libvorbisfile.so.3", BindVorbisFile);
  return Lib;
}

const TVorbisFileApi& VorbisFile() { return GApi; }
