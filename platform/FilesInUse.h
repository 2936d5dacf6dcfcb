// The files that jobs of this process are reading or writing right now. A
// job claims each file it works on for as long as it runs; the lock test asks
// here, so that a job started meanwhile cannot write over a file that another
// job of the same program reads or is writing (a file not yet created
// included: a writer's target exists only once its job has ended).
#pragma once

#include <cstdint>
#include <string>

// One claim on one file, held until Release or destruction. Any thread may
// claim and release; one claim object belongs to one thread at a time.
class TFileClaim {
 public:
  TFileClaim() = default;
  TFileClaim(const TFileClaim&) = delete;
  TFileClaim& operator=(const TFileClaim&) = delete;
  ~TFileClaim() { Release(); }

  // Claims Name, giving up what this object held before; "" claims nothing.
  // Never raises for a file that does not exist (it is claimed by its name).
  void Claim(const std::string& Name);
  void Release();
  bool Held() const { return FId != 0; }

 private:
  uint64_t FId = 0;
};

// True while a claim names this file: the same path (symbolic links
// followed), or, for a file that exists, the same file under another name
// (a hard link).
bool FileClaimedByJob(const std::string& Name);

// True when A and B both exist and are one file (links followed).
bool IsSameFile(const std::string& A, const std::string& B);
