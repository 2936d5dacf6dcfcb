#include "app/IniSettings.h"
#include "app/cli/CliSettings.h"
#include "codecs/ACS_LAME.h"

void ApplySavedMp3Settings(TACSOutput* Sink) { ApplyMp3Settings(dynamic_cast<TMP3Out*>(Sink)); }
