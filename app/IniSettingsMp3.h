// The MP3 bit rate of the settings as the encoder's enumeration. Kept out of
// IniSettings.h, since the MP3 encoder's header cannot be included beside the
// Ogg Vorbis one (see CodecParts.h).
#pragma once

#include "codecs/ACS_LAME.h"

// 64, 96, 128, 144, 160, 192, 224, 256 or 320 kbit/s as br64 ... br320; any
// other rate the encoder offers as its own member; anything else (only a
// hand-edited file holds one) as br128, the default.
TMP3BitRate Mp3BitRateFromKbps(int Kbps);
