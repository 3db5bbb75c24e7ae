"""Fails when a C++ include of the engine runs upward.

Each folder of engine/ is one floor or stage and may include only itself and
the floors below it: the ground floor nothing else, the source stage and the
rendition worker neither each other nor the ladder. Tests in tests/cpp/ sit on
top and may include anything.
"""

import re
import sys
from pathlib import Path

ENGINE = Path(__file__).resolve().parent.parent / "engine"
MAY_INCLUDE = {
    "ffmpeg": set(),
    "product": {"ffmpeg"},
    "feed": {"ffmpeg", "product"},
    "source": {"ffmpeg", "product", "feed"},
    "rendition": {"ffmpeg", "product", "feed"},
    "ladder": {"ffmpeg", "product", "feed", "source", "rendition"},
    "binding": {"ffmpeg", "product", "feed", "source", "rendition", "ladder"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/', re.MULTILINE)

folders = {path.name for path in ENGINE.iterdir() if path.is_dir()}
unknown = [f"engine/{name}/ is not a known floor" for name in sorted(folders - set(MAY_INCLUDE))]
upward = [
    f"{path.relative_to(ENGINE.parent)} includes {folder}/"
    for stage, allowed in MAY_INCLUDE.items()
    for path in sorted((ENGINE / stage).glob("*.[ch]*"))
    for folder in INCLUDE.findall(path.read_text())
    if folder != stage and folder not in allowed
]
print("\n".join(unknown + upward) or "every include runs downward")
sys.exit(1 if unknown or upward else 0)
