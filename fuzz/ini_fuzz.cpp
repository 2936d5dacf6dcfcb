// Arbitrary bytes as an INI file (a language file, Settings.ini): sections,
// keys, values and line ends of any kind, invalid UTF-8 included. Reading it
// must neither crash nor hang; the names the program asks for are looked up.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const std::string Path = "/tmp/velmora-ini-fuzz-" + std::to_string(::getpid()) + ".ini";
  FILE* F = std::fopen(Path.c_str(), "wb");
  if (!F) return 0;
  std::fwrite(Data, 1, Size, F);
  std::fclose(F);

  TIniSnapshot Ini(Path);
  for (const char* Section : {"Wave", "Mp3", "Ogg", "Flac", "Ape", "TMainForm", ""})
    if (Ini.HasSection(Section))
      for (const char* Key : {"Rate", "BitRate", "Quality", "Caption", "Text", ""})
        (void)Ini.Read(Section, Key);
  return 0;
}
