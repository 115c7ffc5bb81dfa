"""Many fragment lists into many files: each job is the four arguments of
vyn.synthesize_multiple, its output path the caller's (storage all the
workers share, on a cluster)."""
import os
import signal
import time
from concurrent.futures import Executor
from typing import Any, Iterable, Iterator, NamedTuple, Optional

import vyn

from ._errors import parse_error, synthesis_error
from . import _runners
from ._runners import (Runner, Stalled, Watch, drop_local_pool,
                       in_completion_order, new_pool)

# Jobs go out in batches: a short list takes about a millisecond, less than
# handing it to a worker costs.
MAX_BATCH = 32
BATCHES_PER_WORKER = 8


class JobResult(NamedTuple):
    job: Any     # the job as it was given
    result: Any  # what vyn.synthesize_multiple returned, or its ValueError


class RerunResult(tuple):
    """What vyn.synthesize_multiple returned for a job whose first worker
    died or stalled with other jobs in hand: the same tuple, with a note
    that says so in __notes__, as an error carries its notes."""

    def __new__(cls, result, note):
        noted = super().__new__(cls, result)
        noted.__notes__ = [note]
        return noted


def synthesize_jobs(jobs):
    """Runs in a worker: each job in turn, a ValueError kept as its
    result."""
    results = []
    for job in jobs:
        try:
            results.append(vyn.synthesize_multiple(*job))
        except ValueError as error:
            results.append(error)
        except TypeError:  # not a sequence of arguments
            results.append(parse_error())
    return results


def batch_size(count, parallelism):
    return max(1, min(MAX_BATCH, count // (parallelism * BATCHES_PER_WORKER)))


def synthesize_corpus(jobs: Iterable[Any], *, workers: Optional[int] = None,
                      executor: Optional[Executor] = None
                      ) -> Iterator[JobResult]:
    """Synthesizes each job, a tuple (output_file_path, quit_after,
    backwards, fragments), on workers local processes (default: the usable
    cores) or the given executor. Yields a JobResult (job, result) per job
    in the order they finish; a job that fails has its ValueError (with its
    note) as its result, and the other jobs go on. On local workers, the
    batches in hand when no job is done, no job's file grows and the
    workers use no CPU time for STALL_SECONDS (a stopped worker) are run
    again as a dead worker's are."""
    jobs = list(jobs)
    runner = Runner(workers, executor)
    size = batch_size(len(jobs), runner.parallelism)
    batches = [range(first, min(first + size, len(jobs)))
               for first in range(0, len(jobs), size)]
    tasks = [(synthesize_jobs, ([jobs[i] for i in batch],))
             for batch in batches]
    probe = None
    if runner.local and not runner.inline:
        def probe(in_hand):
            return [file_size(jobs[i]) for index in in_hand
                    for i in batches[index]]
    suspects = []
    for index, future in in_completion_order(runner, tasks,
                                             2 * runner.parallelism, probe):
        try:
            results = future.result()
        except Stalled:
            suspects.extend((i, stalled_note()) for i in batches[index])
            continue
        except Exception:  # a worker died with the batch in hand
            suspects.extend((i, DIED) for i in batches[index])
            continue
        for job_index, result in zip(batches[index], results):
            yield JobResult(jobs[job_index], result)
    yield from isolate(runner, jobs, sorted(suspects))


DIED = "its first worker died, with other jobs in hand"


def stalled_note():
    return (f"its first worker made no progress for "
            f"{_runners.STALL_SECONDS:g} s, with other jobs in hand")


def file_size(job):
    """The size of a job's output file, which grows while it is written."""
    try:
        return os.stat(job[0]).st_size
    except Exception:  # no file yet, or not a job
        return None


def isolate(runner, jobs, suspects):
    """Each job a dead or stalled worker held, (job index, note), alone in
    a worker: the job that ends or stalls its worker again fails with a
    note naming it and how; the others yield their results, noted."""
    alone = Alone(runner)
    try:
        for job_index, note in suspects:
            try:
                result = alone.run(jobs[job_index])
            except Stalled:
                result = synthesis_error(
                    f"job {job_index} made no progress for "
                    f"{_runners.STALL_SECONDS:g} s")
            except Exception as error:
                result = synthesis_error(f"job {job_index} ended its worker "
                                         f"({alone.cause(error)})")
            else:
                if not isinstance(result, ValueError):
                    result = RerunResult(result, note)
            yield JobResult(jobs[job_index], result)
    finally:
        alone.close()


def exit_status(process, seconds=5.0):
    """A worker's exit code once it has ended (None if it has not within
    the seconds). The pool's own thread reaps its dead workers too: when it
    wins the race, this process's wait finds no child until that thread has
    stored the code, so the code is asked for again until it is there."""
    deadline = time.monotonic() + seconds
    while process.exitcode is None and time.monotonic() < deadline:
        process.join(0.05)
    return process.exitcode


class Alone:
    """Runs one job at a time: in a local pool of one worker of its own,
    started afresh once a job ends it; on another executor (a cluster's),
    there, one task at a time."""

    def __init__(self, runner):
        self.runner, self.pool, self.process = runner, None, None
        self.local = runner.local and not runner.inline

    def run(self, job):
        if not self.local:
            return self.runner.executor.submit(synthesize_jobs,
                                               [job]).result()[0]
        if self.pool is None:
            self.pool = new_pool(1)
        future = self.pool.submit(synthesize_jobs, [job])
        self.process = next(iter(self.pool._processes.values()), None)
        try:
            watch = Watch(lambda: file_size(job), lambda: self.pool)
            while not future.done():
                watch.wait([future])
            return future.result()[0]
        except Exception:
            self.close()
            raise

    def cause(self, error):
        """How the worker ended: its signal where this process knows it."""
        process, self.process = self.process, None
        status = process and exit_status(process)
        if status is not None and status < 0:
            return signal.Signals(-status).name
        if status is not None:
            return f"exit status {status}"
        return f"{type(error).__name__}: {error}"

    def close(self):
        if self.pool is not None:
            drop_local_pool(self.pool, kill=True)
            self.pool = None
