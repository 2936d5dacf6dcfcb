// The exported C entry points: thin shells over TApeWriter and TApeReader that
// never let an exception out into C callers.
#include <cstring>
#include <new>

#include "codecs/mac/ApeCApi.h"
#include "codecs/mac/ApeReader.h"
#include "codecs/mac/ApeWriter.h"

namespace {

constexpr int kVersionNumber = 3990;

ape::TApeWriter* Writer(APE_COMPRESS_HANDLE H) { return static_cast<ape::TApeWriter*>(H); }
ape::TApeReader* Reader(APE_DECOMPRESS_HANDLE H) { return static_cast<ape::TApeReader*>(H); }

void SetError(int* P, int Code) {
  if (P) *P = Code;
}

// Runs F, turning an allocation failure (the only exception the codec code
// raises) into its error code.
template <class F>
int Guard(F&& Fn) {
  try {
    return Fn();
  } catch (const std::bad_alloc&) {
    return APE_ERROR_INSUFFICIENT_MEMORY;
  } catch (...) {
    return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  }
}

}  // namespace

extern "C" {

APE_COMPRESS_HANDLE c_APECompress_Create(int* pErrorCode) {
  auto* W = new (std::nothrow) ape::TApeWriter;
  SetError(pErrorCode, W ? APE_ERROR_SUCCESS : APE_ERROR_INSUFFICIENT_MEMORY);
  return W;
}

void c_APECompress_Destroy(APE_COMPRESS_HANDLE hAPECompress) { delete Writer(hAPECompress); }

int c_APECompress_Start(APE_COMPRESS_HANDLE hAPECompress, const char* pOutputFilename,
                        const APE_WAVEFORMATEX* pwfeInput, int64_t nMaxAudioBytes,
                        int nCompressionLevel, const void* pHeaderData, int64_t nHeaderBytes) {
  if (!hAPECompress) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  return Guard([&] {
    return Writer(hAPECompress)
        ->Start(pOutputFilename, pwfeInput, nMaxAudioBytes, nCompressionLevel, pHeaderData,
                nHeaderBytes);
  });
}

int c_APECompress_AddData(APE_COMPRESS_HANDLE hAPECompress, const unsigned char* pData,
                          int64_t nBytes) {
  if (!hAPECompress) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  return Guard([&] { return Writer(hAPECompress)->AddData(pData, nBytes); });
}

int64_t c_APECompress_GetBufferBytesAvailable(APE_COMPRESS_HANDLE hAPECompress) {
  return hAPECompress ? Writer(hAPECompress)->BufferBytesAvailable() : 0;
}

unsigned char* c_APECompress_LockBuffer(APE_COMPRESS_HANDLE hAPECompress,
                                        int64_t* pBytesAvailable) {
  if (!hAPECompress) {
    if (pBytesAvailable) *pBytesAvailable = 0;
    return nullptr;
  }
  unsigned char* P = nullptr;
  Guard([&] {
    P = Writer(hAPECompress)->LockBuffer(pBytesAvailable);
    return 0;
  });
  return P;
}

int c_APECompress_UnlockBuffer(APE_COMPRESS_HANDLE hAPECompress, int64_t nBytesAdded,
                               int bProcess) {
  if (!hAPECompress) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  return Guard([&] { return Writer(hAPECompress)->UnlockBuffer(nBytesAdded, bProcess != 0); });
}

int c_APECompress_Finish(APE_COMPRESS_HANDLE hAPECompress, const unsigned char* pTerminatingData,
                         int64_t nTerminatingBytes, int64_t nWAVTerminatingBytes) {
  if (!hAPECompress) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  return Guard([&] {
    return Writer(hAPECompress)->Finish(pTerminatingData, nTerminatingBytes, nWAVTerminatingBytes);
  });
}

int c_APECompress_Kill(APE_COMPRESS_HANDLE hAPECompress) {
  if (!hAPECompress) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  return Writer(hAPECompress)->Kill();
}

APE_DECOMPRESS_HANDLE c_APEDecompress_Create(const char* pFilename, int* pErrorCode) {
  auto* R = new (std::nothrow) ape::TApeReader;
  if (!R) {
    SetError(pErrorCode, APE_ERROR_INSUFFICIENT_MEMORY);
    return nullptr;
  }
  const int E = Guard([&] { return R->Open(pFilename); });
  if (E != APE_ERROR_SUCCESS) {
    delete R;
    SetError(pErrorCode, E);
    return nullptr;
  }
  SetError(pErrorCode, APE_ERROR_SUCCESS);
  return R;
}

void c_APEDecompress_Destroy(APE_DECOMPRESS_HANDLE hAPEDecompress) {
  delete Reader(hAPEDecompress);
}

int c_APEDecompress_GetData(APE_DECOMPRESS_HANDLE hAPEDecompress, char* pBuffer, int64_t nBlocks,
                            int64_t* pBlocksRetrieved) {
  if (!hAPEDecompress) {
    if (pBlocksRetrieved) *pBlocksRetrieved = 0;
    return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  }
  return Guard([&] {
    return Reader(hAPEDecompress)
        ->GetData(reinterpret_cast<uint8_t*>(pBuffer), nBlocks, pBlocksRetrieved);
  });
}

int c_APEDecompress_Seek(APE_DECOMPRESS_HANDLE hAPEDecompress, int64_t nBlockOffset) {
  if (!hAPEDecompress) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  return Guard([&] { return Reader(hAPEDecompress)->Seek(nBlockOffset); });
}

intptr_t c_APEDecompress_GetInfo(APE_DECOMPRESS_HANDLE hAPEDecompress, int nField, intptr_t,
                                 intptr_t) {
  return hAPEDecompress ? Reader(hAPEDecompress)->GetInfo(nField) : 0;
}

int FillWaveFormatEx(APE_WAVEFORMATEX* pWaveFormatEx, int nSampleRate, int nBitsPerSample,
                     int nChannels) {
  if (!pWaveFormatEx || nSampleRate <= 0 || nBitsPerSample <= 0 || nChannels <= 0 ||
      nBitsPerSample > 32 || nChannels > 8)
    return APE_ERROR_BAD_PARAMETER;
  const int Align = nChannels * nBitsPerSample / 8;
  pWaveFormatEx->wFormatTag = 1;
  pWaveFormatEx->nChannels = static_cast<uint16_t>(nChannels);
  pWaveFormatEx->nSamplesPerSec = static_cast<uint32_t>(nSampleRate);
  pWaveFormatEx->nAvgBytesPerSec =
      static_cast<uint32_t>(nSampleRate) * static_cast<uint32_t>(Align);
  pWaveFormatEx->nBlockAlign = static_cast<uint16_t>(Align);
  pWaveFormatEx->wBitsPerSample = static_cast<uint16_t>(nBitsPerSample);
  pWaveFormatEx->cbSize = 0;
  return APE_ERROR_SUCCESS;
}

int FillWaveHeader(APE_WAVE_HEADER* pWAVHeader, int64_t nAudioBytes,
                   const APE_WAVEFORMATEX* pWaveFormatEx, int64_t nTerminatingBytes) {
  if (!pWAVHeader || !pWaveFormatEx || nAudioBytes < 0 || nTerminatingBytes < 0)
    return APE_ERROR_BAD_PARAMETER;
  std::memcpy(pWAVHeader->cRIFFHeader, "RIFF", 4);
  pWAVHeader->nRIFFBytes = static_cast<uint32_t>(nAudioBytes + 36 + nTerminatingBytes);
  std::memcpy(pWAVHeader->cDataTypeID, "WAVE", 4);
  std::memcpy(pWAVHeader->cFormatHeader, "fmt ", 4);
  pWAVHeader->nFormatBytes = 16;
  pWAVHeader->nFormatTag = pWaveFormatEx->wFormatTag;
  pWAVHeader->nChannels = pWaveFormatEx->nChannels;
  pWAVHeader->nSamplesPerSec = pWaveFormatEx->nSamplesPerSec;
  pWAVHeader->nAvgBytesPerSec = pWaveFormatEx->nAvgBytesPerSec;
  pWAVHeader->nBlockAlign = pWaveFormatEx->nBlockAlign;
  pWAVHeader->nBitsPerSample = pWaveFormatEx->wBitsPerSample;
  std::memcpy(pWAVHeader->cDataHeader, "data", 4);
  pWAVHeader->nDataBytes = static_cast<uint32_t>(nAudioBytes);
  return APE_ERROR_SUCCESS;
}

int GetVersionNumber(void) { return kVersionNumber; }

int GetInterfaceCompatibility(int nVersion, int, void*) {
  return nVersion <= kVersionNumber ? 0 : -1;
}

int VerifyFile(const char* pInputFilename, int* pPercentageDone, void*, int* pKillFlag, int) {
  return Guard([&] {
    ape::TApeReader R;
    if (const int E = R.Open(pInputFilename)) return E;
    const int64_t Align = R.GetInfo(APE_INFO_CHANNELS) * (R.GetInfo(APE_INFO_BITS_PER_SAMPLE) / 8);
    const int64_t Total = Align > 0 ? R.GetInfo(APE_INFO_WAV_DATA_BYTES) / Align : 0;
    std::vector<uint8_t> Buf(static_cast<size_t>(4096 * Align));
    int64_t Done = 0;
    for (;;) {
      if (pKillFlag && *pKillFlag) return static_cast<int>(APE_ERROR_USER_STOPPED_PROCESSING);
      int64_t Got = 0;
      if (const int E = R.GetData(Buf.data(), 4096, &Got)) return E;
      if (Got == 0) break;
      Done += Got;
      if (pPercentageDone && Total > 0) *pPercentageDone = static_cast<int>(Done * 100 / Total);
    }
    return static_cast<int>(APE_ERROR_SUCCESS);
  });
}

int CompressFile(const char*, const char*, int, int*, void*, int*) {
  return APE_ERROR_UNSUPPORTED_FILE_TYPE;
}
int DecompressFile(const char*, const char*, int*, void*, int*) {
  return APE_ERROR_UNSUPPORTED_FILE_TYPE;
}
int ConvertFile(const char*, const char*, int, int*, void*, int*) {
  return APE_ERROR_UNSUPPORTED_FILE_TYPE;
}
int RemoveTag(const char*) { return APE_ERROR_UNSUPPORTED_FILE_TYPE; }
int TagFileSimple(const char*, const char*, const char*, const char*, const char*, const char*,
                  const char*, const char*, int, int) {
  return APE_ERROR_UNSUPPORTED_FILE_TYPE;
}
int GetID3Tag(const char*, void*) { return APE_ERROR_UNSUPPORTED_FILE_TYPE; }
int ShowFileInfoDialog(const char*, void*) { return APE_ERROR_UNSUPPORTED_FILE_TYPE; }
void ProgressCallback(int) {}

}  // extern "C"
