// Device volumes of the outputs, as two 16-bit channel volumes in one 32-bit
// word (left in the low half, right in the high half; 0xFFFF is full).
//
// The wave output is this program's own playback: one volume for every
// playback stream it opens, on any playback device. There are no auxiliary
// (CD) or MIDI outputs.
#pragma once

#include <cstdint>

enum class TOutputKind { Aux, Wave, Midi };

// Result codes as the mixer service's (platform/Mixer.h).
uint32_t OutputDeviceCount(TOutputKind Kind);
// True when the device exists and its volume can be set.
bool OutputSupportsVolume(TOutputKind Kind, uint32_t Device);
uint32_t GetOutputVolume(TOutputKind Kind, uint32_t Device, uint32_t& Volume);
// Playback streams open now change at once; those opened later start at it.
uint32_t SetOutputVolume(TOutputKind Kind, uint32_t Device, uint32_t Volume);

// The wave output's volume as the sound-card layer reads it when it opens a
// playback stream; 0xFFFFFFFF (the start value) leaves streams as they are.
uint32_t ProgramPlaybackVolume();
