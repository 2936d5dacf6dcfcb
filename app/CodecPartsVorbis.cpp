#include "app/CodecParts.h"
#include "codecs/ACS_Vorbis.h"

TVorbisIn* NewVorbisIn(TComponent* Owner, const char* Name) {
  auto* C = new TVorbisIn(Owner);
  C->SetName(Name);
  return C;
}

TVorbisOut* NewVorbisOut(TComponent* Owner, const char* Name, TACSInput* Input) {
  auto* C = new TVorbisOut(Owner);
  C->SetName(Name);
  C->SetInput(Input);
  C->SetFileMode(foRewrite);
  C->SetCompression(0.2f);
  C->SetDesiredNominalBitrate(brAutoSelect);
  C->SetDesiredMaximumBitrate(brAutoSelect);
  C->SetMinimumBitrate(brAutoSelect);
  C->SetSerial(0);
  C->SetSuspendWhenIdle(true);
  return C;
}

TACSInput* AsInput(TVorbisIn* C) { return C; }
TACSFileIn* AsFileIn(TVorbisIn* C) { return C; }
TACSFileOut* AsFileOut(TVorbisOut* C) { return C; }
TComponent* AsComponent(TVorbisOut* C) { return C; }
