#include "codecs/FLAC.h"

#include <memory>
#include <mutex>

const char* const DefaultFLACLibraryFile = "libFLAC.so.12";

namespace {

std::mutex GLock;
// Written only under GLock; components read the table once it is bound.
std::unique_ptr<TCodecLibrary> GLibrary;
bool GBound = false;
TFLACApi GApi;

TCodecLibrary& LibraryLocked() {
  if (!GLibrary) GLibrary = std::make_unique<TCodecLibrary>(DefaultFLACLibraryFile);
  return *GLibrary;
}

}  // namespace

TCodecLibrary& FLACLibrary() {
  std::lock_guard<std::mutex> L(GLock);
  return LibraryLocked();
}

bool LoadFLAC() {
  std::lock_guard<std::mutex> L(GLock);
  if (GBound) return true;
  TCodecLibrary& Lib = LibraryLocked();
  if (!Lib.Load()) return false;
#define VELMORA_BIND(Name) Lib.Bind(GApi.Name, #Name);
  VELMORA_FLAC_USED(VELMORA_BIND)
  VELMORA_FLAC_OTHER(VELMORA_BIND)
#undef VELMORA_BIND
  GBound = true;
  return true;
}

void UnloadFLAC() {
  std::lock_guard<std::mutex> L(GLock);
  GApi = TFLACApi{};
  GBound = false;
  if (GLibrary) GLibrary->Unload();
}

const TFLACApi& FLAC() { return GApi; }

const char* FLACMissingEntry() {
#define VELMORA_CHECK(Name) \
  if (!GApi.Name) return #Name;
  VELMORA_FLAC_USED(VELMORA_CHECK)
#undef VELMORA_CHECK
  return nullptr;
}

void CheckFLAC() {
  const bool Loaded = LoadFLAC();
  const std::string Error = FLACLibrary().LoadError();
  if (!Loaded) throw EACSException(Error);
  if (const char* Missing = FLACMissingEntry())
    throw EACSException(Error + " Missing entry point: " + Missing);
}

void UseFLACLibraryFile(const std::string& FileName) {
  UnloadFLAC();
  std::lock_guard<std::mutex> L(GLock);
  GLibrary = std::make_unique<TCodecLibrary>(FileName);
}
