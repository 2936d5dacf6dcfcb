#include "codecs/VorbisFile.h"

VELMORA_DEFINE_CODEC_BINDING(TVorbisFileApi, VorbisFile, VorbisFileLibrary, "libvorbisfile.so.3",
                             VELMORA_VORBISFILE_USED)
