#include "transcoder/transcode_rendition.h"

#include "transcoder/audio_path.h"
#include "transcoder/av_error.h"
#include "transcoder/av_handles.h"
#include "transcoder/codecs.h"
#include "transcoder/ffmpeg_log.h"
#include "transcoder/hls_output.h"
#include "transcoder/timeline.h"
#include "transcoder/video_path.h"

namespace corvane {
namespace {

struct selected_stream {
  int index = -1;
  AVStream* stream = nullptr;
  const AVCodec* decoder = nullptr;
};

selected_stream select_stream(AVFormatContext* input, AVMediaType type, const char* kind) {
  selected_stream selected;
  selected.index = av_find_best_stream(input, type, -1, -1, &selected.decoder, 0);
  check(selected.index, std::string("find a decodable ") + kind + " stream", input->url);
  selected.stream = input->streams[selected.index];
  return selected;
}

codec_context_ptr open_decoder(const selected_stream& selected, const char* kind) {
  codec_context_ptr decoder = alloc_codec_context(selected.decoder);
  check(avcodec_parameters_to_context(decoder.get(), selected.stream->codecpar),
        std::string(kind) + ": copy decoder parameters");
  decoder->pkt_timebase = selected.stream->time_base;
  check(avcodec_open2(decoder.get(), selected.decoder, nullptr),
        std::string(kind) + ": open decoder");
  return decoder;
}

const AVCodec* find_encoder(AVCodecID id, const char* name) {
  const AVCodec* encoder = avcodec_find_encoder(id);
  if (encoder == nullptr)
    throw av_error(AVERROR_ENCODER_NOT_FOUND, std::string("find ") + name + " encoder");
  return encoder;
}

// Sends one packet to its decoder and hands every picture or audio frame that
// comes out to `step`. A packet the decoder refuses, or cannot decode, costs
// that packet only.
template <typename Step>
void decode_packet(AVCodecContext* decoder, const AVPacket* packet, AVFrame* decoded,
                   Step&& step) {
  if (avcodec_send_packet(decoder, packet) < 0) return;
  while (avcodec_receive_frame(decoder, decoded) >= 0) {
    step(decoded);
    av_frame_unref(decoded);
  }
}

}  // namespace

rendition_result transcode_rendition(std::string input, std::string playlist_path, int width,
                                     int height, int bitrate, std::string key_info_file) {
  take_ffmpeg_log();  // what this thread logged before is not this rendition's

  format_context_ptr source = open_input(input);
  check(avformat_find_stream_info(source.get(), nullptr), "read stream information", input);
  const selected_stream video_in = select_stream(source.get(), AVMEDIA_TYPE_VIDEO, "video");
  const selected_stream audio_in = select_stream(source.get(), AVMEDIA_TYPE_AUDIO, "audio");
  codec_context_ptr video_decoder = open_decoder(video_in, "video");
  codec_context_ptr audio_decoder = open_decoder(audio_in, "audio");
  const AVCodec* h264 = find_encoder(AV_CODEC_ID_H264, "H.264");
  const AVCodec* aac = find_encoder(AV_CODEC_ID_AAC, "AAC");

  codec_context_ptr video_encoder = open_video_encoder(h264, width, height, bitrate);
  codec_context_ptr audio_encoder = open_audio_encoder(aac);
  rendition_result result{rendition_codecs(video_encoder.get(), audio_encoder.get())};
  format_context_ptr output =
      create_hls_output(playlist_path, key_info_file, video_encoder.get(), audio_encoder.get());
  sws_context_ptr scaler = create_scaler(video_decoder.get(), video_encoder.get());
  filter_ends filters;
  filter_graph_ptr graph = create_loudness_graph(audio_decoder.get(), audio_in.stream, filters);
  audio_fifo_ptr fifo = alloc_audio_fifo(audio_encoder.get());
  packet_ptr input_packet = alloc_packet();
  packet_ptr output_packet = alloc_packet();
  frame_ptr decoded = alloc_frame();
  frame_ptr scaled = alloc_scaled_frame(video_encoder.get());

  const timeline_origin origin =
      common_origin(video_in.stream->start_time, video_in.stream->time_base,
                    audio_in.stream->start_time, audio_in.stream->time_base,
                    audio_encoder->sample_rate);
  video_path video{video_decoder.get(), &scaler, scaled.get(), video_in.stream->time_base,
                   origin.video_origin, AV_NOPTS_VALUE,
                   {video_encoder.get(), output.get(), output->streams[0], output_packet.get(),
                    "video"}};
  audio_path audio{audio_decoder.get(), filters, fifo.get(), origin.audio_start_samples,
                   {audio_encoder.get(), output.get(), output->streams[1], output_packet.get(),
                    "audio"}};

  for (;;) {
    const int read = av_read_frame(source.get(), input_packet.get());
    if (read == AVERROR_EOF) break;
    // A source that breaks off midway must not pass for a whole one.
    check(read, "read source", input);
    if (input_packet->stream_index == video_in.index)
      decode_packet(video_decoder.get(), input_packet.get(), decoded.get(),
                    [&](AVFrame* picture) { encode_picture(video, picture); });
    else if (input_packet->stream_index == audio_in.index)
      decode_packet(audio_decoder.get(), input_packet.get(), decoded.get(),
                    [&](AVFrame* samples) { encode_audio_frame(audio, samples); });
    av_packet_unref(input_packet.get());
  }

  // Every picture reaches the muxer before the audio tail does.
  drain_video(video, decoded.get());
  drain_audio(audio, decoded.get());
  // A source whose streams are declared but hold nothing decodable (cut off
  // before its first frame, or every packet broken) would otherwise end in a
  // complete-looking playlist of empty segments.
  if (video.last_pts == AV_NOPTS_VALUE)
    throw av_error(AVERROR_INVALIDDATA, "video: no picture of the source could be decoded",
                   input);
  if (audio.audio_pts == origin.audio_start_samples)
    throw av_error(AVERROR_INVALIDDATA, "audio: no sound of the source could be decoded",
                   input);
  write_trailer(output.get());
  result.frame_rate = picture_rate(video.pictures, video.first_pts, video.last_pts);
  return result;
}

}  // namespace corvane
