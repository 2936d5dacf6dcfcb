// The C interface of libMACDll.so: a Monkey's Audio (APE) compressor that
// writes files of format version 3990, and a decompressor. Both work by
// handle; every call returns or reports one of the error codes below.
//
// Strings are UTF-8 file names. Sizes are 64-bit byte or block counts. A
// "block" is one sample of every channel. PCM is interleaved little-endian,
// 8-bit unsigned, 16- or 24-bit signed, 1 or 2 channels.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define APE_API __attribute__((visibility("default")))
#else
#define APE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------- error codes
enum {
  APE_ERROR_SUCCESS = 0,
  APE_ERROR_IO_READ = 1000,
  APE_ERROR_IO_WRITE = 1001,
  APE_ERROR_INVALID_INPUT_FILE = 1002,
  APE_ERROR_INVALID_OUTPUT_FILE = 1003,
  APE_ERROR_INPUT_FILE_TOO_LARGE = 1004,
  APE_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH = 1005,
  APE_ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE = 1006,
  APE_ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT = 1007,
  APE_ERROR_INPUT_FILE_TOO_SMALL = 1008,
  APE_ERROR_INVALID_CHECKSUM = 1009,
  APE_ERROR_DECOMPRESSING_FRAME = 1010,
  APE_ERROR_INITIALIZING_UNMAC = 1011,
  APE_ERROR_INVALID_FUNCTION_PARAMETER = 1012,
  APE_ERROR_UNSUPPORTED_FILE_TYPE = 1013,
  APE_ERROR_INSUFFICIENT_MEMORY = 2000,
  APE_ERROR_USER_STOPPED_PROCESSING = 4000,
  APE_ERROR_BAD_PARAMETER = 5000,
  APE_ERROR_TOO_MUCH_DATA = 6000,
};

// Compression levels.
enum {
  APE_LEVEL_FAST = 1000,
  APE_LEVEL_NORMAL = 2000,
  APE_LEVEL_HIGH = 3000,
  APE_LEVEL_EXTRA_HIGH = 4000,
  APE_LEVEL_INSANE = 5000,
};

// Passed as the header byte count to Start: no WAV header is stored in the
// file; a decoder builds a canonical one.
#define APE_CREATE_WAV_HEADER (-1)

// Information fields of c_APEDecompress_GetInfo. Any other field answers 0.
enum {
  APE_INFO_SAMPLE_RATE = 1003,
  APE_INFO_BITS_PER_SAMPLE = 1004,
  APE_INFO_CHANNELS = 1006,
  APE_INFO_WAV_DATA_BYTES = 1014,   // PCM bytes of the whole file
  APE_DECOMPRESS_LENGTH_MS = 2003,  // length in milliseconds (rounded down)
};

// The PCM format record (the RIFF "fmt " chunk body with its extension size),
// packed to 18 bytes.
#pragma pack(push, 1)
typedef struct {
  uint16_t wFormatTag;  // 1 = PCM
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
} APE_WAVEFORMATEX;

// A canonical 44-byte RIFF WAVE header.
typedef struct {
  char cRIFFHeader[4];
  uint32_t nRIFFBytes;
  char cDataTypeID[4];
  char cFormatHeader[4];
  uint32_t nFormatBytes;
  uint16_t nFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t nBitsPerSample;
  char cDataHeader[4];
  uint32_t nDataBytes;
} APE_WAVE_HEADER;
#pragma pack(pop)

typedef void* APE_COMPRESS_HANDLE;
typedef void* APE_DECOMPRESS_HANDLE;

// ---------------------------------------------------------------- compressor

// A new compressor, or null (then *pErrorCode says why; pErrorCode may be null).
APE_API APE_COMPRESS_HANDLE c_APECompress_Create(int* pErrorCode);
// Frees the compressor. A file that was started and not finished is removed:
// it would describe audio it does not hold.
APE_API void c_APECompress_Destroy(APE_COMPRESS_HANDLE hAPECompress);
// Creates pOutputFilename and prepares to compress PCM of the given format.
// nMaxAudioBytes is the expected PCM byte count (-1 = not known); it only
// sizes the seek table up front. pHeaderData/nHeaderBytes is the source file's
// header kept for decompression, or APE_CREATE_WAV_HEADER.
APE_API int c_APECompress_Start(APE_COMPRESS_HANDLE hAPECompress, const char* pOutputFilename,
                                const APE_WAVEFORMATEX* pwfeInput, int64_t nMaxAudioBytes,
                                int nCompressionLevel, const void* pHeaderData,
                                int64_t nHeaderBytes);
// Copies nBytes of PCM in and compresses what fills whole frames. Returns an
// error code.
APE_API int c_APECompress_AddData(APE_COMPRESS_HANDLE hAPECompress, const unsigned char* pData,
                                  int64_t nBytes);
// Bytes the input buffer takes before it must be processed (0 before Start).
APE_API int64_t c_APECompress_GetBufferBytesAvailable(APE_COMPRESS_HANDLE hAPECompress);
// The free part of the input buffer and its size; null before Start. Fill at
// most *pBytesAvailable bytes, then UnlockBuffer.
APE_API unsigned char* c_APECompress_LockBuffer(APE_COMPRESS_HANDLE hAPECompress,
                                                int64_t* pBytesAvailable);
// Accounts for nBytesAdded bytes written after LockBuffer; with bProcess set,
// compresses every whole frame now in the buffer. Returns an error code.
APE_API int c_APECompress_UnlockBuffer(APE_COMPRESS_HANDLE hAPECompress, int64_t nBytesAdded,
                                       int bProcess);
// Compresses what is left, appends the terminating data (bytes that followed
// the audio in the source file), completes the header, seek table and MD5 and
// closes the file. A trailing partial block is dropped. A file with no audio
// cannot be represented: it is removed and APE_ERROR_INPUT_FILE_TOO_SMALL
// returned.
APE_API int c_APECompress_Finish(APE_COMPRESS_HANDLE hAPECompress,
                                 const unsigned char* pTerminatingData, int64_t nTerminatingBytes,
                                 int64_t nWAVTerminatingBytes);
// Abandons the file: it is closed and removed.
APE_API int c_APECompress_Kill(APE_COMPRESS_HANDLE hAPECompress);

// ---------------------------------------------------------------- decompressor

// Opens an APE file for decoding, or null (then *pErrorCode says why).
APE_API APE_DECOMPRESS_HANDLE c_APEDecompress_Create(const char* pFilename, int* pErrorCode);
APE_API void c_APEDecompress_Destroy(APE_DECOMPRESS_HANDLE hAPEDecompress);
// Decodes up to nBlocks blocks of interleaved PCM into pBuffer (which holds
// nBlocks * block align bytes). *pBlocksRetrieved is 0 at the end of the file.
// Every frame is checked against its CRC before any of it is handed out; a
// damaged frame gives APE_ERROR_INVALID_CHECKSUM or
// APE_ERROR_DECOMPRESSING_FRAME and ends the data.
APE_API int c_APEDecompress_GetData(APE_DECOMPRESS_HANDLE hAPEDecompress, char* pBuffer,
                                    int64_t nBlocks, int64_t* pBlocksRetrieved);
// Positions decoding at block nBlockOffset (clamped to the end of the file).
APE_API int c_APEDecompress_Seek(APE_DECOMPRESS_HANDLE hAPEDecompress, int64_t nBlockOffset);
APE_API intptr_t c_APEDecompress_GetInfo(APE_DECOMPRESS_HANDLE hAPEDecompress, int nField,
                                         intptr_t nParam1, intptr_t nParam2);

// ---------------------------------------------------------------- helpers

// Fills a PCM format record. Returns an error code.
APE_API int FillWaveFormatEx(APE_WAVEFORMATEX* pWaveFormatEx, int nSampleRate, int nBitsPerSample,
                             int nChannels);
// Fills a canonical 44-byte header for nAudioBytes of PCM. Returns an error code.
APE_API int FillWaveHeader(APE_WAVE_HEADER* pWAVHeader, int64_t nAudioBytes,
                           const APE_WAVEFORMATEX* pWaveFormatEx, int64_t nTerminatingBytes);
// The format version this library writes (3990).
APE_API int GetVersionNumber(void);
// 0 when nVersion is the version of this interface, -1 otherwise.
APE_API int GetInterfaceCompatibility(int nVersion, int bDisplayWarningsOnFailure,
                                      void* hwndParent);

// Whole-file operations. Checking a file is supported; the others are not
// part of this library and refuse with APE_ERROR_UNSUPPORTED_FILE_TYPE.
// VerifyFile decodes the whole file and checks every frame's CRC.
APE_API int VerifyFile(const char* pInputFilename, int* pPercentageDone, void* ProgressCallback,
                       int* pKillFlag, int bQuickVerifyIfPossible);
APE_API int CompressFile(const char* pInputFilename, const char* pOutputFilename,
                         int nCompressionLevel, int* pPercentageDone, void* ProgressCallback,
                         int* pKillFlag);
APE_API int DecompressFile(const char* pInputFilename, const char* pOutputFilename,
                           int* pPercentageDone, void* ProgressCallback, int* pKillFlag);
APE_API int ConvertFile(const char* pInputFilename, const char* pOutputFilename,
                        int nCompressionLevel, int* pPercentageDone, void* ProgressCallback,
                        int* pKillFlag);
APE_API int RemoveTag(const char* pFilename);
APE_API int TagFileSimple(const char* pFilename, const char* pArtist, const char* pAlbum,
                          const char* pTitle, const char* pComment, const char* pGenre,
                          const char* pYear, const char* pTrack, int bClearFirst, int bUseOldID3);
APE_API int GetID3Tag(const char* pFilename, void* pID3Tag);
APE_API int ShowFileInfoDialog(const char* pFilename, void* hwndWindow);
// Progress call-back type placeholder; does nothing.
APE_API void ProgressCallback(int nPercentageDone);

#ifdef __cplusplus
}
#endif
