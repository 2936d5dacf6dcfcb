#include "app/IniSettingsMp3.h"

#include "app/IniSettings.h"

TMP3BitRate Mp3BitRateFromKbps(int Kbps) {
  TMP3BitRate R;
  return MP3BitRateFromKbps(Kbps, R) ? R : br128;
}

void ApplyMp3Settings(TMP3Out* Out) {
  if (Out) Out->SetBitRate(Mp3BitRateFromKbps(ReadMp3BitRate()));
}
