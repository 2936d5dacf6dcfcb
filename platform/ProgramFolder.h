// Where the program's files live.
#pragma once

#include <string>

// The folder of the running executable, with a trailing '/'.
std::string ProgramFolder();

// Where a writable file that belongs beside the program goes: the program's
// folder when it is writable (a build tree or a portable install), otherwise
// $XDG_CONFIG_HOME/Velmora/ for settings (Config = true) or
// $XDG_DATA_HOME/Velmora/ for working files. The folder is created. Returns the
// full path of Name.
std::string WritableProgramFile(const std::string& Name, bool Config);

// The folder for temporary files too large to keep in memory:
// $XDG_CACHE_HOME/Velmora/ (default ~/.cache/Velmora/), with a trailing '/'.
// Not created here.
std::string CacheFolder();
