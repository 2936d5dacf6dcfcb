// The binding of libMACDll.so, our APE codec library: its load flag and the
// table of its C entry points. The library ships beside the program and is
// loaded from the program's folder; its header gives the types.
#pragma once

#include "codecs/CodecLibrary.h"
#include "codecs/mac/ApeCApi.h"

struct TMACDllEntryPoints {
  decltype(&::FillWaveFormatEx) FillWaveFormatEx = nullptr;
  decltype(&::c_APECompress_Create) c_APECompress_Create = nullptr;
  decltype(&::c_APECompress_Destroy) c_APECompress_Destroy = nullptr;
  decltype(&::c_APECompress_Finish) c_APECompress_Finish = nullptr;
  decltype(&::c_APECompress_LockBuffer) c_APECompress_LockBuffer = nullptr;
  decltype(&::c_APECompress_Start) c_APECompress_Start = nullptr;
  decltype(&::c_APECompress_UnlockBuffer) c_APECompress_UnlockBuffer = nullptr;
  decltype(&::c_APEDecompress_Create) c_APEDecompress_Create = nullptr;
  decltype(&::c_APEDecompress_Destroy) c_APEDecompress_Destroy = nullptr;
  decltype(&::c_APEDecompress_GetData) c_APEDecompress_GetData = nullptr;
  decltype(&::c_APEDecompress_GetInfo) c_APEDecompress_GetInfo = nullptr;
  decltype(&::c_APEDecompress_Seek) c_APEDecompress_Seek = nullptr;
};

// "libMACDll.so" in the program's folder, loaded at program start
// (LoadCodecLibraries) or by the first APE component.
TCodecLibrary& MACDllLibrary();
// The entry points; valid while MACDllLibrary() is loaded.
const TMACDllEntryPoints& MACDll();
