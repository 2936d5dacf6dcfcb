// velmora-cli: the command-line face of the Velmora engine.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/CliCommon.h"
#include "app/cli/ProgressDisplay.h"
#include "codecs/CodecLibrary.h"

namespace {

struct TCommandEntry {
  const char* Name;
  int (*Run)(const std::vector<std::string>& Args);
};

// One line per command.
const TCommandEntry Commands[] = {
    {"info", CmdInfo},     {"convert", CmdConvert}, {"devices", CmdDevices},
    {"record", CmdRecord}, {"play", CmdPlay},       {"monitor", CmdMonitor},
    {"mix", CmdMix},       {"cd", CmdCd},           {"karaoke", CmdKaraoke},
    {"batch", CmdBatch},
};

void Usage() {
  std::fprintf(
      stderr,
      "Usage:\n"
      "  velmora-cli info FILE\n"
      "  velmora-cli convert IN OUT [--adpcm] [--block-size N] [--append]\n"
      "                             [--start FRAME] [--end FRAME] [--settings]\n"
      "      --settings: the saved settings (Settings.ini of the window) for MP3 bit rate,\n"
      "                  Ogg quality, FLAC mid-side and APE level; options given win\n"
      "      MP3 output: [--bitrate KBPS] [--title T] [--artist A] [--album A]\n"
      "                  [--year Y] [--track N] [--comment C]\n"
      "      Ogg output: [--quality Q] (0.5 by default) or [--bitrate KBPS],\n"
      "                  [--comment NAME=value]... [--serial N] [--append]\n"
      "      APE output: [--level 1000|2000|3000|4000]   (2000 by default)\n"
      "      FLAC output: [--mid-side 0|1] [--loose-mid-side 0|1]   (1 and 0 by default)\n"
      "  velmora-cli batch PATH... --to wav|mp3|ogg|flac|ape --out DIR [-j N]\n"
      "                   [--skip-existing] [the writer options of convert]\n"
      "      every audio file under the files and folders given, converted into DIR\n"
      "      with its folders below the folder given; N at once (one per core by\n"
      "      default); --skip-existing leaves outputs newer than their source alone\n"
      "  velmora-cli devices\n"
      "  velmora-cli record OUT [--seconds N] [--device N] [--rate R] [--bits B]\n"
      "                         [--channels C]   (until Ctrl+C without --seconds)\n"
      "                         [--mic-output PERCENT] [--mic-record PERCENT] [--no-routing]\n"
      "      device 0 (the default): the microphone is heard at --mic-output, chosen as\n"
      "      what is recorded, recorded at --mic-record (100 and 100 by default), and\n"
      "      muted again at the end; --no-routing leaves the system mixer alone\n"
      "  velmora-cli play FILE [--device N]\n"
      "  velmora-cli monitor [--seconds N] [--volume PERCENT]   (hear the microphone)\n"
      "  velmora-cli mix IN1 IN2 OUT [--concat] [--volume1 N] [--volume2 N]\n"
      "      both inputs together (or IN2 after IN1 with --concat) in IN1's format;\n"
      "      volumes 0 to 255 (255 by default)\n"
      "  velmora-cli karaoke SONG OUT [--seconds N] [--stereo-mix] [--lyrics FILE]\n"
      "                               [--background-volume 0-255] [--mic-output PERCENT]\n"
      "                               [--mic-record PERCENT] [--no-latency-compensation]\n"
      "      plays SONG (MP3 or WAV) while the microphone is recorded for the song's length\n"
      "      (or N seconds), then mixes song and voice into OUT, the voice moved back in\n"
      "      step by its measured delay; --stereo-mix records the card's own mix into OUT\n"
      "      instead; the lyric file's lines are printed on their times\n"
      "  velmora-cli cd drives\n"
      "  velmora-cli cd toc [--drive N|IMAGE.cue|DEVICE]   (the tracks, tab-separated)\n"
      "  velmora-cli cd titles [--drive N|IMAGE.cue|DEVICE] [--server HOST[:PORT]]\n"
      "                        [--email ADDRESS] [--timeout SECONDS]   (CDDB lookup)\n"
      "  velmora-cli cd rip [--drive N|IMAGE.cue|DEVICE] --tracks all|1,3-5 --out FOLDER\n"
      "                     [--mp3] [--single FILE] [--cddb] [--server HOST[:PORT]]\n"
      "                     [--email ADDRESS] [--timeout SECONDS]\n"
      "      one file per track named after its row (its CDDB title with --cddb), or all\n"
      "      tracks in FILE with a cue sheet; a rip log beside them\n"
      "Jobs draw their progress in place on a terminal, and print one percent a line\n"
      "elsewhere or with --progress=lines (--progress=line draws in place anywhere).\n"
      "File types are chosen by extension:");
  for (const TCodecEntry& C : Codecs()) std::fprintf(stderr, " %s", C.Extension.c_str());
  std::fprintf(stderr, "\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    Usage();
    return argc < 2 ? 2 : 0;
  }
  std::vector<std::string> Args(argv + 2, argv + argc);
  LoadCodecLibraries();
  for (const TCommandEntry& C : Commands) {
    if (std::strcmp(C.Name, argv[1]) != 0) continue;
    InstallInterruptHandler();
    try {
      SetProgressStyle(TakeProgressOption(Args));
      return C.Run(Args);
    } catch (const std::exception& E) {
      return ReportError(E.what());
    }
  }
  std::fprintf(stderr, "Unknown command: %s\n", argv[1]);
  Usage();
  return 2;
}
