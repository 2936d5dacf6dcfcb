// The saved settings of the window (Settings.ini) for the command line:
// "convert --settings" copies them into its sink the way the window does
// before a job starts.
#pragma once

#include <string>

class TACSOutput;

// Where the window keeps its settings file: beside the program when that
// folder is writable, otherwise in the user's configuration folder.
std::string SavedSettingsPath();

// Opens the settings file, copies its MP3 bit rate, Ogg quality, FLAC
// mid-side switches or APE level into Sink with the window's own functions
// (whichever of them fits the sink; a WAV writer takes none) and closes the
// file again. Missing keys and values that do not convert give the defaults.
void ApplySavedSettings(TACSOutput* Sink);
