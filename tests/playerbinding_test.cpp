// The player component's binding, driven through stand-ins for the player
// library (tests/player/FakeAudioPlayer.cpp): loading, the version check, the
// priority, the commands, and the notifications' way to the owner's thread.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/XaudioPlayer.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

std::string FakePath(const std::string& Variant = "") {
  return testing_support::BinDir() + "/testlibs/libFakeAudioPlayer" + Variant + ".so";
}

// The owner's thread of the tests: tasks posted from the library's thread
// wait here until the test runs them.
class TOwnerQueue {
 public:
  TPostToOwner Poster() {
    return [this](std::function<void()> Task) {
      {
        std::lock_guard<std::mutex> L(FLock);
        FTasks.push_back(std::move(Task));
      }
      FPosted.notify_all();
    };
  }
  // Runs posted tasks on the calling thread until Done() holds or Bound has
  // passed; true when Done() held.
  bool RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Bound = 5s) {
    const auto Until = std::chrono::steady_clock::now() + Bound;
    while (!Done()) {
      std::function<void()> Task;
      {
        std::unique_lock<std::mutex> L(FLock);
        if (!FPosted.wait_until(L, Until, [this] { return !FTasks.empty(); })) return Done();
        Task = std::move(FTasks.front());
        FTasks.pop_front();
      }
      Task();
    }
    return true;
  }
  // Runs every task posted so far.
  void RunAll() {
    for (;;) {
      std::function<void()> Task;
      {
        std::lock_guard<std::mutex> L(FLock);
        if (FTasks.empty()) return;
        Task = std::move(FTasks.front());
        FTasks.pop_front();
      }
      Task();
    }
  }

 private:
  std::mutex FLock;
  std::condition_variable FPosted;
  std::deque<std::function<void()>> FTasks;
};

class PlayerBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    // Held for the whole test: the fake's call log outlives each component's
    // own loading and unloading.
    FHandle = ::dlopen(FakePath().c_str(), RTLD_NOW);
    ASSERT_NE(FHandle, nullptr) << ::dlerror();
    FLog = reinterpret_cast<const char* (*)()>(::dlsym(FHandle, "fake_log"));
    FReset = reinterpret_cast<void (*)(int)>(::dlsym(FHandle, "fake_reset"));
    ASSERT_TRUE(FLog && FReset);
    FReset(0);
  }
  void TearDown() override {
    if (FHandle) ::dlclose(FHandle);
  }

  TOwned<TXaudioPlayer> MakePlayer(const std::string& Path = FakePath()) {
    TOwned<TXaudioPlayer> P(new TXaudioPlayer(nullptr));
    P->SetXaudioPath(Path);
    return P;
  }
  std::string Log() const { return FLog(); }

  void* FHandle = nullptr;
  const char* (*FLog)() = nullptr;
  void (*FReset)(int) = nullptr;
};

std::string Message(const std::function<void()>& F) {
  try {
    F();
  } catch (const EXaudioException& E) {
    return E.what();
  }
  return "(nothing raised)";
}

// ---------------------------------------------------------------- loading

TEST_F(PlayerBinding, AMissingLibraryIsNamedAtTheFirstCommandAndTriedAgainAtTheNext) {
  auto P = MakePlayer("/nonexistent/libAudioPlayer.so");
  EXPECT_EQ(Message([&] { P->OpenInput("song.mp3"); }),
            "Cannot Load Xaudio DLL (/nonexistent/libAudioPlayer.so)");
  EXPECT_EQ(Log(), "");  // nothing else was loaded meanwhile
  P->SetXaudioPath(FakePath());
  EXPECT_EQ(P->OpenInput("song.mp3"), 0);
  EXPECT_EQ(Log(), "xaudio_get_version 2\nplayer_new\nS 8 song.mp3\n");
}

TEST_F(PlayerBinding, AMissingEntryPointIsNamedAndItsLibraryUnloaded) {
  auto P = MakePlayer(FakePath("NoSI"));
  EXPECT_EQ(Message([&] { P->PlayInput(); }),
            "Cannot Find Symbol control_message_send_SI in Xaudio DLL");
  EXPECT_EQ(::dlopen(FakePath("NoSI").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(PlayerBinding, AnotherInterfaceVersionIsRefusedAtEveryCommand) {
  auto P = MakePlayer(FakePath("37"));
  const std::string Expected = "Xaudio DLL API Mismatch\rExpected 3.8, Got 3.7";
  EXPECT_EQ(Message([&] { P->OpenInput("a.wav"); }), Expected);
  EXPECT_EQ(Message([&] { P->PlayInput(); }), Expected);
}

TEST_F(PlayerBinding, APlayerThatCannotStartIsReported) {
  FReset(1);
  auto P = MakePlayer();
  EXPECT_EQ(Message([&] { P->PlayInput(); }), "Cannot Start Xaudio Player");
}

// ---------------------------------------------------------------- priority, commands

TEST_F(PlayerBinding, PriorityThreeKeepsTheLibrarysOwnAndAnyOtherIsSentAtTheStart) {
  {
    auto P = MakePlayer();
    P->SetPriority(3);
    EXPECT_EQ(P->Priority(), 3u);
    P->Synchronize();
    EXPECT_EQ(Log().find("player_set_priority"), std::string::npos) << Log();
    // Once the player exists, the library answers.
    EXPECT_EQ(P->Priority(), 2u);
  }
  FReset(0);
  auto P = MakePlayer();
  P->SetPriority(1);
  EXPECT_EQ(Log(), "");  // stored until the player exists
  P->Synchronize();
  EXPECT_EQ(Log(), "xaudio_get_version 2\nplayer_new\nplayer_set_priority 1\nN 2\n");
  P->SetPriority(4);
  EXPECT_EQ(P->Priority(), 4u);
}

TEST_F(PlayerBinding, CommandsReachTheLibraryWithTheirCodesAndArguments) {
  auto P = MakePlayer();
  EXPECT_EQ(P->OpenInput("my song.mp3"), 0);
  P->PlayInput();
  P->InputSeek(10, 400);
  P->PauseInput();
  P->StopInput();
  P->CloseInput();
  P->SetOutputVolume(90, 80, 50);
  P->SetEnvironmentString("key", "value");
  P->SetEnvironmentInteger("level", 5);
  P->InputSendMessage(1, nullptr, 2);
  P->SetCodecEqualizer(nullptr);
  P->SetNotificationMask(0x10);
  // The library's own result comes back as it is.
  EXPECT_EQ(P->OpenInput("refused.mp3"), XA_ERROR_INVALID_FORMAT);
  EXPECT_EQ(Log(),
            "xaudio_get_version 2\nplayer_new\nS 8 my song.mp3\nN 4\nII 7 10 400\nN 5\nN 6\nN 9\n"
            "III 57 90 80 50\nSS 38 key value\nSI 36 level 5\nIPI 10 1 2\nP 65\nI 69 16\n"
            "S 8 refused.mp3\n");
  EXPECT_EQ(P->Version(), 0x030800u);
  EXPECT_EQ(P->ErrorString(3), "fake failure");
}

// ---------------------------------------------------------------- notifications

// Every event of the component, written as a line when raised.
void AttachAll(TXaudioPlayer& P, std::vector<std::string>& Lines) {
  auto Add = [&Lines](const std::string& S) { Lines.push_back(S); };
  auto N = [](auto V) { return std::to_string(static_cast<long long>(V)); };
  P.OnNotifyReady = [=](TComponent*) { Add("Ready"); };
  P.OnNotifyAck = [=](TComponent*, uint8_t C) { Add("Ack " + N(C)); };
  P.OnNotifyNack = [=](TComponent*, uint8_t C, int16_t E) { Add("Nack " + N(C) + " " + N(E)); };
  P.OnNotifyPong = [=](TComponent*, uint32_t T) { Add("Pong " + N(T)); };
  P.OnNotifyExited = [=](TComponent*) { Add("Exited"); };
  P.OnNotifyPlayerState = [=](TComponent*, int S) { Add("PlayerState " + N(S)); };
  P.OnNotifyPlayerMode = [=](TComponent*, int S) { Add("PlayerMode " + N(S)); };
  P.OnNotifyPlayerEnvironmentInteger = [=](TComponent*, const std::string& K, int V) {
    Add("EnvInteger " + K + " " + N(V));
  };
  P.OnNotifyPlayerEnvironmentString = [=](TComponent*, const std::string& K, const std::string& V) {
    Add("EnvString " + K + "|" + V);
  };
  P.OnNotifyInputState = [=](TComponent*, int S) { Add("InputState " + N(S)); };
  P.OnNotifyInputName = [=](TComponent*, const std::string& S) { Add("InputName " + S); };
  P.OnNotifyInputCaps = [=](TComponent*, uint32_t V) { Add("InputCaps " + N(V)); };
  P.OnNotifyInputPosition = [=](TComponent*, uint32_t O, uint32_t R) {
    Add("InputPosition " + N(O) + "/" + N(R));
  };
  P.OnNotifyInputPositionRange = [=](TComponent*, int R) { Add("InputPositionRange " + N(R)); };
  P.OnNotifyInputTimecode = [=](TComponent*, uint8_t H, uint8_t M, uint8_t S, uint8_t F) {
    Add("InputTimecode " + N(H) + ":" + N(M) + ":" + N(S) + "." + N(F));
  };
  P.OnNotifyInputTimecodeGranularity = [=](TComponent*, uint32_t V) {
    Add("InputTimecodeGranularity " + N(V));
  };
  auto Module = [=](const char* What) {
    return [=](TComponent*, int16_t Id) { Add(std::string(What) + " " + N(Id)); };
  };
  auto ModuleInfo = [=](const char* What) {
    return [=](TComponent*, uint8_t Id, uint8_t Devices, const std::string& Name,
               const std::string& Description) {
      Add(std::string(What) + " " + N(Id) + " " + N(Devices) + " " + Name + "|" + Description);
    };
  };
  auto DeviceInfo = [=](const char* What) {
    return [=](TComponent*, uint8_t Module, uint8_t Index, uint8_t Flags, const std::string& Name,
               const std::string& Description) {
      Add(std::string(What) + " " + N(Module) + " " + N(Index) + " " + N(Flags) + " " + Name + "|" +
          Description);
    };
  };
  auto Filter = [=](const char* What) {
    return [=](TComponent*, uint8_t Id, const std::string& Name) {
      Add(std::string(What) + " " + N(Id) + " " + Name);
    };
  };
  auto Byte = [=](const char* What) {
    return [=](TComponent*, uint8_t V) { Add(std::string(What) + " " + N(V)); };
  };
  P.OnNotifyInputModule = Module("InputModule");
  P.OnNotifyInputModuleInfo = ModuleInfo("InputModuleInfo");
  P.OnNotifyInputDeviceInfo = DeviceInfo("InputDeviceInfo");
  P.OnNotifyInputFilterInfo = Filter("InputFilterInfo");
  P.OnNotifyOutputState = [=](TComponent*, int S) { Add("OutputState " + N(S)); };
  P.OnNotifyOutputName = [=](TComponent*, const std::string& S) { Add("OutputName " + S); };
  P.OnNotifyOutputCaps = [=](TComponent*, uint32_t V) { Add("OutputCaps " + N(V)); };
  P.OnNotifyOutputVolume = [=](TComponent*, uint8_t M, uint8_t Pcm, uint8_t B) {
    Add("OutputVolume " + N(M) + " " + N(Pcm) + " " + N(B));
  };
  P.OnNotifyOutputBalance = Byte("OutputBalance");
  P.OnNotifyOutputPcmLevel = Byte("OutputPcmLevel");
  P.OnNotifyOutputMasterLevel = Byte("OutputMasterLevel");
  P.OnNotifyOutputChannels = Byte("OutputChannels");
  P.OnNotifyOutputPorts = [=](TComponent*, uint32_t V) { Add("OutputPorts " + N(V)); };
  P.OnNotifyOutputModule = Module("OutputModule");
  P.OnNotifyOutputModuleInfo = ModuleInfo("OutputModuleInfo");
  P.OnNotifyOutputDeviceInfo = DeviceInfo("OutputDeviceInfo");
  P.OnNotifyOutputFilterInfo = Filter("OutputFilterInfo");
  P.OnNotifyStreamMimeType = [=](TComponent*, const std::string& S) { Add("MimeType " + S); };
  P.OnNotifyStreamDuration = [=](TComponent*, uint32_t V) { Add("Duration " + N(V)); };
  P.OnNotifyStreamParameters = [=](TComponent*, uint32_t F, int16_t B, uint8_t C) {
    Add("StreamParameters " + N(F) + " " + N(B) + " " + N(C));
  };
  P.OnNotifyStreamProperties = [=](TComponent*, const std::vector<TXaudioProperty>& Props) {
    std::string S = "StreamProperties";
    for (const auto& Pr : Props)
      S += " " + Pr.Name + "=" + (Pr.Type == XA_PROPERTY_TYPE_STRING ? Pr.Text : N(Pr.Integer));
    Add(S);
  };
  P.OnNotifyCodecQuality = Byte("CodecQuality");
  P.OnNotifyCodecEqualizer = [=](TComponent*, const XA_EqualizerInfo& E) {
    Add("CodecEqualizer " + N(E.left[31]) + " " + N(E.right[31]));
  };
  P.OnNotifyCodecModule = Module("CodecModule");
  P.OnNotifyCodecModuleInfo = ModuleInfo("CodecModuleInfo");
  P.OnNotifyCodecDeviceInfo = DeviceInfo("CodecDeviceInfo");
  P.OnNotifyNotificationMask = [=](TComponent*, uint32_t V) { Add("Mask " + N(V)); };
  P.OnNotifyDebugLevel = Byte("DebugLevel");
  P.OnNotifyProgress = [=](TComponent*, uint8_t S, uint8_t C, int16_t V, const std::string& M) {
    Add("Progress " + N(S) + " " + N(C) + " " + N(V) + " " + M);
  };
  P.OnNotifyDebug = [=](TComponent*, uint8_t S, uint8_t L, const std::string& M) {
    Add("Debug " + N(S) + " " + N(L) + " " + M);
  };
  P.OnNotifyError = [=](TComponent*, uint8_t S, int16_t C, const std::string& M) {
    Add("Error " + N(S) + " " + N(C) + " " + M);
  };
}

TEST_F(PlayerBinding, EveryNotificationReachesItsEventOnTheOwnersThreadInOrder) {
  TOwnerQueue Owner;
  auto P = MakePlayer();
  P->SetPostToOwner(Owner.Poster());
  std::vector<std::string> Lines;
  AttachAll(*P, Lines);
  std::vector<int> Codes;
  bool OtherThread = false;
  const auto Me = std::this_thread::get_id();
  P->OnNotifyMessage = [&](TComponent* Sender, const TXaudioMessage& M) {
    Codes.push_back(M.Code);
    OtherThread = OtherThread || std::this_thread::get_id() != Me || Sender != P.get();
  };
  P->Ping(7);
  ASSERT_TRUE(Owner.RunUntil([&] { return !Lines.empty() && Lines.back() == "Pong 7"; }))
      << Lines.size() << " events";
  EXPECT_FALSE(OtherThread);

  std::vector<int> ExpectedCodes = {XA_MSG_NOTIFY_READY};
  for (int C = XA_MSG_NOTIFY_ACK; C <= XA_MSG_NOTIFY_ERROR; ++C)
    if (C != XA_MSG_NOTIFY_PONG && C != XA_MSG_NOTIFY_EXITED && (C <= 95 || C >= 100))
      ExpectedCodes.push_back(C);
  ExpectedCodes.push_back(XA_MSG_NOTIFY_PONG);
  EXPECT_EQ(Codes, ExpectedCodes);

  // Texts and records were scribbled over and freed by the library as soon as
  // each call returned: what arrives are the component's copies.
  const std::vector<std::string> Expected = {
      "Ready",
      "Ack 8",
      "Nack 4 -6",
      "PlayerState 780",
      "PlayerMode 790",
      "EnvInteger first 80 -80",
      "EnvString first 81|second 81",
      "InputState 820",
      "InputName first 83",
      "InputCaps 84000",
      "InputPosition 100/400",
      "InputPositionRange 860",
      "InputTimecode 1:2:3.4",
      "InputTimecodeGranularity 88000",
      "InputModule -89",
      "InputModuleInfo 90 2 first 90|second 90",
      "InputDeviceInfo 91 1 7 first 91|second 91",
      "InputFilterInfo 92 first 92",
      "OutputState 930",
      "OutputName first 94",
      "OutputCaps 95000",
      "OutputVolume 90 80 50",
      "OutputBalance 101",
      "OutputPcmLevel 102",
      "OutputMasterLevel 103",
      "OutputChannels 104",
      "OutputPorts 105000",
      "OutputModule -106",
      "OutputModuleInfo 107 2 first 107|second 107",
      "OutputDeviceInfo 108 1 7 first 108|second 108",
      "OutputFilterInfo 109 first 109",
      "MimeType first 110",
      "Duration 111000",
      "StreamParameters 44100 128 2",
      "StreamProperties first 113=113 second 113=first 113",
      "CodecQuality 114",
      "CodecEqualizer 31 -31",
      "CodecModule -116",
      "CodecModuleInfo 117 2 first 117|second 117",
      "CodecDeviceInfo 118 1 7 first 118|second 118",
      "Mask 119000",
      "DebugLevel 120",
      "Progress 1 2 -3 first 121",
      "Debug 3 4 first 122",
      "Error 1 -9 first 123",
      "Pong 7",
  };
  EXPECT_EQ(Lines, Expected);

  // The library's last notification (Exited) comes while the component is
  // being destroyed: it is dropped, and nothing is raised afterwards.
  P.reset();
  Owner.RunAll();
  EXPECT_EQ(Lines.back(), "Pong 7");
  EXPECT_NE(Log().find("player_delete"), std::string::npos);
}

TEST_F(PlayerBinding, AHandlerThatDestroysThePlayerEndsTheDelivery) {
  TOwnerQueue Owner;
  auto P = MakePlayer();
  P->SetPostToOwner(Owner.Poster());
  bool PongRaised = false;
  P->OnNotifyPong = [&](TComponent*, uint32_t) { PongRaised = true; };
  P->OnNotifyMessage = [&](TComponent*, const TXaudioMessage& M) {
    if (M.Code == XA_MSG_NOTIFY_PONG) P.reset();
  };
  P->Ping(1);
  ASSERT_TRUE(Owner.RunUntil([&] { return !P; }));
  Owner.RunAll();
  // Its own event was not raised on the component that was gone.
  EXPECT_FALSE(PongRaised);
  EXPECT_NE(Log().find("player_delete"), std::string::npos);
}

TEST_F(PlayerBinding, WithoutAPosterNotificationsWaitForTheOwnerToAskForThem) {
  auto P = MakePlayer();
  std::vector<std::string> Lines;
  AttachAll(*P, Lines);
  P->Ping(3);
  // What has come waits until the owner asks for it.
  const auto Until = std::chrono::steady_clock::now() + 5s;
  while ((Lines.empty() || Lines.back() != "Pong 3") && std::chrono::steady_clock::now() < Until) {
    const size_t Before = Lines.size();
    if (P->WaitForNotification(100ms)) {
      EXPECT_EQ(Lines.size(), Before);
      P->DeliverNotifications();
      EXPECT_GT(Lines.size(), Before);
    }
  }
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ(Lines.front(), "Ready");
  EXPECT_EQ(Lines.back(), "Pong 3");
  EXPECT_EQ(Lines.size(), 46u);
}

TEST_F(PlayerBinding, DestroyingThePlayerDuringABurstIsCleanAndDropsWhatIsQueued) {
  TOwnerQueue Owner;
  auto P = MakePlayer();
  P->SetPostToOwner(Owner.Poster());
  int Delivered = 0;
  P->OnNotifyDebug = [&](TComponent*, uint8_t, uint8_t, const std::string& M) {
    EXPECT_EQ(M.rfind("burst ", 0), 0u) << M;
    ++Delivered;
  };
  P->Ping(-1000000);  // a million notifications, as fast as the library sends them
  ASSERT_TRUE(Owner.RunUntil([&] { return Delivered >= 10; }));
  // Gone while the library's thread is still sending: its last calls find
  // the component closed, the library is unloaded only after its thread.
  P.reset();
  const int AtDestruction = Delivered;
  Owner.RunAll();
  EXPECT_EQ(Delivered, AtDestruction);
  EXPECT_NE(Log().find("player_delete"), std::string::npos);
}

}  // namespace
