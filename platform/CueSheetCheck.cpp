#include "platform/CueSheetCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

namespace {

constexpr size_t kMaxSheet = 1 << 20;
constexpr size_t kMaxLine = 500;  // whole within one of the driver's 512-byte pieces
constexpr int kMaxTracks = 99;

// strtok's way through a line: skip leading delimiters, take up to the
// next one, and consume that one delimiter.
class TTokens {
 public:
  explicit TTokens(std::string_view Line) : Rest(Line) {}
  std::string_view Next(std::string_view Delimiters) {
    const size_t From = Rest.find_first_not_of(Delimiters);
    if (From == std::string_view::npos) {
      Rest = {};
      return {};
    }
    Rest.remove_prefix(From);
    const size_t End = Rest.find_first_of(Delimiters);
    const std::string_view Token = Rest.substr(0, End);
    Rest.remove_prefix(End == std::string_view::npos ? Rest.size() : End + 1);
    return Token;
  }

 private:
  std::string_view Rest;
};

// A path that exists but is no plain file (a pipe, a device, a folder).
bool NotPlain(const std::string& Path) {
  struct stat St;
  return ::stat(Path.c_str(), &St) == 0 && !S_ISREG(St.st_mode);
}

constexpr std::string_view kBlanks = " \t\n\r";
constexpr std::string_view kNameEnds = "\"\t\n\r";

}  // namespace

std::string CueSheetProblem(std::string_view Text, const std::string& Folder) {
  if (Text.size() > kMaxSheet) return "the cue sheet is larger than 1 MiB";
  if (Text.find('\0') != std::string_view::npos) return "the cue sheet is not text";
  int Tracks = 0;
  int LineNo = 0;
  while (!Text.empty()) {
    const size_t End = Text.find('\n');
    const std::string_view Line = Text.substr(0, End);
    Text.remove_prefix(End == std::string_view::npos ? Text.size() : End + 1);
    ++LineNo;
    const std::string Where = "line " + std::to_string(LineNo) + " of the cue sheet";
    if (Line.size() > kMaxLine) return Where + " is longer than 500 bytes";
    TTokens Tokens(Line);
    const std::string_view Keyword = Tokens.Next(kBlanks);
    if (Keyword == "TRACK") {
      const std::string_view Number = Tokens.Next(kBlanks);
      const bool Digits = !Number.empty() && Number.size() <= 2 &&
                          Number.find_first_not_of("0123456789") == std::string_view::npos;
      if (!Digits || std::stoi(std::string(Number)) != Tracks + 1)
        return Where + " does not number its track " + std::to_string(Tracks + 1);
      if (++Tracks > kMaxTracks) return "the cue sheet has more than 99 tracks";
    } else if (Keyword == "CDTEXTFILE") {
      const std::string_view Name = Tokens.Next(kNameEnds);
      if (Name.empty()) continue;
      const std::string Path =
          Name.front() == '/' ? std::string(Name) : Folder + "/" + std::string(Name);
      if (NotPlain(Path)) return Where + " names a CD-TEXT file that is not a plain file";
    }
  }
  return {};
}

std::string CueSheetFileProblem(const std::string& Path) {
  if (NotPlain(Path)) return "the cue sheet is not a plain file";
  // The driver reads the sectors from the sheet's namesake .bin.
  const std::string Stem = Path.substr(0, Path.size() - std::min<size_t>(Path.size(), 4));
  if (NotPlain(Stem + ".bin") || NotPlain(Stem + ".BIN"))
    return "the disc image beside the cue sheet is not a plain file";
  std::ifstream In(Path, std::ios::binary);
  if (!In) return "the cue sheet cannot be read";
  std::string Text;
  Text.resize(kMaxSheet + 1);
  In.read(Text.data(), static_cast<std::streamsize>(Text.size()));
  Text.resize(static_cast<size_t>(In.gcount()));
  const size_t Slash = Path.rfind('/');
  const std::string Folder = Slash == std::string::npos ? "." : Path.substr(0, Slash);
  return CueSheetProblem(Text, Folder);
}
