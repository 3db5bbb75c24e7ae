#include "source/source_input.h"

#include <pthread.h>

#include <stdexcept>
#include <vector>

#include "ffmpeg/error.h"
#include "source/open_input.h"

namespace corvane {
namespace {

// Gives the calling thread another name while it lives. A decoder starts its
// frame threads as it opens, and they take the opening thread's name: named
// for what they do, top, perf and gdb tell them from the caller's own thread.
class thread_named {
 public:
  explicit thread_named(const char* name) {
    if (pthread_getname_np(pthread_self(), saved_, sizeof saved_) == 0)
      renamed_ = pthread_setname_np(pthread_self(), name) == 0;
  }
  ~thread_named() {
    if (renamed_) pthread_setname_np(pthread_self(), saved_);
  }
  thread_named(const thread_named&) = delete;
  thread_named& operator=(const thread_named&) = delete;

 private:
  char saved_[16] = {};  // the kernel keeps 15 characters
  bool renamed_ = false;
};

// The best stream of `type` that this FFmpeg can decode; its index is negative,
// FFmpeg's reason, when there is none.
selected_stream find_stream(AVFormatContext* input, AVMediaType type) {
  selected_stream selected;
  selected.index = av_find_best_stream(input, type, -1, -1, &selected.decoder, 0);
  if (selected.index >= 0) selected.stream = input->streams[selected.index];
  return selected;
}

selected_stream select_stream(AVFormatContext* input, AVMediaType type, const char* kind,
                              const std::string& url) {
  selected_stream selected = find_stream(input, type);
  check(selected.index, std::string("no decodable ") + kind + " stream", url);
  return selected;
}

// `threads` 0 lets the decoder pick: frame threads, one per core and one more.
codec_context_ptr open_decoder(const selected_stream& selected, const char* kind, int threads,
                               const std::string& url) {
  codec_context_ptr decoder = alloc_codec_context(selected.decoder);
  check(avcodec_parameters_to_context(decoder.get(), selected.stream->codecpar),
        std::string(kind) + ": copy decoder parameters", url);
  decoder->pkt_timebase = selected.stream->time_base;
  decoder->thread_count = threads;
  decoder->max_pixels = max_picture_samples;
  check(avcodec_open2(decoder.get(), selected.decoder, nullptr),
        std::string(kind) + ": open decoder", url);
  return decoder;
}

// Reads the stream information with decoders that refuse pictures over the
// limit, so that probing a source that claims huge ones takes no memory.
void find_stream_info(AVFormatContext* format, read_watch& watch, const std::string& url) {
  std::vector<AVDictionary*> options(format->nb_streams, nullptr);
  struct options_freer {
    std::vector<AVDictionary*>& all;
    ~options_freer() {
      for (AVDictionary*& one : all) av_dict_free(&one);
    }
  } freer{options};
  for (AVDictionary*& one : options)
    check(av_dict_set_int(&one, "max_pixels", max_picture_samples, 0), "set the picture limit");
  watch.starting();
  watch.check(avformat_find_stream_info(format, options.data()), "cannot read stream information",
              url);
}

void refuse_oversized(const AVStream* video, const std::string& url) {
  const int width = video->codecpar->width, height = video->codecpar->height;
  if (width > max_picture_side || height > max_picture_side ||
      std::int64_t(width) * height > max_picture_samples)
    throw std::invalid_argument("the source's pictures are " + std::to_string(width) + "x" +
                                std::to_string(height) +
                                ", larger than any H.264, HEVC or AV1 level allows (at most " +
                                std::to_string(max_picture_samples) + " samples, no side over " +
                                std::to_string(max_picture_side) + "): '" + url + "'");
}

}  // namespace

format_context_ptr open_source_format(const std::string& input, read_watch& watch) {
  format_context_ptr format = open_input(input, watch);
  watch.watch(format.get());
  find_stream_info(format.get(), watch, input);
  return format;
}

source_input open_source(const std::string& input, std::stop_token stop) {
  source_input source;
  source.watch = std::make_unique<read_watch>(std::move(stop));
  source.format = open_source_format(input, *source.watch);
  source.video = select_stream(source.format.get(), AVMEDIA_TYPE_VIDEO, "video", input);
  refuse_oversized(source.video.stream, input);
  // Every rendition waits on the one video decode: it gets the machine's cores.
  {
    const thread_named decoder_threads("corvane decode");
    source.video_decoder = open_decoder(source.video, "video", 0, input);
  }
  // No audio stream, or none that this FFmpeg can decode: the source is silent.
  // Any other failure to open one is the source's fault, and stops the call.
  selected_stream audio = find_stream(source.format.get(), AVMEDIA_TYPE_AUDIO);
  if (audio.index == AVERROR_STREAM_NOT_FOUND || audio.index == AVERROR_DECODER_NOT_FOUND)
    return source;
  check(audio.index, "no decodable audio stream", input);
  source.audio = audio;
  source.audio_decoder = open_decoder(source.audio, "audio", 1, input);
  return source;
}

}  // namespace corvane
