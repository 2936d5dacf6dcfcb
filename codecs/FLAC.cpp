#include "codecs/FLAC.h"

namespace {

// Written by the binder under the library's lock, before the load flag is seen.
TFLACApi GApi;

bool BindFLAC(const TCodecLibrary& Lib) {
  bool Complete = true;
#define VELMORA_BIND_USED(Name) Complete = Lib.Bind(GApi.Name, #Name) && Complete;
#define VELMORA_BIND_OTHER(Name) Lib.Bind(GApi.Name, #Name);
  VELMORA_FLAC_USED(VELMORA_BIND_USED)
  VELMORA_FLAC_OTHER(VELMORA_BIND_OTHER)
#undef VELMORA_BIND_USED
#undef VELMORA_BIND_OTHER
  return Complete;
}

}  // namespace

TCodecLibrary& FLACLibrary() {
  static TCodecLibrary Lib("libFLAC.so.12", BindFLAC);
  return Lib;
}

const TFLACApi& FLAC() { return GApi; }

void CheckFLAC() {
  TCodecLibrary& Lib = FLACLibrary();
  Lib.Load();
  Lib.Check();
}

const char* FLACText(FLAC__StreamEncoderState State) {
  return (*GApi.FLAC__StreamEncoderStateString)[State];
}

const char* FLACText(FLAC__StreamEncoderInitStatus Status) {
  return (*GApi.FLAC__StreamEncoderInitStatusString)[Status];
}

const char* FLACText(FLAC__StreamDecoderState State) {
  return (*GApi.FLAC__StreamDecoderStateString)[State];
}

const char* FLACText(FLAC__StreamDecoderErrorStatus Status) {
  return (*GApi.FLAC__StreamDecoderErrorStatusString)[Status];
}
