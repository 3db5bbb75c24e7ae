#include "transcoder/hls_output.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "transcoder/av_error.h"
#include "transcoder/encode.h"
#include "transcoder/ffmpeg_log.h"

namespace corvane {
namespace {

AVStream* new_stream(AVFormatContext* output, const char* kind) {
  AVStream* stream = avformat_new_stream(output, nullptr);
  if (stream == nullptr) throw av_error(AVERROR(ENOMEM), std::string("add ") + kind + " stream");
  return stream;
}

// A stream's time base is a request only: the MPEG-TS segments count in 90 kHz,
// and the muxer may replace it while writing the header.
void add_video_stream(AVFormatContext* output, const AVCodecContext* encoder) {
  AVStream* stream = new_stream(output, "video");
  check(avcodec_parameters_from_context(stream->codecpar, encoder),
        "copy video encoder parameters");
  stream->time_base = encoder->time_base;
}

void add_audio_stream(AVFormatContext* output, const AVCodecParameters* parameters,
                      AVRational time_base) {
  AVStream* stream = new_stream(output, "audio");
  check(avcodec_parameters_copy(stream->codecpar, parameters), "copy audio encoder parameters");
  stream->time_base = time_base;
}

// The output context's `opaque`, which nothing else sets, holds the code of the
// first failed write to one of its files: no record to outlive the context.
void keep_write_failure(AVFormatContext* output, int code) {
  if (output->opaque == nullptr)
    output->opaque = reinterpret_cast<void*>(static_cast<std::intptr_t>(code));
}

// The hls muxer ignores what closing a segment or playlist file returns, and a
// write that failed (a full disk, a file size limit) only makes it warn: the
// rendition would end "complete" with a truncated segment or an empty
// playlist. It closes its files through this instead of avio_close alone, and
// the key info files open_with_fresh_iv served it.
int close_keeping_write_failure(AVFormatContext* output, AVIOContext* file) {
  if (is_text_reader(file)) {
    close_text_reader(file);
    return 0;
  }
  if (!file->write_flag) return avio_close(file);
  avio_flush(file);
  const int write_error = file->error;
  const int closed = avio_close(file);
  const int failure = write_error < 0 ? write_error : closed;
  if (failure < 0) keep_write_failure(output, failure);
  return failure;
}

// The longest key info line the hls muxer keeps (FFmpeg's MAX_URL_SIZE).
constexpr std::size_t key_info_line_chars = 4096;

// One line as the muxer's line reader (ff_get_line) takes it.
std::string read_line(AVIOContext* file) {
  std::string line;
  for (;;) {
    const int c = avio_r8(file);  // 0 at the end of the file
    if (c == 0 || c == '\n') return line;
    if (c == '\r') {
      if (avio_r8(file) != '\n' && !avio_feof(file)) avio_skip(file, -1);
      return line;
    }
    if (line.size() < key_info_line_chars) line.push_back(static_cast<char>(c));
  }
}

// 16 bytes from the operating system's random source, as 32 hex digits.
std::string random_iv() {
  unsigned char bytes[16];
  std::size_t drawn = 0;
  while (drawn < sizeof bytes) {
    const ssize_t got = getrandom(bytes + drawn, sizeof bytes - drawn, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw av_error(AVERROR(errno), "draw a random IV");
    drawn += static_cast<std::size_t>(got);
  }
  char hex[2 * sizeof bytes + 1];
  for (std::size_t i = 0; i < sizeof bytes; ++i)
    std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return hex;
}

bool is_key_info_file(AVFormatContext* output, const char* url) {
  const auto* option = static_cast<char* const*>(
      av_opt_ptr(output->oformat->priv_class, output->priv_data, "hls_key_info_file"));
  return option != nullptr && *option != nullptr && std::strcmp(*option, url) == 0;
}

// The output's io_open when the key info file has no IV line. With the
// periodic_rekey flag the muxer reads the key info file at the start of every
// segment and encrypts the segment with the IV of its third line; this serves
// it the file's first two lines and a fresh random IV. (Without an IV line the
// muxer would write one IV, the first sequence number, for every segment: the
// same in every rendition under the one key.) Every other file is opened as
// FFmpeg's own io_open does.
int open_with_fresh_iv(AVFormatContext* output, AVIOContext** file, const char* url, int flags,
                       AVDictionary** options) {
  if (flags != AVIO_FLAG_READ || !is_key_info_file(output, url))
    return avio_open2(file, url, flags, &output->interrupt_callback, options);
  // Nothing may be thrown into the muxer, which calls this.
  try {
    const key_info_lines lines = read_key_info(url, &output->interrupt_callback);
    *file = open_text_reader(lines.key_uri + '\n' + lines.key_file + '\n' + random_iv() + '\n')
                .release();  // the muxer closes it, through close_keeping_write_failure
    return 0;
  } catch (const av_error& e) {
    av_log(output, AV_LOG_ERROR, "%s\n", e.what());
    return e.code();
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  } catch (const std::exception& e) {
    av_log(output, AV_LOG_ERROR, "%s\n", e.what());
    return AVERROR_EXTERNAL;
  }
}

}  // namespace

key_info_lines read_key_info(const std::string& url, const AVIOInterruptCB* interrupt) {
  AVIOContext* raw = nullptr;
  const int opened = avio_open2(&raw, url.c_str(), AVIO_FLAG_READ, interrupt, nullptr);
  io_context_ptr file(raw);
  check(opened, "open key info file", url);
  key_info_lines lines{read_line(file.get()), read_line(file.get()), read_line(file.get())};
  if (file->error < 0) throw av_error(file->error, "read key info file", url);
  return lines;
}

int write_failure(const AVFormatContext* output) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(output->opaque));
}

std::string playlist_stem(const std::string& playlist_path) {
  const auto dot = playlist_path.rfind('.');
  return dot == std::string::npos ? playlist_path : playlist_path.substr(0, dot);
}

std::string segment_template(const std::string& stem) {
  for (std::size_t i = 0; i < stem.size(); ++i) {
    if (stem[i] != '%') continue;
    if (i + 1 < stem.size() && stem[i + 1] == '%') {
      ++i;  // the muxer copies "%%" as it stands
      continue;
    }
    std::size_t after = i + 1;
    while (after < stem.size() && stem[after] >= '0' && stem[after] <= '9') ++after;
    const bool numbered = after < stem.size() && stem[after] == 'd';
    const bool variant = i + 1 < stem.size() && (stem[i + 1] == 'v' || stem[i + 1] == 'V');
    if (numbered || variant)
      throw std::invalid_argument("the HLS muxer would read '" + stem.substr(i, after - i + 1) +
                                  "' in '" + stem + "' as a pattern; choose a path without it");
  }
  return stem + "_%03d.ts";
}

format_context_ptr create_hls_output(const std::string& playlist_path,
                                     const std::string& key_info_file,
                                     const AVCodecContext* video_encoder,
                                     const AVCodecParameters* audio_parameters,
                                     AVRational audio_time_base) {
  AVFormatContext* raw = nullptr;
  const int ret = avformat_alloc_output_context2(&raw, nullptr, "hls", playlist_path.c_str());
  format_context_ptr output(raw);
  check(ret, "create HLS output", playlist_path);
  output->io_close2 = close_keeping_write_failure;

  add_video_stream(output.get(), video_encoder);
  add_audio_stream(output.get(), audio_parameters, audio_time_base);

  const std::string segments = segment_template(playlist_stem(playlist_path));
  void* muxer = output->priv_data;
  check(av_opt_set(muxer, "hls_time", "6", 0), "set hls_time");
  check(av_opt_set(muxer, "hls_segment_filename", segments.c_str(), 0),
        "set hls_segment_filename");
  check(av_opt_set(muxer, "hls_list_size", "0", 0), "set hls_list_size");
  if (!key_info_file.empty()) {
    check(av_opt_set(muxer, "hls_key_info_file", key_info_file.c_str(), 0),
          "set hls_key_info_file");
    if (read_key_info(key_info_file, &output->interrupt_callback).iv.empty()) {
      check(av_opt_set(muxer, "hls_flags", "periodic_rekey", 0), "set hls_flags");
      output->io_open = open_with_fresh_iv;
    }
  }

  if (!(output->oformat->flags & AVFMT_NOFILE))
    check(avio_open(&output->pb, playlist_path.c_str(), AVIO_FLAG_WRITE), "open output",
          playlist_path);
  check(avformat_write_header(output.get(), nullptr), "write HLS header", playlist_path);
  return output;
}

void write_packet(AVFormatContext* output, AVStream* stream, AVPacket* packet,
                  AVRational time_base, const char* kind) {
  // Read the stream's time base now: the header may have replaced it.
  av_packet_rescale_ts(packet, time_base, stream->time_base);
  packet->stream_index = stream->index;
  // The muxer takes the packet's data and leaves it blank, even on failure.
  check(av_interleaved_write_frame(output, packet), std::string(kind) + ": write packet");
  if (const int failed = write_failure(output); failed < 0)
    throw av_error(failed, std::string(kind) + ": write segment or playlist");
}

void frame_durations::sent(std::int64_t pts) {
  std::int64_t gap = 0;
  // Frames come in increasing pts; a gap that does not fit is left unknown.
  if (last_pts_ != AV_NOPTS_VALUE && !__builtin_sub_overflow(pts, last_pts_, &gap) && gap > 0) {
    gaps_.emplace(last_pts_, gap);
    last_gap_ = gap;
  }
  last_pts_ = pts;
}

std::int64_t frame_durations::take(std::int64_t pts) {
  const auto found = gaps_.find(pts);
  if (found == gaps_.end()) return last_gap_;
  const std::int64_t gap = found->second;
  gaps_.erase(found);
  return gap;
}

void encode_and_write(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet, frame_durations* durations) {
  const char* kind = av_get_media_type_string(encoder->codec_type);
  if (durations != nullptr && frame != nullptr) durations->sent(frame->pts);
  encode_frame(encoder, frame, packet, kind, [&](AVPacket* encoded) {
    if (encoded->duration == 0 && durations != nullptr)
      encoded->duration = durations->take(encoded->pts);
    write_packet(output, stream, encoded, encoder->time_base, kind);
  });
}

void write_trailer(AVFormatContext* output) {
  take_ffmpeg_log();  // what was said before is not the trailer's
  check(av_write_trailer(output), "write HLS trailer", output->url);
  if (const int failed = write_failure(output); failed < 0)
    throw av_error(failed, "write HLS trailer", output->url);
  // The hls muxer only logs a last segment or a playlist it could not write,
  // and reports success all the same.
  if (ffmpeg_log_pending()) throw av_error(AVERROR(EIO), "write HLS trailer", output->url);
}

}  // namespace corvane
