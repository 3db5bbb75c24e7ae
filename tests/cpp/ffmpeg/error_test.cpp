#include "ffmpeg/error.h"

#include <gtest/gtest.h>

#include <thread>

#include "ffmpeg/handles.h"
#include "ffmpeg/headers.h"
#include "ffmpeg/log.h"

namespace corvane {
namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class AvError : public testing::Test {
 protected:
  void SetUp() override {
    capture_ffmpeg_log();
    take_ffmpeg_log();  // what an earlier test left on this thread
  }
};

TEST_F(AvError, MessageNamesTheStepTheReasonAndThePath) {
  const av_error e(AVERROR(ENOENT), "cannot open input", "x.mp4");
  EXPECT_EQ(e.code(), AVERROR(ENOENT));
  EXPECT_EQ(e.path(), "x.mp4");
  EXPECT_PRED2(contains, e.what(), "cannot open input");
  EXPECT_PRED2(contains, e.what(), "No such file or directory");
  EXPECT_PRED2(contains, e.what(), "x.mp4");
  EXPECT_EQ(e.reason(), "cannot open input: No such file or directory");
  EXPECT_EQ(std::string(av_error(AVERROR_EOF, "drain").what()), "drain: End of file");
}

TEST_F(AvError, CarriesTheErrorLinesLoggedBeforeIt) {
  av_log(nullptr, AV_LOG_ERROR, "decoder said no\n");
  EXPECT_EQ(av_error(AVERROR_INVALIDDATA, "decode").reason(),
            "decode: Invalid data found when processing input (decoder said no)");
  EXPECT_EQ(take_ffmpeg_log(), "");  // the error took them
}

TEST_F(AvError, CheckPassesNonNegativeResultsThrough) {
  EXPECT_EQ(check(0, "step"), 0);
  EXPECT_EQ(check(17, "step"), 17);
  try {
    check(AVERROR(EACCES), "open output", "out/x.m3u8");
    FAIL() << "no exception";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR(EACCES));
    EXPECT_EQ(e.path(), "out/x.m3u8");
    EXPECT_EQ(e.reason(), "open output: Permission denied");
  }
}

TEST_F(AvError, LogKeepsErrorLinesOfThisThreadOnly) {
  av_log(nullptr, AV_LOG_ERROR, "boom\n");
  av_log(nullptr, AV_LOG_WARNING, "just a warning\n");
  av_log(nullptr, AV_LOG_FATAL, "worse\n");
  std::string other;
  std::thread([&] {
    av_log(nullptr, AV_LOG_ERROR, "elsewhere\n");
    other = take_ffmpeg_log();
  }).join();
  EXPECT_EQ(other, "elsewhere");
  EXPECT_EQ(take_ffmpeg_log(), "boom; worse");
  EXPECT_EQ(take_ffmpeg_log(), "");
}

TEST_F(AvError, LogLinesKeepTheSourceNameButNotItsAddress) {
  codec_context_ptr aac = alloc_codec_context(avcodec_find_encoder(AV_CODEC_ID_AAC));
  av_log(aac.get(), AV_LOG_ERROR, "bad rate\n");
  EXPECT_EQ(take_ffmpeg_log(), "[aac] bad rate");
}

}  // namespace
}  // namespace corvane
