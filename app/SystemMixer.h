// The window's view of the sound system's mixer at show time.
#pragma once

#include <memory>

#include "app/MixerLines.h"

// The sound system as a mixer: one device while a sound server answers,
// none otherwise. Its lines are not listed yet, so no microphone or
// stereo-mix line is found through it.
std::unique_ptr<TMixerLineSource> MakeSystemMixerLineSource();
