#include "app/IniSettings.h"
#include "app/cli/CliSettings.h"
#include "codecs/ACS_Vorbis.h"

void ApplySavedOggSettings(TACSOutput* Sink) { ApplyOggSettings(dynamic_cast<TVorbisOut*>(Sink)); }
