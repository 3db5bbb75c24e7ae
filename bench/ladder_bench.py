"""Speed and memory of corvane's default four-rendition ladder, against the
ffmpeg command line making the same ladder, in one invocation.

    python bench/ladder_bench.py [--sources 1080p,2160p-h264,2160p-hevc10] [--runs 3]
                                 [--more] [--stages]

Sources (made once, cached in bench/.cache/): 20 s of 1920x1080 H.264 High at
about 8 Mbit/s; 10 s of 3840x2160 H.264 High at about 40 Mbit/s, as phones
record; 10 s of 3840x2160 HEVC Main 10 (libx265). All 30 fps with stereo AAC.

Peers, timed in turn (A B, A B, ...) so that a machine that slows down part
way hurts them all alike, each in a child process:

- corvane: `hls_encoder` with its defaults;
- ffmpeg, one process: decodes once, splits and scales to four libx264
  encoders, loudnorm once then asplit to four AAC encoders, hls muxer with
  var_stream_map and a master playlist.

With --before DIR, also the corvane module built in DIR (an earlier
version, say). With --more, also four ffmpeg processes (one per rendition, all at once, each
decoding the source by itself) and the encode-only floor: the same four
libx264 encodes fed with pictures decoded and scaled beforehand (untimed) into
raw files.

With --stages, the CPU seconds of each stage alone, one thread each: the video
decode, the audio decode with the loudness chain, the AAC encode, and per
rendition the scale and the H.264 encode. From them it estimates the wall time
of the ladder on more cores for the design that decodes per rendition, the
shared decode, and the ffmpeg command (see bench/README.md for the model).

Every run is a child process, so its CPU time and peak resident memory come
from the operating system (wait4), alike for all. For several processes
running side by side, peak memory is the sum of their peaks: an upper bound.
"""

import argparse
import dataclasses
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
CACHE = HERE / ".cache"

RENDITIONS = [
    ("1080p", 1920, 1080, "5000k"),
    ("720p", 1280, 720, "2500k"),
    ("480p", 854, 480, "1000k"),
    ("360p", 640, 360, "400k"),
]
LOUDNORM = "loudnorm=I=-14:LRA=11:TP=-1.5"
AUDIO_CHAIN = f"{LOUDNORM},aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo"
X264 = [
    "-c:v",
    "libx264",
    "-preset",
    "fast",
    "-g",
    "60",
    "-keyint_min",
    "60",
    "-sc_threshold",
    "0",
    "-pix_fmt",
    "yuv420p",
    "-r",
    "30",
]
AAC = ["-c:a", "aac", "-b:a", "128k", "-ar", "44100", "-ac", "2"]


@dataclasses.dataclass(frozen=True)
class Source:
    label: str
    width: int
    height: int
    seconds: int
    video: tuple  # ffmpeg encoder arguments

    def path(self, name):
        return CACHE / f"source-{name}-{self.seconds}s.mp4"


SOURCES = {
    "1080p": Source(
        "20 s 1920x1080 30 fps H.264 High, 8 Mbit/s",
        1920,
        1080,
        20,
        (
            "-c:v",
            "libx264",
            "-profile:v",
            "high",
            "-preset",
            "fast",
            "-b:v",
            "8M",
            "-maxrate",
            "12M",
            "-bufsize",
            "16M",
            "-g",
            "60",
        ),
    ),
    "2160p-h264": Source(
        "10 s 3840x2160 30 fps H.264 High, 40 Mbit/s",
        3840,
        2160,
        10,
        (
            "-c:v",
            "libx264",
            "-profile:v",
            "high",
            "-preset",
            "fast",
            "-b:v",
            "40M",
            "-maxrate",
            "50M",
            "-bufsize",
            "80M",
            "-g",
            "30",
        ),
    ),
    "2160p-hevc10": Source(
        "10 s 3840x2160 30 fps HEVC Main 10 (libx265)",
        3840,
        2160,
        10,
        (
            "-c:v",
            "libx265",
            "-profile:v",
            "main10",
            "-pix_fmt",
            "yuv420p10le",
            "-preset",
            "ultrafast",
            "-b:v",
            "20M",
            "-tag:v",
            "hvc1",
            "-x265-params",
            "log-level=error",
        ),
    ),
}


def hls(key_info):
    return [
        "-f",
        "hls",
        "-hls_time",
        "6",
        "-hls_list_size",
        "0",
        "-hls_key_info_file",
        str(key_info),
    ]


def make_source(source, path):
    """A camera-like clip: a detailed picture panned across with sensor noise,
    a moving inset with its own motion, and stereo sound whose loudness
    changes (pink noise in one ear, a tone in the other)."""
    if path.exists():
        return
    CACHE.mkdir(exist_ok=True)
    print(f"making the source {path.name} (once; cached in {CACHE})", flush=True)
    w, h = source.width, source.height
    scale = w / 1920
    video = (
        f"[0:v]trim=end_frame=1,loop=-1:1,fps=30,"
        f"crop={w}:{h}:x='(iw-ow)/2*(1+0.875*sin(t/3))':y='(ih-oh)/2*(1+0.889*cos(t/4))',"
        f"noise=alls=4:allf=t[bg];[1:v]scale={640 * scale:.0f}:{360 * scale:.0f}[inset];"
        f"[bg][inset]overlay=x='(W-w)/2+{500 * scale:.0f}*sin(t)':"
        f"y='(H-h)/2+{200 * scale:.0f}*cos(t*1.3)',format=yuv420p[v]"
    )
    audio = (
        "[2:a]tremolo=f=0.4:d=0.9[n];[3:a]volume=0.3,tremolo=f=0.25:d=0.7[s];"
        "[n][s]join=inputs=2:channel_layout=stereo[a]"
    )
    partial = path.with_suffix(".partial.mp4")
    subprocess.run(
        [
            "ffmpeg",
            "-v",
            "error",
            "-y",
            "-f",
            "lavfi",
            "-i",
            f"mandelbrot=s={w * 3 // 2}x{h * 3 // 2}:end_pts=1:maxiter=256",
            "-f",
            "lavfi",
            "-i",
            "testsrc2=s=640x360:r=30",
            "-f",
            "lavfi",
            "-i",
            "anoisesrc=c=pink:a=0.25:r=48000",
            "-f",
            "lavfi",
            "-i",
            "sine=f=220:r=48000",
            "-filter_complex",
            f"{video};{audio}",
            "-map",
            "[v]",
            "-map",
            "[a]",
            "-t",
            str(source.seconds),
            *source.video,
            "-c:a",
            "aac",
            "-b:a",
            "160k",
            "-ar",
            "48000",
            str(partial),
        ],
        check=True,
    )
    partial.rename(path)


def run_measured(commands):
    """Runs the commands at once; returns wall seconds, CPU seconds and peak MiB."""
    start = time.perf_counter()
    children = [subprocess.Popen(c, stdout=subprocess.DEVNULL) for c in commands]
    cpu = peak_kib = 0
    failed = []
    for child in children:
        _, status, usage = os.wait4(child.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            failed.append(" ".join(map(str, child.args)))
        cpu += usage.ru_utime + usage.ru_stime
        peak_kib += usage.ru_maxrss
    wall = time.perf_counter() - start
    if failed:
        sys.exit("failed: " + "\n".join(failed))
    return wall, cpu, peak_kib / 1024


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def corvane_run(source, out, key_info, build=None):
    code = (
        f"import corvane; corvane.hls_encoder({str(source)!r}, "
        f"{str(out / 'master.m3u8')!r}, key={str(key_info)!r})"
    )
    if build is not None:  # another build of the module, first on the path
        code = f"import sys; sys.path.insert(0, {str(build)!r})\n" + code
    return [[sys.executable, "-c", code]]


def ffmpeg_one_process(source, out, key_info):
    count = len(RENDITIONS)
    graph = (
        f"[0:v]split={count}"
        + "".join(f"[v{i}]" for i in range(count))
        + ";"
        + ";".join(f"[v{i}]scale={w}:{h}[s{i}]" for i, (_, w, h, _) in enumerate(RENDITIONS))
        + f";[0:a]{LOUDNORM},asplit={count}"
        + "".join(f"[a{i}]" for i in range(count))
    )
    command = ["ffmpeg", "-v", "error", "-y", "-i", str(source), "-filter_complex", graph]
    for i, (_, _, _, rate) in enumerate(RENDITIONS):
        command += ["-map", f"[s{i}]", "-map", f"[a{i}]", f"-b:v:{i}", rate]
    command += X264 + AAC
    streams = " ".join(f"v:{i},a:{i},name:{name}" for i, (name, *_) in enumerate(RENDITIONS))
    command += [
        *hls(key_info),
        "-hls_segment_filename",
        str(out / "%v_%03d.ts"),
        "-master_pl_name",
        "master.m3u8",
        "-var_stream_map",
        streams,
        str(out / "%v.m3u8"),
    ]
    return [command]


def ffmpeg_processes(source, out, key_info):
    return [
        [
            "ffmpeg",
            "-v",
            "error",
            "-y",
            "-i",
            str(source),
            "-vf",
            f"scale={w}:{h}",
            "-b:v",
            rate,
            *X264,
            "-af",
            LOUDNORM,
            *AAC,
            *hls(key_info),
            "-hls_segment_filename",
            str(out / f"{name}_%03d.ts"),
            str(out / f"{name}.m3u8"),
        ]
        for name, w, h, rate in RENDITIONS
    ]


def scaled_pictures(source, work):
    """Each rendition's pictures, decoded and scaled once, as raw yuv420p files."""
    raw = {}
    for name, w, h, _ in RENDITIONS:
        raw[name] = work / f"{name}.yuv"
        subprocess.run(
            [
                "ffmpeg",
                "-v",
                "error",
                "-y",
                "-i",
                str(source),
                "-an",
                "-vf",
                f"scale={w}:{h}",
                "-pix_fmt",
                "yuv420p",
                "-f",
                "rawvideo",
                str(raw[name]),
            ],
            check=True,
        )
    return raw


def encode_from_raw(raw, name, w, h, rate, threads=None):
    threads = (
        []
        if threads is None
        else ["-threads", str(threads), "-x264-params", f"threads={threads}:lookahead-threads=1"]
    )
    return [
        "ffmpeg",
        "-v",
        "error",
        "-y",
        "-f",
        "rawvideo",
        "-pix_fmt",
        "yuv420p",
        "-s",
        f"{w}x{h}",
        "-r",
        "30",
        "-i",
        str(raw[name]),
        "-b:v",
        rate,
        *X264,
        *threads,
        "-f",
        "null",
        "-",
    ]


def encode_floor(raw):
    return [encode_from_raw(raw, name, w, h, rate) for name, w, h, rate in RENDITIONS]


def stage_costs(source, raw):
    """CPU seconds of each stage run alone on one thread."""
    one = ["ffmpeg", "-v", "error", "-threads", "1", "-filter_threads", "1", "-i", str(source)]
    cpu = {}
    cpu["video decode"] = run_measured([one + ["-map", "0:v", "-f", "null", "-"]])[1]
    cpu["audio decode + loudness chain"] = run_measured(
        [one + ["-map", "0:a", "-af", AUDIO_CHAIN, "-f", "null", "-"]]
    )[1]
    cpu["AAC encode"] = (
        run_measured([one + ["-map", "0:a", "-af", AUDIO_CHAIN, *AAC, "-f", "null", "-"]])[1]
        - cpu["audio decode + loudness chain"]
    )
    for name, w, h, rate in RENDITIONS:
        scaled = run_measured(
            [
                one
                + [
                    "-map",
                    "0:v",
                    "-vf",
                    f"scale={w}:{h}:flags=bicubic",
                    "-pix_fmt",
                    "yuv420p",
                    "-f",
                    "null",
                    "-",
                ]
            ]
        )[1]
        cpu[f"{name} scale"] = max(scaled - cpu["video decode"], 0.0)
        cpu[f"{name} H.264 encode"] = run_measured(
            [encode_from_raw(raw, name, w, h, rate, threads=1)]
        )[1]
    return cpu


def x264_speedup(threads):
    """How much faster libx264's frame threads make one encode: close to linear
    for a few threads, with a tail each extra frame thread gains less on."""
    return threads if threads <= 2 else 2 + 0.8 * (threads - 2)


def encoder_threads(width, height, cores):
    """corvane's share of the cores for one rendition's libx264."""
    share = width * height / (1920 * 1080)
    return max(1, min(cores, round(share * cores)))


def chain(feeding, encode, threads):
    """Wall seconds of a thread that does `feeding` and hands each picture to a
    libx264 of `threads` threads: with one, the encode runs on that thread
    too; with more, on the encoder's own threads, beside it."""
    if threads == 1:
        return feeding + encode
    return max(feeding, encode / x264_speedup(threads))


def estimated_wall(cpu, cores):
    """Estimated wall seconds of the three designs on `cores` cores: the larger
    of the work shared out over every core and the longest chain of work that
    has to run in order on one thread (see bench/README.md)."""
    sizes = {name: (w, h) for name, w, h, _ in RENDITIONS}
    decode, aac = cpu["video decode"], cpu["AAC encode"]
    audio = cpu["audio decode + loudness chain"]
    scale = {n: cpu[f"{n} scale"] for n in sizes}
    encode = {n: cpu[f"{n} H.264 encode"] for n in sizes}
    ours = {n: encoder_threads(*sizes[n], cores) for n in sizes}
    frame_threads = min(cores + 1, 16)  # the decoder's own pick
    parallel_decode = decode / min(frame_threads, cores)

    # Each rendition reads, decodes (one thread), runs the sound and scales on
    # its own thread.
    old_total = sum(decode + audio + aac + scale[n] + encode[n] for n in sizes)
    old_chain = max(chain(decode + audio + aac + scale[n], encode[n], ours[n]) for n in sizes)
    # One source thread (sound, and the decoder's frame threads), then each
    # rendition scales and encodes on its own thread.
    new_total = decode + audio + aac + sum(scale[n] + encode[n] for n in sizes)
    new_chain = max(
        audio + aac, parallel_decode, max(chain(scale[n], encode[n], ours[n]) for n in sizes)
    )
    # ffmpeg 5.1's command line: one main thread demuxes, filters (every scale
    # and the sound) and runs the four AAC encoders; the decoder and each
    # libx264 (its pick: 1.5 threads per core) have threads of their own.
    ffmpeg_total = decode + audio + 4 * aac + sum(scale[n] + encode[n] for n in sizes)
    ffmpeg_chain = max(
        parallel_decode,
        audio + 4 * aac + sum(scale.values()),
        max(encode[n] / x264_speedup(int(1.5 * cores)) for n in sizes),
    )
    return {
        "decode per rendition": max(old_total / cores, old_chain),
        "shared decode": max(new_total / cores, new_chain),
        "ffmpeg, one process": max(ffmpeg_total / cores, ffmpeg_chain),
    }


def print_table(rows, header):
    print(f"{header[0]:30} " + " ".join(f"{h:>9}" for h in header[1:]))
    for label, *values in rows:
        print(f"{label:30} " + " ".join(f"{v:9.2f}" for v in values))


def bench_source(name, source, args, work, key_info):
    path = source.path(name)
    make_source(source, path)
    peers = {"corvane": corvane_run, "ffmpeg, one process": ffmpeg_one_process}
    if args.before:
        peers["corvane before"] = lambda *a: corvane_run(*a, build=args.before)
    if args.more:
        peers["ffmpeg, four processes"] = ffmpeg_processes
    figures = {peer: [] for peer in peers}
    for run in range(args.runs):
        for peer, commands in peers.items():
            out = fresh(work / "out")
            figures[peer].append(run_measured(commands(path, out, key_info)))
            wall, cpu, mem = figures[peer][-1]
            print(
                f"  run {run + 1} {peer:24} {wall:7.2f} s wall {cpu:7.2f} s cpu {mem:6.0f} MiB",
                flush=True,
            )
    shutil.rmtree(work / "out", ignore_errors=True)
    raw = scaled_pictures(path, work) if args.more or args.stages else None
    if args.more:
        figures["encode-only floor"] = [run_measured(encode_floor(raw)) for _ in range(args.runs)]

    median = {
        peer: tuple(statistics.median(f[i] for f in runs) for i in range(3))
        for peer, runs in figures.items()
    }
    print(
        f"\n{source.label} into {len(RENDITIONS)} renditions, {os.cpu_count()} cores, "
        f"median of {args.runs} runs"
    )
    print_table(
        [(peer, *values) for peer, values in median.items()], ("run", "wall s", "cpu s", "peak MiB")
    )
    ours = median["corvane"]
    print()
    print_table(
        [
            (f"corvane / {peer}", *(o / t for o, t in zip(ours, theirs)))
            for peer, theirs in list(median.items())[1:]
        ],
        ("ratio", "wall", "cpu", "memory"),
    )
    if args.stages:
        cpu = stage_costs(path, raw)
        print("\nCPU seconds of each stage alone, one thread:")
        for stage, seconds in cpu.items():
            print(f"  {stage:34} {seconds:7.2f}")
        print("\nestimated wall seconds on more cores:")
        estimates = {cores: estimated_wall(cpu, cores) for cores in (2, 8, 16)}
        designs = list(estimates[2])
        print_table(
            [(design, *(estimates[c][design] for c in estimates)) for design in designs],
            ("design", *(f"{c} cores" for c in estimates)),
        )
    for raw_file in (raw or {}).values():
        raw_file.unlink()
    print(flush=True)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--sources", default=",".join(SOURCES), help=f"comma-separated, of {', '.join(SOURCES)}"
    )
    parser.add_argument("--runs", type=int, default=3, help="timed runs of each peer")
    parser.add_argument(
        "--more", action="store_true", help="also four ffmpeg processes and the encode-only floor"
    )
    parser.add_argument(
        "--stages", action="store_true", help="also time each stage alone and estimate more cores"
    )
    parser.add_argument(
        "--before",
        type=pathlib.Path,
        help="a folder holding another build of the module, timed as a peer",
    )
    args = parser.parse_args()
    names = [n for n in args.sources.split(",") if n]
    unknown = [n for n in names if n not in SOURCES]
    if unknown:
        parser.error(f"unknown sources: {unknown}")

    work = pathlib.Path(tempfile.mkdtemp(prefix="corvane-bench-"))
    try:
        key_info = work / "enc.keyinfo"
        (work / "enc.key").write_bytes(os.urandom(16))
        key_info.write_text(f"enc.key\n{work / 'enc.key'}\n{os.urandom(16).hex()}\n")
        for name in names:
            bench_source(name, SOURCES[name], args, work, key_info)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
