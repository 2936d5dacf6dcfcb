#include "app/cli/CliSettings.h"

#include "app/IniSettings.h"
#include "codecs/ACS_FLAC.h"
#include "codecs/ACS_LAME.h"
#include "codecs/ACS_MAC.h"
#include "codecs/ACS_Vorbis.h"
#include "platform/ProgramFolder.h"

std::string SavedSettingsPath() { return WritableProgramFile("Settings.ini", true); }

void ApplySavedSettings(TACSOutput* Sink) {
  OpenSettings(SavedSettingsPath());
  ApplyMp3Settings(dynamic_cast<TMP3Out*>(Sink));
  ApplyOggSettings(dynamic_cast<TVorbisOut*>(Sink));
  ApplyFlacSettings(dynamic_cast<TFLACOut*>(Sink));
  ApplyApeSettings(dynamic_cast<TMACOut*>(Sink));
  CloseSettings();
}
