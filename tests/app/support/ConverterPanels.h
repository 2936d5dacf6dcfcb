// The ten converter panels of pages 1 to 5 as a user meets them: their
// widgets, texts and dialog filters, in page order (each page's left panel,
// then its right one).
#pragma once

#include <stdexcept>
#include <string>

#include "app/MainForm.h"

namespace app_testing {

struct TConverterPanel {
  const char* Name;
  int Page;
  TPathSelector* TMainForm::*Source;
  TPathSelector* TMainForm::*Output;
  QPushButton* TMainForm::*Button;
  QProgressBar* TMainForm::*Bar;
  const char* Status;  // while it runs (MP3 to Ogg: its first stage)
  const char* EmptyMessage;
  const char* SourceFilter;
  const char* OutputFilter;
  const char* Extension;
  // The page's description, once a job ended. After a job the APE page says
  // "ape"; a page change shows "Ape".
  const char* Description;
};

inline const TConverterPanel kConverterPanels[] = {
    {"Mp3ToWav", 0, &TMainForm::Mp32Wav_Mp3PathSelector, &TMainForm::Mp32Wav_WavPathSelector,
     &TMainForm::Mp32Wav_Btn, &TMainForm::Mp3WavProgressBar, "Converting to wav...",
     "Please select mp3 and wav file first!", "MP3 file|*.mp3", "Wave file|*.wav", ".wav",
     "Mp3<->Wav:Converter of mp3 and wav audio."},
    {"WavToMp3", 0, &TMainForm::Wav2Mp3_WavPathSelector, &TMainForm::Wav2Mp3_Mp3PathSelector,
     &TMainForm::Wav2Mp3_Btn, &TMainForm::Mp3WavProgressBar, "Converting to mp3...",
     "Please select wav and mp3 file first!", "Wave file|*.wav", "MP3 file|*.mp3", ".mp3",
     "Mp3<->Wav:Converter of mp3 and wav audio."},
    {"Mp3ToOgg", 1, &TMainForm::Mp32Vob_Mp3PathSelector, &TMainForm::Mp32Vob_VobPathSelector,
     &TMainForm::Mp32Vob_Btn, &TMainForm::Mp3OggProgressBar, "Preparing...",
     "Please select mp3 and ogg vorbis file first!", "MP3 file|*.mp3", "Ogg vorbis|*.ogg", ".ogg",
     "Mp3<->Ogg:Converter of mp3 and ogg audio."},
    {"OggToMp3", 1, &TMainForm::Ogg2Mp3_OggPathSelector, &TMainForm::Ogg2Mp3_Mp3PathSelector,
     &TMainForm::Ogg2Mp3_Btn, &TMainForm::Mp3OggProgressBar, "Converting to mp3...",
     "Please select ogg and mp3 file first!", "Ogg file|*.ogg", "MP3 file|*.mp3", ".mp3",
     "Mp3<->Ogg:Converter of mp3 and ogg audio."},
    {"WavToOgg", 2, &TMainForm::Wav2Ogg_WavPathSelector, &TMainForm::Wav2Ogg_OggPathSelector,
     &TMainForm::Wav2Ogg_Btn, &TMainForm::WavOggProgressBar, "Converting to ogg...",
     "Please select wav and ogg file first!", "Wave file|*.wav", "Ogg vorbis|*.ogg", ".ogg",
     "Wav<->Ogg:Converter of wav and ogg audio."},
    {"OggToWav", 2, &TMainForm::Ogg2Wav_OggPathSelector, &TMainForm::Ogg2Wav_WavPathSelector,
     &TMainForm::Ogg2Wav_Btn, &TMainForm::WavOggProgressBar, "Converting to wav...",
     "Please select ogg and wav file first!", "Ogg vorbis|*.ogg", "Wave file|*.wav", ".wav",
     "Wav<->Ogg:Converter of wav and ogg audio."},
    {"WavToFlac", 3, &TMainForm::Wav2Flac_WavPathSelector, &TMainForm::Wav2Flac_FlacPathSelector,
     &TMainForm::Wav2Flac_Btn, &TMainForm::WavFlacProgressBar, "Converting to flac...",
     "Please select wav and flac file first!", "Wave file|*.wav", "Flac file|*.flac", ".flac",
     "Wav<->Flac:Converter of wav and flac audio."},
    {"FlacToWav", 3, &TMainForm::Flac2Wav_FlacPathSelector, &TMainForm::Flac2Wav_WavPathSelector,
     &TMainForm::Flac2Wav_Btn, &TMainForm::WavFlacProgressBar, "Converting to wav...",
     "Please select flac and wav file first!", "Flac file|*.flac", "Wave file|*.wav", ".wav",
     "Wav<->Flac:Converter of wav and flac audio."},
    {"WavToApe", 4, &TMainForm::Wav2Ape_WavPathSelector, &TMainForm::Wav2Ape_ApePathSelector,
     &TMainForm::Wav2Ape_Btn, &TMainForm::WavApeProgressBar, "Converting to ape...",
     "Please select wav and ape file first!", "Wave file|*.wav", "Ape file|*.ape", ".ape",
     "Wav<->Ape:Converter of wav and ape audio."},
    {"ApeToWav", 4, &TMainForm::Ape2Wav_ApePathSelector, &TMainForm::Ape2Wav_WavPathSelector,
     &TMainForm::Ape2Wav_Btn, &TMainForm::WavApeProgressBar, "Converting to wav...",
     "Please select ape and wav file first!", "ape file|*.ape", "Wave file|*.wav", ".wav",
     "Wav<->Ape:Converter of wav and ape audio."},
};

inline const TConverterPanel& ConverterPanel(const std::string& Name) {
  for (const TConverterPanel& P : kConverterPanels)
    if (Name == P.Name) return P;
  throw std::logic_error("no converter panel " + Name);
}

}  // namespace app_testing
