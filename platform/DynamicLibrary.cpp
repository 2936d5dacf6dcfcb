#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

bool TDynamicLibrary::Open(const std::string& FileName) {
  Close();
  FHandle = ::dlopen(FileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!FHandle) {
    const char* E = ::dlerror();
    FError = E ? E : "unknown error";
    return false;
  }
  FError.clear();
  return true;
}

void TDynamicLibrary::Close() {
  if (FHandle) ::dlclose(FHandle);
  FHandle = nullptr;
}

void* TDynamicLibrary::Symbol(const char* Name) const {
  return FHandle ? ::dlsym(FHandle, Name) : nullptr;
}
