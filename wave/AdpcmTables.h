// Tables of the IMA (DVI) and Microsoft ADPCM formats, shared by the WAV
// reader, the WAV writer and the benchmarks.
#pragma once

#include <cstdint>

extern const int16_t ImaStepTable[89];
extern const int8_t ImaIndexTable[16];
extern const int16_t MsAdaptationTable[16];
// The seven coefficient pairs every MS ADPCM file starts its table with.
extern const int16_t MsStandardCoefficients[7][2];
