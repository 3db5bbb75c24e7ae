"""`corvane batch`: one ladder per input, as tasks on a Dask cluster.

Each task runs `corvane encode` in a child process, so the worker keeps
answering its scheduler, and takes one unit of the workers' `ladder` resource,
so a worker runs only as many ladders at once as it was started with. The
encode decides, under DIR/<name>'s lock, whether the ladder there is still what
is asked, and publishes a new one by a rename once it is checked and its
manifest written, so a lost worker leaves nothing that looks finished: Dask
runs its task again elsewhere, whose encode first removes what the lost attempt
left. A task that fails on its input returns the reason and is not run again.
"""

from __future__ import annotations

import json
import logging
import secrets
import signal
import subprocess
import sys
import threading
import time
from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvane_cli.existing import up_to_date
from corvane_cli.exit_status import DONE, FAILED, BatchFailure, EncodeFailure, UsageError
from corvane_cli.keys import NAME_FIELD, KeyUri
from corvane_cli.manifest import MANIFEST, SourceIdentity
from corvane_cli.options import EncodeOptions
from corvane_cli.parent_death import child_environment
from corvane_cli.progress import batch_bar
from corvane_cli.publish import make_parents, outside_key, remove_empty
from corvane_cli.signals import raise_on_stop_signals

if TYPE_CHECKING:
    from distributed import Client, Future, LocalCluster

RESOURCE = "ladder"
POLL_SECONDS = 0.5
# What one ladder takes at most, measured for 1080p and 2160p sources, with room.
LADDER_MEMORY = 1_200_000_000

# The encodes this process runs for tasks, by the batch they belong to.
_running: dict[subprocess.Popen[str], str] = {}
_running_lock = threading.Lock()


def default_jobs() -> int:
    """Ladders at once on this machine: one per two cores, as each encode already
    keeps about two cores busy with its renditions' threads, and per 1.2 GB of
    memory. Counted as Dask counts them: the cores this process may run on and
    its cgroup's limits, not the host's."""
    from dask.system import CPU_COUNT
    from distributed.system import MEMORY_LIMIT

    return max(1, min(CPU_COUNT // 2, MEMORY_LIMIT // LADDER_MEMORY))


def failure_reason(stderr: str, returncode: int) -> str:
    """The encode's one line saying why, after any warnings."""
    lines = stderr.strip().splitlines()
    text = lines[-1].removeprefix("corvane: ") if lines else ""
    return text or f"corvane encode ended with status {returncode}"


def ladder_job(job: dict[str, Any]) -> dict[str, Any]:
    """Runs on a worker: `corvane encode`, which makes the ladder unless it is
    already what is asked."""
    started = time.monotonic()
    folder = Path(job["out"]) / job["name"]
    outcome: dict[str, Any] = {"input": job["input"], "name": job["name"], "ladder": str(folder)}
    # The encode decides under the lock; a ladder plainly up to date is only
    # read here, sparing a process per input on a re-run of a large batch.
    if (
        not job["overwrite"]
        and (folder / MANIFEST).is_file()
        and up_to_date(folder, SourceIdentity.take(job["input"]), job["options"])
    ):
        return {**outcome, "status": "skipped"}
    command = [
        sys.executable,
        "-m",
        "corvane_cli",
        "encode",
        job["input"],
        str(folder),
        "--report-json",
        *job["args"],
    ]
    encode = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_environment()
    )
    with _running_lock:
        _running[encode] = job["batch"]
    try:
        stdout, stderr = encode.communicate()
    finally:
        with _running_lock:
            del _running[encode]
    outcome["seconds"] = round(time.monotonic() - started, 2)
    if encode.returncode != 0:
        return {**outcome, "status": "failed", "reason": failure_reason(stderr, encode.returncode)}
    made = json.loads(stdout.strip().splitlines()[-1])
    for found in ("leftovers_removed", "left_alone"):
        if made.get(found):
            outcome[found] = made[found]
    if made["status"] == "skipped":
        return {**outcome, "status": "skipped"}
    record = json.loads((folder / MANIFEST).read_text())
    rates = {
        r["name"]: {"peak_bit_rate": r["peak_bit_rate"], "average_bit_rate": r["average_bit_rate"]}
        for r in record["renditions"]
    }
    return {**outcome, "status": "done", "renditions": rates}


def stop_encodes(batch: str) -> int:
    """Runs on each worker when a batch is interrupted: SIGINT to its encodes,
    which then stop and remove their partial folders."""
    with _running_lock:
        encodes = [e for e, owner in _running.items() if owner == batch]
    for encode in encodes:
        if encode.poll() is None:
            encode.send_signal(signal.SIGINT)
    return len(encodes)


def outcome_of(future: Future[dict[str, Any]], job: dict[str, Any]) -> dict[str, Any]:
    if future.status == "finished":
        return future.result()
    reason = repr(future.exception()) if future.status == "error" else future.status
    return {"input": job["input"], "name": job["name"], "status": "failed", "reason": reason}


def plan(inputs: list[Path], out: Path, options: EncodeOptions, batch: str) -> list[dict[str, Any]]:
    jobs: list[dict[str, Any]] = []
    names: dict[str, Path] = {}
    for source in inputs:
        name = source.stem
        if name in names:
            raise BatchFailure(f"{names[name]} and {source} would both make {out / name}")
        names[name] = source
        own = replace(options, key=options.key.for_ladder(name))
        jobs.append(
            {
                "input": str(source.absolute()),
                "name": name,
                "out": str(out),
                "args": own.arguments(),
                "options": own,
                "overwrite": options.overwrite,
                "batch": batch,
            }
        )
    if options.key.outside:
        for name, source in names.items():
            key = outside_key(out / name)
            if key.name in names:
                raise BatchFailure(
                    f"{names[key.name]} would make {key}, where the key of {source}'s "
                    "ladder goes; rename one of them"
                )
    return jobs


def ladder_slots(client: Client) -> int:
    """The ladders the cluster's workers offer to run at once."""
    return sum(
        w.get("resources", {}).get(RESOURCE, 0) for w in client.scheduler_info()["workers"].values()
    )


def watch(
    client: Client,
    futures: list[Future[dict[str, Any]]],
    jobs: list[dict[str, Any]],
    timeout: float,
) -> list[dict[str, Any]]:
    """Waits for every task with one bar: done, failed, running. Raises
    BatchFailure when no worker has offered the `ladder` resource for `timeout`
    seconds (an adaptive cluster starts with none)."""
    outcomes: dict[int, dict[str, Any]] = {}
    keys = {f.key for f in futures}
    offered = time.monotonic()
    with batch_bar(len(futures)) as bar:
        while len(outcomes) < len(futures):
            for i, future in enumerate(futures):
                if i not in outcomes and future.done():
                    outcomes[i] = outcome_of(future, jobs[i])
                    bar.update(1)
            running = sum(key in keys for held in client.processing().values() for key in held)
            failed = sum(o["status"] == "failed" for o in outcomes.values())
            bar.set_postfix(done=len(outcomes) - failed, failed=failed, running=running)
            if len(outcomes) == len(futures):
                break
            # A ladder running is a worker offering `ladder`: ask the scheduler
            # for its workers only when none is.
            if running or ladder_slots(client):
                offered = time.monotonic()
            elif time.monotonic() - offered > timeout:
                raise BatchFailure(
                    f"no worker has offered the '{RESOURCE}' resource for {timeout:.0f} s; "
                    f"start workers with --resources {RESOURCE}=N"
                )
            time.sleep(POLL_SECONDS)
    return [outcomes[i] for i in range(len(futures))]


def connect(
    scheduler: str | None, jobs: int | None, timeout: float
) -> tuple[Client, LocalCluster | None]:
    from distributed import Client, LocalCluster

    if scheduler is not None:
        try:
            return Client(scheduler, timeout=timeout), None
        except (OSError, ValueError) as error:  # TimeoutError is an OSError
            raise BatchFailure(f"cannot reach the scheduler at {scheduler}: {error}") from None
    count = jobs or default_jobs()
    # Workers as threads of this process: each task spends its time waiting on
    # its `corvane encode` child.
    cluster = LocalCluster(
        n_workers=1,
        threads_per_worker=count,
        processes=False,
        resources={RESOURCE: count},
        dashboard_address=None,
        silence_logs=logging.ERROR,
    )
    return Client(cluster), cluster


def run(
    inputs: list[Path],
    out: Path,
    options: EncodeOptions,
    scheduler: str | None,
    jobs: int | None,
    timeout: float,
) -> int:
    """0 when every ladder is published or already was, 1 when any failed; raises
    BatchFailure when the cluster could not run them."""
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise BatchFailure("batch needs Dask: pip install 'corvane[batch]'") from None
    if isinstance(options.key, KeyUri) and NAME_FIELD not in options.key.uri:
        raise UsageError(
            f"in a batch, --key-uri must hold {NAME_FIELD}, the ladder's name, "
            "so that each ladder's key has its own URI"
        )
    out = out.absolute()
    token = secrets.token_hex(4)
    planned = plan(inputs, out, options, token)
    try:
        created = make_parents(out)
    except EncodeFailure as error:
        raise BatchFailure(str(error)) from None
    try:
        status = run_planned(planned, out, scheduler, jobs, timeout, token)
    except BaseException:
        remove_empty(created)
        raise
    if status != DONE:
        remove_empty(created)
    return status


def run_planned(
    planned: list[dict[str, Any]],
    out: Path,
    scheduler: str | None,
    jobs: int | None,
    timeout: float,
    token: str,
) -> int:
    """Runs the planned ladders on the cluster and prints the summary."""
    raise_on_stop_signals()
    started = time.monotonic()
    client, cluster = connect(scheduler, jobs, timeout)
    futures: list[Future[dict[str, Any]]] = []
    try:
        futures = [
            client.submit(
                ladder_job,
                job,
                key=f"ladder-{job['name']}-{token}",
                resources={RESOURCE: 1},
                pure=False,
            )
            for job in planned
        ]
        outcomes = watch(client, futures, planned, timeout)
    except BatchFailure:
        client.cancel(futures)
        raise
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
    counts = {
        status: sum(o["status"] == status for o in outcomes)
        for status in ("done", "skipped", "failed")
    }
    print(
        json.dumps(
            {
                "out": str(out),
                "scheduler": scheduler or "local",
                **counts,
                "seconds": round(time.monotonic() - started, 2),
                "jobs": outcomes,
            },
            indent=2,
        )
    )
    return FAILED if counts["failed"] else DONE
