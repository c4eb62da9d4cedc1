"""A Dask scheduler and workers started as separate processes on 127.0.0.1, the way a user
starts a cluster by hand, for the tests and the benchmark. Every process is stopped on the way
out, whatever happened."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager, suppress
from pathlib import Path

from distributed import Client

STOP_WAIT = 10.0
# Loopback only, a port the system picks, no dashboard; one thread a worker, no nanny process.
SCHEDULER_OPTIONS = "--host 127.0.0.1 --port 0 --no-dashboard"
WORKER_OPTIONS = "--host 127.0.0.1 --nthreads 1 --no-nanny --no-dashboard"


@contextmanager
def dask_cluster(workdir: Path, workers: int = 2, timeout: float = 60.0) -> Iterator[Client]:
    """A client of a new scheduler with `workers` one-thread workers, all listening on 127.0.0.1
    only (ports chosen by the system, no dashboard). Logs go to `workdir`."""
    dask = str(Path(sys.executable).with_name("dask"))
    scheduler_file = workdir / "scheduler.json"
    deadline = time.monotonic() + timeout
    with ExitStack() as stack:
        scheduler_argv = [
            dask,
            "scheduler",
            *SCHEDULER_OPTIONS.split(),
            "--scheduler-file",
            str(scheduler_file),
        ]
        scheduler = stack.enter_context(_process(scheduler_argv, workdir, "scheduler"))
        address = _wait_for_address(scheduler_file, scheduler, deadline)
        for i in range(workers):
            name = f"worker-{i}"
            argv = [dask, "worker", address, *WORKER_OPTIONS.split(), "--name", name]
            stack.enter_context(_process([*argv, "--local-directory", str(workdir / name)], workdir, name))
        client = stack.enter_context(
            Client(address, timeout=max(deadline - time.monotonic(), 1.0))  # type: ignore[no-untyped-call]
        )
        try:
            client.wait_for_workers(workers, timeout=max(deadline - time.monotonic(), 1.0))
        except TimeoutError:
            raise RuntimeError(f"{workers} workers did not join in {timeout} s\n{_logs(workdir)}") from None
        yield client


@contextmanager
def _process(argv: list[str], workdir: Path, name: str) -> Iterator[subprocess.Popen[bytes]]:
    # The workers start in their own directory with no PYTHONPATH: they see the installed package
    # and nothing of the checkout, as on a machine of their own.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    cwd = workdir / name
    cwd.mkdir(parents=True, exist_ok=True)
    with open(workdir / f"{name}.log", "wb") as log:
        proc = subprocess.Popen(
            argv,
            cwd=cwd,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )
    try:
        yield proc
    finally:
        _stop(proc)


def _stop(proc: subprocess.Popen[bytes]) -> None:
    """SIGTERM to the process's whole group, then SIGKILL if it has not ended in time."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        with suppress(ProcessLookupError):
            os.killpg(proc.pid, sig)
        try:
            proc.wait(STOP_WAIT)
            return
        except subprocess.TimeoutExpired:
            continue
    proc.wait()


def _wait_for_address(scheduler_file: Path, scheduler: subprocess.Popen[bytes], deadline: float) -> str:
    while time.monotonic() < deadline:
        if scheduler.poll() is not None:
            raise RuntimeError(
                f"the scheduler exited with status {scheduler.returncode}\n{_logs(scheduler_file.parent)}"
            )
        try:
            address: str = json.loads(scheduler_file.read_text())["address"]
            return address
        except (FileNotFoundError, json.JSONDecodeError, KeyError):
            time.sleep(0.1)
    raise RuntimeError(f"the scheduler wrote no address in time\n{_logs(scheduler_file.parent)}")


def _logs(workdir: Path) -> str:
    return "\n".join(
        f"--- {log.name}\n{log.read_text(errors='replace')[-3000:]}" for log in sorted(workdir.glob("*.log"))
    )
