#include "app/CodecParts.h"
#include "codecs/ACS_LAME.h"

TMP3Out* NewMp3Out(TComponent* Owner, const char* Name, TACSInput* Input, bool SuspendWhenIdle) {
  auto* C = new TMP3Out(Owner);
  C->SetName(Name);
  C->SetInput(Input);
  C->SetFileMode(foRewrite);
  C->SetBitRate(br128);
  C->SetSuspendWhenIdle(SuspendWhenIdle);
  return C;
}

TACSFileOut* AsFileOut(TMP3Out* C) { return C; }

void SetConvertedMp3Tags(TMP3Out* Out) {
  Out->Id3TagTitle = "Converted mp3.";
  Out->Id3TagArtist = "Velmora";
  Out->Id3TagAlbum = "Unknown";
  Out->Id3TagYear = "Unknown";
  Out->Id3TagComment = "Converted by Velmora!";
}
