"""Many fragment lists into many files: each job is the four arguments of
vyn.synthesize_multiple, its output path the caller's (storage all the
workers share, on a cluster)."""
from concurrent.futures import Executor
from typing import Any, Iterable, Iterator, NamedTuple, Optional

import vyn

from ._errors import parse_error
from ._runners import Runner, in_completion_order

# Jobs go out in batches: a short list takes about a millisecond, less than
# handing it to a worker costs.
MAX_BATCH = 32
BATCHES_PER_WORKER = 8


class JobResult(NamedTuple):
    job: Any     # the job as it was given
    result: Any  # what vyn.synthesize_multiple returned, or its ValueError


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
    note) as its result, and the other jobs go on."""
    jobs = list(jobs)
    runner = Runner(workers, executor)
    size = batch_size(len(jobs), runner.parallelism)
    batches = [range(first, min(first + size, len(jobs)))
               for first in range(0, len(jobs), size)]
    tasks = [(synthesize_jobs, ([jobs[i] for i in batch],))
             for batch in batches]
    for index, future in in_completion_order(runner, tasks,
                                             2 * runner.parallelism):
        try:
            results = future.result()
        except Exception as error:
            results = [runner.failure(error) for _ in batches[index]]
        for job_index, result in zip(batches[index], results):
            yield JobResult(jobs[job_index], result)
