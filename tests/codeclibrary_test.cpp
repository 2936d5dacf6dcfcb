// The codec library binding: load flag, counted loading, missing libraries
// and entry points, and the components' message for a missing library.
#include "codecs/CodecLibrary.h"

#include <gtest/gtest.h>

#include "codecs/ACS_LAME.h"
#include "codecs/ACS_MAD.h"
#include "codecs/MAD.h"
#include "codecs/lame.h"
#include "tests/support/TestSupport.h"

namespace {

// Points a binding at another file for the length of a test.
class TRenamedLibrary {
 public:
  TRenamedLibrary(TCodecLibrary& Lib, const std::string& Name) : FLib(Lib), FOld(Lib.FileName()) {
    FLib.Unload();
    FLib.SetFileName(Name);
  }
  ~TRenamedLibrary() {
    FLib.Unload();
    FLib.SetFileName(FOld);
  }

 private:
  TCodecLibrary& FLib;
  std::string FOld;
};

TEST(CodecLibrary, MissingFileLeavesTheFlagClearAndNamesTheFile) {
  int Bound = 0;
  TCodecLibrary Lib("libvelmora-nothing.so.7", [&](const TCodecLibrary&) { return ++Bound > 0; });
  EXPECT_FALSE(Lib.Load());
  EXPECT_FALSE(Lib.Loaded());
  EXPECT_EQ(0, Bound);
  EXPECT_FALSE(Lib.AddRef());
  EXPECT_EQ(0, Lib.RefCount());
  EXPECT_NE("", Lib.LoaderMessage());
  try {
    Lib.Check();
    FAIL() << "Check passed without the library";
  } catch (const EACSException& E) {
    EXPECT_STREQ("libvelmora-nothing.so.7 library could not be loaded.", E.what());
  }
}

TEST(CodecLibrary, BinderRunsOnEachRealLoadAndFillsTheTable) {
  int Bound = 0;
  decltype(&::mad_decoder_run) Run = nullptr;
  TCodecLibrary Lib("libmad.so.0", [&](const TCodecLibrary& L) {
    ++Bound;
    return L.Bind(Run, "mad_decoder_run");
  });
  ASSERT_TRUE(Lib.Load());
  EXPECT_TRUE(Lib.Load());
  EXPECT_EQ(1, Bound);
  EXPECT_NE(nullptr, Run);
  EXPECT_NO_THROW(Lib.Check());
  Lib.Unload();
  EXPECT_FALSE(Lib.Loaded());
  ASSERT_TRUE(Lib.Load());
  EXPECT_EQ(2, Bound);
}

TEST(CodecLibrary, MissingEntryPointCountsAsNotLoaded) {
  decltype(&::mad_decoder_run) Slot = nullptr;
  TCodecLibrary Lib("libmad.so.0",
                    [&](const TCodecLibrary& L) { return L.Bind(Slot, "mad_no_such_function"); });
  EXPECT_FALSE(Lib.Load());
  EXPECT_FALSE(Lib.Loaded());
  EXPECT_EQ(nullptr, Slot);
  EXPECT_NE(std::string::npos, Lib.LoaderMessage().find("entry point"));
  EXPECT_THROW(Lib.Check(), EACSException);
}

TEST(CodecLibrary, CountedLoadingUnloadsWithTheLastRelease) {
  TCodecLibrary Lib("libmp3lame.so.0");
  ASSERT_TRUE(Lib.AddRef());
  ASSERT_TRUE(Lib.AddRef());
  Lib.Release();
  EXPECT_TRUE(Lib.Loaded());
  Lib.Release();
  EXPECT_FALSE(Lib.Loaded());
  Lib.Release();  // one too many does no harm
  EXPECT_EQ(0, Lib.RefCount());
}

TEST(CodecLibrary, DecoderWithoutItsLibraryRaisesTheMessageAndLeavesNoComponent) {
  TRenamedLibrary R(MADLibrary(), "libmad-missing.so.0");
  TOwned<TComponent> Owner(new TComponent(nullptr));
  try {
    new TMP3ToWav(Owner.get());
    FAIL() << "the decoder was built without its library";
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ("libmad-missing.so.0 library could not be loaded.", E.what());
  }
  EXPECT_EQ(0, Owner->ComponentCount());
}

TEST(CodecLibrary, EncoderWithoutItsLibraryRaisesTheMessageAndLeavesNoComponent) {
  TRenamedLibrary R(LameLibrary(), "libmp3lame-missing.so.0");
  TOwned<TComponent> Owner(new TComponent(nullptr));
  try {
    new TMP3Out(Owner.get());
    FAIL() << "the encoder was built without its library";
  } catch (const EACSException& E) {
    EXPECT_STREQ("libmp3lame-missing.so.0 library could not be loaded.", E.what());
  }
  EXPECT_EQ(0, Owner->ComponentCount());
  EXPECT_EQ(0, LameLibrary().RefCount());
}

TEST(CodecLibrary, StartUpLoadsTheDecoderButNotTheEncoder) {
  MADLibrary().Unload();
  LoadCodecLibraries();
  EXPECT_TRUE(MADLibrary().Loaded());
  EXPECT_NE(nullptr, MAD().mad_decoder_run);
  EXPECT_FALSE(LameLibrary().Loaded());
}

}  // namespace
