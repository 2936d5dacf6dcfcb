#include "app/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

// Texts stay UTF-8 bytes; the library does no conversion of its own. Its
// implementation is compiled here (the one file that includes it) rather than
// taken from the packaged library, which is built for another converter.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace {

// Section and key names compare without regard to case.
using TIni = CSimpleIniA;

void Configure(TIni& Ini) {
  Ini.SetUnicode(true);  // a UTF-8 byte-order mark is skipped on reading
  Ini.SetMultiKey(false);
  Ini.SetSpaces(false);  // key=value, as profile files are written
}

enum class TLoad { Ok, Missing, Failed };

// Reads Path into Ini. Missing = no such file.
TLoad Load(const std::string& Path, TIni& Ini, int* Err = nullptr) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    const int E = errno;
    if (Err) *Err = E;
    return E == ENOENT ? TLoad::Missing : TLoad::Failed;
  }
  std::string Data((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  if (In.bad()) {
    if (Err) *Err = EIO;
    return TLoad::Failed;
  }
  if (Ini.LoadData(Data) < 0) {
    if (Err) *Err = EINVAL;
    return TLoad::Failed;
  }
  return TLoad::Ok;
}

[[noreturn]] void Fail(const std::string& Path, int Err) {
  throw std::runtime_error("Cannot write " + Path + ": " + std::strerror(Err));
}

// Writes Data to a temporary file in Path's folder, with Mode, and renames it
// over Path, so that a failure at any point leaves the old file whole.
void ReplaceFile(const std::string& Path, const std::string& Data, mode_t Mode) {
  const std::filesystem::path P(Path);
  std::string Tmpl = (P.parent_path().empty() ? std::string(".") : P.parent_path().string()) +
                     "/." + P.filename().string() + ".XXXXXX";
  const int Fd = ::mkstemp(Tmpl.data());
  if (Fd < 0) Fail(Path, errno);
  struct TCleanup {
    int Fd;
    std::string Name;
    bool Keep = false;
    ~TCleanup() {
      if (Fd >= 0) ::close(Fd);
      if (!Keep) ::unlink(Name.c_str());
    }
  } C{Fd, Tmpl};
  size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = ::write(Fd, Data.data() + Done, Data.size() - Done);
    if (N < 0) {
      if (errno == EINTR) continue;
      Fail(Path, errno);
    }
    Done += static_cast<size_t>(N);
  }
  if (::fchmod(Fd, Mode) != 0 || ::fsync(Fd) != 0) Fail(Path, errno);
  const int Closed = ::close(C.Fd);
  C.Fd = -1;
  if (Closed != 0) Fail(Path, errno);
  if (::rename(Tmpl.c_str(), Path.c_str()) != 0) Fail(Path, errno);
  C.Keep = true;
}

}  // namespace

struct TIniSnapshot::TImpl {
  TIni Ini;
};

TIniSnapshot::TIniSnapshot(const std::string& Path) : FImpl(std::make_unique<TImpl>()) {
  Configure(FImpl->Ini);
  FLoaded = Load(Path, FImpl->Ini) == TLoad::Ok;
}

TIniSnapshot::~TIniSnapshot() = default;

bool TIniSnapshot::HasSection(const std::string& Section) const {
  return FLoaded && FImpl->Ini.GetSection(Section.c_str()) != nullptr;
}

std::optional<std::string> TIniSnapshot::Read(const std::string& Section,
                                              const std::string& Key) const {
  if (!FLoaded) return std::nullopt;
  const char* V = FImpl->Ini.GetValue(Section.c_str(), Key.c_str(), nullptr);
  if (!V) return std::nullopt;
  return std::string(V);
}

std::optional<std::string> TIniFile::Read(const std::string& Section,
                                          const std::string& Key) const {
  TIni Ini;
  Configure(Ini);
  if (Load(FPath, Ini) != TLoad::Ok) return std::nullopt;
  const char* V = Ini.GetValue(Section.c_str(), Key.c_str(), nullptr);
  if (!V) return std::nullopt;
  return std::string(V);
}

void TIniFile::Write(const std::string& Section, const std::string& Key, const std::string& Value) {
  // A symbolic link is followed, so that the file it names is the one changed.
  std::string Target = FPath;
  std::error_code Ec;
  if (std::filesystem::is_symlink(FPath, Ec)) {
    const auto Real = std::filesystem::weakly_canonical(FPath, Ec);
    if (!Ec) Target = Real.string();
  }
  mode_t Mode = 0644;
  struct stat St {};
  if (::stat(Target.c_str(), &St) == 0) {
    // A file nobody may write stays as it is, whoever runs the program.
    if ((St.st_mode & 0222) == 0 || ::access(Target.c_str(), W_OK) != 0) Fail(FPath, EACCES);
    if (!S_ISREG(St.st_mode)) Fail(FPath, EINVAL);
    Mode = St.st_mode & 07777;
  }
  TIni Ini;
  Configure(Ini);
  int Err = 0;
  if (Load(Target, Ini, &Err) == TLoad::Failed) Fail(FPath, Err);
  if (Ini.SetValue(Section.c_str(), Key.c_str(), Value.c_str()) < 0) Fail(FPath, ENOMEM);
  std::string Data;
  if (Ini.Save(Data) < 0) Fail(FPath, ENOMEM);
  ReplaceFile(Target, Data, Mode);
}
