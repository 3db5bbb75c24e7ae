"""Speed and memory of corvane's default four-rendition ladder, against the
ffmpeg command line making the same ladder, in one invocation.

Peers, timed in turn (A B C, A B C, ...) so that a machine that slows down
part way hurts them all alike:

- corvane: `hls_encoder` with its defaults, in a child Python process;
- ffmpeg, one process: decodes once, splits and scales to four libx264
  encoders, loudnorm once then asplit to four AAC encoders, hls muxer with
  var_stream_map and a master playlist;
- ffmpeg, four processes: one process per rendition, all at once, each
  decoding the source by itself as corvane's threads do.

Then the encode-only floor: the same four libx264 encodes, all at once, fed
with pictures decoded and scaled beforehand (untimed) into raw files. No
ladder builder can go below it on this machine.

Last, the stages every corvane worker repeats because it decodes the source
by itself: the video decode (one thread, as in a worker) and the audio decode
with the loudness chain, each timed alone; three times their sum is what the
four renditions sharing one decode would save.

Every run is a child process, so its CPU time and peak resident memory come
from the operating system (wait4), alike for all. For several processes
running side by side, peak memory is the sum of their peaks: an upper bound.
"""

import argparse
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

RENDITIONS = [("1080p", 1920, 1080, "5000k"), ("720p", 1280, 720, "2500k"),
              ("480p", 854, 480, "1000k"), ("360p", 640, 360, "400k")]
LOUDNORM = "loudnorm=I=-14:LRA=11:TP=-1.5"
X264 = ["-c:v", "libx264", "-preset", "fast", "-g", "60", "-keyint_min", "60",
        "-sc_threshold", "0", "-pix_fmt", "yuv420p", "-r", "30"]
AAC = ["-c:a", "aac", "-b:a", "128k", "-ar", "44100", "-ac", "2"]


def hls(key_info):
    return ["-f", "hls", "-hls_time", "6", "-hls_list_size", "0",
            "-hls_key_info_file", str(key_info)]


def make_source(seconds, path):
    """A camera-like clip: a detailed picture panned across with sensor noise,
    a moving inset with its own motion, and stereo sound whose loudness
    changes (pink noise in one ear, a tone in the other)."""
    if path.exists():
        return
    CACHE.mkdir(exist_ok=True)
    print(f"making the {seconds} s source (once; cached in {CACHE})", flush=True)
    video = ("[0:v]trim=end_frame=1,loop=-1:1,fps=30,"
             "crop=1920:1080:x='480+420*sin(t/3)':y='270+240*cos(t/4)',noise=alls=4:allf=t[bg];"
             "[bg][1:v]overlay=x='(W-w)/2+500*sin(t)':y='(H-h)/2+200*cos(t*1.3)',"
             "format=yuv420p[v]")
    audio = ("[2:a]tremolo=f=0.4:d=0.9[n];[3:a]volume=0.3,tremolo=f=0.25:d=0.7[s];"
             "[n][s]join=inputs=2:channel_layout=stereo[a]")
    partial = path.with_suffix(".partial.mp4")
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y",
         "-f", "lavfi", "-i", "mandelbrot=s=2880x1620:end_pts=1:maxiter=256",
         "-f", "lavfi", "-i", "testsrc2=s=640x360:r=30",
         "-f", "lavfi", "-i", "anoisesrc=c=pink:a=0.25:r=48000",
         "-f", "lavfi", "-i", "sine=f=220:r=48000",
         "-filter_complex", f"{video};{audio}", "-map", "[v]", "-map", "[a]",
         "-t", str(seconds), "-c:v", "libx264", "-profile:v", "high", "-preset", "fast",
         "-b:v", "8M", "-maxrate", "12M", "-bufsize", "16M", "-g", "60",
         "-c:a", "aac", "-b:a", "160k", "-ar", "48000", str(partial)], check=True)
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


def corvane_run(source, out, key_info):
    code = (f"import corvane; corvane.hls_encoder({str(source)!r}, "
            f"{str(out / 'master.m3u8')!r}, key={str(key_info)!r})")
    return [[sys.executable, "-c", code]]


def ffmpeg_one_process(source, out, key_info):
    count = len(RENDITIONS)
    graph = (f"[0:v]split={count}" + "".join(f"[v{i}]" for i in range(count)) + ";"
             + ";".join(f"[v{i}]scale={w}:{h}[s{i}]" for i, (_, w, h, _) in enumerate(RENDITIONS))
             + f";[0:a]{LOUDNORM},asplit={count}" + "".join(f"[a{i}]" for i in range(count)))
    command = ["ffmpeg", "-v", "error", "-y", "-i", str(source), "-filter_complex", graph]
    for i, (_, _, _, rate) in enumerate(RENDITIONS):
        command += ["-map", f"[s{i}]", "-map", f"[a{i}]", f"-b:v:{i}", rate]
    command += X264 + AAC
    streams = " ".join(f"v:{i},a:{i},name:{name}" for i, (name, *_) in enumerate(RENDITIONS))
    command += [*hls(key_info), "-hls_segment_filename", str(out / "%v_%03d.ts"),
                "-master_pl_name", "master.m3u8", "-var_stream_map", streams,
                str(out / "%v.m3u8")]
    return [command]


def ffmpeg_processes(source, out, key_info):
    return [["ffmpeg", "-v", "error", "-y", "-i", str(source),
             "-vf", f"scale={w}:{h}", "-b:v", rate, *X264, "-af", LOUDNORM, *AAC,
             *hls(key_info), "-hls_segment_filename", str(out / f"{name}_%03d.ts"),
             str(out / f"{name}.m3u8")]
            for name, w, h, rate in RENDITIONS]


def decoded_pictures(source, work):
    """Each rendition's pictures, decoded and scaled once, as raw yuv420p files."""
    raw = {}
    for name, w, h, _ in RENDITIONS:
        raw[name] = work / f"{name}.yuv"
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(source), "-an",
                        "-vf", f"scale={w}:{h}", "-pix_fmt", "yuv420p", "-f", "rawvideo",
                        str(raw[name])], check=True)
    return raw


def encode_floor(raw):
    return [["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p",
             "-s", f"{w}x{h}", "-r", "30", "-i", str(raw[name]), "-b:v", rate, *X264,
             "-f", "null", "-"]
            for name, w, h, rate in RENDITIONS]


def shared_stages(source):
    """The CPU seconds of the stages a shared decode would do once instead of
    once per rendition."""
    video = ["ffmpeg", "-v", "error", "-threads", "1", "-i", str(source), "-map", "0:v",
             "-f", "null", "-"]
    audio = ["ffmpeg", "-v", "error", "-i", str(source), "-map", "0:a", "-af",
             f"{LOUDNORM},aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo",
             "-f", "null", "-"]
    return {"video decode": run_measured([video])[1],
            "audio decode and loudness chain": run_measured([audio])[1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=20, help="length of the source")
    parser.add_argument("--runs", type=int, default=3, help="timed runs of each peer")
    parser.add_argument("--no-floor", action="store_true", help="skip the encode-only floor")
    args = parser.parse_args()

    source = CACHE / f"source-1080p30-{args.seconds}s.mp4"
    make_source(args.seconds, source)
    work = pathlib.Path(tempfile.mkdtemp(prefix="corvane-bench-"))
    try:
        key_info = work / "enc.keyinfo"
        (work / "enc.key").write_bytes(os.urandom(16))
        key_info.write_text(f"enc.key\n{work / 'enc.key'}\n{os.urandom(16).hex()}\n")

        peers = {"corvane": corvane_run, "ffmpeg, one process": ffmpeg_one_process,
                 "ffmpeg, four processes": ffmpeg_processes}
        figures = {name: [] for name in peers}
        for run in range(args.runs):
            for name, commands in peers.items():
                out = fresh(work / "out")
                figures[name].append(run_measured(commands(source, out, key_info)))
                wall, cpu, mem = figures[name][-1]
                print(f"  run {run + 1} {name:24} {wall:7.2f} s wall {cpu:7.2f} s cpu"
                      f" {mem:6.0f} MiB", flush=True)
        if not args.no_floor:
            shutil.rmtree(work / "out", ignore_errors=True)
            raw = decoded_pictures(source, work)
            figures["encode-only floor"] = []
            for _ in range(args.runs):
                figures["encode-only floor"].append(run_measured(encode_floor(raw)))

        stages = shared_stages(source)
        median = {name: tuple(statistics.median(f[i] for f in runs) for i in range(3))
                  for name, runs in figures.items()}
        print(f"\n{args.seconds} s 1920x1080 30 fps H.264 source into "
              f"{len(RENDITIONS)} renditions, {os.cpu_count()} cores, "
              f"median of {args.runs} runs")
        print(f"{'run':26} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9}")
        for name, (wall, cpu, mem) in median.items():
            print(f"{name:26} {wall:8.2f} {cpu:8.2f} {mem:9.0f}")
        ours = median["corvane"]
        print(f"\n{'ratio':36} {'wall':>6} {'cpu':>6} {'memory':>7}")
        for name in list(median)[1:]:
            theirs = median[name]
            print(f"{'corvane / ' + name:36} {ours[0] / theirs[0]:6.2f}"
                  f" {ours[1] / theirs[1]:6.2f} {ours[2] / theirs[2]:7.2f}")
        print("\nstages each rendition repeats (cpu s, once):")
        for name, cpu in stages.items():
            print(f"  {name:34} {cpu:6.2f}")
        saving = (len(RENDITIONS) - 1) * sum(stages.values())
        print(f"one shared decode would save about {saving:.1f} cpu s, "
              f"{saving / ours[1]:.0%} of corvane's")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
