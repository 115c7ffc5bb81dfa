"""How the local worker processes start and end: each is a fresh
interpreter (spawned, not forked), so it holds none of the caller's
descriptors but its own pipes and stderr, and a watcher thread in it ends it
as soon as the caller is gone, however the caller died."""
import io
import multiprocessing
import os
import select
import signal
import threading
from multiprocessing import popen_spawn_posix, reduction, spawn, util
from multiprocessing.context import SpawnContext, SpawnProcess

import vyn


def _preparation_data(name):
    """What a spawned child needs before it runs, without the caller's
    __main__: the workers run vyn_tools' functions only, and importing a
    script again would run its top level (its own calls among it) in every
    worker."""
    data = spawn.get_preparation_data(name)
    data.pop("init_main_from_path", None)
    data.pop("init_main_from_name", None)
    return data


class _Popen(popen_spawn_posix.Popen):
    """The standard library's spawn, but for the preparation data."""

    def _launch(self, process_obj):
        from multiprocessing import resource_tracker
        tracker_fd = resource_tracker.getfd()
        self._fds.append(tracker_fd)
        buffer = io.BytesIO()
        popen_spawn_posix.set_spawning_popen(self)
        try:
            reduction.dump(_preparation_data(process_obj._name), buffer)
            reduction.dump(process_obj, buffer)
        finally:
            popen_spawn_posix.set_spawning_popen(None)
        parent_r, child_w = os.pipe()
        child_r, parent_w = os.pipe()
        # Closed with this object: the child's sentinel sees its caller end.
        self.finalizer = util.Finalize(self, util.close_fds,
                                       (parent_r, parent_w))
        try:
            command = spawn.get_command_line(tracker_fd=tracker_fd,
                                             pipe_handle=child_r)
            self._fds.extend([child_r, child_w])
            self.pid = util.spawnv_passfds(spawn.get_executable(), command,
                                           self._fds)
            self.sentinel = parent_r
            with open(parent_w, "wb", closefd=False) as pipe:
                pipe.write(buffer.getbuffer())
        finally:
            os.close(child_r)
            os.close(child_w)


class _Process(SpawnProcess):
    _start_method = "spawn"

    @staticmethod
    def _Popen(process_obj):
        return _Popen(process_obj)


class WorkerContext(SpawnContext):
    """The multiprocessing context of vyn_tools' own pools."""
    Process = _Process


CONTEXT = WorkerContext()


def start_worker(caller):
    """The initializer of every local worker: watch the caller, leave
    Ctrl-C to it (a terminal sends it to the whole process group), put
    /dev/null over the standard input and output it was started with, and
    initialise the synthesizer before the first task."""
    watch_caller(caller)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.close(null)
    vyn._check("", 0.0, 0, [])


def watch_caller(caller):
    """Ends this process once the caller has ended: a pidfd of the caller
    becomes readable then (it does not depend on which of the caller's
    threads made the pool); without pidfds, the end of the pipe the caller
    alone holds."""
    try:
        handle = os.pidfd_open(caller)
    except (AttributeError, OSError):
        parent = multiprocessing.parent_process()
        handle = None if parent is None else parent.sentinel
    if os.getppid() != caller:  # gone before the pidfd was taken
        os._exit(1)
    if handle is not None:
        threading.Thread(target=_end_when_readable, args=(handle,),
                         name="vyn-caller-watch", daemon=True).start()


def _end_when_readable(handle):
    select.select([handle], [], [])
    os._exit(1)
