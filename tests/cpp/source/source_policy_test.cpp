#include "source/source_policy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "ffmpeg/error.h"
#include "ffmpeg/handles.h"
#include "ffmpeg/log.h"
#include "tests/cpp/temp_dir.h"

namespace corvane {
namespace {

TEST(SourcePolicy, LocalSourcesAreThoseReadThroughTheFileProtocol) {
  EXPECT_TRUE(is_local_source("/srv/uploads/clip.mp4"));
  EXPECT_TRUE(is_local_source("uploads/a:b.mkv"));
  EXPECT_TRUE(is_local_source("file:/srv/uploads/clip.mp4"));
  EXPECT_FALSE(is_local_source("http://127.0.0.1:8000/master.m3u8"));
  EXPECT_FALSE(is_local_source("https://example.com/clip.mp4"));
  EXPECT_FALSE(is_local_source("pipe:0"));
}

TEST(SourcePolicy, NamesReadAsManyFilesAreRefused) {
  try {
    refuse_multi_file_name("/srv/uploads/frame%03d.png");
    FAIL() << "an image sequence pattern was let through";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR_INVALIDDATA);
    EXPECT_NE(e.reason().find("'image2'"), std::string::npos) << e.reason();
  }
  refuse_multi_file_name("/srv/uploads/clip.mp4");
  refuse_multi_file_name("/srv/uploads/50%off.mp4");
}

class ConfinedSource : public testing::Test {
 protected:
  void SetUp() override {
    capture_ffmpeg_log();  // keeps the refusals' log lines off the test output
    write("other.vtt", "WEBVTT\n\n00:00.000 --> 00:01.000\n" + words + "\n");
  }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  // Reads `name` with the demuxer `demuxer` as open_input opens a local
  // source, but lets that demuxer and WebVTT's through, so that what it opens
  // next meets the confinement alone. Returns what its packets hold.
  std::string read_confined(const std::string& name, const std::string& demuxer) {
    const std::string path = dir_ / name;
    AVIOContext* raw_io = nullptr;
    check(avio_open2(&raw_io, path.c_str(), AVIO_FLAG_READ, nullptr, nullptr), "open", path);
    io_context_ptr io(raw_io);
    format_context_ptr context(avformat_alloc_context());
    confine_to_own_file(context.get());
    check(av_opt_set(context.get(), "format_whitelist", (demuxer + ",webvtt").c_str(), 0),
          "widen the whitelist");
    context->pb = io.get();
    return read_all(std::move(context), path, demuxer);  // closed before `io`
  }
  // The same file with the same demuxer and FFmpeg's defaults.
  std::string read_plain(const std::string& name, const std::string& demuxer) {
    return read_all(nullptr, dir_ / name, demuxer);
  }

  // The demuxer is named, not probed: from FFmpeg 7.1 on, the probe itself no
  // longer takes a playlist named like a media file for HLS, and would hide
  // what the confinement does.
  static std::string read_all(format_context_ptr context, const std::string& path,
                              const std::string& demuxer) {
    AVFormatContext* raw = context.release();
    const int opened =
        avformat_open_input(&raw, path.c_str(), av_find_input_format(demuxer.c_str()), nullptr);
    format_context_ptr input(raw);
    std::string text;
    packet_ptr packet = alloc_packet();
    while (opened >= 0 && av_read_frame(input.get(), packet.get()) >= 0) {
      text.append(reinterpret_cast<const char*>(packet->data), packet->size);
      av_packet_unref(packet.get());
    }
    take_ffmpeg_log();
    return text;
  }

  const std::string words = "another user's words";
  temp_dir dir_;
};

// The HLS demuxer opens what it names through io_open; the concat demuxer
// through a nested context of its own, which only the protocol list reaches.
TEST_F(ConfinedSource, OpensNothingTheFileNames) {
  write("list.mp4", "ffconcat version 1.0\nfile 'other.vtt'\n");
  write("playlist.mp4",
        "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nother.vtt\n#EXT-X-ENDLIST\n");
  for (const auto& [name, demuxer] :
       {std::pair{"list.mp4", "concat"}, std::pair{"playlist.mp4", "hls"}}) {
    EXPECT_EQ(read_plain(name, demuxer), words) << name << " does not reach other.vtt";
    EXPECT_EQ(read_confined(name, demuxer), "") << name << " reached other.vtt";
  }
}

}  // namespace
}  // namespace corvane
