#include "codecs/Codec.h"

VELMORA_DEFINE_CODEC_BINDING(TVorbisApi, Vorbis, VorbisLibrary, "libvorbis.so.0",
                             VELMORA_VORBIS_USED)
