// The saved settings copied into the engine components.
#include "app/IniSettings.h"
#include "codecs/ACS_FLAC.h"
#include "codecs/ACS_LAME.h"
#include "codecs/ACS_MAC.h"
#include "codecs/ACS_Vorbis.h"
#include "engine/ACS_Audio.h"

void ApplyWaveSettings(TAudioIn* In) {
  if (!In) return;
  In->SetInSampleRate(ReadWaveSampleRate());
  In->SetInBitsPerSample(ReadWaveBitsPerSample());
  In->SetInChannels(ReadWaveChannels());
}

TMP3BitRate Mp3BitRateFromKbps(int Kbps) {
  TMP3BitRate R;
  return MP3BitRateFromKbps(Kbps, R) ? R : TMP3BitRate::br128;
}

void ApplyMp3Settings(TMP3Out* Out) {
  if (Out) Out->SetBitRate(Mp3BitRateFromKbps(ReadMp3BitRate()));
}

void ApplyOggSettings(TVorbisOut* Out) {
  if (Out) Out->SetCompression(static_cast<float>(ReadOggCompression()));
}

void ApplyFlacSettings(TFLACOut* Out) {
  if (!Out) return;
  Out->SetEnableMidSideStereo(ReadFlacMidSideStereo());
  Out->SetEnableLooseMidSideStereo(ReadFlacLooseMidSideStereo());
}

void ApplyApeSettings(TMACOut* Out) {
  if (Out) Out->SetCompressionLevel(ReadApeCompression());
}
