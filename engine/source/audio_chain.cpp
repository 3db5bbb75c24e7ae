#include "source/audio_chain.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "ffmpeg/decode.h"
#include "ffmpeg/error.h"
#include "product/settings.h"

namespace corvane {
namespace {

// The filter chain between the graph's source and sink: loudness normalisation,
// then the encoder's own sample format, rate and layout.
std::string loudness_chain() {
  char chain[256];
  std::snprintf(chain, sizeof chain,
                "loudnorm=I=%d:LRA=%d:TP=%g,"
                "aformat=sample_fmts=fltp:sample_rates=%d:channel_layouts=%s",
                loudness_integrated, loudness_range, loudness_true_peak, audio_sample_rate,
                audio_layout);
  return chain;
}

void store_in_fifo(AVAudioFifo* fifo, const AVFrame* filtered) {
  check(av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples),
        "audio: grow FIFO");
  void** planes = reinterpret_cast<void**>(filtered->extended_data);
  const int written = av_audio_fifo_write(fifo, planes, filtered->nb_samples);
  if (written < filtered->nb_samples)
    throw av_error(written < 0 ? written : AVERROR(ENOMEM), "audio: write to FIFO");
}

// Moves everything the graph has ready into the FIFO.
void pull_filtered(const audio_chain& audio) {
  for (;;) {
    frame_ptr filtered = alloc_frame();
    const int ret = av_buffersink_get_frame(audio.filters.sink, filtered.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    check(ret, "audio: take frame from loudness filter");
    store_in_fifo(audio.fifo.get(), filtered.get());
  }
}

// Feeds one placed frame to the loudness filter, which takes its data over,
// and moves what comes out into the FIFO.
void filter(const audio_chain& audio, AVFrame* placed) {
  check(av_buffersrc_add_frame_flags(audio.filters.source, placed, 0),
        "audio: feed loudness filter");
  pull_filtered(audio);
}

void encode_cut_frames(audio_chain& audio, bool flush, const packet_sink& sink) {
  cut_fifo_frames(audio.fifo.get(), audio.encoder.get(), audio.audio_pts, flush,
                  [&](AVFrame* frame) {
                    clip_to_full_scale(frame);
                    encode_frame(audio.encoder.get(), frame, audio.packet.get(), "audio", sink);
                  });
}

// A frame of `samples` samples in the encoder's format, its buffers allocated.
frame_ptr encoder_frame(const AVCodecContext* encoder, int samples) {
  frame_ptr frame = alloc_frame();
  frame->nb_samples = samples;
  frame->format = encoder->sample_fmt;
  frame->sample_rate = encoder->sample_rate;
  check(av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout),
        "audio: set frame channel layout");
  check(av_frame_get_buffer(frame.get(), 0), "audio: allocate encoder frame");
  return frame;
}

// A frame of `samples` samples of silence in the encoder's format.
frame_ptr silent_frame(const AVCodecContext* encoder, int samples) {
  frame_ptr frame = encoder_frame(encoder, samples);
  check(av_samples_set_silence(frame->extended_data, 0, samples, frame->ch_layout.nb_channels,
                               encoder->sample_fmt),
        "audio: fill silent frame");
  return frame;
}

// Stamps `frame` with `audio_pts`, which then counts its samples. The count
// starts at the audio's offset from the video, which a source may put anywhere
// in 64 bits.
void stamp(AVFrame* frame, std::int64_t& audio_pts) {
  frame->pts = audio_pts;
  if (__builtin_add_overflow(audio_pts, frame->nb_samples, &audio_pts))
    throw av_error(AVERROR_INVALIDDATA, "audio: timestamps beyond 64 bits");
}

// Encodes `frame` of silence at the chain's next timestamp.
void encode_silent_frame(audio_chain& audio, AVFrame* frame, const packet_sink& sink) {
  stamp(frame, audio.audio_pts);
  encode_frame(audio.encoder.get(), frame, audio.packet.get(), "audio", sink);
}

// The AAC encoder and the packet its output is received into.
audio_chain open_encoder() {
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (aac == nullptr) throw av_error(AVERROR_ENCODER_NOT_FOUND, "audio: find AAC encoder");
  audio_chain audio;
  audio.encoder = open_audio_encoder(aac);
  audio.packet = alloc_packet();
  return audio;
}

}  // namespace

codec_context_ptr open_audio_encoder(const AVCodec* codec) {
  codec_context_ptr encoder = alloc_codec_context(codec);
  av_channel_layout_default(&encoder->ch_layout, audio_channels);
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  encoder->sample_rate = audio_sample_rate;
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->time_base = AVRational{1, audio_sample_rate};
  encoder->bit_rate = audio_bit_rate;
  check(avcodec_open2(encoder.get(), codec, nullptr), "audio: open AAC encoder");
  return encoder;
}

namespace {

// The decoder's channel layout as the source filter is told it. FFmpeg
// describes a layout without channels as "0 channels", which the source filter
// refuses: such a decoder is taken for stereo.
std::string layout_description(const AVCodecContext* decoder) {
  char layout[64] = {};
  if (decoder->ch_layout.nb_channels <= 0 ||
      av_channel_layout_describe(&decoder->ch_layout, layout, sizeof layout) < 0 ||
      layout[0] == '\0')
    std::snprintf(layout, sizeof layout, "stereo");
  return layout;
}

}  // namespace

std::string audio_source_args(const AVCodecContext* decoder, AVRational time_base) {
  const char* format = av_get_sample_fmt_name(decoder->sample_fmt);
  char args[512];
  std::snprintf(args, sizeof args, "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                time_base.num, time_base.den, decoder->sample_rate, format ? format : "",
                layout_description(decoder).c_str());
  return args;
}

namespace {

// The format the loudness filter is set up to take, as audio_source_args gives
// it: an AVFrame with no samples.
frame_ptr loudness_input_format(const AVCodecContext* decoder) {
  frame_ptr format = alloc_frame();
  format->format = decoder->sample_fmt;
  format->sample_rate = decoder->sample_rate;
  check(av_channel_layout_from_string(&format->ch_layout, layout_description(decoder).c_str()),
        "audio: read the decoder's channel layout");
  return format;
}

// The loudness filter graph, configured, and its two ends (owned by the graph).
filter_graph_ptr create_loudness_graph(const AVCodecContext* decoder, const AVStream* input_stream,
                                       filter_ends& ends) {
  filter_graph_ptr graph = alloc_filter_graph();
  ends = build_filter_chain(graph.get(), "abuffer",
                            audio_source_args(decoder, input_stream->time_base), "abuffersink",
                            loudness_chain(), "audio: loudness");
  return graph;
}

// The FIFO that gathers filtered samples until they fill an encoder frame.
audio_fifo_ptr alloc_audio_fifo(const AVCodecContext* encoder) {
  audio_fifo_ptr fifo(av_audio_fifo_alloc(encoder->sample_fmt, encoder->ch_layout.nb_channels, 1));
  if (!fifo) throw std::bad_alloc();
  return fifo;
}

}  // namespace

void clip_to_full_scale(AVFrame* frame) {
  if (frame->format != AV_SAMPLE_FMT_FLTP) return;
  for (int channel = 0; channel < frame->ch_layout.nb_channels; ++channel) {
    float* samples = reinterpret_cast<float*>(frame->extended_data[channel]);
    for (int i = 0; i < frame->nb_samples; ++i) samples[i] = std::clamp(samples[i], -1.0f, 1.0f);
  }
}

void cut_fifo_frames(AVAudioFifo* fifo, const AVCodecContext* encoder, std::int64_t& audio_pts,
                     bool flush, const std::function<void(AVFrame*)>& encode) {
  for (;;) {
    const int available = av_audio_fifo_size(fifo);
    if (available <= 0 || (!flush && available < encoder->frame_size)) return;
    const int samples = available < encoder->frame_size ? available : encoder->frame_size;
    frame_ptr frame = encoder_frame(encoder, samples);
    void** planes = reinterpret_cast<void**>(frame->extended_data);
    const int read = av_audio_fifo_read(fifo, planes, samples);
    if (read < samples) throw av_error(read < 0 ? read : AVERROR_BUG, "audio: read from FIFO");
    stamp(frame.get(), audio_pts);
    encode(frame.get());
  }
}

audio_chain open_audio_chain(const AVCodecContext* decoder, const AVStream* input_stream) {
  audio_chain audio = open_encoder();
  audio.graph = create_loudness_graph(decoder, input_stream, audio.filters);
  audio.placer = sound_placer(loudness_input_format(decoder).get(), input_stream->time_base);
  audio.fifo = alloc_audio_fifo(audio.encoder.get());
  return audio;
}

audio_chain open_silent_chain() {
  audio_chain audio = open_encoder();
  // The encoder only reads the samples: one frame serves every time.
  audio.silence = silent_frame(audio.encoder.get(), audio.encoder->frame_size);
  return audio;
}

void encode_silence(audio_chain& audio, std::int64_t until, const packet_sink& sink,
                    const std::stop_token& stop) {
  while (until > audio.audio_pts && until - audio.audio_pts >= audio.encoder->frame_size &&
         !stop.stop_requested())
    encode_silent_frame(audio, audio.silence.get(), sink);
}

void finish_silence(audio_chain& audio, std::int64_t until, const packet_sink& sink,
                    const std::stop_token& stop) {
  encode_silence(audio, until, sink, stop);
  if (until > audio.audio_pts && until - audio.audio_pts < audio.encoder->frame_size) {
    frame_ptr last = silent_frame(audio.encoder.get(), int(until - audio.audio_pts));
    encode_silent_frame(audio, last.get(), sink);
  }
  encode_frame(audio.encoder.get(), nullptr, audio.packet.get(), "audio", sink);
}

void encode_audio_frame(audio_chain& audio, AVFrame* decoded, const packet_sink& sink,
                        const std::stop_token& stop) {
  audio.placer.place(decoded, [&](AVFrame* placed) { filter(audio, placed); }, stop);
  encode_cut_frames(audio, false, sink);
}

void drain_audio(audio_chain& audio, AVCodecContext* decoder, AVFrame* decoded,
                 const packet_sink& sink, const std::stop_token& stop) {
  drain_decoder(decoder, decoded, [&](AVFrame* frame) {
    audio.placer.place(frame, [&](AVFrame* placed) { filter(audio, placed); }, stop);
  });
  audio.placer.drain([&](AVFrame* placed) { filter(audio, placed); });
  check(av_buffersrc_add_frame_flags(audio.filters.source, nullptr, 0),
        "audio: end loudness filter input");
  pull_filtered(audio);
  encode_cut_frames(audio, true, sink);
  encode_frame(audio.encoder.get(), nullptr, audio.packet.get(), "audio", sink);
}

}  // namespace corvane
