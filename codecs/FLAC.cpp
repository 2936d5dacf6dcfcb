#include "codecs/FLAC.h"

VELMORA_DEFINE_CODEC_BINDING(TFLACApi, FLAC, FLACLibrary, "libFLAC.so.12", VELMORA_FLAC_USED)

void CheckFLAC() {
  TCodecLibrary& Lib = FLACLibrary();
  Lib.Load();
  Lib.Check();
}

const char* FLACText(FLAC__StreamEncoderState State) {
  return (*FLAC().FLAC__StreamEncoderStateString)[State];
}

const char* FLACText(FLAC__StreamEncoderInitStatus Status) {
  return (*FLAC().FLAC__StreamEncoderInitStatusString)[Status];
}

const char* FLACText(FLAC__StreamDecoderState State) {
  return (*FLAC().FLAC__StreamDecoderStateString)[State];
}

const char* FLACText(FLAC__StreamDecoderErrorStatus Status) {
  return (*FLAC().FLAC__StreamDecoderErrorStatusString)[Status];
}
