#include "codecs/MACDll.h"

#include "platform/ProgramFolder.h"

namespace {
TMACDllEntryPoints GMACDll;
}  // namespace

namespace {

// The calls the components make, each required.
bool BindMACDll(const TCodecLibrary& L) {
  TMACDllEntryPoints& E = GMACDll;
  bool Ok = true;
  Ok &= L.Bind(E.FillWaveFormatEx, "FillWaveFormatEx");
  Ok &= L.Bind(E.c_APECompress_Create, "c_APECompress_Create");
  Ok &= L.Bind(E.c_APECompress_Destroy, "c_APECompress_Destroy");
  Ok &= L.Bind(E.c_APECompress_Start, "c_APECompress_Start");
  Ok &= L.Bind(E.c_APECompress_Finish, "c_APECompress_Finish");
  Ok &= L.Bind(E.c_APECompress_LockBuffer, "c_APECompress_LockBuffer");
  Ok &= L.Bind(E.c_APECompress_UnlockBuffer, "c_APECompress_UnlockBuffer");
  Ok &= L.Bind(E.c_APEDecompress_Create, "c_APEDecompress_Create");
  Ok &= L.Bind(E.c_APEDecompress_Destroy, "c_APEDecompress_Destroy");
  Ok &= L.Bind(E.c_APEDecompress_GetData, "c_APEDecompress_GetData");
  Ok &= L.Bind(E.c_APEDecompress_GetInfo, "c_APEDecompress_GetInfo");
  Ok &= L.Bind(E.c_APEDecompress_Seek, "c_APEDecompress_Seek");
  return Ok;
}

TCodecLibrary& MakeLibrary() {
  static TCodecLibrary Lib("libMACDll.so", BindMACDll);
  Lib.SetFolder(ProgramFolder());
  return Lib;
}

}  // namespace

TCodecLibrary& MACDllLibrary() {
  static TCodecLibrary& Lib = MakeLibrary();
  return Lib;
}

const TMACDllEntryPoints& MACDll() { return GMACDll; }
