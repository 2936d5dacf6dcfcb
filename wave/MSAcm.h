// The audio compression manager: conversion streams from one wave format to
// another, carried out by drivers that the codec layer installs (the MPEG
// Layer-3 driver decodes format tag 85 with the MP3 decoder library). The
// acm* calls report with result codes and never raise.
//
// A conversion goes: acmFormatSuggest (what the source can become),
// acmStreamOpen, acmStreamSize (how much output room a piece of input needs),
// acmStreamPrepareHeader, acmStreamConvert once per piece (the last with
// kAcmConvertEnd), acmStreamUnprepareHeader, acmStreamClose. A stream is used
// by one thread at a time; installing and removing drivers is safe from any
// thread, but a driver must stay installed while a stream it opened is open.
#pragma once

#include <cstdint>
#include <memory>

// Result codes.
enum : uint32_t {
  kAcmNoError = 0,
  kAcmError = 1,
  kAcmInvalidHandle = 5,
  kAcmNoDriver = 6,  // no installed driver handles the formats
  kAcmNoMemory = 7,
  kAcmNotSupported = 8,
  kAcmInvalidFlag = 10,
  kAcmInvalidParam = 11,
  kAcmNotPossible = 512,  // the driver cannot do what is asked
  kAcmBusy = 513,         // headers are still prepared on the stream
  kAcmUnprepared = 514,   // the header was not prepared on this stream
};

// acmMetrics: the largest format structure, in bytes, of any installed driver
// (a uint32_t).
constexpr uint32_t kAcmMetricMaxSizeFormat = 50;
// acmFormatSuggest: which fields of the destination format are fixed by the
// caller; the driver fills in the rest.
constexpr uint32_t kAcmSuggestFormatTag = 0x00010000;
constexpr uint32_t kAcmSuggestChannels = 0x00020000;
constexpr uint32_t kAcmSuggestSampleRate = 0x00040000;
constexpr uint32_t kAcmSuggestBitsPerSample = 0x00080000;
// acmStreamOpen: only ask whether the conversion is possible; convert without
// time constraints (the only mode there is here).
constexpr uint32_t kAcmOpenQuery = 0x01;
constexpr uint32_t kAcmOpenNonRealtime = 0x04;
// acmStreamSize: the size given is of the source.
constexpr uint32_t kAcmSizeSource = 0x00;
// acmStreamConvert: whole blocks only; the first piece; the last piece (the
// driver delivers everything it still holds).
constexpr uint32_t kAcmConvertBlockAlign = 0x04;
constexpr uint32_t kAcmConvertStart = 0x10;
constexpr uint32_t kAcmConvertEnd = 0x20;
// TAcmStreamHeader::Status bits.
constexpr uint32_t kAcmHeaderDone = 0x00010000;
constexpr uint32_t kAcmHeaderPrepared = 0x00020000;

#pragma pack(push, 1)
// A wave format as a "fmt " chunk stores it; ExtraSize bytes of the format's
// own follow the structure in memory.
struct TWaveFormatEx {
  uint16_t FormatTag = 0;
  uint16_t Channels = 0;
  uint32_t SamplesPerSec = 0;
  uint32_t AvgBytesPerSec = 0;
  uint16_t BlockAlign = 0;
  uint16_t BitsPerSample = 0;
  uint16_t ExtraSize = 0;
};
#pragma pack(pop)
static_assert(sizeof(TWaveFormatEx) == 18, "the format structure is stored as 18 bytes");

// One piece of a conversion: the caller owns both buffers.
struct TAcmStreamHeader {
  uint32_t StructSize = sizeof(TAcmStreamHeader);
  uint32_t Status = 0;
  uintptr_t User = 0;
  uint8_t* Source = nullptr;
  uint32_t SourceLength = 0;
  uint32_t SourceLengthUsed = 0;  // set by acmStreamConvert
  uintptr_t SourceUser = 0;
  uint8_t* Dest = nullptr;
  uint32_t DestLength = 0;
  uint32_t DestLengthUsed = 0;  // set by acmStreamConvert
  uintptr_t DestUser = 0;
  uintptr_t ReservedDriver[10] = {};
};

// The work of one open stream, made by its driver.
class TAcmConversion {
 public:
  TAcmConversion() = default;
  TAcmConversion(const TAcmConversion&) = delete;
  TAcmConversion& operator=(const TAcmConversion&) = delete;
  virtual ~TAcmConversion() = default;

  // Output room that SourceBytes of input need at most; kAcmNotPossible when
  // the answer does not fit in 32 bits.
  virtual uint32_t OutputSize(uint32_t SourceBytes, uint32_t& Bytes) = 0;
  // Converts H.Source: sets SourceLengthUsed (the input taken; what the
  // driver keeps of it comes out in later calls) and DestLengthUsed (never
  // more than DestLength).
  virtual uint32_t Convert(TAcmStreamHeader& H, uint32_t Flags) = 0;
};

// A driver: the conversions it knows.
class TAcmDriver {
 public:
  TAcmDriver() = default;
  TAcmDriver(const TAcmDriver&) = delete;
  TAcmDriver& operator=(const TAcmDriver&) = delete;
  virtual ~TAcmDriver() = default;

  // The largest format structure (with its extra bytes) the driver uses.
  virtual uint32_t MaxFormatSize() const = 0;
  // Fills Dest (DestSize bytes of room) with a format Source converts to,
  // keeping the fields Flags fix as the caller set them; kAcmNotPossible when
  // there is none.
  virtual uint32_t Suggest(const TWaveFormatEx& Source, TWaveFormatEx& Dest, uint32_t DestSize,
                           uint32_t Flags) = 0;
  // Opens a conversion from Source to Dest (Conversion stays null when Query
  // is set); kAcmNotPossible when the driver cannot do it.
  virtual uint32_t Open(const TWaveFormatEx& Source, const TWaveFormatEx& Dest, bool Query,
                        std::unique_ptr<TAcmConversion>& Conversion) = 0;
};

// Adds Driver behind those installed (installing it again does nothing);
// drivers are asked in that order.
void AcmInstallDriver(std::shared_ptr<TAcmDriver> Driver);
void AcmRemoveDriver(const TAcmDriver* Driver);

// An open conversion stream.
struct TAcmStream;

// Object must be null (the manager itself).
uint32_t acmMetrics(void* Object, uint32_t Metric, void* Value);
// Driver must be null (any installed driver).
uint32_t acmFormatSuggest(void* Driver, const TWaveFormatEx* Source, TWaveFormatEx* Dest,
                          uint32_t DestSize, uint32_t Flags);
// Driver and Filter must be null and Callback 0: conversions run in the
// calling thread. With kAcmOpenQuery, *Stream may be null and stays untouched.
uint32_t acmStreamOpen(TAcmStream** Stream, void* Driver, const TWaveFormatEx* Source,
                       const TWaveFormatEx* Dest, void* Filter, uintptr_t Callback,
                       uintptr_t Instance, uint32_t Flags);
uint32_t acmStreamSize(TAcmStream* Stream, uint32_t Input, uint32_t* OutputBytes, uint32_t Flags);
uint32_t acmStreamPrepareHeader(TAcmStream* Stream, TAcmStreamHeader* Header, uint32_t Flags);
// SourceLength may be lowered between calls, never raised above what was
// prepared.
uint32_t acmStreamConvert(TAcmStream* Stream, TAcmStreamHeader* Header, uint32_t Flags);
uint32_t acmStreamUnprepareHeader(TAcmStream* Stream, TAcmStreamHeader* Header, uint32_t Flags);
// kAcmBusy while a header is still prepared on it.
uint32_t acmStreamClose(TAcmStream* Stream, uint32_t Flags);
