// Every fixed value of the ladder corvane makes, in one place, each with the
// reason for it. The stages read them from here; filter strings are built from
// them, never retyped.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "ffmpeg/headers.h"

namespace corvane {

// --- The renditions ----------------------------------------------------------

// One rung of the default ladder: its name, its size (landscape: the long side
// is the width) and its video bitrate when the caller gives none.
struct rung {
  const char* name;
  int short_side;
  int long_side;
  std::int32_t default_bitrate;  // bit/s
};

// The four known renditions, in the default order, largest first. Every other
// list of names, sizes or bitrates is made from this one.
inline constexpr rung ladder_table[] = {
    {"1080p", 1080, 1920, 5000000},
    {"720p", 720, 1280, 2500000},
    {"480p", 480, 854, 1000000},
    {"360p", 360, 640, 400000},
};

// The video bitrate of a name outside the table, when the list is completed.
inline constexpr std::int32_t unknown_name_bitrate = 1000000;

// How far from square a sample may be and still be left unsaid: 1 %. Whole
// pixels miss an aspect ratio by a little (854x480 is 16:9 within 0.08 %);
// 4:3 in 16:9 (33 %) and anamorphic sources are far outside it.
inline constexpr double square_sample_tolerance = 0.01;

// --- Pictures ------------------------------------------------------------------

// The pictures' clock, MPEG-TS's own: fine enough to keep each picture at its
// source time, so 25 or 24 a second stay evenly spaced. Players that time a
// picture by its neighbours (Chromium's own HLS) stall on a coarser grid.
inline constexpr AVRational video_time_base{1, 90000};

// The most pictures a second a rendition shows, and their interval in
// video_time_base: more costs bits on every rung for motion few screens show.
inline constexpr int max_picture_rate = 30;
inline constexpr std::int64_t picture_interval = 90000 / max_picture_rate;

// The largest pictures a source may have: no side over 16384, and no more
// samples than 8192x4352, the largest frame any level of H.264, HEVC or AV1
// allows. Refused before any picture is decoded; the decoder holds the limit.
inline constexpr int max_picture_side = 16384;
inline constexpr std::int64_t max_picture_samples = 35'651'584;

// HDR is tone-mapped in light measured from SDR reference white, 203 cd/m²
// (BT.2408), so what lies within SDR keeps its brightness; highlights up to
// 1000 cd/m² (HDR10's usual mastering, HLG's nominal peak) are compressed by
// mobius, which came closest to the bars' own SDR rendering of the operators
// tried (SSIM 0.934, saturation kept; hable and reinhard darker and duller).
inline constexpr double hdr_reference_white = 203;  // cd/m²
inline constexpr double hdr_highlight_peak = 1000;  // cd/m²
inline constexpr const char* tone_map_operator = "mobius";

// --- Video encoding ------------------------------------------------------------

// How long a segment lasts, in seconds: what Apple's authoring rules ask of
// video on demand. Every segment starts with a key frame on this grid.
inline constexpr int segment_seconds = 6;

// A key frame every 60 pictures (2 s at 30 a second) and none at scene changes,
// so that key frames fall on the same pictures in every rendition.
inline constexpr int key_frame_interval = 60;

// libx264's preset: the speed a ladder of four renditions needs on two cores.
inline constexpr const char* video_preset = "fast";

// --- Sound -----------------------------------------------------------------------

// AAC-LC at 44.1 kHz, stereo, 128 kbit/s: what every HLS player plays.
inline constexpr int audio_sample_rate = 44100;
inline constexpr int audio_channels = 2;
inline constexpr const char* audio_layout = "stereo";
inline constexpr std::int64_t audio_bit_rate = 128000;

// Loudness normalisation, EBU R128's measure: -14 LUFS integrated, as streaming
// platforms play at, 11 LU of range and a true peak of -1.5 dBTP, which leaves
// room for the AAC encoder's overshoot.
inline constexpr int loudness_integrated = -14;     // LUFS
inline constexpr int loudness_range = 11;           // LU
inline constexpr double loudness_true_peak = -1.5;  // dBTP

// --- The source's clock ----------------------------------------------------------

// A jump larger than this in a stream's timestamps is a discontinuity, as
// FFmpeg's command line takes it (its dts_delta_threshold).
inline constexpr std::int64_t jump_threshold_us = 10'000'000;

// The longest forward gap in both streams that is kept as the source has it;
// a longer one fails the call.
inline constexpr std::int64_t max_gap_us = 3600LL * 1'000'000;
// The same in units of 1/`rate` s: samples, or video_time_base's ticks.
constexpr std::int64_t max_gap_in(std::int64_t rate) { return max_gap_us / 1'000'000 * rate; }

// A stream's timestamps may step back this far without a jump: audio frames
// overlap by a little at a splice, and millisecond timestamps round.
inline constexpr std::int64_t step_back_us = 500'000;

// How far behind the other stream's clock a stream may be and still agree with
// it: the streams' packets are interleaved a little apart.
inline constexpr std::int64_t behind_other_us = 2'000'000;

// Packets the clock reads ahead: enough to see both streams past a jump, whose
// packets an MPEG-TS muxer interleaves up to a second apart.
inline constexpr std::size_t clock_look_ahead = 128;

// How far a sound frame may be from where the sound has reached and still be
// taken as it comes: 1/50 s, 20 ms. Millisecond timestamps and frames a few
// samples off are left alone; a drift is mended before it reaches a picture.
inline constexpr int sound_tolerance_per_second = 50;

// The picture grid (source/picture_grid.h). The shortest time between two
// pictures kept at their own time: a millisecond less than 1/30 s, since
// millisecond clocks (Matroska, WebM) put 30 a second 33 and 34 ms apart.
inline constexpr std::int64_t min_picture_interval = picture_interval - 90000 / 1000;
// How early for its slot a picture of a source at the grid's pace may come and
// keep its own time: what millisecond timestamps round 1/30 s by.
inline constexpr std::int64_t early_for_slot = video_time_base.den / 1000;
// The source's pace is the mean interval of its first 30 pictures, then a
// running mean over about as many; it tells a fast source only after 4
// intervals, as a recorder's first pictures may come 19 ms and then 47 ms apart.
inline constexpr std::int64_t pace_window = 30;
inline constexpr std::int64_t pace_known = 4;

// A gap between two pictures longer than this is a hole: the last picture is
// held at every slot through it, so that segments keep their length.
inline constexpr std::int64_t hold_after = video_time_base.den;  // 1 s

// How far the encoded sound may run ahead of the last picture before that
// picture is held to follow it: sound far ahead would land past the muxer's
// interleaving, in the wrong segment; a hold too soon would cover pictures
// still on their way (the sound is counted after the loudness look-ahead).
inline constexpr std::int64_t sound_lead = 3 * video_time_base.den;  // 3 s

// --- Running a call --------------------------------------------------------------

// What may queue between the source stage and each rendition: a few pictures
// (shared, so they cost once, not once a rendition; 12 MB each at 2160p) let a
// rendition keep busy while another takes its turn on the cores.
inline constexpr std::size_t feed_pictures = 4;
inline constexpr std::size_t feed_items = 64;

// How often the caller's thread checks for signals while a ladder is made.
inline constexpr std::chrono::milliseconds poll_interval{100};

// How long a read may wait for the source to send anything, unless
// CORVANE_READ_TIMEOUT gives other seconds.
inline constexpr std::chrono::milliseconds default_read_timeout{30'000};

// --- Measuring -------------------------------------------------------------------

// The time given to a rendition whose playlist says it lasts no time (one
// picture): that picture at the most a rendition shows, 1/30 s, rounded down.
inline constexpr std::int64_t timeless_rendition_us = 1'000'000 / max_picture_rate;

}  // namespace corvane
