// Makers of the window's MP3 encoders and Ogg Vorbis components. The two
// codecs' headers both declare bit-rate enumerators of the same names (br64,
// br96, ...), so no file can include both: each maker lives in a file of its
// own (CodecPartsMp3.cpp, CodecPartsVorbis.cpp), and the window knows these
// classes by name only.
#pragma once

class TACSInput;
class TACSFileIn;
class TACSFileOut;
class TComponent;
class TMP3Out;
class TVorbisIn;
class TVorbisOut;

// An MP3 encoder named Name, owned by Owner, reading Input (may be null):
// BitRate br128, FileMode foRewrite, SuspendWhenIdle as given.
TMP3Out* NewMp3Out(TComponent* Owner, const char* Name, TACSInput* Input, bool SuspendWhenIdle);

// The tags every MP3 made by a converter page carries: title "Converted
// mp3.", artist "Velmora", album and year "Unknown", comment "Converted by
// Velmora!". The track is left as it is.
void SetConvertedMp3Tags(TMP3Out* Out);

// An Ogg Vorbis reader named Name, owned by Owner (whole file, no loop).
TVorbisIn* NewVorbisIn(TComponent* Owner, const char* Name);

// An Ogg Vorbis writer named Name, owned by Owner, reading Input: Compression
// 0.2, nominal, maximum and minimum bit rate brAutoSelect, Serial 0,
// FileMode foRewrite, SuspendWhenIdle true.
TVorbisOut* NewVorbisOut(TComponent* Owner, const char* Name, TACSInput* Input);

// The same components seen through their engine base classes, for code that
// knows them by name only.
TACSInput* AsInput(TVorbisIn* C);
TACSFileIn* AsFileIn(TVorbisIn* C);
TACSFileOut* AsFileOut(TVorbisOut* C);
TACSFileOut* AsFileOut(TMP3Out* C);
TComponent* AsComponent(TVorbisOut* C);
