"""Prints requirements-dev.txt with the project's own build and runtime
dependencies (batch extra included) pinned at the lower bounds of their ranges
in pyproject.toml: what one root of `make matrix` installs, so the bounds that
pyproject.toml claims are the ones tested.

Every dependency must have a lower bound (`>=`); a dependency without one is an
error, not a silent pick of the newest.
"""

import re
import sys
import tomllib
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[2]
# name, then the version after `>=`, in a requirement such as "dask>=2024.12.1,<2027".
LOWER_BOUND = re.compile(r"^\s*([A-Za-z0-9_.\-]+)(?:\[[^\]]*\])?\s*[^;]*?>=\s*([^,;\s]+)")


def normalized(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def lower_bounds(pyproject: dict[str, Any]) -> dict[str, str]:
    """{normalized name: lower bound} of every build and runtime dependency."""
    project = pyproject["project"]
    requirements = [*pyproject["build-system"]["requires"], *project["dependencies"]]
    for extra in project.get("optional-dependencies", {}).values():
        requirements += extra
    bounds = {}
    for requirement in requirements:
        found = LOWER_BOUND.match(requirement)
        if not found:
            sys.exit(f"{requirement!r} in pyproject.toml has no lower bound (>=) to test")
        bounds[normalized(found[1])] = found[2]
    return bounds


def main() -> None:
    bounds = lower_bounds(tomllib.loads((ROOT / "pyproject.toml").read_text()))
    for line in (ROOT / "requirements-dev.txt").read_text().splitlines():
        pinned = re.match(r"^\s*([A-Za-z0-9_.\-]+)\s*==", line)
        if not (pinned and normalized(pinned[1]) in bounds):
            print(line)
    for name, version in bounds.items():
        print(f"{name}=={version}")


if __name__ == "__main__":
    main()
