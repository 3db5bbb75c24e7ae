"""`corvane batch` on Dask: a real scheduler and workers on 127.0.0.1, each its own
process, and the built-in local cluster."""

import json
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

from conftest import CORVANE, DASK, child_pids, corvane_command, listing, one_line

WORKERS = 2


def wait_for(condition, what, timeout=120):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def stop(process):
    """Ends a process started in its own session, with everything it started there."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


@pytest.fixture
def scheduler(tmp_path):
    """(scheduler address, start): a scheduler with no worker yet, and start(name,
    *args) to start another `dask` process beside it, logging to name.log; all
    are stopped here."""
    folder = tmp_path / "cluster"
    folder.mkdir()
    info = folder / "scheduler.json"
    started = []

    def start(name, *args):
        with open(folder / f"{name}.log", "w") as log:
            started.append(
                subprocess.Popen(
                    [DASK, *args], stdout=log, stderr=subprocess.STDOUT, start_new_session=True
                )
            )
        return started[-1]

    try:
        start(
            "scheduler",
            "scheduler",
            "--host",
            "127.0.0.1",
            "--port",
            "0",
            "--no-dashboard",
            "--scheduler-file",
            info,
        )
        wait_for(lambda: info.exists() and info.stat().st_size > 0, "the scheduler")
        yield json.loads(info.read_text())["address"], start
    finally:
        for process in reversed(started):
            stop(process)


@pytest.fixture
def cluster(scheduler, tmp_path):
    """(scheduler address, worker processes): the scheduler and two workers, each
    offering one ladder at a time."""
    address, start = scheduler
    folder = tmp_path / "cluster"
    workers = [
        start(
            f"worker{i}",
            "worker",
            address,
            "--host",
            "127.0.0.1",
            "--no-nanny",
            "--no-dashboard",
            "--nthreads",
            "1",
            "--resources",
            "ladder=1",
            "--name",
            f"worker{i}",
        )
        for i in range(WORKERS)
    ]
    wait_for(
        lambda: all(
            "Registered to" in (folder / f"worker{i}.log").read_text() for i in range(WORKERS)
        ),
        "the workers",
    )
    return address, workers


@pytest.fixture
def sources(clip, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for name, kind in zip("abc", ("short2", "short3", "short4")):
        shutil.copy(clip(kind), folder / f"{name}.mp4")
    return sorted(folder.iterdir())


def summary_of(stdout):
    summary = json.loads(stdout)
    return summary, {job["name"]: job for job in summary["jobs"]}


def snapshot(folder):
    return {p: p.stat().st_mtime_ns for p in folder.rglob("*")}


def test_batch_survives_a_lost_worker_and_a_rerun_does_nothing(cluster, sources, tmp_path):
    address, workers = cluster
    out = tmp_path / "ladders"
    command = [
        CORVANE,
        "batch",
        *sources,
        "--out",
        out,
        "--scheduler",
        address,
        "--resolution",
        "360p",
    ]
    batch = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def encoding():
        # A worker whose `corvane encode` child has started its encoder child.
        return [w for w in workers if any(child_pids(c) for c in child_pids(w.pid))]

    wait_for(lambda: encoding() or batch.poll() is not None, "a worker to take a ladder")
    lost = encoding()
    assert lost, "the batch ended before a worker could be lost"
    os.killpg(lost[0].pid, signal.SIGKILL)  # the worker and its encode, as a lost machine
    stdout, stderr = batch.communicate(timeout=300)
    assert batch.returncode == 0, stderr
    summary, jobs = summary_of(stdout)
    assert (summary["done"], summary["skipped"], summary["failed"]) == (3, 0, 0)
    assert listing(out) == ["a", "b", "c"]  # no .partial folder, no key left behind
    assert any(job.get("leftovers_removed") for job in jobs.values())
    for name in "abc":
        checked = corvane_command("check", out / name / "master.m3u8")
        assert checked.returncode == 0, checked.stdout
        manifest = json.loads((out / name / "manifest.json").read_text())
        assert manifest["source"]["path"] == str(sources["abc".index(name)])
        assert jobs[name]["renditions"]["360p"]["peak_bit_rate"] > 0

    before = snapshot(out)
    again = corvane_command(*command[1:])
    assert again.returncode == 0, again.stderr
    summary, jobs = summary_of(again.stdout)
    assert (summary["done"], summary["skipped"], summary["failed"]) == (0, 3, 0)
    assert snapshot(out) == before


def test_batch_leaves_look_alike_siblings_and_keeps_key_uri_keys_with_their_ladders(
    cluster, clip, tmp_path
):
    address, _ = cluster
    folder, out = tmp_path / "in", tmp_path / "ladders"
    folder.mkdir()
    # Names that an encode of talk once took for its own leftovers.
    sources = {"talk": "mp4", "talk.old-take1": "short2", "talk.partial-v2": "short3"}
    for name, kind in sources.items():
        shutil.copy(clip(kind), folder / f"{name}.mp4")
    (out / "talk.old-2024").mkdir(parents=True)
    (out / "talk.old-2024" / "notes.txt").write_text("a user's backup")
    inputs = sorted(folder.iterdir())
    names = [p.stem for p in inputs]
    options = ["--out", out, "--scheduler", address, "--resolution", "360p"]
    options += ["--key-uri", "https://keys.example/{name}.key"]

    def checked(name):
        key = ["--key-file", out / f"{name}.key"]
        return corvane_command("check", out / name / "master.m3u8", *key).returncode == 0

    done = corvane_command("batch", *inputs, *options)
    assert done.returncode == 0, done.stderr
    summary, jobs = summary_of(done.stdout)
    assert (summary["done"], summary["skipped"], summary["failed"]) == (3, 0, 0)
    assert listing(out) == sorted([*names, *(f"{n}.key" for n in names), "talk.old-2024"])
    assert (out / "talk.old-2024" / "notes.txt").read_text() == "a user's backup"
    assert all(checked(name) for name in names)

    # A key replaced: its ladder is made again, with it; the others are kept.
    new_key = os.urandom(16)
    (out / "talk.key").write_bytes(new_key)
    before = snapshot(out / "talk.old-take1")
    again = corvane_command("batch", *inputs, *options)
    assert again.returncode == 0, again.stderr
    summary, jobs = summary_of(again.stdout)
    assert {n: j["status"] for n, j in jobs.items()} == {
        "talk": "done",
        "talk.old-take1": "skipped",
        "talk.partial-v2": "skipped",
    }
    assert (out / "talk.key").read_bytes() == new_key and checked("talk")
    assert snapshot(out / "talk.old-take1") == before

    # A ladder that would take the place of another's key is refused at once.
    shutil.copy(clip("mp4"), folder / "talk.key.mp4")
    before = snapshot(out)
    refused = corvane_command("batch", *inputs, folder / "talk.key.mp4", *options)
    assert refused.returncode == 1
    assert "talk.key.mp4 would make" in one_line(refused.stderr)
    assert snapshot(out) == before


def test_local_batch_reports_a_corrupt_input_and_publishes_the_rest(clip, garbage, tmp_path):
    out = tmp_path / "ladders"
    done = corvane_command(
        "batch", clip("short2"), garbage, "--out", out, "--resolution", "360p", "--no-encryption"
    )
    assert done.returncode == 1
    summary, jobs = summary_of(done.stdout)
    assert (summary["scheduler"], summary["done"], summary["failed"]) == ("local", 1, 1)
    assert jobs["noise"]["status"] == "failed"
    assert "Invalid data" in jobs["noise"]["reason"] and "noise.mp4" in jobs["noise"]["reason"]
    assert listing(out) == ["short2"]
    assert corvane_command("check", out / "short2" / "master.m3u8").returncode == 0

    again = corvane_command(
        "batch", clip("short2"), "--out", out, "--resolution", "480p", "--no-encryption"
    )
    assert again.returncode == 0, again.stderr
    summary, jobs = summary_of(again.stdout)
    assert (summary["done"], summary["skipped"]) == (1, 0)
    assert list(jobs["short2"]["renditions"]) == ["480p"]
    assert listing(out / "short2") == ["480p.m3u8", "480p_000.ts", "manifest.json", "master.m3u8"]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize(
    "case, message",
    [
        pytest.param(
            "unreachable",
            "cannot reach the scheduler at tcp://127.0.0.1:",
            id="unreachable-scheduler",
        ),
        pytest.param(
            "no-ladder",
            "no worker has offered the 'ladder' resource for 2 s",
            id="no-ladder-worker",
        ),
    ],
)
def test_batch_without_a_cluster_to_run_it_ends_in_one_line(request, clip, tmp_path, case, message):
    if case == "unreachable":
        address = f"tcp://127.0.0.1:{free_port()}"
    else:
        address, start = request.getfixturevalue("scheduler")
        start(
            "worker",
            "worker",
            address,
            "--host",
            "127.0.0.1",
            "--no-nanny",
            "--no-dashboard",
            "--nthreads",
            "1",
        )
    out = tmp_path / "ladders"
    done = corvane_command(
        "batch", clip("short2"), "--out", out, "--scheduler", address, "--timeout", "2", timeout=120
    )
    assert done.returncode == 1
    lines = [line for line in done.stderr.splitlines() if line.strip()]
    assert len(lines) == 1 and lines[0].startswith(f"corvane: {message}"), done.stderr
    assert done.stdout == ""
    assert not out.exists()  # the folder it made for the ladders, removed


@pytest.mark.parametrize(
    "sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["SIGINT", "SIGTERM"]
)
def test_stopped_batch_exits_as_encode_does_and_leaves_nothing(clip, tmp_path, sig, status):
    out = tmp_path / "ladders"
    batch = subprocess.Popen(
        [CORVANE, "batch", clip("longer"), "--out", out, "--resolution", "720p"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    wait_for(
        lambda: list(out.glob("longer.partial-*")) or batch.poll() is not None,
        "the batch to start its ladder",
    )
    batch.send_signal(sig)
    stdout, stderr = batch.communicate(timeout=60)
    assert batch.returncode == status
    assert "interrupted" in stderr and "Traceback" not in stderr
    assert stdout == ""
    wait_for(
        lambda: not out.exists() or listing(out) == [], "the stopped encode to clear up", timeout=30
    )
