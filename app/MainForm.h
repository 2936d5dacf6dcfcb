// The program's one window: ten pages in a tab control, a status line, and
// every engine component the pages use. The shell (start-up, the first
// showing, page changes, closing, messages) is in MainForm.cpp; each page's
// controls, components and handlers are in MainForm<Page>.cpp.
#pragma once

#include <QString>
#include <memory>
#include <string>

#include "app/DialogProvider.h"
#include "app/FileLocks.h"
#include "app/LangFrm.h"
#include "app/MixerLines.h"
#include "codecs/ACS_FLAC.h"
#include "codecs/ACS_MAC.h"
#include "codecs/ACS_MAD.h"
#include "devices/Volumes.h"
#include "devices/WaveMixer.h"
#include "engine/ACS_Audio.h"
#include "engine/ACS_Indicator.h"
#include "engine/Component.h"
#include "wave/ACS_Wave.h"

// Their headers cannot meet in one file (see CodecParts.h).
class TMP3Out;
class TVorbisIn;
class TVorbisOut;

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QStatusBar;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QGroupBox;
class TPathSelector;

class TMainForm : public TLangForm {
  Q_OBJECT

 public:
  // Where the window finds what lies outside it. The defaults are the
  // program's own; tests point them elsewhere.
  struct TSetup {
    TSetup();
    std::string ProgramFolder;  // with a trailing '/'
    std::string SettingsPath;   // Settings.ini
    // The language manager to register with; null: none.
    TLangMgr* Languages = nullptr;
  };

  // Builds every page and creates every engine component with its start
  // values. Raises the codec library's message when a codec component cannot
  // be created.
  explicit TMainForm(const TSetup& Setup = TSetup());
  ~TMainForm() override;

  // ---- the shell
  // Index of the microphone line under mixer destination 0 (playback), of the
  // microphone and of the stereo-mix line under destination 1 (recording);
  // -1 when absent. Set when the window is first shown.
  int MicOutputLineIndex = -1;
  int MicRecordLineIndex = -1;
  int StereoMixLineIndex = -1;
  // Play length in whole seconds of the last measured background song.
  int AudioLengthSeconds = 0;
  // The system mixer (its lines are found at the first showing) and the
  // device volumes.
  TAudioMixer2* AudioMixer = nullptr;
  TVolumeControl* VolumeControl = nullptr;

  // The status line (the status bar's one panel).
  void SetStatus(const QString& Text);
  QString StatusText() const;
  // Shows Text in the program's message box.
  void ShowMessage(const QString& Text);
  // The help page the status bar's link opens ("" until the window is shown).
  const QString& HelpPath() const { return FHelpPath; }
  const std::string& ProgramFolder() const { return FSetup.ProgramFolder; }

  static bool IsFileLocked(const std::string& Name) { return ::IsFileLocked(Name); }
  static bool IsInputFileAndOutputFileUnLocked(const std::string& In, const std::string& Out) {
    return ::IsInputFileAndOutputFileUnLocked(In, Out);
  }

  // The shared open and save dialogs: pages set the filter and clear the file
  // name before each use.
  TFileDialog OpenDialog;
  TFileDialog SaveDialog;

  // The owner of every engine component of the window.
  TComponent* Components() const { return FComponents.get(); }

  QTabWidget* PageControl = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QPushButton* HelpLink = nullptr;

  // ---- page 1 to 5: converters
  QWidget* SeCustomTabSheet1 = nullptr;
  QWidget* SeCustomTabSheet2 = nullptr;
  QWidget* SeCustomTabSheet3 = nullptr;
  QWidget* SeCustomTabSheet4 = nullptr;
  QWidget* SeCustomTabSheet5 = nullptr;
  TPathSelector *Mp32Wav_Mp3PathSelector = nullptr, *Mp32Wav_WavPathSelector = nullptr;
  TPathSelector *Wav2Mp3_WavPathSelector = nullptr, *Wav2Mp3_Mp3PathSelector = nullptr;
  TPathSelector *Mp32Vob_Mp3PathSelector = nullptr, *Mp32Vob_VobPathSelector = nullptr;
  TPathSelector *Ogg2Mp3_OggPathSelector = nullptr, *Ogg2Mp3_Mp3PathSelector = nullptr;
  TPathSelector *Wav2Ogg_WavPathSelector = nullptr, *Wav2Ogg_OggPathSelector = nullptr;
  TPathSelector *Ogg2Wav_OggPathSelector = nullptr, *Ogg2Wav_WavPathSelector = nullptr;
  TPathSelector *Wav2Flac_WavPathSelector = nullptr, *Wav2Flac_FlacPathSelector = nullptr;
  TPathSelector *Flac2Wav_FlacPathSelector = nullptr, *Flac2Wav_WavPathSelector = nullptr;
  TPathSelector *Wav2Ape_WavPathSelector = nullptr, *Wav2Ape_ApePathSelector = nullptr;
  TPathSelector *Ape2Wav_ApePathSelector = nullptr, *Ape2Wav_WavPathSelector = nullptr;
  QPushButton *Mp32Wav_Btn = nullptr, *Wav2Mp3_Btn = nullptr, *Mp32Vob_Btn = nullptr,
              *Ogg2Mp3_Btn = nullptr, *Wav2Ogg_Btn = nullptr, *Ogg2Wav_Btn = nullptr,
              *Wav2Flac_Btn = nullptr, *Flac2Wav_Btn = nullptr, *Wav2Ape_Btn = nullptr,
              *Ape2Wav_Btn = nullptr;
  QProgressBar *Mp3WavProgressBar = nullptr, *Mp3OggProgressBar = nullptr,
               *WavOggProgressBar = nullptr, *WavFlacProgressBar = nullptr,
               *WavApeProgressBar = nullptr;
  TMP3ToWav* MP3ToWav = nullptr;
  TWaveIn* WavToMp3_WaveIn = nullptr;
  TMP3Out* WavToMp3_MP3Out = nullptr;
  TMP3ToWav* MP3ToVob = nullptr;
  TWaveIn* WaveIn = nullptr;  // stage 2 of MP3 to Ogg: reads the decoded image
  TVorbisIn* OggToMp3_OggIn = nullptr;
  TMP3Out* OggToMp3_MP3Out = nullptr;
  TWaveIn* WavToOgg_WaveIn = nullptr;
  TVorbisOut* WavToOgg_OggOut = nullptr;
  TVorbisIn* OggToWav_OggIn = nullptr;
  TWaveOut* OggToWav_WavOut = nullptr;
  TWaveIn* WavToFlac_WaveIn = nullptr;
  TFLACOut* WavToFlac_FlacOut = nullptr;
  TFLACIn* FlacToWav_FlacIn = nullptr;
  TWaveOut* FlacToWav_WavOut = nullptr;
  TWaveIn* WavToApe_WavIn = nullptr;
  TMACOut* WavToApe_ApeOut = nullptr;
  TMACIn* ApeToWav_ApeIn = nullptr;
  TWaveOut* ApeToWav_WavOut = nullptr;
  // The Vorbis writer of the latest MP3-to-Ogg run (made per run), or null.
  TComponent* Mp3ToVob_VobOut = nullptr;

  // ---- page 6: mixer
  QWidget* SeCustomTabSheet6 = nullptr;
  TPathSelector *Mixer_Wav1PathSelector = nullptr, *Mixer_Wav2PathSelector = nullptr,
                *Mixer_Wav3PathSelector = nullptr;
  QSlider *VolumeBar1 = nullptr, *VolumeBar2 = nullptr;
  QRadioButton *MixRadioButton = nullptr, *ConcRadioButton = nullptr;
  QPushButton* Mixer_Btn = nullptr;
  QProgressBar* MixerProgressBar = nullptr;
  TWaveIn *Mixer_WaveIn1 = nullptr, *Mixer_WaveIn2 = nullptr;
  TWaveOut* Mixer_WaveOut = nullptr;

  // ---- page 7: recorder
  QWidget* RecorderTabSheet = nullptr;
  QSpinBox* RecordTime = nullptr;
  QPushButton *Record_Btn = nullptr, *Abort_Btn = nullptr;
  QProgressBar *RecorderProgressBar = nullptr, *IndicatedProgressBar = nullptr;
  QSlider *RecorderMicOutputVolumeBar = nullptr, *RecorderMicRecordVolumeBar = nullptr;
  QTimer* Timer = nullptr;
  TAudioIn* Recorder_AudioIn = nullptr;
  TSoundIndicator* SoundIndicator = nullptr;
  TWaveOut* Recorder_WavOut = nullptr;
  TMP3Out* Recorder_Mp3Out = nullptr;

  // ---- page 8: record and mix
  QWidget* RecordMixTabSheet = nullptr;
  TPathSelector *RecordMix_SourceAudioPathSelector = nullptr,
                *RecordMix_OutputAudioPathSelector = nullptr,
                *RecordMix_LyricPathSelector = nullptr;
  QCheckBox *PlaySourceAudioCheckBox = nullptr, *PlayAudioAfterMixedCK = nullptr;
  QPushButton *RecordMix_StartBtn = nullptr, *RecordMix_StopBtn = nullptr,
              *RecordMix_CancelBtn = nullptr;
  QProgressBar *RecordMixProgressBar = nullptr, *IndicatedProgressBar2 = nullptr;
  QLabel *RecordLengthLabel = nullptr, *TimeElapsedLabel = nullptr, *AudioLengthLabel = nullptr;
  QSlider *BackgroundVolumeBar = nullptr, *MicOutputVolumeBar = nullptr,
          *MicRecordVolumeBar = nullptr, *StereoMixVolumeBar = nullptr;
  QRadioButton *MixAfterRecRadioButton = nullptr, *StereoMixRadioButton = nullptr;
  QTimer* Timer2 = nullptr;
  TAudioIn* RecordMix_AudioIn = nullptr;
  TSoundIndicator* SoundIndicator2 = nullptr;
  TWaveOut* RecordMix_WavOut = nullptr;
  TMP3Out* RecordMix_Mp3Out = nullptr;
  TWaveIn *RecordMix_SourceWavIn = nullptr, *RecordMix_RecordedWavIn = nullptr;
  TWaveOut* RecordMix_WavOut2 = nullptr;
  TMP3Out* RecordMix_Mp3Out2 = nullptr;
  TMP3ToWav* RecordMix_MP3ToWav = nullptr;

  // ---- page 9: CD ripper
  QWidget* SeCustomTabSheet7 = nullptr;
  QComboBox* CdRomCombo = nullptr;
  QPushButton* RefreshCdRom = nullptr;
  QTreeWidget* ListView = nullptr;
  QCheckBox *SelAllCheckBox = nullptr, *EnableFreeDBCheckBox = nullptr,
            *RiptoSingleFileCheckBox = nullptr;
  QComboBox* ConvertType = nullptr;
  QPushButton *RipBtn = nullptr, *StopRip = nullptr;
  QProgressBar* RipperProgressBar = nullptr;
  QLineEdit *Album = nullptr, *Artist = nullptr, *Year = nullptr, *Title = nullptr;
  QPlainTextEdit* Comment = nullptr;
  TWaveIn *RipperWaveIn1 = nullptr, *RipperWaveIn2 = nullptr, *RipperFinalWaveIn = nullptr;
  TWaveOut* RipperWaveOut = nullptr;
  TMP3Out* RipperMP3Out = nullptr;

  // ---- page 10: settings
  QWidget* SeCustomTabSheet8 = nullptr;
  QComboBox *WaveSampleRate = nullptr, *WaveBitsPerSample = nullptr, *WaveChannels = nullptr;
  QComboBox *Mp3Quality = nullptr, *Mp3SampleRate = nullptr, *Mp3Channels = nullptr,
            *Mp3BitRate = nullptr;
  QComboBox *OggCompression = nullptr, *OggNominalBitrate = nullptr;
  QComboBox *FlacMidSideStereo = nullptr, *FlacLooseMidSideStereo = nullptr;
  QComboBox* ApeCompression = nullptr;
  QPushButton* SaveSetting = nullptr;

  // Fills the Settings page from the settings file (the last step of the
  // first showing).
  void FillSettingsPage();
  // "Save": writes the twelve keys from the page in order; a choice that does
  // not convert, or a write that fails, shows the error and stops there.
  void SaveSettingClick();

 protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;

 private:
  void FormShow();
  void PageControlChange(int Index);
  void FormClose();
  void HelpLinkClick();
  // The Recorder's level bar follows the meter, every 100 ms.
  void TimerTimer();

  // One builder per page: its controls, then its engine components.
  void BuildConverterPages();
  void BuildMixerPage();
  void BuildRecorderPage();
  void BuildRecordMixPage();
  void BuildCdRipperPage();
  void BuildSettingsPage();
  void CreateConverterComponents();
  void CreateMixerComponents();
  void CreateRecorderComponents();
  void CreateRecordMixComponents();
  void CreateCdRipperComponents();
  void CreateMixerDevices();
  // The full names of the lines of every destination of mixer 0.
  TMixerLineNames MixerLineNames();

  // Named widgets shared by the page builders.
  QLabel* MakeLabel(const QString& Text, QWidget* Parent);
  QGroupBox* MakeGroup(const QString& Title, QWidget* Parent);
  TPathSelector* MakePathSelector(const char* Name, const QString& What, QWidget* Parent);
  QProgressBar* MakeJobProgressBar(const char* Name, QWidget* Parent);
  QSlider* MakeSlider(const char* Name, int Max, QWidget* Parent);
  QComboBox* MakeChoice(const char* Name, const QStringList& Items, QWidget* Parent);
  // A component named Name, owned by the window.
  template <class T>
  T* Make(const char* Name) {
    T* C = new T(FComponents.get());
    C->SetName(Name);
    return C;
  }

  TSetup FSetup;
  TOwned<TComponent> FComponents;
  QLabel* FStatusPanel = nullptr;
  QString FHelpPath;
  bool FShown = false;
  bool FClosed = false;
  int FLabelCount = 0;
  int FGroupCount = 0;
};
