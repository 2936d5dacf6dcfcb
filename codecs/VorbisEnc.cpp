#include "codecs/VorbisEnc.h"

VELMORA_DEFINE_CODEC_BINDING(TVorbisEncApi, VorbisEnc, VorbisEncLibrary, "libvorbisenc.so.2",
                             VELMORA_VORBISENC_USED)
