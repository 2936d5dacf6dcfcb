// The one way a codec library is bound: a process-wide load flag and a table of
// entry points filled with dlsym. A component whose library is missing raises
// "<file name> library could not be loaded.".
#pragma once

#include <mutex>
#include <string>

#include "engine/ACS_Classes.h"
#include "platform/DynamicLibrary.h"

class TCodecLibrary {
 public:
  explicit TCodecLibrary(std::string FileName) : FFileName(std::move(FileName)) {}
  TCodecLibrary(const TCodecLibrary&) = delete;
  TCodecLibrary& operator=(const TCodecLibrary&) = delete;

  // Loads the library if it is not loaded yet; true when it is loaded. A failed
  // load leaves the flag clear and says nothing.
  bool Load();
  // Unloads and clears the flag. Entry points looked up before are dangling.
  void Unload();
  bool Loaded() const;

  // Counted loading for libraries that their components load and unload
  // themselves: the first AddRef loads, the last Release unloads.
  bool AddRef();
  void Release();

  const std::string& FileName() const { return FFileName; }
  // "<file name> library could not be loaded."
  std::string LoadError() const { return FFileName + " library could not be loaded."; }
  // Raises EACSException with LoadError() unless the library is loaded.
  void Check() const;

  // Looks Name up into Slot (null when missing: the flag records only that the
  // file loaded, as a missing entry point is found when it is called).
  template <class Fn>
  void Bind(Fn*& Slot, const char* Name) const {
    Slot = reinterpret_cast<Fn*>(FLib.Symbol(Name));
  }

 private:
  std::string FFileName;
  mutable std::mutex FLock;
  TDynamicLibrary FLib;
  int FRefs = 0;
};
