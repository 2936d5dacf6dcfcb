// Settings copied into the components that have no bit-rate enumeration
// (those of the MP3 and Ogg Vorbis components are in files of their own: see
// CodecParts.h).
#include "app/IniSettings.h"
#include "codecs/ACS_FLAC.h"
#include "codecs/ACS_MAC.h"
#include "engine/ACS_Audio.h"

void ApplyWaveSettings(TAudioIn* In) {
  if (!In) return;
  In->SetInSampleRate(ReadWaveSampleRate());
  In->SetInBitsPerSample(ReadWaveBitsPerSample());
  In->SetInChannels(ReadWaveChannels());
}

void ApplyFlacSettings(TFLACOut* Out) {
  if (!Out) return;
  Out->SetEnableMidSideStereo(ReadFlacMidSideStereo());
  Out->SetEnableLooseMidSideStereo(ReadFlacLooseMidSideStereo());
}

void ApplyApeSettings(TMACOut* Out) {
  if (Out) Out->SetCompressionLevel(ReadApeCompression());
}
