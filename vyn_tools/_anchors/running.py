"""Running the inputs: everything for one input file, and the inputs on the
package's worker pools (or a Dask cluster's executor)."""
from concurrent.futures import Executor
from typing import Callable, Iterator, List, Optional

from .._runners import Runner, in_completion_order, local_pool
from .formats import WRITERS
from .plot import plot
from .reading import read_fragments
from .records import Job, Outcome, ToolError
from .report import Progress
from .synthesis import synthesize


def run_job(job: Job,
            progress: Optional[Callable[[int], None]] = None) -> Outcome:
    """Everything for one input file; runs in a worker process when there
    are several. Failures come back as the outcome's error, so one bad file
    does not stop the others."""
    try:
        outcome = synthesize(job, read_fragments(job.input_path, job.voice),
                             progress)
        for name, path in job.anchor_paths.items():
            path.write_text(WRITERS[name](outcome), encoding="utf-8")
        if job.plot_path is not None:
            plot(outcome, job.plot_path)
        return outcome
    except ToolError as error:
        return Outcome(job, error=f"{job.input_path}: {error}")
    except OSError as error:
        return Outcome(job, error=f"{job.input_path}: cannot write "
                                  f"{error.filename} ({error.strerror})")


def workers_executor(workers: int, start_method: Optional[str],
                     executor: Optional[Executor]) -> Optional[Executor]:
    """The executor given, else the package's pool of that many local
    processes started as asked; None for one process (this one)."""
    if executor is None and workers > 1:
        return local_pool(workers, start_method)
    return executor


def run_jobs(jobs: List[Job], workers: int, start_method: Optional[str],
             executor: Optional[Executor],
             progress: Progress) -> Iterator[Outcome]:
    """One input: its list split over the workers (or the executor). Several:
    workers of them at a time, one call each, in the order they finish."""
    if len(jobs) == 1:
        job = jobs[0]
        job.workers = workers
        job.executor = workers_executor(workers, start_method, executor)
        yield run_job(job, progress.advance)
        return
    runner = Runner(1, workers_executor(min(workers, len(jobs)),
                                        start_method, executor))
    tasks = [(run_job, (job,)) for job in jobs]
    for _, future in in_completion_order(runner, tasks, runner.window):
        yield future.result()
        progress.advance()


def connect(address: str) -> Executor:
    try:
        from distributed import Client
    except ImportError:
        raise ToolError("--scheduler needs Dask: pip install 'vyn[dask]'") \
            from None
    try:
        client = Client(address, timeout=30)
    except (OSError, TimeoutError) as error:
        raise ToolError(f"cannot reach the scheduler at {address} "
                        f"({error})") from None
    executor: Executor = client.get_executor()
    return executor
