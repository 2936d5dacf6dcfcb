#include "codecs/ogg.h"

VELMORA_DEFINE_CODEC_BINDING(TOggApi, Ogg, OggLibrary, "libogg.so.0", VELMORA_OGG_USED)
