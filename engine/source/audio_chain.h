// The source's sound, made once for every rendition: decoded audio
// loudness-normalised and converted by a filter graph, cut into encoder-sized
// frames by a FIFO and encoded as AAC.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "ffmpeg/encode.h"
#include "ffmpeg/handles.h"
#include "source/filter_graph.h"
#include "source/sound_placer.h"

namespace corvane {

// Opens the AAC encoder (settings.h: rate, layout, bit rate), planar float,
// global header.
codec_context_ptr open_audio_encoder(const AVCodec* codec);

// The source filter's argument text for the decoder's audio and the input
// stream's time base. A layout FFmpeg cannot describe is given as "stereo".
std::string audio_source_args(const AVCodecContext* decoder, AVRational time_base);

// Takes frames of the encoder's `frame_size` out of `fifo` while it holds
// that many; with `flush`, also the shorter rest. Each frame is stamped with
// `audio_pts`, which then counts its samples, and handed to `encode`, which may
// change its samples.
void cut_fifo_frames(AVAudioFifo* fifo, const AVCodecContext* encoder, std::int64_t& audio_pts,
                     bool flush, const std::function<void(AVFrame*)>& encode);

// Clips the samples of a planar float frame to [-1, 1]; NaN stays NaN, for the
// encoder to refuse. FFmpeg's AAC encoder never returns from some frames far
// beyond full scale (what the loudness filter makes of a corrupted source can
// reach 1e9); normalised audio stays within -1.5 dBTP, so it loses nothing.
void clip_to_full_scale(AVFrame* frame);

// Everything between the audio decoder and the encoded packets.
struct audio_chain {
  codec_context_ptr encoder;
  filter_graph_ptr graph;  // null in a silent chain, as is the FIFO
  filter_ends filters;     // owned by `graph`
  audio_fifo_ptr fifo;
  packet_ptr packet;
  std::int64_t audio_pts = 0;  // samples handed to the encoder so far, from the origin
  frame_ptr silence;           // a silent chain's encoder frame of silence, sent again and again
  sound_placer placer;  // the decoded sound, in the filter's format, where its timestamps say
};

// Sets the chain up for `decoder`'s audio from `input_stream`; the first
// encoded sample gets the timestamp `audio_pts`, 0 unless the caller moves it.
// Throws av_error.
audio_chain open_audio_chain(const AVCodecContext* decoder, const AVStream* input_stream);

// The chain of a source without sound: the same AAC encoder, fed silence, with
// no filter graph and no FIFO. Throws av_error.
audio_chain open_silent_chain();

// Encodes whole encoder frames of silence while they end by `until`, counted in
// samples from the origin, and hands every packet to `sink`; stops early once
// `stop` is requested.
void encode_silence(audio_chain& audio, std::int64_t until, const packet_sink& sink,
                    const std::stop_token& stop = {});

// At the end of the source: silence up to `until` (the last frame shorter when
// it must be), then drains the encoder into `sink`.
void finish_silence(audio_chain& audio, std::int64_t until, const packet_sink& sink,
                    const std::stop_token& stop = {});

// Places one decoded frame by its timestamp (sound_placer.h), filters it and
// hands every packet of the whole encoder frames it completes to `sink`. A hole
// before it is filled while `stop` is not requested. Throws av_error.
void encode_audio_frame(audio_chain& audio, AVFrame* decoded, const packet_sink& sink,
                        const std::stop_token& stop);

// At the end of the source: drains `decoder` (to its end: a frame it cannot
// decode is skipped), the placer, the filter graph, the FIFO (its short last
// frame included) and the encoder, in that order, into `sink`.
void drain_audio(audio_chain& audio, AVCodecContext* decoder, AVFrame* decoded,
                 const packet_sink& sink, const std::stop_token& stop);

}  // namespace corvane
