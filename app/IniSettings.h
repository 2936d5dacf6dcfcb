// The output-format settings in Settings.ini: opened when the main window is
// first shown, read with fixed defaults, written one key at a time when the
// Settings page is saved, and copied into the engine components when a job
// starts (so a job always uses the last saved values, never unsaved choices).
//
// Sections and keys (defaults):
//   [Wave] SampleRate 44100, BitsPerSample 16, Channels 2
//   [Mp3]  Quality 5, SampleRate 48, Channels 0, BitRate 128
//   [Ogg]  Compression 0.5, NominalBitrate 128
//   [Flac] MidSideStereo 1, LooseMidSideStereo 0
//   [Ape]  Compression 2000
//   [Cddb] Server gnudb.gnudb.org, Email anonymous@localhost, Timeout 10 (seconds)
//   [Lyric] Offset 0 (milliseconds added to the song position the lyric
//           window follows: positive shows the lines sooner)
//   [Folders] one key per path box or dialog of the window (its object name):
//           the folder its file dialog last used, where the next one opens
//           (none: the dialog's own choice)
//
// Numbers are decimal text; Booleans "1" and "0" (any non-zero number reads
// as true); the decimal number is written with a point whatever the locale
// and read with a point or a comma.
#pragma once

#include <string>

class TAudioIn;
class TFLACOut;
class TMACOut;
class TMP3Out;
enum class TMP3BitRate;
class TVorbisOut;

// Starts using the settings file at Path (it need not exist yet).
void OpenSettings(const std::string& Path);
// Stops using it; reads then give the defaults.
void CloseSettings();
bool SettingsOpened();
// The open file's path, or "".
std::string SettingsPath();

// A read gives the key's value, or its default when the file is not open, or
// the file, the key or a convertible value is missing. It never raises.
// A write stores the value on disk at once and raises std::runtime_error
// (naming the file and the reason) when it cannot; earlier writes stay.
int ReadWaveSampleRate();
int ReadWaveBitsPerSample();
int ReadWaveChannels();
int ReadMp3Quality();
int ReadMp3SampleRate();
int ReadMp3Channels();
int ReadMp3BitRate();
double ReadOggCompression();
int ReadOggNominalBitrate();
bool ReadFlacMidSideStereo();
bool ReadFlacLooseMidSideStereo();
int ReadApeCompression();
std::string ReadCddbServer();
std::string ReadCddbEmail();
// At least 1.
int ReadCddbTimeout();
int ReadLyricOffset();
// The folder last used for the box named Box, or "".
std::string ReadLastFolder(const std::string& Box);

void WriteWaveSampleRate(int Value);
void WriteWaveBitsPerSample(int Value);
void WriteWaveChannels(int Value);
void WriteMp3Quality(int Value);
void WriteMp3SampleRate(int Value);
void WriteMp3Channels(int Value);
void WriteMp3BitRate(int Value);
void WriteOggCompression(double Value);
void WriteOggNominalBitrate(int Value);
void WriteFlacMidSideStereo(bool Value);
void WriteFlacLooseMidSideStereo(bool Value);
void WriteApeCompression(int Value);
void WriteCddbServer(const std::string& Value);
void WriteCddbEmail(const std::string& Value);
void WriteLyricOffset(int Milliseconds);
// A folder that does not fit on one line of the file is not kept (nothing is
// written).
void WriteLastFolder(const std::string& Box, const std::string& Folder);

// Copying the saved settings into a component just before its job starts
// (the file is read at that moment; a null component is passed over):
// capture format of a sound-card source: Wave SampleRate, BitsPerSample,
// Channels;
void ApplyWaveSettings(TAudioIn* In);
// bit rate of an MP3 encoder: Mp3 BitRate (converted as below);
void ApplyMp3Settings(TMP3Out* Out);
// quality of an Ogg Vorbis writer: Ogg Compression;
void ApplyOggSettings(TVorbisOut* Out);
// Flac MidSideStereo, then LooseMidSideStereo (which turns mid-side stereo on
// as well when it is on);
void ApplyFlacSettings(TFLACOut* Out);
// Ape Compression as the writer's level (which takes 2000 for anything but
// 1000, 2000, 3000 and 4000).
void ApplyApeSettings(TMACOut* Out);

// The MP3 bit rate of the settings as the encoder's enumeration: 64, 96, 128,
// 144, 160, 192, 224, 256 or 320 kbit/s as br64 ... br320; any other rate the
// encoder offers as its own member; anything else (only a hand-edited file
// holds one) as br128, the default.
TMP3BitRate Mp3BitRateFromKbps(int Kbps);

// Text conversions shared with the Settings page. They never depend on the
// locale. False when Text (blanks around it allowed) is not such a number.
bool ParseSettingInt(const std::string& Text, int& Value);
bool ParseSettingDecimal(const std::string& Text, double& Value);
// The shortest text that reads back as Value, with a point: 0.5, 0.1, 2.
std::string DecimalText(double Value);
