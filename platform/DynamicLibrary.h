// A shared library opened with dlopen and closed when the object goes.
#pragma once

#include <string>

class TDynamicLibrary {
 public:
  TDynamicLibrary() = default;
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;
  ~TDynamicLibrary() { Close(); }

  // Opens FileName through the normal library search (or a path, if it has a
  // '/'). True on success; Error() then says why not.
  bool Open(const std::string& FileName);
  void Close();
  bool IsOpen() const { return FHandle != nullptr; }
  // The address of an exported symbol, or null.
  void* Symbol(const char* Name) const;
  const std::string& Error() const { return FError; }

 private:
  void* FHandle = nullptr;
  std::string FError;
};
