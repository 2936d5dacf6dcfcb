#include "codecs/MACDll.h"

#include "platform/ProgramFolder.h"

namespace {
TMACDllEntryPoints GMACDll;
}  // namespace

namespace {

// Only the calls the components make are required; the rest of the library's
// published list is looked up for completeness.
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
  L.Bind(E.ProgressCallback, "ProgressCallback");
  L.Bind(E.RemoveTag, "RemoveTag");
  L.Bind(E.CompressFile, "CompressFile");
  L.Bind(E.ConvertFile, "ConvertFile");
  L.Bind(E.DecompressFile, "DecompressFile");
  L.Bind(E.FillWaveHeader, "FillWaveHeader");
  L.Bind(E.GetID3Tag, "GetID3Tag");
  L.Bind(E.GetInterfaceCompatibility, "GetInterfaceCompatibility");
  L.Bind(E.GetVersionNumber, "GetVersionNumber");
  L.Bind(E.ShowFileInfoDialog, "ShowFileInfoDialog");
  L.Bind(E.TagFileSimple, "TagFileSimple");
  L.Bind(E.VerifyFile, "VerifyFile");
  L.Bind(E.c_APECompress_AddData, "c_APECompress_AddData");
  L.Bind(E.c_APECompress_GetBufferBytesAvailable, "c_APECompress_GetBufferBytesAvailable");
  L.Bind(E.c_APECompress_Kill, "c_APECompress_Kill");
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
