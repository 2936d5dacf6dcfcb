// The MP3 information probe's error prompt in the window: asked through the
// dialog provider on the window's thread, never from another thread, and not
// at all once the window's data module is gone.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "app/AppDataModule.h"
#include "codecs/MPEGAudio.h"
#include "tests/app/support/AppTestSupport.h"

using app_testing::TFakeDialogs;

namespace {

TEST(ProbePrompt, FailedReadAsksThroughTheDialogProvider) {
  testing_support::TempDir Dir;
  const std::string Missing = Dir.Path("gone.mp3");
  auto Owned = std::make_unique<TFakeDialogs>();
  TFakeDialogs* Dialogs = Owned.get();
  auto Data = std::make_unique<TAppDataModule>(std::move(Owned));

  Dialogs->PromptAnswers = {TPromptAnswer::Retry, TPromptAnswer::Cancel};
  TMPEGAudio P;
  P.SetAutoRead(false);
  P.SetFileName(Missing);
  EXPECT_EQ(mpaCancel, P.Read());
  ASSERT_EQ(2, Dialogs->Prompts.size());  // Retry read the file again
  EXPECT_EQ(QString::fromStdString("Error openning file: " + Missing), Dialogs->Prompts[0]);
  EXPECT_TRUE(Dialogs->Messages.isEmpty());

  // Another thread must not show a box: it is answered Ignore unasked.
  int Answer = 0;
  std::thread([&] {
    TMPEGAudio Q;
    Q.SetAutoRead(false);
    Q.SetFileName(Missing);
    Answer = Q.Read();
  }).join();
  EXPECT_EQ(mpaIgnore, Answer);
  EXPECT_EQ(2, Dialogs->Prompts.size());

  // Without the data module nobody is asked.
  Data.reset();
  TMPEGAudio R;
  R.SetAutoRead(false);
  R.SetFileName(Missing);
  EXPECT_EQ(mpaIgnore, R.Read());
}

}  // namespace
