#include "platform/ProgramFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

std::string ProgramFolder() {
  std::error_code Ec;
  const auto Exe = std::filesystem::read_symlink("/proc/self/exe", Ec);
  if (Ec) return "./";
  std::string Dir = Exe.parent_path().string();
  if (Dir.empty() || Dir.back() != '/') Dir += '/';
  return Dir;
}

namespace {

std::string XdgDir(const char* Var, const char* Fallback) {
  const char* V = std::getenv(Var);
  if (V && *V == '/') return V;
  const char* Home = std::getenv("HOME");
  return std::string(Home && *Home ? Home : "/tmp") + "/" + Fallback;
}

}  // namespace

std::string WritableProgramFile(const std::string& Name, bool Config) {
  const std::string Prog = ProgramFolder();
  if (::access(Prog.c_str(), W_OK) == 0) return Prog + Name;
  const std::string Dir =
      (Config ? XdgDir("XDG_CONFIG_HOME", ".config") : XdgDir("XDG_DATA_HOME", ".local/share")) +
      "/Velmora/";
  std::error_code Ec;
  std::filesystem::create_directories(Dir, Ec);
  return Dir + Name;
}

std::string CacheFolder() { return XdgDir("XDG_CACHE_HOME", ".cache") + "/Velmora/"; }
