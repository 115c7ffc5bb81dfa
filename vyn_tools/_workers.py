"""How the local worker processes start and end: each is a fresh
interpreter (spawned, not forked), so it holds none of the caller's
descriptors but its own pipes and stderr, and a watcher thread in it ends it
as soon as the caller is gone, however the caller died."""
import multiprocessing
import os
import select
import signal
import threading

import vyn


# Spawned, not forked: a worker starts from a fresh interpreter, whatever
# the caller had open. As with any spawned pool, a script that uses workers
# keeps its own work under `if __name__ == "__main__":`, since each worker
# imports the script's module to find what it runs.
CONTEXT = multiprocessing.get_context("spawn")


def start_worker(caller, caller_is_parent=True):
    """The initializer of every local worker: watch the caller, leave
    Ctrl-C to it (a terminal sends it to the whole process group), put
    /dev/null over the standard input and output it was started with, and
    initialise the synthesizer before the first task."""
    watch_caller(caller, caller_is_parent)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.close(null)
    vyn._check("", 0.0, 0, [])


def watch_caller(caller, caller_is_parent):
    """Ends this process once the caller has ended: a pidfd of the caller
    becomes readable then (it does not depend on which of the caller's
    threads made the pool); without pidfds, the end of the pipe the caller
    alone holds. A caller that started this process itself is its parent
    while it lives (a forkserver's workers have the server instead): another
    parent means the caller ended before its pidfd was taken, and the pid
    may be another process's by now."""
    try:
        handle = os.pidfd_open(caller)
    except ProcessLookupError:
        os._exit(1)
    except (AttributeError, OSError):
        parent = multiprocessing.parent_process()
        handle = None if parent is None else parent.sentinel
    if caller_is_parent and os.getppid() != caller:
        os._exit(1)
    if handle is not None:
        threading.Thread(target=_end_when_readable, args=(handle,),
                         name="vyn-caller-watch", daemon=True).start()


def _end_when_readable(handle):
    select.select([handle], [], [])
    os._exit(1)
