// The program's one window: ten pages in a tab control, a status line, and
// every engine component the pages use. The shell (start-up, the first
// showing, page changes, closing, messages) and what the pages share (named
// widgets, writers, the job steps) are in MainForm.cpp; each page is in
// MainForm<Page>.cpp: its builder (controls, wired to its handlers), its
// Create...Components (engine components and their events), and its handlers,
// which show a job through a TPageJob of the page's own bar and controls.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CdRip.h"
#include "app/DialogProvider.h"
#include "app/FileLocks.h"
#include "app/Karaoke.h"
#include "app/LangFrm.h"
#include "app/Lyric.h"
#include "app/RipUtility.h"
#include "codecs/ACS_FLAC.h"
#include "codecs/ACS_LAME.h"
#include "codecs/ACS_MAC.h"
#include "codecs/ACS_MAD.h"
#include "codecs/ACS_Vorbis.h"
#include "devices/MixerLines.h"
#include "devices/Volumes.h"
#include "devices/WaveMixer.h"
#include "devices/XaudioPlayer.h"
#include "engine/ACS_Audio.h"
#include "engine/ACS_AudioMix.h"
#include "engine/ACS_Indicator.h"
#include "engine/Component.h"
#include "platform/CdAccess.h"
#include "platform/Streams.h"
#include "wave/ACS_Wave.h"

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
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QGroupBox;
class TDesktopNotifier;
class TDropTargets;
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
    // The folder of the Record--Mix working files (with a trailing '/').
    std::string WorkFolder;
    // Where a temporary file too large for memory goes (with a trailing '/').
    std::string CacheFolder;
    // The D-Bus address of the desktop notifications; empty: the session bus.
    std::string NotificationBus;
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
  // Play length in whole seconds of the last song GetAudioLengthText
  // measured; 0 after a file whose length could not be read.
  int AudioLengthSeconds = 0;
  // The song player of the Record--Mix page: the player library in the
  // program's folder, its notifications delivered on this thread.
  TXaudioPlayer* Mp3Player = nullptr;

  // The play length of an audio file (.mp3, .wav, .ogg, .ape, .flac) as
  // "m:ss", minutes without limit ("61:05"), and in AudioLengthSeconds.
  // Anything else, or a file that cannot be read: "Unknown", the status line
  // says "Invalid audio file!!!" and AudioLengthSeconds is 0.
  QString GetAudioLengthText(const std::string& FileName);
  // Opens FileName in Mp3Player and plays it. Raises EXaudioException when the
  // player library cannot be used, and when the file cannot be played (the
  // reason in the message); callers show "Runtime error: ..." and undo what
  // they started.
  void PlayInPlayer(const std::string& FileName);
  // The song position is not shown anywhere: these do nothing.
  void Mp3PlayerNotifyInputTimecode(TComponent* Sender, uint8_t Hours, uint8_t Minutes,
                                    uint8_t Seconds, uint8_t Fractions);
  void Mp3PlayerNotifyInputTimecodeGranularity(TComponent* Sender, uint32_t Granularity);
  // The external player of finished mixes (external/CoolPlayer in the
  // program's folder): StartExternalPlayer starts it on File and keeps its
  // process; the result is LaunchWithFile's. CloseExternalPlayer closes every
  // window titled "CoolPlayer" and ends the player this window started if it
  // still runs (without an X display the title finds nothing).
  int StartExternalPlayer(const std::string& File);
  void CloseExternalPlayer();
  // The system mixer (its lines are found at the first showing) and the
  // device volumes.
  TAudioMixer2* AudioMixer = nullptr;
  TVolumeControl* VolumeControl = nullptr;

  // The volume sliders of the Recorder and Record-Mix pages, run when a
  // slider moves; the pages call them to apply the sliders before a
  // recording. Each selects the mixer destination it needs. Microphone
  // playback (destination 0) and recording (destination 1) take the position
  // (percent) of the slider that raised the change; nothing happens while the
  // line's index is -1.
  void MicOutputVolumeBarChange(const QSlider* Sender);
  void MicRecordVolumeBarChange(const QSlider* Sender);
  // The stereo-mix line (destination 1) to StereoMixVolumeBar's percent.
  void StereoMixVolumeBarChange();
  // BackgroundVolumeBar (0 ... 255): the playback destination line to the
  // position in percent, then the wave output volume to the position.
  void BackgroundVolumeBarChange();

  // The status line (the status bar's one panel). Every change is also
  // announced through StatusChanged.
  void SetStatus(const QString& Text);
  QString StatusText() const;
  // Shows Text in the program's message box.
  void ShowMessage(const QString& Text);
  // A job that ran at least this long and ends while the window is not the
  // active one says so in a desktop notification ("Wav to Mp3 finished").
  int NotifyAfterMs = 5000;

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
  // One converter panel: its texts, the object names of its controls, and the
  // handlers of its "..." buttons and of "Convert it".
  struct TConverterSpec {
    const char* Name;  // "WavToMp3"
    const char* Caption;
    const char* SourceLabel;
    const char* SourceBox;
    const char* OutputLabel;
    const char* OutputBox;
    const char* Button;
    const char* SourceFilter;
    const char* OutputFilter;
    const char* Extension;     // forced on the output name: ".mp3"
    const char* EmptyMessage;  // "Convert it" before both paths are chosen
    const char* Status;        // while it runs (MP3 to Ogg: its first stage)
    void (TMainForm::*SelectSource)();
    void (TMainForm::*SelectOutput)();
    void (TMainForm::*Start)();
  };
  // One converter page: the tab, its progress bar, the status line's text
  // once a job ended, and its two panels (left, right).
  struct TConverterPageSpec {
    const char* Sheet;
    const char* Caption;
    const char* Bar;
    const char* Description;
    TConverterSpec Converters[2];
  };
  // Pages 1 to 5 in tab order: the page builder, the wiring and the tests all
  // read this table.
  static const TConverterPageSpec ConverterPages[5];

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
  TVorbisOut* Mp3ToVob_VobOut = nullptr;
  // The WAV image the MP3-to-Ogg decoder writes and the writer reads; exists
  // from the start of a run to its end. In memory up to Mp3ToVobImageLimit
  // bytes, past that in a file in the cache folder, removed with the stream.
  std::unique_ptr<TSpillStream> Mp3ToVob_WavStream;
  // About six minutes of CD-quality stereo: a song stays in memory, and the
  // window with an image of any length stays near 100 MB. (The file goes
  // through the page cache, so the second stage reads it at memory speed.)
  static constexpr int64_t DefaultImageLimit = 64ll << 20;
  // Tests lower it so that a short MP3 makes an image that moves to a file.
  int64_t Mp3ToVobImageLimit = DefaultImageLimit;

  // The converters' handlers. Browse: a dialog chooses the source or the
  // output file. Start: the click of "Convert it". Progress, completion and
  // failure run on the window's thread, carried there from the workers.
  void Mp32Wav_Mp3PathSelect();
  void Mp32Wav_WavPathSelect();
  void Wav2Mp3_WavPathSelect();
  void Wav2Mp3_Mp3PathSelect();
  void Mp32Vob_Mp3PathSelect();
  void Mp32Vob_VobPathSelect();
  void Ogg2Mp3_OggPathSelect();
  void Ogg2Mp3_Mp3PathSelect();
  void Wav2Ogg_WavPathSelect();
  void Wav2Ogg_OggPathSelect();
  void Ogg2Wav_OggPathSelect();
  void Ogg2Wav_WavPathSelect();
  void Wav2Flac_WavPathSelect();
  void Wav2Flac_FlacPathSelect();
  void Flac2Wav_FlacPathSelect();
  void Flac2Wav_WavPathSelect();
  void Wav2Ape_WavPathSelect();
  void Wav2Ape_ApePathSelect();
  void Ape2Wav_ApePathSelect();
  void Ape2Wav_WavPathSelect();

  void Mp3ConvertToWav();
  void WavConvertToMp3();
  void Mp3ConvertToVob();
  void OggConvertToMp3();
  void WavConvertToOgg();
  void OggConvertToWav();
  void WavConvertToFlac();
  void FlacConvertToWav();
  void WavConvertToApe();
  void ApeConvertToWav();

  // Progress handlers get the percentage read when the worker raised the
  // event.
  void MP3ToWavProgress(TComponent* Sender, int Percent);
  void WavToMp3Progress(TComponent* Sender, int Percent);
  void MP3ToVobProgress(TComponent* Sender, int Percent);
  void OnVorbisProgress(TComponent* Sender, int Percent);
  void OggToMp3Progress(TComponent* Sender, int Percent);
  void WavToOggProgress(TComponent* Sender, int Percent);
  void OggToWavProgress(TComponent* Sender, int Percent);
  void WavToFlacProgress(TComponent* Sender, int Percent);
  void FlacToWavProgress(TComponent* Sender, int Percent);
  void WavToApeProgress(TComponent* Sender, int Percent);
  void ApeToWavProgress(TComponent* Sender, int Percent);

  void MP3ToWavDone(TComponent* Sender, bool Success);
  void WavToMp3Done(TComponent* Sender);
  void MP3ToVobDone(TComponent* Sender, bool Success);
  void OnVorbisDone(TComponent* Sender);
  void OggToMp3Done(TComponent* Sender);
  void WavToOggDone(TComponent* Sender);
  void OggToWavDone(TComponent* Sender);
  void WavToFlacDone(TComponent* Sender);
  void FlacToWavDone(TComponent* Sender);
  void WavToApeDone(TComponent* Sender);
  void ApeToWavDone(TComponent* Sender);

  // A decoding that failed part-way (a read or write error).
  void MP3ToWavThreadException(TComponent* Sender, const std::string& Message);
  void MP3ToVobThreadException(TComponent* Sender, const std::string& Message);
  void WavToMp3_MP3OutThreadException(TComponent* Sender, const std::string& Message);
  void Mp3ToVob_VobOutThreadException(TComponent* Sender, const std::string& Message);
  void OggToMp3_MP3OutThreadException(TComponent* Sender, const std::string& Message);
  void WavToOgg_OggOutThreadException(TComponent* Sender, const std::string& Message);
  void OggToWav_WavOutThreadException(TComponent* Sender, const std::string& Message);
  void WavToFlac_FlacOutThreadException(TComponent* Sender, const std::string& Message);
  void FlacToWav_WavOutThreadException(TComponent* Sender, const std::string& Message);
  void WavToApe_ApeOutThreadException(TComponent* Sender, const std::string& Message);
  void ApeToWav_WavOutThreadException(TComponent* Sender, const std::string& Message);

  // ---- page 6: mixer
  QWidget* SeCustomTabSheet6 = nullptr;
  TPathSelector *Mixer_Wav1PathSelector = nullptr, *Mixer_Wav2PathSelector = nullptr,
                *Mixer_Wav3PathSelector = nullptr;
  QSlider *VolumeBar1 = nullptr, *VolumeBar2 = nullptr;
  QRadioButton *MixRadioButton = nullptr, *ConcRadioButton = nullptr;
  QPushButton* Mixer_Btn = nullptr;
  QProgressBar* MixerProgressBar = nullptr;
  TWaveIn *Mixer_WaveIn1 = nullptr, *Mixer_WaveIn2 = nullptr;
  TAudioMixer* Mixer_AudioMixer = nullptr;
  TWaveOut* Mixer_WaveOut = nullptr;

  // The mixer's handlers: the three "..." buttons, the sliders and mode
  // buttons (each writes the mixer at once, during a mix too), "Mix it", and
  // the writer's events, carried to the window's thread.
  void Mixer_Wav1PathSelect();
  void Mixer_Wav2PathSelect();
  void Mixer_Wav3PathSelect();
  void VolumeBar1Change();
  void VolumeBar2Change();
  void MixRadioButtonClick();
  void ConcRadioButtonClick();
  void Mixer_Mixit();
  void Mixer_WaveOutProgress(TComponent* Sender, int Percent);
  void Mixer_WaveOutDone(TComponent* Sender);
  void Mixer_WaveOutThreadException(TComponent* Sender, const std::string& Message);

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

  // "Record": the save dialog chooses the file and its type, then the
  // microphone is routed through the system mixer and recorded for the
  // chosen duration. "Abort" ends the recording that runs (nothing when none
  // does); the file then holds what was recorded. Progress, completion and
  // failures run on the window's thread; every end of a recording, failed
  // ones included, mutes the microphone's playback again and says
  // "Recording done!".
  void ExecuteRecord();
  void AbortRecord();
  void RecorderWaveOutProgress(TComponent* Sender, int Percent);
  void RecorderWaveOutDone(TComponent* Sender);
  void Recorder_WavOutThreadException(TComponent* Sender, const std::string& Message);
  void Recorder_Mp3OutThreadException(TComponent* Sender, const std::string& Message);
  // The sink of the recording that runs (Recorder_WavOut or Recorder_Mp3Out),
  // or null when the page is idle.
  TACSFileOut* RecorderSink() const { return FRecorderSink; }

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
  TAudioMixer* RecordMix_AudioMixer = nullptr;
  // The recorded voice on its way into the mixer, without the delay the
  // sound server added to it (the time from the song leaving the player to
  // the voice sung to it reaching the recording).
  TLeadTrim* RecordMix_VoiceTrim = nullptr;
  TWaveOut* RecordMix_WavOut2 = nullptr;
  TMP3Out* RecordMix_Mp3Out2 = nullptr;
  TMP3ToWav* RecordMix_MP3ToWav = nullptr;

  // Where a run of the page stands.
  enum TRecordMixState { rmIdle, rmRecording, rmPreparing, rmMixing };
  TRecordMixState RecordMixState() const { return FRecordMixState; }
  // The working files of the page (in TSetup::WorkFolder).
  TKaraokeWorkFiles RecordMixWorkFiles() const;
  // The lyric window of the page (closed when none).
  TLyricDisplay RecordMixLyric;
  // The voice's delay through the sound server, measured during the last
  // recording in mix-after mode, and the frames the voice was moved by in
  // its mix (positive: earlier).
  TKaraokeLatency RecordMixLatency;
  int64_t RecordMixVoiceShiftFrames = 0;
  // Off: the voice is mixed as recorded (for measuring the delay itself).
  bool RecordMixCompensateLatency = true;

  // The page's handlers. Every engine event reaches them on the window's
  // thread, and only while the run that raised it is the page's current one:
  // after Cancel (or a new Start) what an earlier run still had queued is
  // dropped. Every error shows "Runtime error: ..." alone and undoes the run
  // (player, Timer2, lyric window, microphone monitoring); "Mixing done!"
  // follows only a finished output.
  void RecordMix_SourceAudioPathSelect();
  void RecordMix_OutputAudioPathSelect();
  void RecordMix_LyricPathSelectorButtonClick();
  void ExecuteRecordAndMix();
  void StopRecord();
  void RecordMix_CancelBtnClick();
  void Timer2Timer();
  void RecordMixWaveOutDone(TComponent* Sender);
  void RecordMix_WavOutThreadException(TComponent* Sender, const std::string& Message);
  void RecorderMixConvertToWavProgress(TComponent* Sender, int Percent);
  void RecorderMixConvertToWavDone(TComponent* Sender, bool Success);
  void RecorderMixConvertToWavThreadException(TComponent* Sender, const std::string& Message);
  void RecordMixExecuteMix();
  void RecorderMixMixingProgress(TComponent* Sender, int Percent);
  void RecorderMixMixDone(TComponent* Sender);
  void RecordMix_WavOut2ThreadException(TComponent* Sender, const std::string& Message);
  void RecordMix_Mp3Out2ThreadException(TComponent* Sender, const std::string& Message);

  // ---- page 9: CD ripper
  QWidget* SeCustomTabSheet7 = nullptr;
  // The drive box: the listed drives; a disc image or device path typed into
  // it (or chosen with CdRomImageSelect) becomes a drive of the list.
  QComboBox* CdRomCombo = nullptr;
  QToolButton* CdRomImageSelect = nullptr;
  QPushButton* RefreshCdRom = nullptr;
  // One row per track: "NO", "Track Name", "Play Time", "Size", then two
  // hidden texts, the frame count (kCdFramesColumn) and the type
  // (kCdTypeColumn: kAudioTrack or kDataTrack). Data rows cannot be checked.
  QTreeWidget* ListView = nullptr;
  static constexpr int kCdFramesColumn = 4, kCdTypeColumn = 5;
  QCheckBox *SelAllCheckBox = nullptr, *EnableFreeDBCheckBox = nullptr,
            *RiptoSingleFileCheckBox = nullptr;
  QComboBox* ConvertType = nullptr;
  QPushButton *RipBtn = nullptr, *StopRip = nullptr;
  QProgressBar* RipperProgressBar = nullptr;
  QLineEdit *Album = nullptr, *Artist = nullptr, *Year = nullptr, *Title = nullptr;
  QPlainTextEdit* Comment = nullptr;
  TWaveIn *RipperWaveIn1 = nullptr, *RipperWaveIn2 = nullptr, *RipperFinalWaveIn = nullptr;
  TAudioMixer* RipperWaveMixer = nullptr;
  TWaveOut* RipperWaveOut = nullptr;
  TMP3Out* RipperMP3Out = nullptr;
  // What the listing keeps for the ripping jobs: the drive list, the index
  // of the selected drive, the open drive (0: none; closed at the next load)
  // and the table of contents last read.
  DriveList CdDrives{};
  int CdDriveIndex = 0;
  TCDHandle CdHandle = 0;
  TableOfContents CdToc{};

  // "Refresh": lists the drives (the box is refilled, the first selected)
  // and loads the tracks of the first.
  void RefreshCdRomClick();
  // The drive box's selection changed.
  void CdRomComboChange(int Index);
  // Reads the selected drive's disc into the list; with "Enable freedb"
  // ticked, then looks the disc up on a worker thread. A lookup's result
  // reaches the page only while it still shows the same disc.
  void LoadCdTracks();
  // A disc image or device path as a drive: selected when listed, else added
  // to the list and selected; its tracks are loaded.
  void SelectCdDrivePath(const QString& Path);
  // False for a row that must stay unchecked (a data track).
  bool ListViewChanging(const QTreeWidgetItem* Item) const;
  // Every row that may be checked takes the state of SelAllCheckBox.
  void SelAllCheckBoxClick();
  // CDDB lookups still running (their results may be on their way).
  int CddbLookupsRunning() const;
  // "Rip it": asks for the folder (one file per track) or the file (with
  // "Rip to a single wav/mp3 file"), locks the page and rips the checked rows
  // on a worker thread; its statuses, progress and failed rows (unchecked)
  // come back to the window queued. The page unlocks when the job has ended.
  void RipBtnClick();
  // "Stop": the job ends after the stage in progress.
  void StopRipClick();
  // True from "Rip it" until the job's end has reached the window.
  bool RipRunning() const;
  // The remembered folder of the files "Rip it" writes: the folder dialog
  // starts there. A folder dropped on the page becomes it.
  static constexpr const char* kRipFolderKey = "RipFolder";

  // ---- page 10: settings
  QWidget* SeCustomTabSheet8 = nullptr;
  QComboBox *WaveSampleRate = nullptr, *WaveBitsPerSample = nullptr, *WaveChannels = nullptr;
  QComboBox *Mp3Quality = nullptr, *Mp3SampleRate = nullptr, *Mp3Channels = nullptr,
            *Mp3BitRate = nullptr;
  QComboBox *OggCompression = nullptr, *OggNominalBitrate = nullptr;
  QComboBox *FlacMidSideStereo = nullptr, *FlacLooseMidSideStereo = nullptr;
  QComboBox* ApeCompression = nullptr;
  QSpinBox* LyricOffset = nullptr;  // milliseconds
  QPushButton* SaveSetting = nullptr;

  // Fills the Settings page from the settings file (the last step of the
  // first showing).
  void FillSettingsPage();
  // "Save": writes the twelve keys from the page in order, then the lyric
  // offset; a choice that does not convert, or a write that fails, shows the
  // error and stops there.
  void SaveSettingClick();

 Q_SIGNALS:
  void StatusChanged(const QString& Text);

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
  void CreatePlayerComponents();
  // The drive box from a new drive list; Select is the path to select
  // ("": the first drive).
  void FillCdRomCombo(const std::string& Select);
  void CdRomImageSelectClick();
  void StartCddbLookup();
  void CddbLookupDone(uint64_t Load, const TCddbLookup& Result);
  // The ripping job has ended (on the window's thread).
  void RipJobEnded(const TRipOutcome& Outcome);
  // Stops a ripping job and waits for its thread (closing the window).
  void EndRipForClose();
  void CreateMixerDevices();
  // Line of Destination to Percent; nothing for index -1 or a line gone.
  void SetMixerLineVolume(uint32_t Destination, int Line, int Percent);
  // Ticks VolumeControl at its interval while it found a device.
  QTimer* FVolumeTimer = nullptr;

  // A job as its page shows it: while it runs, Locked is disabled, the status
  // line says what runs and Bar shows the progress; when it ends the bar goes
  // and Description is back on the status line. Every page's start, progress
  // and end handlers go through JobStarted, JobProgress and JobFinished. A
  // job whose Status and Description are empty leaves the status line alone.
  struct TPageJob {
    QProgressBar* Bar = nullptr;
    std::vector<QWidget*> Locked;
    QString Description;
    // What the job is, for the notification of its end ("Mixing").
    QString Title;
    // Runs from JobStarted to JobFinished.
    QElapsedTimer Clock;
    // The latest percentage not yet shown on Bar, or -1.
    int PendingPercent = -1;
  };
  void JobStarted(TPageJob& Job, const QString& Status);
  // Percent goes on the bar (at once after a quiet spell, else when the
  // progress timer fires).
  void JobProgress(TPageJob& Job, int Percent);
  // The bar starts over at 0 (a job's next stage).
  void JobRestartProgress(TPageJob& Job);
  void JobFinished(TPageJob& Job);
  // Puts the pending percentages on the bars.
  void ShowPendingProgress();

  // The Recorder's recording, shown on its page; the status line is left
  // alone.
  TPageJob FRecorderJob;
  TACSFileOut* FRecorderSink = nullptr;  // set from the start of a recording to its end
  // The mixer's microphone lines as the first showing found them.
  TMixerLineIndices RecorderMicLines() const;
  // The end-of-recording steps. Recorded: the capture source ran, so sound
  // it had to drop is reported.
  void EndRecording(bool Recorded);
  // Closing or destroying the window during a recording: the recording ends
  // here and now (its file finished, the microphone's playback muted), and
  // its completion, when it arrives, shows nothing.
  void EndRecordingForClose();

  // The converters, in the order of ConverterPages (page by page, left
  // panel first).
  enum TFlowIndex {
    flMp3ToWav,
    flWavToMp3,
    flMp3ToVob,
    flOggToMp3,
    flWavToOgg,
    flOggToWav,
    flWavToFlac,
    flFlacToWav,
    flWavToApe,
    flApeToWav,
    flCount
  };
  // A converter as the window runs it.
  struct TConversionFlow {
    const TConverterSpec* Spec = nullptr;
    TPathSelector *SourceBox = nullptr, *OutputBox = nullptr;
    TPageJob Job;
    // The file names live in the components.
    std::function<std::string()> Source, Output;
    std::function<void(const std::string&)> SetSource, SetOutput;
    // Tags and saved settings, just before Run.
    std::function<void()> Prepare;
    std::function<void()> Run;
  };
  void WireConversionFlows();
  void SelectConversionSource(TFlowIndex F);
  void SelectConversionOutput(TFlowIndex F);
  // A chosen (or dropped) file into a box and its component; the output
  // takes the converter's extension.
  void FillConversionSource(TFlowIndex F, const QString& Name);
  void FillConversionOutput(TFlowIndex F, const QString& FileName);
  // The same for the Mixer's boxes (0, 1: the inputs, 2: the output) and the
  // Record--Mix page's song, output (Mp3: the MP3 type) and lyric file.
  void FillMixerPath(int Box, const QString& FileName);
  void FillRecordMixSong(const QString& FileName);
  void FillRecordMixOutput(const QString& FileName, bool Mp3);
  void FillRecordMixLyric(const QString& FileName);
  // Checks the paths and the locks; false (after the message) when the job
  // must not start.
  bool ConversionMayStart(TFlowIndex F);
  void StartConversion(TFlowIndex F);
  void ConversionFailed(TFlowIndex F, const std::string& Message);

  // Named widgets shared by the page builders.
  QLabel* MakeLabel(const QString& Text, QWidget* Parent);
  QGroupBox* MakeGroup(const QString& Title, QWidget* Parent);
  TPathSelector* MakePathSelector(const char* Name, const QString& What, QWidget* Parent);
  // Box as a target of Drops: it takes the files of Filter (a dialog filter);
  // FromPage: also files dropped elsewhere on its page.
  void AddPathDrop(TDropTargets* Drops, TPathSelector* Box, const char* Filter, bool FromPage,
                   std::function<void(const QString&)> Fill);
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
  // The pages' writers, reading Input (may be null) and replacing the file
  // on each job: PCM WAV in 512-byte blocks, MP3 at 128 kbit/s, Ogg Vorbis
  // at quality 0.2 with every bit rate left to the encoder. SuspendWhenIdle
  // parks the worker between jobs.
  TWaveOut* MakeWavOut(const char* Name, TACSInput* Input, bool SuspendWhenIdle);
  TMP3Out* MakeMp3Out(const char* Name, TACSInput* Input, bool SuspendWhenIdle);
  TVorbisOut* MakeVorbisOut(const char* Name, TACSInput* Input);

  TSetup FSetup;
  // The CD listing's load number and its lookups' way back to the window.
  struct TCdListing;
  struct TCdListingFree {
    void operator()(TCdListing* L) const;
  };
  std::unique_ptr<TCdListing, TCdListingFree> FCdListing;
  // The ripping job, from "Rip it" until its end reached the window.
  struct TCdRipRun;
  struct TCdRipRunFree {
    void operator()(TCdRipRun* R) const;
  };
  std::unique_ptr<TCdRipRun, TCdRipRunFree> FRipRun;
  TPageJob FRipJob;
  TConversionFlow FFlows[flCount];
  TPageJob FMixerJob;
  // A bar repaints at once on every new value; reports closer together than
  // this timer's interval are shown together, when it fires.
  QTimer* FProgressTimer = nullptr;
  // The jobs with a percentage waiting for the timer.
  std::vector<TPageJob*> FPendingJobs;
  TOwned<TComponent> FComponents;
  std::unique_ptr<TDesktopNotifier> FNotifier;
  QLabel* FStatusPanel = nullptr;
  QString FHelpPath;
  // The Record--Mix run. FRecordMixRun numbers the runs (written by the
  // window's thread at each start, read by the workers as they raise their
  // events); FRecordMixLive is the run the page still follows (window's
  // thread; 0 after a cancel or the end of a run).
  std::atomic<uint64_t> FRecordMixRun{0};
  uint64_t FRecordMixLive = 0;
  TRecordMixState FRecordMixState = rmIdle;
  bool FRecordMixStereo = false;  // the mode of the run
  bool FRecordMixLyricsShown = false;
  bool FRecordMixMicRouted = false;  // the microphone's playback is un-muted
  bool FRecordMixPlaying = false;    // the song was handed to Mp3Player
  float FRecordMixElapsed = 0;       // seconds recorded
  std::string FRecordMixSong, FRecordMixOutput;
  TKaraokeSong FRecordMixSongInfo;
  TACSFileOut* FRecordMixSink = nullptr;  // the recording sink of the run
  TACSFileOut* FRecordMixMixSink = nullptr;
  TWorkFileLock FRecordMixWorkLock;
  // Wraps an engine event of the page: Handler runs on the window's thread
  // when the run that raised the event is still the page's.
  std::function<void()> RecordMixGuard(std::function<void()> Handler);
  void RecordMixIdle();
  // The recording's side effects undone: player, Timer2, labels, level bar,
  // microphone monitoring, lyric window. Safe to run twice.
  void RecordMixUndoRecording();
  // The end of a run: Ok shows "Mixing done!" (and starts the external
  // player when asked), otherwise Error alone.
  void RecordMixEnd(bool Ok, const QString& Error = QString());
  void RecordMixFail(const std::string& Message);
  // Reads the sound server's latencies while the song plays.
  void RecordMixMeasureLatency();
  // Closing or destroying the window during a run: it ends here, nothing is
  // mixed and nothing is shown.
  void RecordMixEndForClose();
  // The external player this window started last, or 0.
  int FExternalPlayerPid = 0;
  bool FShown = false;
  bool FClosed = false;
  int FLabelCount = 0;
  int FGroupCount = 0;
};
