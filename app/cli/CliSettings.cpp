#include "app/cli/CliSettings.h"

#include "app/IniSettings.h"
#include "codecs/ACS_FLAC.h"
#include "codecs/ACS_MAC.h"
#include "platform/ProgramFolder.h"

std::string SavedSettingsPath() { return WritableProgramFile("Settings.ini", true); }

void ApplySavedSettings(TACSOutput* Sink) {
  OpenSettings(SavedSettingsPath());
  ApplySavedMp3Settings(Sink);
  ApplySavedOggSettings(Sink);
  ApplyFlacSettings(dynamic_cast<TFLACOut*>(Sink));
  ApplyApeSettings(dynamic_cast<TMACOut*>(Sink));
  CloseSettings();
}
