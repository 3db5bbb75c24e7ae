"""Speed and memory of one ladder, against the ffmpeg CLI doing the same work
in the same run.

corvane transcodes each rendition on a thread of its own, each decoding the
source by itself. The first peer is the same shape: one ffmpeg process per
rendition, all at once. The second decodes the source once and splits it, the
way a hand-written ffmpeg command would. Every run is a child process, so its
CPU time and peak memory come from the operating system, alike for all.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

RENDITIONS = [("1080p", 1920, 1080, "5000k"), ("720p", 1280, 720, "2500k"),
              ("480p", 854, 480, "1000k"), ("360p", 640, 360, "400k")]
AUDIO_CHAIN = ("loudnorm=I=-14:LRA=11:TP=-1.5,"
               "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo")
VIDEO_OPTIONS = ["-c:v", "libx264", "-preset", "fast", "-g", "60", "-keyint_min", "60",
                 "-sc_threshold", "0", "-pix_fmt", "yuv420p", "-r", "30"]
AUDIO_OPTIONS = ["-c:a", "aac", "-b:a", "128k"]


def hls_options(folder, name, key_info):
    return ["-f", "hls", "-hls_time", "6", "-hls_list_size", "0",
            "-hls_segment_filename", str(folder / f"{name}_%03d.ts"),
            "-hls_key_info_file", str(key_info), str(folder / f"{name}.m3u8")]


def run_measured(commands):
    """Runs the commands at once; returns wall seconds, CPU seconds and peak MiB.

    Peak memory is the sum of each process's own peak: exact for one process,
    an upper bound for several running side by side.
    """
    start = time.perf_counter()
    children = [subprocess.Popen(c, stdout=subprocess.DEVNULL) for c in commands]
    cpu = peak_kib = 0
    for child in children:
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            sys.exit(f"failed: {' '.join(map(str, child.args))}")
        cpu += usage.ru_utime + usage.ru_stime
        peak_kib += usage.ru_maxrss
    return time.perf_counter() - start, cpu, peak_kib / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=int, default=10, help="length of the sample")
    args = parser.parse_args()

    work = pathlib.Path(tempfile.mkdtemp(prefix="corvane-bench-"))
    try:
        sample = work / "sample.mp4"
        subprocess.run(["ffmpeg", "-v", "error", "-y",
                        "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                        "-t", str(args.seconds), "-c:v", "libx264", "-pix_fmt", "yuv420p",
                        "-c:a", "aac", "-shortest", str(sample)], check=True)
        key_info = work / "enc.keyinfo"
        (work / "enc.key").write_bytes(os.urandom(16))
        key_info.write_text(f"enc.key\n{work / 'enc.key'}\n{os.urandom(16).hex()}\n")

        results = {}
        out = work / "corvane"
        out.mkdir()
        code = (f"import corvane; corvane.hls_encoder({str(sample)!r}, "
                f"{str(out / 'master.m3u8')!r}, key={str(key_info)!r})")
        results["corvane (thread per rendition)"] = run_measured([[sys.executable, "-c", code]])

        out = work / "ffmpeg-each"
        out.mkdir()
        each = [["ffmpeg", "-v", "error", "-y", "-i", str(sample),
                 "-vf", f"scale={w}:{h}:flags=bicubic", "-b:v", rate, *VIDEO_OPTIONS,
                 "-af", AUDIO_CHAIN, *AUDIO_OPTIONS, *hls_options(out, name, key_info)]
                for name, w, h, rate in RENDITIONS]
        results["ffmpeg, process per rendition"] = run_measured(each)

        out = work / "ffmpeg-split"
        out.mkdir()
        graph = (f"[0:v]split={len(RENDITIONS)}" + "".join(f"[v{i}]" for i in range(len(RENDITIONS)))
                 + ";" + ";".join(f"[v{i}]scale={w}:{h}:flags=bicubic[s{i}]"
                                  for i, (_, w, h, _) in enumerate(RENDITIONS))
                 + f";[0:a]{AUDIO_CHAIN},asplit={len(RENDITIONS)}"
                 + "".join(f"[a{i}]" for i in range(len(RENDITIONS))))
        split = ["ffmpeg", "-v", "error", "-y", "-i", str(sample), "-filter_complex", graph]
        for i, (name, _, _, rate) in enumerate(RENDITIONS):
            split += ["-map", f"[s{i}]", "-map", f"[a{i}]", "-b:v", rate, *VIDEO_OPTIONS,
                      *AUDIO_OPTIONS, *hls_options(out, name, key_info)]
        results["ffmpeg, one process, split"] = run_measured([split])

        base_wall, base_cpu, base_mem = results["corvane (thread per rendition)"]
        print(f"{args.seconds} s 1280x720 sample into 4 renditions, {os.cpu_count()} cores")
        print(f"{'run':34} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9}"
              f" {'wall vs corvane':>16} {'cpu vs corvane':>15}")
        for name, (wall, cpu, mem) in results.items():
            print(f"{name:34} {wall:8.2f} {cpu:8.2f} {mem:9.0f}"
                  f" {wall / base_wall:16.2f} {cpu / base_cpu:15.2f}")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
