"""Fails when a C++ include runs upward in the tree.

Each folder is one stage or floor and may include only itself and the folders
below it: the ground floor nothing else, the source stage and the rendition
worker neither each other nor the ladder. Tests in tests/cpp/ sit on top and
may include anything.
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MAY_INCLUDE = {
    "ffmpeg": set(),
    "feed": {"ffmpeg"},
    "source": {"ffmpeg", "feed"},
    "rendition": {"ffmpeg", "feed"},
    "ladder": {"ffmpeg", "feed", "source", "rendition"},
    "binding": {"ffmpeg", "feed", "source", "rendition", "ladder"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/', re.MULTILINE)

upward = [
    f"{path.relative_to(ROOT)} includes {folder}/"
    for stage, allowed in MAY_INCLUDE.items()
    for path in sorted((ROOT / stage).glob("*.[ch]*"))
    for folder in INCLUDE.findall(path.read_text())
    if folder != stage and folder not in allowed
]
print("\n".join(upward) or "every include runs downward")
sys.exit(1 if upward else 0)
