#include "codecs/CodecLibrary.h"

#include "codecs/AcmMpegLayer3.h"
#include "codecs/Codec.h"
#include "codecs/FLAC.h"
#include "codecs/MACDll.h"
#include "codecs/MAD.h"
#include "codecs/VorbisEnc.h"
#include "codecs/VorbisFile.h"
#include "codecs/ogg.h"

bool TCodecLibrary::OpenLocked() {
  if (FLib.IsOpen()) return true;
  if (!FLib.Open(FFolder + FFileName)) {
    FMessage = FLib.Error();
    return false;
  }
  if (FBinder && !FBinder(*this)) {
    FLib.Close();
    FMessage = FFileName + " lacks an entry point this program calls";
    return false;
  }
  FMessage.clear();
  return true;
}

bool TCodecLibrary::Load() {
  std::lock_guard<std::mutex> L(FLock);
  return OpenLocked();
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
  if (!OpenLocked()) return false;
  ++FRefs;
  return true;
}

void TCodecLibrary::Release() {
  std::lock_guard<std::mutex> L(FLock);
  if (FRefs > 0 && --FRefs == 0) FLib.Close();
}

int TCodecLibrary::RefCount() const {
  std::lock_guard<std::mutex> L(FLock);
  return FRefs;
}

std::string TCodecLibrary::FileName() const {
  std::lock_guard<std::mutex> L(FLock);
  return FFileName;
}

void TCodecLibrary::SetFileName(const std::string& Value) {
  std::lock_guard<std::mutex> L(FLock);
  if (!FLib.IsOpen()) FFileName = Value;
}

std::string TCodecLibrary::Folder() const {
  std::lock_guard<std::mutex> L(FLock);
  return FFolder;
}

void TCodecLibrary::SetFolder(const std::string& Value) {
  std::lock_guard<std::mutex> L(FLock);
  if (!FLib.IsOpen()) FFolder = Value;
}

void TCodecLibrary::Check() const {
  if (!Loaded()) throw EACSException(LoadError());
}

std::string TCodecLibrary::LoaderMessage() const {
  std::lock_guard<std::mutex> L(FLock);
  return FMessage;
}

void LoadCodecLibraries() {
  // One line per library that is bound at start.
  MADLibrary().Load();
  OggLibrary().Load();
  VorbisLibrary().Load();
  VorbisFileLibrary().Load();
  VorbisEncLibrary().Load();
  FLACLibrary().Load();
  MACDllLibrary().Load();
  // The conversions the codecs offer to the WAV reader.
  InstallMpegLayer3AcmDriver();
}
