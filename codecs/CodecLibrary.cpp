#include "codecs/CodecLibrary.h"

bool TCodecLibrary::Load() {
  std::lock_guard<std::mutex> L(FLock);
  if (FLib.IsOpen()) return true;
  return FLib.Open(FFileName);
}

void TCodecLibrary::Unload() {
  std::lock_guard<std::mutex> L(FLock);
  FLib.Close();
  FRefs = 0;
}

bool TCodecLibrary::Loaded() const {
  std::lock_guard<std::mutex> L(FLock);
  return FLib.IsOpen();
}

bool TCodecLibrary::AddRef() {
  std::lock_guard<std::mutex> L(FLock);
  if (!FLib.IsOpen() && !FLib.Open(FFileName)) return false;
  ++FRefs;
  return true;
}

void TCodecLibrary::Release() {
  std::lock_guard<std::mutex> L(FLock);
  if (FRefs > 0 && --FRefs == 0) FLib.Close();
}

void TCodecLibrary::Check() const {
  if (!Loaded()) throw EACSException(LoadError());
}
