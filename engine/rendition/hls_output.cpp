#include "rendition/hls_output.h"

#include <utility>

#include "ffmpeg/error.h"
#include "ffmpeg/log.h"
#include "rendition/key_info.h"

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
  // The muxer refuses a stream whose sample aspect ratio differs from its encoder's.
  stream->sample_aspect_ratio = encoder->sample_aspect_ratio;
}

void add_audio_stream(AVFormatContext* output, const AVCodecParameters* parameters,
                      AVRational time_base) {
  AVStream* stream = new_stream(output, "audio");
  check(avcodec_parameters_copy(stream->codecpar, parameters), "copy audio encoder parameters");
  stream->time_base = time_base;
}

}  // namespace

format_context_ptr create_hls_output(const std::string& playlist_path, const output_layout& layout,
                                     const std::string& key_info_file,
                                     const AVCodecContext* video_encoder,
                                     const AVCodecParameters* audio_parameters,
                                     AVRational audio_time_base, output_files& files) {
  AVFormatContext* raw = nullptr;
  const int ret =
      avformat_alloc_output_context2(&raw, nullptr, layout.muxer, playlist_path.c_str());
  format_context_ptr output(raw);
  check(ret, "create HLS output", playlist_path);
  watch_output_files(output.get(), files);

  add_video_stream(output.get(), video_encoder);
  add_audio_stream(output.get(), audio_parameters, audio_time_base);

  const std::string segments = segment_template(layout, playlist_stem(playlist_path));
  void* muxer = output->priv_data;
  check(av_opt_set(muxer, "hls_time", std::to_string(segment_seconds).c_str(), 0), "set hls_time");
  check(av_opt_set(muxer, "hls_segment_filename", segments.c_str(), 0), "set hls_segment_filename");
  check(av_opt_set(muxer, "hls_list_size", "0", 0), "set hls_list_size");
  check(av_opt_set(muxer, "hls_segment_type", layout.segment_type, 0), "set hls_segment_type");
  if (!key_info_file.empty()) {
    check(av_opt_set(muxer, "hls_key_info_file", key_info_file.c_str(), 0),
          "set hls_key_info_file");
    files.key_info_path = key_info_file;
    key_info_lines lines = read_key_info(key_info_file, &output->interrupt_callback);
    if (lines.iv.empty()) {
      check(av_opt_set(muxer, "hls_flags", "periodic_rekey", 0), "set hls_flags");
      files.fresh_iv_key_info = std::move(lines);
    }
  }

  if (!(output->oformat->flags & AVFMT_NOFILE))
    check(avio_open(&output->pb, playlist_path.c_str(), AVIO_FLAG_WRITE), "open output",
          playlist_path);
  check(avformat_write_header(output.get(), nullptr), "write HLS header", playlist_path);
  return output;
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
