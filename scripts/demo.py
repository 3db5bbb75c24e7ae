"""Makes a short sample clip and an AES-128 key, then transcodes the clip into
an encrypted HLS ladder in demo/ladder/."""

import os
import pathlib
import subprocess
import sys

import corvane

DEMO = pathlib.Path("demo")
LADDER = DEMO / "ladder"


def make_sample(path: pathlib.Path) -> None:
    subprocess.run(
        [
            "ffmpeg",
            "-v",
            "error",
            "-y",
            "-f",
            "lavfi",
            "-i",
            "testsrc2=size=1280x720:rate=30",
            "-f",
            "lavfi",
            "-i",
            "sine=frequency=440:sample_rate=48000",
            "-t",
            "8",
            "-c:v",
            "libx264",
            "-pix_fmt",
            "yuv420p",
            "-c:a",
            "aac",
            "-shortest",
            str(path),
        ],
        check=True,
    )


def make_key(key_path: pathlib.Path, key_info_path: pathlib.Path) -> None:
    # The key info file: the key's URI as players will fetch it (beside the
    # playlists) and the key file corvane reads. No IV line: every segment
    # then gets a random IV of its own.
    key_path.write_bytes(os.urandom(16))
    key_info_path.write_text(f"{key_path.name}\n{key_path.resolve()}\n")


def main() -> int:
    LADDER.mkdir(parents=True, exist_ok=True)
    sample = DEMO / "sample.mp4"
    key_info = DEMO / "enc.keyinfo"
    make_sample(sample)
    make_key(LADDER / "enc.key", key_info)
    corvane.hls_encoder(str(sample), str(LADDER / "master.m3u8"), key=str(key_info))
    print(f"ladder written to {LADDER}/master.m3u8:")
    print((LADDER / "master.m3u8").read_text(), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
