#include "app/IniSettings.h"
#include "codecs/ACS_Vorbis.h"

void ApplyOggSettings(TVorbisOut* Out) {
  if (Out) Out->SetCompression(static_cast<float>(ReadOggCompression()));
}
