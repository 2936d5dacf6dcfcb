#include "app/IniSettings.h"

#include <charconv>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "app/IniFile.h"

namespace {

// The file in use between OpenSettings and CloseSettings; main thread only.
std::unique_ptr<TIniFile> SettingsFile;

std::string Trim(const std::string& S) {
  const auto B = S.find_first_not_of(" \t\r\n");
  if (B == std::string::npos) return {};
  const auto E = S.find_last_not_of(" \t\r\n");
  return S.substr(B, E - B + 1);
}

std::optional<std::string> Raw(const char* Section, const char* Key) {
  if (!SettingsFile) return std::nullopt;
  try {
    return SettingsFile->Read(Section, Key);
  } catch (...) {
    return std::nullopt;
  }
}

int ReadInt(const char* Section, const char* Key, int Default) {
  const auto V = Raw(Section, Key);
  int R;
  return V && ParseSettingInt(*V, R) ? R : Default;
}

bool ReadBool(const char* Section, const char* Key, bool Default) {
  return ReadInt(Section, Key, Default ? 1 : 0) != 0;
}

std::string ReadText(const char* Section, const char* Key, const char* Default) {
  const auto V = Raw(Section, Key);
  return V && !Trim(*V).empty() ? Trim(*V) : std::string(Default);
}

void Write(const char* Section, const char* Key, const std::string& Value) {
  if (!SettingsFile) throw std::runtime_error("The settings file is not open.");
  SettingsFile->Write(Section, Key, Value);
}

void WriteInt(const char* Section, const char* Key, int Value) {
  Write(Section, Key, std::to_string(Value));
}

}  // namespace

bool ParseSettingInt(const std::string& Text, int& Value) {
  std::string T = Trim(Text);
  if (!T.empty() && T[0] == '+') T.erase(0, 1);
  if (T.empty()) return false;
  int V = 0;
  const auto [End, Ec] = std::from_chars(T.data(), T.data() + T.size(), V);
  if (Ec != std::errc() || End != T.data() + T.size()) return false;
  Value = V;
  return true;
}

bool ParseSettingDecimal(const std::string& Text, double& Value) {
  std::string T = Trim(Text);
  if (!T.empty() && T[0] == '+') T.erase(0, 1);
  // A file written where the decimal separator is a comma still reads.
  if (T.find('.') == std::string::npos) {
    const auto Comma = T.find(',');
    if (Comma != std::string::npos && T.find(',', Comma + 1) == std::string::npos) T[Comma] = '.';
  }
  if (T.empty()) return false;
  double V = 0;
  const auto [End, Ec] =
      std::from_chars(T.data(), T.data() + T.size(), V, std::chars_format::general);
  if (Ec != std::errc() || End != T.data() + T.size() || !std::isfinite(V)) return false;
  Value = V;
  return true;
}

std::string DecimalText(double Value) {
  char Buf[64];
  const auto [End, Ec] = std::to_chars(Buf, Buf + sizeof Buf, Value);
  return Ec == std::errc() ? std::string(Buf, End) : std::string("0");
}

void OpenSettings(const std::string& Path) { SettingsFile = std::make_unique<TIniFile>(Path); }
void CloseSettings() { SettingsFile.reset(); }
bool SettingsOpened() { return SettingsFile != nullptr; }
std::string SettingsPath() { return SettingsFile ? SettingsFile->Path() : std::string(); }

int ReadWaveSampleRate() { return ReadInt("Wave", "SampleRate", 44100); }
int ReadWaveBitsPerSample() { return ReadInt("Wave", "BitsPerSample", 16); }
int ReadWaveChannels() { return ReadInt("Wave", "Channels", 2); }
int ReadMp3Quality() { return ReadInt("Mp3", "Quality", 5); }
int ReadMp3SampleRate() { return ReadInt("Mp3", "SampleRate", 48); }
int ReadMp3Channels() { return ReadInt("Mp3", "Channels", 0); }
int ReadMp3BitRate() { return ReadInt("Mp3", "BitRate", 128); }
double ReadOggCompression() {
  const auto V = Raw("Ogg", "Compression");
  double R;
  return V && ParseSettingDecimal(*V, R) ? R : 0.5;
}
int ReadOggNominalBitrate() { return ReadInt("Ogg", "NominalBitrate", 128); }
bool ReadFlacMidSideStereo() { return ReadBool("Flac", "MidSideStereo", true); }
bool ReadFlacLooseMidSideStereo() { return ReadBool("Flac", "LooseMidSideStereo", false); }
int ReadApeCompression() { return ReadInt("Ape", "Compression", 2000); }
std::string ReadCddbServer() { return ReadText("Cddb", "Server", "gnudb.gnudb.org"); }
std::string ReadCddbEmail() { return ReadText("Cddb", "Email", "anonymous@localhost"); }
int ReadCddbTimeout() {
  const int T = ReadInt("Cddb", "Timeout", 10);
  return T >= 1 ? T : 10;
}
int ReadLyricOffset() { return ReadInt("Lyric", "Offset", 0); }
std::string ReadLastFolder(const std::string& Box) {
  const auto V = Raw("Folders", Box.c_str());
  return V ? *V : std::string();
}

void WriteWaveSampleRate(int Value) { WriteInt("Wave", "SampleRate", Value); }
void WriteWaveBitsPerSample(int Value) { WriteInt("Wave", "BitsPerSample", Value); }
void WriteWaveChannels(int Value) { WriteInt("Wave", "Channels", Value); }
void WriteMp3Quality(int Value) { WriteInt("Mp3", "Quality", Value); }
void WriteMp3SampleRate(int Value) { WriteInt("Mp3", "SampleRate", Value); }
void WriteMp3Channels(int Value) { WriteInt("Mp3", "Channels", Value); }
void WriteMp3BitRate(int Value) { WriteInt("Mp3", "BitRate", Value); }
void WriteOggCompression(double Value) { Write("Ogg", "Compression", DecimalText(Value)); }
void WriteOggNominalBitrate(int Value) { WriteInt("Ogg", "NominalBitrate", Value); }
void WriteFlacMidSideStereo(bool Value) { WriteInt("Flac", "MidSideStereo", Value ? 1 : 0); }
void WriteFlacLooseMidSideStereo(bool Value) {
  WriteInt("Flac", "LooseMidSideStereo", Value ? 1 : 0);
}
void WriteApeCompression(int Value) { WriteInt("Ape", "Compression", Value); }
void WriteCddbServer(const std::string& Value) { Write("Cddb", "Server", Value); }
void WriteCddbEmail(const std::string& Value) { Write("Cddb", "Email", Value); }
void WriteLyricOffset(int Milliseconds) { WriteInt("Lyric", "Offset", Milliseconds); }
void WriteLastFolder(const std::string& Box, const std::string& Folder) {
  if (Folder.find_first_of("\r\n") != std::string::npos) return;
  Write("Folders", Box.c_str(), Folder);
}
