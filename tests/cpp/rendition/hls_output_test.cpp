#include "rendition/hls_output.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

#include "ffmpeg/error.h"
#include "ffmpeg/log.h"
#include "rendition/key_info.h"
#include "rendition/video_path.h"
#include "source/audio_chain.h"
#include "tests/cpp/temp_dir.h"

namespace corvane {
namespace {

TEST(KeyInfo, LinesAreReadAsTheMuxerReadsThem) {
  temp_dir dir;
  const std::string iv = "00112233445566778899aabbccddeeff";
  const struct {
    std::string text;
    key_info_lines lines;
  } cases[] = {
      {"k.key\n/keys/k.key\n" + iv + "\n", {"k.key", "/keys/k.key", iv}},
      {"k.key\r\n/keys/k.key\r\n", {"k.key", "/keys/k.key", ""}},
      {"k.key\r/keys/k.key", {"k.key", "/keys/k.key", ""}},
      {"k.key\n/keys/k.key\n\n" + iv + "\n", {"k.key", "/keys/k.key", ""}},  // empty: no IV
      {std::string("k.key\n/keys/k\0x.key\n", 20), {"k.key", "/keys/k", "x.key"}},
      {std::string(5000, 'u') + "\nf\n", {std::string(4096, 'u'), "f", ""}},
      {"", {"", "", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    {
      std::ofstream(dir / "keyinfo", std::ios::binary) << c.text;
    }
    const key_info_lines lines = read_key_info(dir / "keyinfo");
    EXPECT_EQ(lines.key_uri, c.lines.key_uri);
    EXPECT_EQ(lines.key_file, c.lines.key_file);
    EXPECT_EQ(lines.iv, c.lines.iv);
  }
  try {
    read_key_info(dir / "absent");
    ADD_FAILURE() << "no exception";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR(ENOENT));
  }
}

TEST(FrameDurations, EachFrameLastsUntilTheNextTheLastAsTheOneBefore) {
  frame_durations durations(3000);
  EXPECT_EQ(durations.take(0), 3000);  // nothing sent yet
  for (const std::int64_t pts : {0, 3600, 7200, 14400}) durations.sent(pts);
  // Packets come in decode order.
  EXPECT_EQ(durations.take(0), 3600);
  EXPECT_EQ(durations.take(7200), 7200);
  EXPECT_EQ(durations.take(3600), 3600);
  EXPECT_EQ(durations.take(14400), 7200);  // the last frame
  EXPECT_EQ(durations.take(3600), 7200);   // taken already

  frame_durations hostile(3000);
  hostile.sent(-2);
  hostile.sent(INT64_MAX);  // a gap beyond int64_t stays unknown
  EXPECT_EQ(hostile.take(-2), 3000);
}

// The native AAC encoder feeding the "null" muxer: a real encoder and muxer
// without any file.
class EncodeAndWrite : public testing::Test {
 protected:
  void SetUp() override {
    capture_ffmpeg_log();  // keeps the muxer's chatter off the test output
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    ASSERT_NE(aac, nullptr);
    encoder_ = open_audio_encoder(aac);
    ASSERT_EQ(encoder_->frame_size, 1024);

    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "null", nullptr), 0);
    output_.reset(raw);
    stream_ = avformat_new_stream(output_.get(), nullptr);
    ASSERT_NE(stream_, nullptr);
    ASSERT_GE(avcodec_parameters_from_context(stream_->codecpar, encoder_.get()), 0);
    stream_->time_base = AVRational{1, 44100};
    ASSERT_GE(avformat_write_header(output_.get(), nullptr), 0);
  }

  frame_ptr silence(std::int64_t pts) {
    frame_ptr frame = alloc_frame();
    frame->nb_samples = 1024;
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = 44100;
    EXPECT_GE(av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout), 0);
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    av_samples_set_silence(frame->extended_data, 0, 1024, 2, AV_SAMPLE_FMT_FLTP);
    frame->pts = pts;
    return frame;
  }

  void encode(const AVFrame* frame) {
    encode_and_write(encoder_.get(), output_.get(), stream_, frame, packet_.get());
  }

  codec_context_ptr encoder_;
  format_context_ptr output_;
  AVStream* stream_ = nullptr;
  packet_ptr packet_ = alloc_packet();
};

TEST_F(EncodeAndWrite, NothingReadyYetIsNotAFailure) {
  EXPECT_NO_THROW(encode(silence(0).get()));
  EXPECT_EQ(stream_->nb_frames, 0);  // the encoder's delay holds the first frame back
}

TEST_F(EncodeAndWrite, DrainWritesTheHeldBackPacketsThenRefusesMore) {
  for (int i = 0; i < 3; ++i) ASSERT_NO_THROW(encode(silence(i * 1024).get()));
  EXPECT_NO_THROW(encode(nullptr));
  EXPECT_GT(stream_->nb_frames, 0);
  EXPECT_EQ(packet_->size, 0);  // nothing left behind in the caller's packet
  EXPECT_EQ(av_write_trailer(output_.get()), 0);

  try {
    encode(silence(3 * 1024).get());
    FAIL() << "a drained encoder took a frame";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR_EOF);
    EXPECT_EQ(e.reason().rfind("audio: send frame to encoder", 0), 0u) << e.reason();
  }
}

// A real "hls" output in a fresh directory, fed a few seconds of silent audio.
class HlsTrailer : public EncodeAndWrite {
 protected:
  void SetUp() override {
    EncodeAndWrite::SetUp();
    if (HasFatalFailure()) return;
    std::filesystem::create_directories(dir_.path / "out");
    video_ = open_video_encoder(h264, require_video_encoder(h264), 64, 64, 100000);
    codec_parameters_ptr audio = alloc_codec_parameters();
    ASSERT_GE(avcodec_parameters_from_context(audio.get(), encoder_.get()), 0);
    hls_ = create_hls_output(playlist(), mpegts_layout, "", video_.get(), audio.get(),
                             encoder_->time_base, files_);
    for (int i = 0; i < 100; ++i)
      encode_and_write(encoder_.get(), hls_.get(), hls_->streams[1], silence(i * 1024).get(),
                       packet_.get());
    encode_and_write(encoder_.get(), hls_.get(), hls_->streams[1], nullptr, packet_.get());
  }
  std::string playlist() const { return dir_ / "out/720p.m3u8"; }

  temp_dir dir_;
  codec_context_ptr video_;
  output_files files_;
  format_context_ptr hls_;
};

TEST_F(HlsTrailer, CompletesThePlaylistDespiteEarlierLoggedErrors) {
  av_log(nullptr, AV_LOG_ERROR, "an earlier complaint\n");
  write_trailer(hls_.get());
  const std::string text = read_text(playlist());
  EXPECT_NE(text.find("720p_000.ts\n"), std::string::npos) << text;
  EXPECT_NE(text.find("#EXT-X-ENDLIST"), std::string::npos) << text;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "out/720p_000.ts"));
}

TEST_F(HlsTrailer, FailsWhenTheLastSegmentCannotBeWritten) {
  std::filesystem::remove_all(dir_.path / "out");
  try {
    write_trailer(hls_.get());
    FAIL() << "no exception";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR(EIO));
    EXPECT_NE(e.reason().find("720p_000.ts"), std::string::npos) << e.reason();
  }
}

TEST(CloseFormatContext, NullDoesNothing) { close_format_context(nullptr); }

}  // namespace
}  // namespace corvane
