"""Where the work runs: the calling process, a pool of local worker
processes kept warm between calls, or any concurrent.futures.Executor (a
Dask cluster's among them). Tasks go out in a window of a few more than the
workers can run, so that work a limit makes useless is mostly never
started."""
import atexit
import concurrent.futures as futures
import multiprocessing
import os
import signal
import threading
import time

import vyn

from ._errors import synthesis_error
from ._workers import CONTEXT, start_worker

# A call whose workers make no progress for this long (no part done, no
# part's file grown, no CPU time used) fails: a stopped worker. Even a
# part's slowest fragment adds to its file every few milliseconds.
STALL_SECONDS = 60.0
# How often a waiting call looks for progress.
PROGRESS_POLL_SECONDS = 0.5


def usable_cores():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class InlineExecutor(futures.Executor):
    """Runs each task in the calling process as it is submitted."""

    def submit(self, fn, /, *args, **kwargs):
        future = futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except BaseException as error:  # handed to the caller as the result
            future.set_exception(error)
        return future


def _warm_up():
    # Has a worker start, its synthesizer initialised (vyn_tools' own pools
    # do that in their initializer; a caller's pool has none).
    vyn._check("", 0.0, 0, [])


_pool_lock = threading.Lock()
_pool = None
_pool_key = None


def new_pool(workers, start_method=None):
    """Worker processes started afresh (see _workers; another start method
    where one is named), each ending with this process."""
    context = (CONTEXT if start_method is None
               else multiprocessing.get_context(start_method))
    return futures.ProcessPoolExecutor(
        max_workers=workers, mp_context=context, initializer=start_worker,
        initargs=(os.getpid(), start_method != "forkserver"))


def local_pool(workers, start_method=None):
    """A pool of worker processes, kept for the next call with the same
    number of workers started the same way (None: spawned; in this
    process: a forked child makes its own) unless a worker died."""
    global _pool, _pool_key
    key = (os.getpid(), workers, start_method)
    with _pool_lock:
        stale = (_pool is None or _pool_key != key
                 or getattr(_pool, "_broken", False))
        if stale:
            if _pool is not None and _pool_key[0] == key[0]:
                _pool.shutdown(wait=False, cancel_futures=True)
            _pool = new_pool(workers, start_method)
            _pool_key = key
        return _pool


@atexit.register
def _end_kept_pool():
    """Shuts the kept pool down while the interpreter is whole: collected
    during its teardown, an executor's callback finds its modules gone and
    prints an error."""
    global _pool
    pool, _pool = _pool, None
    if pool is not None:
        pool.shutdown(wait=False, cancel_futures=True)


def drop_local_pool(pool, kill=False):
    """Forgets a pool that broke (a worker died), so the next call starts a
    new one; with kill, ends its workers first (a stopped one among them)."""
    global _pool
    with _pool_lock:
        if _pool is pool:
            _pool = None
    if kill:
        kill_workers(pool)
    pool.shutdown(wait=False, cancel_futures=True)


def kill_workers(pool):
    for process in list(getattr(pool, "_processes", {}).values()):
        try:
            os.kill(process.pid, signal.SIGKILL)
        except (OSError, TypeError):
            pass


def workers_cpu_ticks(pool):
    """The CPU time the pool's worker processes have used, in clock ticks:
    it grows while any of them works, and a stopped one adds nothing. A
    work whose output does not grow (a stream, /dev/null) shows its
    progress here."""
    ticks = 0
    for process in list(getattr(pool, "_processes", {}).values()):
        try:
            with open(f"/proc/{process.pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])  # utime, stime
        except (OSError, IndexError, ValueError, AttributeError):
            pass
    return ticks


def executor_parallelism(executor):
    if isinstance(executor, InlineExecutor):
        return 1
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return workers
    client = getattr(executor, "_client", None)  # Dask's ClientExecutor
    if client is not None:
        try:
            return max(1, sum(client.nthreads().values()))
        except Exception:  # an unreachable scheduler: guess
            pass
    return usable_cores()


class Runner:
    """An executor with what the layers need to know about it: how many
    tasks it runs at once, and whether its workers share this machine's
    files (else audio comes back as bytes)."""

    def __init__(self, workers=None, executor=None):
        self.owned_pool = None
        if executor is not None:
            self.executor = executor
            self.parallelism = executor_parallelism(executor)
            self.local = isinstance(executor, (InlineExecutor,
                                               futures.ProcessPoolExecutor))
            return
        workers = usable_cores() if workers is None else int(workers)
        if workers < 1:
            raise ValueError("workers must be 1 or more")
        self.parallelism = workers
        self.local = True
        if workers == 1:
            self.executor = InlineExecutor()
        else:
            self.executor = self.owned_pool = local_pool(workers)

    @property
    def inline(self):
        return isinstance(self.executor, InlineExecutor)

    @property
    def window(self):
        """Tasks handed out at once: a few more than run at once keep the
        workers busy; in this process each runs as it is handed out."""
        return 1 if self.inline else self.parallelism + 1

    def submit(self, function, *arguments):
        """The executor's future; a pool of ours that broke is replaced by
        a new one, and an executor that refuses gives a failed future."""
        try:
            if getattr(self.owned_pool, "_broken", False):
                self.renew_pool()
            return self.executor.submit(function, *arguments)
        except Exception as error:
            future = futures.Future()
            future.set_exception(error)
            return future

    def start(self):
        """Has a local pool start its processes before the caller opens its
        output, so that a pool that cannot start leaves no file."""
        if isinstance(self.executor, futures.ProcessPoolExecutor):
            try:
                self.submit(_warm_up).result()
            except Exception as error:
                raise self.failure(error) from error

    def renew_pool(self, kill=False):
        drop_local_pool(self.owned_pool, kill)
        self.executor = self.owned_pool = local_pool(self.parallelism)

    def stalled(self):
        """The error for workers that made no progress for STALL_SECONDS;
        a pool of ours is ended with them."""
        self.end_stalled_pool()
        return synthesis_error(f"a worker made no progress for "
                               f"{STALL_SECONDS:g} s")

    def end_stalled_pool(self):
        """Kills a pool of ours and starts a new one: a stopped worker would
        hold it for ever. A pool of the caller's is left as it is."""
        if self.owned_pool is not None:
            self.renew_pool(kill=True)

    def failure(self, error):
        """The synthesis error for a task that did not come back: its
        worker died, or the executor gave up on it."""
        return synthesis_error(f"a worker failed: {type(error).__name__}: "
                               f"{error}")


def _submit_window(runner, tasks, window, next_task, pending):
    while next_task < len(tasks) and len(pending) < window:
        function, arguments = tasks[next_task]
        pending[runner.submit(function, *arguments)] = next_task
        next_task += 1
    return next_task


class InOrder:
    """Hands out tasks, a list of (function, arguments), a window at a time,
    the first window when made, so the work starts while the caller gets
    ready; iterating yields (index, future) in the tasks' order, each once
    it is done, later ones running meanwhile. In waves, the next window goes
    out only once all handed out are done. close() cancels what has not
    started."""

    def __init__(self, runner, tasks, window, waves=False, probe=None):
        self.runner, self.tasks = runner, tasks
        self.window, self.waves = window, waves
        self.pending, self.done, self.next_task = {}, {}, 0
        self.watch = Watch(probe, lambda: runner.executor)
        self._hand_out()

    def _hand_out(self):
        self.next_task = _submit_window(self.runner, self.tasks, self.window,
                                        self.next_task, self.pending)

    def __iter__(self):
        for index in range(len(self.tasks)):
            while index not in self.done:
                if not (self.waves and self.pending):
                    self._hand_out()
                try:
                    finished = self.watch.wait(self.pending)
                except Stalled:
                    raise self.runner.stalled() from None
                for future in finished:
                    self.done[self.pending.pop(future)] = future
            yield index, self.done.pop(index)

    def close(self):
        """Cancels what has not started; gives {index: future} of the tasks
        handed out that are not done yet."""
        for future in self.pending:
            future.cancel()
        return {index: future for future, index in self.pending.items()
                if not future.done()}


class Stalled(Exception):
    """The work made no progress for STALL_SECONDS."""


class Watch:
    """Waits for a task to be done, bounded where a probe of the work's
    progress is given (a value that changes while the workers work, to which
    the CPU time of the workers of the pool that pool() gives is added):
    without one, only the executor's own bounds apply (Dask's worker
    time-to-live)."""

    def __init__(self, probe=None, pool=lambda: None):
        self.probe = probe and (lambda: (probe(), workers_cpu_ticks(pool())))
        self.seen = None

    def wait(self, pending):
        """The futures of pending done; Stalled when none is done and the
        probe sees no change for STALL_SECONDS."""
        if self.probe is None:
            return futures.wait(pending,
                                return_when=futures.FIRST_COMPLETED)[0]
        since = time.monotonic()
        while True:
            finished, _ = futures.wait(pending,
                                       timeout=PROGRESS_POLL_SECONDS,
                                       return_when=futures.FIRST_COMPLETED)
            if finished:  # the probe is for the quiet spells alone
                return finished
            seen = self.probe()
            if seen != self.seen:
                self.seen = seen
                return finished
            if time.monotonic() - since > STALL_SECONDS:
                raise Stalled()


def in_completion_order(runner, tasks, window, probe=None):
    """Yields (index, future) for tasks as they finish. With a probe of the
    progress of the tasks in hand (it is given their indices), the tasks in
    hand when it sees none for STALL_SECONDS are yielded with a future that
    failed with Stalled, a pool of ours is replaced, and the rest go on."""
    pending, next_task = {}, 0
    watch = Watch(probe and (lambda: probe(sorted(pending.values()))),
                  lambda: runner.executor)
    try:
        while True:
            next_task = _submit_window(runner, tasks, window, next_task,
                                       pending)
            if not pending:
                return
            try:
                finished = watch.wait(pending)
            except Stalled as stall:
                yield from _given_up(runner, pending, stall)
                continue
            for future in finished:
                yield pending.pop(future), future
    finally:
        for future in pending:
            future.cancel()


def _given_up(runner, pending, stall):
    runner.end_stalled_pool()
    for future, index in list(pending.items()):
        future.cancel()
        del pending[future]
        failed = futures.Future()
        failed.set_exception(stall)
        yield index, failed
