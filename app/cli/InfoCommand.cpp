// velmora-cli info FILE: format and length as key=value lines.
#include <cctype>
#include <cstdio>
#include <string>

#include "app/cli/CliCommon.h"
#include "codecs/Tags.h"

int CmdInfo(const std::vector<std::string>& Args) {
  const TCliArgs A = ParseArgs(Args, {}, {});
  if (A.Positional.size() != 1) throw EACSException("Usage: velmora-cli info FILE");
  const std::string& File = A.Positional[0];
  const TCodecEntry* Codec = FindCodecFor(File);
  if (!Codec || !Codec->Info) throw EACSException("Unsupported file type: " + File);
  // A file that cannot be opened at all is a failure, not an invalid file.
  CheckReadable(File);
  const TFileInfo I = Codec->Info(File);
  std::printf("valid=%d\nchannels=%d\nrate=%d\nbits=%d\nsamples=%lld\nbytes=%lld\n",
              I.Valid ? 1 : 0, I.Channels, I.Rate, I.Bits, static_cast<long long>(I.Samples),
              static_cast<long long>(I.Bytes));
  if (I.Seconds < 0)
    std::printf("seconds=unknown\n");
  else
    std::printf("seconds=%lld\n", static_cast<long long>(I.Seconds));
  for (const auto& [Key, Value] : I.Extra) {
    // One line per field, whatever a tag holds.
    std::string Line = Value;
    for (char& C : Line)
      if (static_cast<unsigned char>(C) < 0x20) C = ' ';
    std::printf("%s=%s\n", Key.c_str(), Line.c_str());
  }
  const TAudioTags Tags = ReadTags(File);
  for (const auto& [Name, Value] : Tags.Fields) {
    std::string Key = "tag." + Name, Line = Value;
    for (char& C : Key) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    for (char& C : Line)
      if (static_cast<unsigned char>(C) < 0x20) C = ' ';
    std::printf("%s=%s\n", Key.c_str(), Line.c_str());
  }
  if (!Tags.Cover.empty())
    std::printf("tag.cover=%s, %zu bytes\n", Tags.CoverMime.c_str(), Tags.Cover.size());
  return 0;
}
