"""Builds the components the self-contained wheel bundles, from Debian's source packages.

Reads packaging/wheel/components.toml, fetches each component's exact Debian source
package with apt (from the suites that file names, on the archive the host's
apt already uses), and builds it into one prefix of static, position-independent
libraries. The prefix is cached outside the clone, keyed by the versions and
configure lines, so a build runs only when they change:

    ${CORVANE_CACHE:-~/.cache/corvane}/components/<key>/
        prefix/         lib/*.a, lib/pkgconfig, include
        sources/        the Debian source packages as apt fetched them
        licences/       each component's licence files
        components.json what was built, from what, configured how: written
                        last, so a folder without it is an unfinished build

Prints the cache folder's path on its last line.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parents[2]
COMPONENTS = REPO / "packaging" / "wheel" / "components.toml"
# Raise when the way components are built changes in a way the data file does
# not show, so that cached builds are not reused.
BUILD_RECIPE = 1


def cache_root() -> Path:
    default = Path.home() / ".cache" / "corvane"
    return Path(os.environ.get("CORVANE_CACHE", default))


def run(
    args: list[str], cwd: Path, env: dict[str, str] | None = None, log: Path | None = None
) -> None:
    """Runs a build step; on failure, shows the end of its log."""
    print("+", " ".join(args), file=sys.stderr, flush=True)
    if log is None:
        subprocess.run(args, cwd=cwd, env=env, check=True)
        return
    with log.open("a") as out:
        done = subprocess.run(args, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        tail = log.read_text(errors="replace").splitlines()[-40:]
        sys.exit("\n".join(tail) + f"\nfailed ({done.returncode}): {' '.join(args)}\nlog: {log}")


def source_policy_formats(policy: Path) -> list[str]:
    """The names in `local_source_formats`: its string literals, joined, split at commas."""
    text = re.sub(r"//[^\n]*", "", policy.read_text())
    found = re.search(r"local_source_formats\s*=(.*?);", text, re.S)
    if found is None:
        sys.exit(f"no local_source_formats in {policy}")
    joined = "".join(re.findall(r'"([^"]*)"', found.group(1)))
    return [name for name in joined.split(",") if name]


def demuxers_named(ffmpeg_source: Path, names: list[str]) -> list[str]:
    """FFmpeg's configure names of the demuxers that answer to `names`.

    A demuxer answers to any of its comma-separated names, as av_match_list
    matches them ("mov" is the demuxer named "mov,mp4,m4a,3gp,3g2,mj2"; "mpeg"
    is configure's mpegps).
    """
    answers: dict[str, str] = {}
    definition = re.compile(r"FFInputFormat\s+ff_(\w+)_demuxer\s*=\s*\{(.*?)\n\};", re.S)
    # Raw elementary streams' demuxers are made by a macro, named by its first argument.
    by_macro = re.compile(r"^FF_DEF_RAW\w*_DEMUXER\w*\(\s*(\w+)\s*,", re.M)
    for source in sorted((ffmpeg_source / "libavformat").glob("*.c")):
        text = source.read_text(errors="replace")
        for component, body in definition.findall(text):
            name = re.search(r'\.p\.name\s*=\s*"([^"]+)"', body)
            if name is None:
                continue
            for alias in name.group(1).split(","):
                answers.setdefault(alias, component)
        for component in by_macro.findall(text):
            answers.setdefault(component, component)
    missing = [name for name in names if name not in answers]
    if missing:
        sys.exit(f"FFmpeg has no demuxer named {', '.join(missing)}")
    return sorted({answers[name] for name in names})


class Apt:
    """apt with lists of its own, so that the host's apt state stays as it is."""

    def __init__(self, suites: list[str], state: Path) -> None:
        self.state = state
        self.suites = suites
        self.sources = state / "sources.list"
        self.options = [
            "-o",
            f"Dir::Etc::SourceList={self.sources}",
            "-o",
            "Dir::Etc::SourceParts=/dev/null",
            "-o",
            f"Dir::State::Lists={state / 'lists'}",
            "-o",
            f"Dir::Cache={state / 'cache'}",
            "-o",
            "APT::Sandbox::User=root",
        ]

    @staticmethod
    def host_archive() -> str:
        """The archive the host's apt reads Debian's own suites from."""
        targets = subprocess.run(
            ["apt-get", "indextargets", "--format", "$(LABEL) $(REPO_URI)"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.splitlines()
        for line in targets:
            label, _, uri = line.partition(" ")
            if label == "Debian":
                return uri
        sys.exit("the host's apt reads no Debian archive to fetch source packages from")

    def update(self) -> None:
        for folder in ("lists/partial", "cache/archives/partial"):
            (self.state / folder).mkdir(parents=True, exist_ok=True)
        keyring = "/usr/share/keyrings/debian-archive-keyring.gpg"
        archive = self.host_archive()
        self.sources.write_text(
            "".join(
                f"deb-src [signed-by={keyring}] {archive} {suite} main\n" for suite in self.suites
            )
        )
        run(["apt-get", *self.options, "-qq", "update"], cwd=self.state)

    def fetch(self, package: str, version: str, into: Path) -> None:
        into.mkdir(parents=True, exist_ok=True)
        run(
            ["apt-get", *self.options, "-qq", "source", "--download-only", f"{package}={version}"],
            cwd=into,
        )


def upstream_version(version: str) -> str:
    """Debian's version without its epoch and revision: 2:0.164.3108+git31e19f9-2 -> 0.164..."""
    return version.split(":", 1)[-1].rsplit("-", 1)[0]


def resolved_plan(plan: dict[str, Any]) -> dict[str, Any]:
    """The plan, with the source policy's container names that decide FFmpeg's demuxers."""
    formats = source_policy_formats(REPO / plan["source_policy"])
    return {"recipe": BUILD_RECIPE, "components": plan["component"], "source_formats": formats}


def build_component(
    component: dict[str, Any], tree: Path, prefix: Path, extra: list[str], log: Path
) -> None:
    jobs = str(os.cpu_count() or 1)
    env = dict(os.environ, PKG_CONFIG_PATH=str(prefix / "lib" / "pkgconfig"))
    configure = [*component["configure"], *extra]
    kind = component["build"]
    if kind == "autotools":
        run(["autoreconf", "-fi"], cwd=tree, env=env, log=log)
        run(["./configure", f"--prefix={prefix}", *configure], cwd=tree, env=env, log=log)
    elif kind == "meson":
        run(
            ["meson", "setup", "build", f"--prefix={prefix}", "--libdir=lib", *configure],
            cwd=tree,
            env=env,
            log=log,
        )
        run(["ninja", "-C", "build", "-j", jobs, "install"], cwd=tree, env=env, log=log)
        return
    elif kind == "x264":
        run(["./configure", f"--prefix={prefix}", *configure], cwd=tree, env=env, log=log)
    elif kind == "ffmpeg":
        run(
            [
                "./configure",
                f"--prefix={prefix}",
                "--pkg-config-flags=--static",
                f"--extra-cflags=-I{prefix / 'include'}",
                f"--extra-ldflags=-L{prefix / 'lib'}",
                *configure,
            ],
            cwd=tree,
            env=env,
            log=log,
        )
    else:
        sys.exit(f"{component['name']}: unknown build kind {kind}")
    run(["make", "-j", jobs], cwd=tree, env=env, log=log)
    run(["make", "install"], cwd=tree, env=env, log=log)


def build(plan: dict[str, Any], resolved: dict[str, Any], folder: Path) -> None:
    """Builds into `folder` itself (pkg-config files name their prefix), and marks
    it complete by writing components.json last. A component already built
    there by an interrupted run (logs/<name>.done) is kept."""
    prefix, sources, licences, logs = (
        folder / name for name in ("prefix", "sources", "licences", "logs")
    )
    for made in (prefix, sources, licences, logs):
        made.mkdir(parents=True, exist_ok=True)
    apt = Apt(sorted({component["suite"] for component in plan["component"]}), cache_root() / "apt")
    updated = False
    built = []
    with tempfile.TemporaryDirectory(prefix="corvane-components-") as scratch:
        work = Path(scratch)
        for component in plan["component"]:
            done = logs / f"{component['name']}.done"
            if done.is_file():
                built.append(json.loads(done.read_text()))
                continue
            if not updated:
                apt.update()
                updated = True
            own_sources = sources / component["package"]
            shutil.rmtree(own_sources, ignore_errors=True)
            apt.fetch(component["package"], component["version"], own_sources)
            log = logs / f"{component['name']}.log"
            log.unlink(missing_ok=True)
            # Debian's tree: the upstream sources with Debian's patches applied.
            tree = work / component["package"]
            dsc = next(own_sources.glob(f"{component['package']}_*.dsc"))
            run(["dpkg-source", "--no-check", "-x", str(dsc), str(tree)], cwd=work, log=log)
            extra: list[str] = []
            if component["build"] == "ffmpeg":
                demuxers = demuxers_named(tree, resolved["source_formats"])
                extra = ["--enable-demuxer=" + ",".join(demuxers)]
            build_component(component, tree, prefix, extra, log)
            for name in component["licence_files"]:
                target = licences / component["name"] / name
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(tree / name, target)
            record = {
                "name": component["name"],
                "version": upstream_version(component["version"]),
                "debian_package": component["package"],
                "debian_version": component["version"],
                "licence": component["licence"],
                "sources": sorted(path.name for path in own_sources.iterdir()),
                "configure": [*component["configure"], *extra],
            }
            done.write_text(json.dumps(record))
            built.append(record)
            shutil.rmtree(tree)
    (folder / "components.json").write_text(json.dumps(built, indent=2) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--print-key", action="store_true", help="print the cache key of the current plan and stop"
    )
    options = parser.parse_args()
    plan = tomllib.loads(COMPONENTS.read_text())
    resolved = resolved_plan(plan)
    key = hashlib.sha256(json.dumps(resolved, sort_keys=True).encode()).hexdigest()[:16]
    if options.print_key:
        print(key)
        return
    folder = cache_root() / "components" / key
    if (folder / "components.json").is_file():
        print(f"components: cached in {folder}", file=sys.stderr)
    else:
        build(plan, resolved, folder)
    print(folder)


if __name__ == "__main__":
    main()
