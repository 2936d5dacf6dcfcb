#include "platform/FilesInUse.h"

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <vector>

namespace {

// What a claim knows of its file: the path with links followed, and the
// file's identity when it existed at the time of the claim.
struct TFileIdentity {
  std::string Path;
  bool Exists = false;
  dev_t Dev = 0;
  ino_t Ino = 0;
};

TFileIdentity Identify(const std::string& Name) {
  TFileIdentity I;
  std::error_code Ec;
  const std::filesystem::path P = std::filesystem::weakly_canonical(Name, Ec);
  I.Path = Ec ? std::filesystem::absolute(Name, Ec).lexically_normal().string() : P.string();
  struct stat St {};
  if (::stat(Name.c_str(), &St) == 0) {
    I.Exists = true;
    I.Dev = St.st_dev;
    I.Ino = St.st_ino;
  }
  return I;
}

bool SameInode(const TFileIdentity& A, const TFileIdentity& B) {
  return A.Exists && B.Exists && A.Dev == B.Dev && A.Ino == B.Ino;
}

struct TClaim {
  uint64_t Id;
  TFileIdentity File;
};

// Claims of the whole process. Jobs claim and release on the threads that
// start and end them; the lock test reads on the window's.
struct TRegistry {
  std::mutex Lock;
  std::vector<TClaim> Claims;  // guarded by Lock
  uint64_t LastId = 0;         // guarded by Lock
};

TRegistry& Registry() {
  static TRegistry R;
  return R;
}

}  // namespace

void TFileClaim::Claim(const std::string& Name) {
  Release();
  if (Name.empty()) return;
  TFileIdentity File = Identify(Name);  // outside the lock: it asks the file system
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> L(R.Lock);
  FId = ++R.LastId;
  R.Claims.push_back({FId, std::move(File)});
}

void TFileClaim::Release() {
  if (FId == 0) return;
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> L(R.Lock);
  for (auto It = R.Claims.begin(); It != R.Claims.end(); ++It) {
    if (It->Id == FId) {
      R.Claims.erase(It);
      break;
    }
  }
  FId = 0;
}

bool FileClaimedByJob(const std::string& Name) {
  if (Name.empty()) return false;
  const TFileIdentity File = Identify(Name);
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> L(R.Lock);
  for (const TClaim& C : R.Claims)
    if (C.File.Path == File.Path || SameInode(C.File, File)) return true;
  return false;
}

bool IsSameFile(const std::string& A, const std::string& B) {
  return SameInode(Identify(A), Identify(B));
}
