#include "rendition/transcode_rendition.h"

#include "ffmpeg/handles.h"
#include "ffmpeg/log.h"
#include "product/video_codec.h"
#include "rendition/hls_output.h"
#include "rendition/packet_writer.h"
#include "rendition/video_path.h"

namespace corvane {
namespace {

rendition_result make_rendition(const rendition_job& job, rendition_feed& feed) {
  codec_context_ptr video_encoder =
      open_video_encoder(*job.codec, job.encoder, job.width, job.height, job.bitrate, job.signal);
  format_context_ptr output =
      create_hls_output(job.playlist_path, *job.layout, job.key_info_file, video_encoder.get(),
                        job.audio_parameters, job.audio_time_base, *job.files);
  // Read before the first packet: what the encoders made, not what was asked of them.
  const rendition_result result{
      rendition_codecs(*job.codec, output->streams[0]->codecpar, output->streams[1]->codecpar)};
  packet_ptr packet = alloc_packet();
  frame_ptr scaled = alloc_scaled_frame(video_encoder.get());
  video_path video{video_encoder.get(), output.get(), output->streams[0],
                   packet.get(),        scaled.get(), nullptr};
  AVStream* audio_stream = output->streams[1];

  while (std::optional<feed_item> item = feed.pop()) {
    if (const auto* picture = std::get_if<frame_ptr>(&*item))
      encode_picture(video, picture->get());
    else
      write_packet(output.get(), audio_stream, std::get<packet_ptr>(*item).get(),
                   job.audio_time_base, "audio");
  }
  drain_video(video);
  write_trailer(output.get());
  return result;
}

}  // namespace

rendition_result transcode_rendition(const rendition_job& job, rendition_feed& feed) {
  take_ffmpeg_log();  // what this thread logged before is not this rendition's
  try {
    return make_rendition(job, feed);
  } catch (...) {
    feed.abandon();
    throw;
  }
}

}  // namespace corvane
