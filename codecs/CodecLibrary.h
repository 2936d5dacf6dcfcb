// The one way a codec library is bound: a process-wide load flag and a table of
// entry points filled with dlsym. A component whose library is missing raises
// "<file name> library could not be loaded.".
//
// Each binding (MAD.h, lame.h, ...) owns one TCodecLibrary with the library's
// versioned file name and a binder that fills its table of entry points each
// time the file is really loaded. Components either load at program start
// (LoadCodecLibraries) with a lazy Load() in their constructor as a fallback,
// or count their uses with AddRef / Release.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "engine/ACS_Classes.h"
#include "platform/DynamicLibrary.h"

class TCodecLibrary {
 public:
  // Fills the binding's table with Bind(); called with the library's lock held
  // right after each successful load, before anyone can see the flag set. It
  // returns false when an entry point the components call is missing: such a
  // file is closed again and counts as not loaded.
  using TBinder = std::function<bool(const TCodecLibrary& Lib)>;

  explicit TCodecLibrary(std::string FileName, TBinder Binder = {})
      : FFileName(std::move(FileName)), FBinder(std::move(Binder)) {}
  TCodecLibrary(const TCodecLibrary&) = delete;
  TCodecLibrary& operator=(const TCodecLibrary&) = delete;

  // Loads the library if it is not loaded yet; true when it is loaded. A failed
  // load leaves the flag clear and says nothing.
  bool Load();
  // Unloads and clears the flag. Entry points looked up before are dangling.
  void Unload();
  bool Loaded() const;

  // Counted loading for libraries that their components load and unload
  // themselves: the first AddRef loads, the last Release unloads. AddRef is
  // false (and counts nothing) when the library cannot be loaded.
  bool AddRef();
  void Release();
  int RefCount() const;

  std::string FileName() const;
  // Another file to try on the next load, for ports that ship the library
  // under a different name. Ignored while the library is loaded.
  void SetFileName(const std::string& Value);
  // The folder (with a trailing '/') the file is loaded from, for libraries
  // that ship beside the program; "" (the default) uses the normal library
  // search. Messages still name the file alone. Ignored while loaded.
  std::string Folder() const;
  void SetFolder(const std::string& Value);
  // "<file name> library could not be loaded."
  std::string LoadError() const { return FileName() + " library could not be loaded."; }
  // Raises EACSException with LoadError() unless the library is loaded.
  void Check() const;
  // Why the last load failed (the dynamic loader's text, or the entry point
  // that was missing), "" after a success.
  std::string LoaderMessage() const;

  // Looks Name up into Slot; false (and a null slot) when the library does
  // not export it.
  template <class Fn>
  bool Bind(Fn*& Slot, const char* Name) const {
    Slot = reinterpret_cast<Fn*>(FLib.Symbol(Name));
    return Slot != nullptr;
  }

 private:
  bool OpenLocked();  // FLock held

  std::string FFileName;
  std::string FFolder;
  TBinder FBinder;
  std::string FMessage;
  mutable std::mutex FLock;
  TDynamicLibrary FLib;
  int FRefs = 0;
};

// Loads every codec library that is bound at program start (not the MP3
// encoder's, which its components load) and installs the codecs' drivers of
// the audio compression manager. Main programs call it once; a failed load is
// reported later by the component that needs the library.
void LoadCodecLibraries();

// Defines a binding made of an X-macro list of entry points: the table Api
// (filled by the binder), Library() returning the library File bound through
// List, and Accessor() returning the table. For the bindings whose every entry
// point the components call (MAD and LAME keep hand-written tables).
#define VELMORA_DEFINE_CODEC_BINDING(TApi, Accessor, Library, File, List) \
  namespace {                                                             \
  /* Written by the binder under the library's lock, before the load flag \
     is seen. */                                                          \
  TApi G##Accessor##Api;                                                  \
  bool Bind##Accessor(const TCodecLibrary& Lib) {                         \
    bool Complete = true;                                                 \
    TApi& A = G##Accessor##Api;                                           \
    (void)A;                                                              \
    List(VELMORA_BIND_ENTRY) return Complete;                             \
  }                                                                       \
  }                                                                       \
  TCodecLibrary& Library() {                                              \
    static TCodecLibrary Lib(File, Bind##Accessor);                       \
    return Lib;                                                           \
  }                                                                       \
  const TApi& Accessor() { return G##Accessor##Api; }
#define VELMORA_BIND_ENTRY(Name) Complete = Lib.Bind(A.Name, #Name) && Complete;
