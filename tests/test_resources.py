"""Memory, file descriptors and threads across many calls in one process, and two
Python threads calling at once."""

import json
import os
import subprocess
import sys
import threading

from conftest import (
    SIZES,
    KeyInfo,
    concatenate,
    decrypt_rendition,
    encode,
    parse_master,
    parse_media_playlist,
    probe,
    stream_of,
)
from fuzzing import first_packet_offset

# Runs every kind of call, success and failure, again and again in one process,
# and prints what the process holds after each round: resident memory and the
# heap memory malloc has handed out and not had back (KiB), open file
# descriptors and threads.
CHURN = r"""
import ctypes, gc, json, os, sys
import corvane

cases = json.loads(sys.argv[1])
rounds = int(sys.argv[2])

class mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split())]

libc = ctypes.CDLL("libc.so.6")
libc.mallinfo2.restype = mallinfo2

def held():
    gc.collect()
    # Hands the allocator's free pages back, so what stays resident is what is held.
    libc.malloc_trim(0)
    with open("/proc/self/status") as status:
        rss = next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))
    heap = libc.mallinfo2()
    return {"rss_kib": rss, "heap_kib": (heap.uordblks + heap.hblkhd) // 1024,
            "fds": len(os.listdir("/proc/self/fd")),
            "threads": len(os.listdir("/proc/self/task"))}

seen = []
for round_ in range(rounds):
    for name, case in cases.items():
        out = os.path.join(case["folder"], "master.m3u8")
        for leftover in os.scandir(case["folder"]):
            if leftover.is_file():
                os.remove(leftover.path)
        try:
            corvane.hls_encoder(*case["args"][:1], case.get("output", out), **case["kwargs"])
            outcome = "completed"
        except Exception as error:
            outcome = type(error).__name__
        if outcome != case["expect"]:
            sys.exit(f"{name}: expected {case['expect']}, got {outcome}")
    seen.append(held())
print(json.dumps(seen))
"""

ROUNDS = 7  # the first warms up; 3 early and 3 late rounds of every case follow


def test_repeated_calls_keep_memory_descriptors_and_threads_flat(clip, garbage, keyinfo, tmp_path):
    bad_key = tmp_path / "bad.keyinfo"
    bad_key.write_text(f"k.bin\n{tmp_path / 'no-such.key'}\n")
    headers_only = tmp_path / "headers_only.webm"
    webm = clip("webm")
    headers_only.write_bytes(webm.read_bytes()[: first_packet_offset(webm)])  # fails midway
    small = {"resolution": ["360p"], "bitrate": [200000], "key": ""}
    cases = {
        "success": (clip("mp4"), {**small, "key": str(keyinfo.path)}, "completed"),
        "two-renditions": (clip("mp4"), {**small, "resolution": ["360p", "480p"]}, "completed"),
        "missing-input": (tmp_path / "absent.mp4", small, "FileNotFoundError"),
        "garbage": (garbage, small, "ValueError"),
        "audio-only": (clip("audio_only"), small, "ValueError"),
        "missing-key-info": (
            clip("mp4"),
            {**small, "key": str(tmp_path / "no.keyinfo")},
            "FileNotFoundError",
        ),
        "unreadable-key": (clip("mp4"), {**small, "key": str(bad_key)}, "RuntimeError"),
        "no-rendition": (clip("mp4"), {**small, "resolution": ["540p"]}, "ValueError"),
        "bad-argument": (clip("mp4"), {**small, "bitrate": ["x"]}, "TypeError"),
        "no-picture": (headers_only, small, "ValueError"),
        "blocked-segment": (clip("mp4"), small, "RuntimeError"),
        "master-is-folder": (clip("mp4"), small, "IsADirectoryError"),
        "missing-folder": (clip("mp4"), small, "FileNotFoundError"),
    }
    calls = {}
    for name, (source, kwargs, expect) in cases.items():
        folder = tmp_path / name
        folder.mkdir()
        calls[name] = {
            "args": [str(source)],
            "kwargs": kwargs,
            "expect": expect,
            "folder": str(folder),
        }
    (tmp_path / "blocked-segment" / "360p_000.ts").mkdir()
    (tmp_path / "master-is-folder" / "master.m3u8").mkdir()
    calls["missing-folder"]["output"] = str(tmp_path / "not-made" / "master.m3u8")

    # Fixed thresholds stop glibc from raising them after large frees, which
    # lets freed pictures linger in the arenas of ended threads for a while and
    # makes resident memory swing by tens of MiB from one round to the next.
    # One arena: a call runs a dozen threads at once (the source stage, its
    # decoder's threads, the renditions and their encoders' threads), and which
    # of many arenas keeps which free chunks would swing it by MiBs too.
    env = dict(
        os.environ,
        MALLOC_MMAP_THRESHOLD_="131072",
        MALLOC_TRIM_THRESHOLD_="131072",
        MALLOC_ARENA_MAX="1",
    )
    done = subprocess.run(
        [sys.executable, "-c", CHURN, json.dumps(calls), str(ROUNDS)],
        capture_output=True,
        text=True,
        timeout=600,
        env=env,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    warm, *later = json.loads(done.stdout)
    assert [h["fds"] for h in later] == [warm["fds"]] * len(later)
    # No thread outlives a call; ThreadSanitizer keeps one of its own.
    resting = 2 if "libtsan" in os.environ.get("LD_PRELOAD", "") else 1
    assert [h["threads"] for h in later] == [resting] * len(later)
    if "libasan" in os.environ.get("LD_PRELOAD", "") or resting == 2:
        return  # sanitizers' allocators keep freed memory on purpose; LeakSanitizer checks leaks
    # A leaked picture, frame pool or codec context is 100 KiB or more: 39 calls
    # apart, the late rounds would sit 4 MiB and more above the early ones. The
    # least of 3 rounds is compared, as a leak raises every round.
    figures = f"per round: {[warm, *later]}"
    for key, limit_kib in (("rss_kib", 2048), ("heap_kib", 256)):
        early = min(h[key] for h in later[:3])
        late = min(h[key] for h in later[3:])
        assert late - early < limit_kib, f"{key} grew {late - early} KiB; {figures}"


def test_two_python_threads_each_get_a_whole_ladder(clip, tmp_path):
    # The call holds the interpreter lock, so the second waits for the first;
    # both must still end with whole, separate ladders.
    jobs = {"a": (clip("mp4"), ["360p", "480p"]), "b": (clip("portrait"), ["360p"])}
    keys = {name: KeyInfo(tmp_path / f"key_{name}", with_iv=False) for name in jobs}
    errors = []
    start = threading.Barrier(len(jobs))

    def work(name):
        source, resolution = jobs[name]
        try:
            start.wait()
            encode(source, tmp_path / name, resolution=resolution, key=keys[name].path)
        except Exception as error:  # reported below, on the main thread
            errors.append((name, error))

    threads = [threading.Thread(target=work, args=(name,)) for name in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(t.is_alive() for t in threads)
    assert errors == []

    for name, (_, resolution) in jobs.items():
        out = tmp_path / name
        assert [uri for _, uri in parse_master(out / "master.m3u8")] == [
            f"{r}.m3u8" for r in resolution
        ]
        portrait = name == "b"
        for rendition in resolution:
            playlist = parse_media_playlist(out / f"{rendition}.m3u8")
            assert playlist["endlist"]
            # Each ladder is encrypted with its own key: the other's would not decrypt it.
            clear = decrypt_rendition(
                out / f"{rendition}.m3u8", keys[name].key, tmp_path / f"clear_{name}_{rendition}"
            )
            joined = concatenate(clear, tmp_path / f"{name}_{rendition}.ts")
            probed = probe(joined)
            video = stream_of(probed, "video")
            width, height = SIZES[rendition]
            assert (video["width"], video["height"]) == (
                (height, width) if portrait else (width, height)
            )
            assert abs(float(probed["format"]["duration"]) - 2) < 0.2
            assert stream_of(probed, "audio")["codec_name"] == "aac"
