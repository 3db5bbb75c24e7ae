"""`corvane batch`: one ladder per input, as tasks on a Dask cluster.

Each task runs `corvane encode` in a child process, so the worker keeps
answering its scheduler, and takes one unit of the workers' `ladder` resource,
so a worker runs only as many ladders at once as it was started with. An
encode publishes DIR/<name>/ by a rename once the ladder is checked and its
manifest written, so a lost worker leaves nothing that looks finished: Dask
runs its task again elsewhere, which first removes what the lost attempt left.
A task that fails on its input returns the reason and is not run again. One
batch at a time writes to a DIR.
"""

from __future__ import annotations

import glob
import json
import logging
import os
import secrets
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from types import FrameType
from typing import Any

from tqdm import tqdm

from corvane_cli.encode import PARENT_ENV, EncodeOptions
from corvane_cli.ladder import MANIFEST, manifest_problem

RESOURCE = "ladder"
POLL_SECONDS = 0.5

# The encodes this process runs for tasks, by the batch they belong to.
_running: dict[subprocess.Popen, str] = {}
_running_lock = threading.Lock()


def default_jobs() -> int:
    """Ladders at once on this machine: one per two cores, as each encode already
    keeps about two cores busy with its renditions' threads."""
    return max(1, (os.cpu_count() or 2) // 2)


def encode_arguments(options: EncodeOptions, name: str) -> list[str]:
    args = []
    if options.resolution is not None:
        args += ["--resolution", ",".join(options.resolution)]
    if options.bitrate is not None:
        args += ["--bitrate", ",".join(map(str, options.bitrate))]
    if options.key_info is not None:
        args += ["--key", str(options.key_info.absolute())]
    elif options.key_uri is not None:
        args += ["--key-uri", options.key_uri.replace("{name}", name)]
    elif not options.encrypt:
        args.append("--no-encryption")
    return args


def failure_reason(stderr: str, returncode: int) -> str:
    text = stderr.strip()
    text = text.removeprefix("corvane: ")
    return text or f"corvane encode ended with status {returncode}"


def remove_leftovers(out: Path, name: str) -> int:
    """Removes what an earlier attempt at this ladder left when its machine was
    lost with it: its private folder and key file."""
    found = [*out.glob(f"{glob.escape(name)}.partial-*"),
             *out.glob(f".{glob.escape(name)}.key.partial-*")]
    for path in found:
        if path.is_dir():
            shutil.rmtree(path, ignore_errors=True)
        else:
            path.unlink(missing_ok=True)
    return len(found)


def ladder_job(job: dict[str, Any]) -> dict[str, Any]:
    """Runs on a worker: makes one ladder, unless its manifest already verifies."""
    started = time.monotonic()
    source = Path(job["input"])
    folder = Path(job["out"]) / job["name"]
    outcome: dict[str, Any] = {"input": str(source), "name": job["name"], "ladder": str(folder)}
    had_manifest = (folder / MANIFEST).exists()
    if had_manifest and manifest_problem(folder, source) is None:
        return {**outcome, "status": "skipped"}
    if removed := remove_leftovers(folder.parent, folder.name):
        outcome["leftovers_removed"] = removed
    command = [sys.executable, "-m", "corvane_cli", "encode", str(source), str(folder),
               *job["args"]]
    if had_manifest:
        command.append("--overwrite")  # a ladder of ours, no longer what its manifest says
    encode = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env={**os.environ, PARENT_ENV: str(os.getpid())})
    with _running_lock:
        _running[encode] = job["batch"]
    try:
        _, stderr = encode.communicate()
    finally:
        with _running_lock:
            del _running[encode]
    outcome["seconds"] = round(time.monotonic() - started, 2)
    if encode.returncode == 0 or manifest_problem(folder, source) is None:
        record = json.loads((folder / MANIFEST).read_text())
        rates = {r["name"]: {"peak_bit_rate": r["peak_bit_rate"],
                             "average_bit_rate": r["average_bit_rate"]}
                 for r in record["renditions"]}
        return {**outcome, "status": "done", "renditions": rates}
    return {**outcome, "status": "failed", "reason": failure_reason(stderr, encode.returncode)}


def stop_encodes(batch: str) -> int:
    """Runs on each worker when a batch is interrupted: SIGINT to its encodes,
    which then stop and remove their partial folders."""
    with _running_lock:
        encodes = [e for e, owner in _running.items() if owner == batch]
    for encode in encodes:
        if encode.poll() is None:
            encode.send_signal(signal.SIGINT)
    return len(encodes)


def outcome_of(future, job: dict[str, Any]) -> dict[str, Any]:
    if future.status == "finished":
        return future.result()
    reason = repr(future.exception()) if future.status == "error" else future.status
    return {"input": job["input"], "name": job["name"], "status": "failed", "reason": reason}


def interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def plan(inputs: list[Path], out: Path, options: EncodeOptions,
         batch: str) -> list[dict[str, Any]]:
    jobs: list[dict[str, Any]] = []
    names: dict[str, Path] = {}
    for source in inputs:
        name = source.stem
        if name in names:
            raise ValueError(f"{names[name]} and {source} would both make {out / name}")
        names[name] = source
        jobs.append({"input": str(source.absolute()), "name": name, "out": str(out),
                     "args": encode_arguments(options, name), "batch": batch})
    return jobs


def watch(client, futures: list, jobs: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Waits for every task with one bar: done, failed, running."""
    outcomes: dict[int, dict[str, Any]] = {}
    keys = {f.key for f in futures}
    with tqdm(total=len(futures), desc="ladders", unit="ladder", disable=None,
              file=sys.stderr) as bar:
        while len(outcomes) < len(futures):
            for i, future in enumerate(futures):
                if i not in outcomes and future.done():
                    outcomes[i] = outcome_of(future, jobs[i])
                    bar.update(1)
            running = sum(key in keys for held in client.processing().values() for key in held)
            failed = sum(o["status"] == "failed" for o in outcomes.values())
            bar.set_postfix(done=len(outcomes) - failed, failed=failed, running=running)
            if len(outcomes) < len(futures):
                time.sleep(POLL_SECONDS)
    return [outcomes[i] for i in range(len(futures))]


def connect(scheduler: str | None, jobs: int | None):
    from distributed import Client, LocalCluster

    if scheduler is not None:
        client = Client(scheduler, timeout="30s")
        offered = [w.get("resources", {}).get(RESOURCE, 0)
                   for w in client.scheduler_info()["workers"].values()]
        if not any(offered):
            print(f"corvane: no worker offers the '{RESOURCE}' resource yet; start workers "
                  f"with --resources {RESOURCE}=N", file=sys.stderr)
        return client, None
    count = jobs or default_jobs()
    # Workers as threads of this process: each task spends its time waiting on
    # its `corvane encode` child.
    cluster = LocalCluster(n_workers=1, threads_per_worker=count, processes=False,
                           resources={RESOURCE: count}, dashboard_address=None,
                           silence_logs=logging.ERROR)
    return Client(cluster), cluster


def run(inputs: list[Path], out: Path, options: EncodeOptions, scheduler: str | None,
        jobs: int | None) -> int:
    """0 when every ladder is published or already was, 1 when any failed."""
    try:
        import distributed  # noqa: F401
    except ImportError:
        print("corvane: batch needs Dask: pip install 'corvane[batch]'", file=sys.stderr)
        return 1
    if options.key_uri is not None and "{name}" not in options.key_uri:
        print("corvane: in a batch, --key-uri must hold {name}, the ladder's name, so that "
              "each ladder's key has its own URI", file=sys.stderr)
        return 2
    out = out.absolute()
    token = secrets.token_hex(4)
    try:
        planned = plan(inputs, out, options, token)
        out.mkdir(parents=True, exist_ok=True)
    except (ValueError, OSError) as error:
        print(f"corvane: {error}", file=sys.stderr)
        return 1
    # Ctrl-C and SIGTERM end the batch even where it was started with SIGINT
    # ignored (in the background of a script).
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, interrupt)
    started = time.monotonic()
    client, cluster = connect(scheduler, jobs)
    futures = []
    try:
        futures = [client.submit(ladder_job, job, key=f"ladder-{job['name']}-{token}",
                                 resources={RESOURCE: 1}, pure=False)
                   for job in planned]
        outcomes = watch(client, futures, planned)
    except KeyboardInterrupt:
        # Dask cannot stop a running task: cancel the rest, then have each
        # worker stop this batch's encodes, which remove what they wrote.
        client.cancel(futures)
        try:
            client.run(stop_encodes, token)
        except Exception as error:  # an unreachable worker: its encodes end with it
            print(f"corvane: could not reach every worker: {error}", file=sys.stderr)
        raise
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    counts = {status: sum(o["status"] == status for o in outcomes)
              for status in ("done", "skipped", "failed")}
    print(json.dumps({"out": str(out), "scheduler": scheduler or "local", **counts,
                      "seconds": round(time.monotonic() - started, 2), "jobs": outcomes},
                     indent=2))
    return 1 if counts["failed"] else 0
