#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

namespace {

std::string Reason() { return std::strerror(errno); }

// Where a replacement is really put: a target that is a symbolic link keeps
// the link and has the file it points to replaced.
std::string FollowLink(const std::string& Target) {
  struct stat St {};
  if (::lstat(Target.c_str(), &St) != 0 || !S_ISLNK(St.st_mode)) return Target;
  char* Real = ::realpath(Target.c_str(), nullptr);
  if (!Real) return Target;
  std::string R(Real);
  std::free(Real);
  return R;
}

// The file a replacement takes the place of: a link's target, which must not
// be a device, pipe or socket. Renaming a finished file over one of those
// would put a plain file where the device was (/dev/full, as root).
std::string ReplaceableTarget(const std::string& Target) {
  const std::string Real = FollowLink(Target);
  struct stat St {};
  if (::stat(Real.c_str(), &St) == 0 && !S_ISREG(St.st_mode) && !S_ISDIR(St.st_mode))
    throw EFCreateError("Cannot create file \"" + Target + "\". " + Real +
                        " is a device or a pipe, not a file");
  return Real;
}

int CreatePart(const std::string& Target, const std::string& Part) {
  const int Fd = ::open(Part.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (Fd < 0) throw EFCreateError("Cannot create file \"" + Target + "\". " + Reason());
  return Fd;
}

}  // namespace

int64_t TStream::Size() {
  const int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t End = Seek(0, TSeekOrigin::soEnd);
  Seek(Pos, TSeekOrigin::soBeginning);
  return End;
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  std::vector<uint8_t> Buf(65536);
  int64_t Left = Count;
  while (Left > 0) {
    const int64_t N = std::min<int64_t>(Left, static_cast<int64_t>(Buf.size()));
    Source.ReadBuffer(Buf.data(), N);
    WriteBuffer(Buf.data(), N);
    Left -= N;
  }
  return Count;
}

TFileStream::TFileStream(const std::string& FileName, TFileMode Mode) : FFileName(FileName) {
  switch (Mode) {
    case TFileMode::fmCreate:
      FHandle = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (FHandle < 0) throw EFCreateError("Cannot create file \"" + FileName + "\". " + Reason());
      break;
    case TFileMode::fmOpenRead:
      FHandle = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
      if (FHandle < 0) throw EFOpenError("Cannot open file \"" + FileName + "\". " + Reason());
      break;
    case TFileMode::fmOpenReadWrite:
      FHandle = ::open(FileName.c_str(), O_RDWR | O_CLOEXEC);
      if (FHandle < 0) throw EFOpenError("Cannot open file \"" + FileName + "\". " + Reason());
      if (::flock(FHandle, LOCK_EX | LOCK_NB) != 0) {
        const std::string R = Reason();
        ::close(FHandle);
        FHandle = -1;
        throw EFOpenError("Cannot open file \"" + FileName + "\". " + R);
      }
      break;
  }
  struct stat St {};
  if (::fstat(FHandle, &St) == 0 && S_ISDIR(St.st_mode)) {
    ::close(FHandle);
    FHandle = -1;
    throw EFOpenError("Cannot open file \"" + FileName + "\". Is a directory");
  }
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  auto* P = static_cast<uint8_t*>(Buffer);
  int64_t Done = 0;
  while (Done < Count) {
    const ssize_t N = ::read(FHandle, P + Done, static_cast<size_t>(Count - Done));
    if (N < 0) {
      if (errno == EINTR) continue;
      throw EReadError("Cannot read from \"" + FFileName + "\". " + Reason());
    }
    if (N == 0) break;
    Done += N;
  }
  return Done;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  const auto* P = static_cast<const uint8_t*>(Buffer);
  int64_t Done = 0;
  while (Done < Count) {
    const ssize_t N = ::write(FHandle, P + Done, static_cast<size_t>(Count - Done));
    if (N < 0) {
      if (errno == EINTR) continue;
      throw EWriteError("Cannot write to \"" + FFileName + "\". " + Reason());
    }
    Done += N;
  }
  return Done;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  const int Whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : Origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  const off_t R = ::lseek(FHandle, static_cast<off_t>(Offset), Whence);
  if (R < 0) throw EStreamError("Cannot seek in \"" + FFileName + "\". " + Reason());
  return R;
}

int64_t TFileStream::Size() {
  struct stat St {};
  if (::fstat(FHandle, &St) != 0) return TStream::Size();
  return St.st_size;
}

void TFileStream::SetSize(int64_t NewSize) {
  if (::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0)
    throw EWriteError("Cannot resize \"" + FFileName + "\". " + Reason());
  if (Position() > NewSize) Seek(NewSize, TSeekOrigin::soBeginning);
}

TMemoryStream::~TMemoryStream() { std::free(FData); }

void TMemoryStream::Reserve(size_t Needed, size_t Wanted) {
  if (Needed <= FCapacity) return;
  const size_t NewCapacity = std::max(Needed, Wanted);
  auto* P = static_cast<uint8_t*>(std::realloc(FData, NewCapacity));
  if (!P) throw std::bad_alloc();
  FData = P;
  FCapacity = NewCapacity;
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0 || FPosition >= FSize) return 0;
  const size_t N = std::min<size_t>(static_cast<size_t>(Count), FSize - FPosition);
  std::memcpy(Buffer, FData + FPosition, N);
  FPosition += N;
  return static_cast<int64_t>(N);
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  const size_t End = FPosition + static_cast<size_t>(Count);
  // Grown by half again: few moves for a stream written in small pieces.
  Reserve(End, FCapacity + FCapacity / 2);
  if (FPosition > FSize) std::memset(FData + FSize, 0, FPosition - FSize);
  std::memcpy(FData + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = End;
  FSize = std::max(FSize, End);
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t Base = 0;
  if (Origin == TSeekOrigin::soCurrent) Base = static_cast<int64_t>(FPosition);
  if (Origin == TSeekOrigin::soEnd) Base = static_cast<int64_t>(FSize);
  const int64_t P = Base + Offset;
  if (P < 0) throw EStreamError("Invalid stream position");
  FPosition = static_cast<size_t>(P);
  return P;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  if (NewSize < 0) throw EStreamError("Invalid stream size");
  const size_t N = static_cast<size_t>(NewSize);
  Reserve(N, N);
  if (N > FSize) std::memset(FData + FSize, 0, N - FSize);
  FSize = N;
  FPosition = std::min(FPosition, FSize);
}

void TMemoryStream::Clear() {
  std::free(FData);
  FData = nullptr;
  FCapacity = 0;
  FSize = 0;
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
  TFileStream F(FileName, TFileMode::fmOpenRead);
  Clear();
  SetSize(F.Size());
  F.ReadBuffer(FData, static_cast<int64_t>(FSize));
}

void TMemoryStream::SaveToFile(const std::string& FileName) {
  TFileStream F(FileName, TFileMode::fmCreate);
  F.WriteBuffer(FData, static_cast<int64_t>(FSize));
}

std::string PartFileName(const std::string& Target) {
  const size_t Slash = Target.rfind('/');
  const std::string Dir = Slash == std::string::npos ? "" : Target.substr(0, Slash + 1);
  const std::string Base = Slash == std::string::npos ? Target : Target.substr(Slash + 1);
  return Dir + "." + Base + ".velmora-part";
}

TReplacementFile::TReplacementFile(const std::string& Target)
    : TReplacementFile(Target, ReplaceableTarget(Target)) {}

TReplacementFile::TReplacementFile(const std::string& Target, const std::string& RealTarget)
    : TFileStream(Target, CreatePart(Target, PartFileName(RealTarget))),
      FRealTarget(RealTarget),
      FPartName(PartFileName(RealTarget)) {
  struct stat St {};
  if (::stat(FRealTarget.c_str(), &St) == 0 && S_ISDIR(St.st_mode)) {
    Abandon();
    throw EFCreateError("Cannot create file \"" + Target + "\". Is a directory");
  }
}

TReplacementFile::~TReplacementFile() {
  if (!FCommitted) Abandon();
}

void TReplacementFile::Abandon() {
  if (FCommitted || FAbandoned) return;
  FAbandoned = true;
  ::unlink(FPartName.c_str());
}

void TReplacementFile::Commit() {
  if (FCommitted) return;
  if (FAbandoned)
    throw EWriteError("Cannot write to \"" + FileName() + "\". The file was discarded");
  struct stat St {};
  if (::stat(FRealTarget.c_str(), &St) == 0) ::fchmod(Handle(), St.st_mode & 07777);
  if (::fsync(Handle()) != 0 || ::rename(FPartName.c_str(), FRealTarget.c_str()) != 0) {
    const std::string R = Reason();
    Abandon();
    throw EWriteError("Cannot write to \"" + FileName() + "\". " + R);
  }
  FCommitted = true;
  // The rename itself is made durable with the folder; a failure here leaves
  // a finished file under its name all the same.
  const size_t Slash = FRealTarget.rfind('/');
  const std::string Dir = Slash == std::string::npos ? "." : FRealTarget.substr(0, Slash + 1);
  const int D = ::open(Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (D >= 0) {
    ::fsync(D);
    ::close(D);
  }
}

bool FileExists(const std::string& Name) {
  struct stat St {};
  return ::stat(Name.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

// ---------------------------------------------------------------- TSpillStream

TSpillStream::TSpillStream(std::string Folder, int64_t Threshold)
    : FFolder(std::move(Folder)), FThreshold(Threshold) {
  if (!FFolder.empty() && FFolder.back() != '/') FFolder += '/';
}

TSpillStream::~TSpillStream() {
  FFile.reset();
  if (!FFileName.empty()) ::unlink(FFileName.c_str());
}

void TSpillStream::MoveToFile() {
  std::error_code Ec;
  std::filesystem::create_directories(FFolder, Ec);
  std::string Name = FFolder + "image-XXXXXX.wav";
  const int Fd = ::mkstemps(Name.data(), 4);
  if (Fd < 0) throw EFCreateError("Cannot create file \"" + Name + "\". " + std::strerror(errno));
  ::close(Fd);
  try {
    auto F = std::make_unique<TFileStream>(Name, TFileMode::fmCreate);
    const int64_t Keep = TMemoryStream::Seek(0, TSeekOrigin::soCurrent);
    F->WriteBuffer(Memory(), TMemoryStream::Size());
    F->SetPosition(Keep);
    FFile = std::move(F);
  } catch (...) {
    // The stream stays in memory as it was; the file goes.
    ::unlink(Name.c_str());
    throw;
  }
  FFileName = Name;
  TMemoryStream::Clear();
}

int64_t TSpillStream::Read(void* Buffer, int64_t Count) {
  return FFile ? FFile->Read(Buffer, Count) : TMemoryStream::Read(Buffer, Count);
}

int64_t TSpillStream::Write(const void* Buffer, int64_t Count) {
  if (!FFile && TMemoryStream::Seek(0, TSeekOrigin::soCurrent) + Count > FThreshold) MoveToFile();
  return FFile ? FFile->Write(Buffer, Count) : TMemoryStream::Write(Buffer, Count);
}

int64_t TSpillStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  return FFile ? FFile->Seek(Offset, Origin) : TMemoryStream::Seek(Offset, Origin);
}

int64_t TSpillStream::Size() { return FFile ? FFile->Size() : TMemoryStream::Size(); }

void TSpillStream::SetSize(int64_t NewSize) {
  if (!FFile && NewSize > FThreshold) MoveToFile();
  if (FFile)
    FFile->SetSize(NewSize);
  else
    TMemoryStream::SetSize(NewSize);
}
