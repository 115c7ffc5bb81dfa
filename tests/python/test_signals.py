"""Signals during a call: Python's handlers run between fragments on the
main thread. One that raises stops the call with its exception and leaves a
valid file; one that does not never fails the call; a call made from a
handler is refused instead of deadlocking. Each case runs in a fresh
interpreter with a timeout, so that a hang fails the test."""
import json

import pytest

from conftest import SYNTHESIS_ERROR, read_wave, run_python

PRELUDE = """
import json, os, signal, threading, time, vyn
path = {path!r}
def sentences(n):
    return [("en", f"This is sentence number {{i}} of a long list.")
            for i in range(n)]
def send_later(signum, delay, count=1, every=0.0):
    def send():
        time.sleep(delay)
        for _ in range(count):
            os.kill(os.getpid(), signum)
            time.sleep(every)
    thread = threading.Thread(target=send, daemon=True)
    thread.start()
    return thread
"""


def run_case(path, body: str) -> dict:
    result = run_python(PRELUDE.format(path=str(path)) + body, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


RAISING = {
    "sigint": "send_later(signal.SIGINT, 0.5)",
    "alarm": """
def on_alarm(signum, frame):
    raise TimeoutError
signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.5)
""",
}


@pytest.mark.parametrize("sender, exception", [("sigint", "KeyboardInterrupt"),
                                               ("alarm", "TimeoutError")])
def test_raising_handler_stops_the_call(tmp_path, sender, exception):
    outcome = run_case(tmp_path / "long.wav", RAISING[sender] + """
start = time.monotonic()
try:
    vyn.synthesize_multiple(path, 0, 0, sentences(4000))
    caught = None
except BaseException as error:
    caught = type(error).__name__
stopped = time.monotonic() - start
rate, count, _ = vyn.synthesize_multiple(path + ".next", 0, 0, sentences(2))
print(json.dumps({"caught": caught, "stopped": stopped, "next": count}))
""")
    assert outcome["caught"] == exception
    # The whole list takes over 15 s; the signal comes at 0.5 s.
    assert outcome["stopped"] < 2.5
    assert outcome["next"] == 2
    info = read_wave(tmp_path / "long.wav")
    assert 0 < info.seconds < 4000


def test_quiet_handlers_never_fail_a_call(tmp_path):
    # A barrage of signals whose handlers return, while one call runs on the
    # main thread and another on a second thread.
    outcome = run_case(tmp_path / "main.wav", """
handled = []
signal.signal(signal.SIGUSR1, lambda *_: handled.append(1))
signal.signal(signal.SIGALRM, lambda *_: handled.append(2))
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.003)
send_later(signal.SIGUSR1, 0.0, count=2000, every=0.0005)
fragments = sentences(400)
other = {}
worker = threading.Thread(target=lambda: other.update(
    result=vyn.synthesize_multiple(path + ".thread.wav", 0, 0, fragments)))
worker.start()
rate, count, anchors = vyn.synthesize_multiple(path, 0, 0, fragments)
worker.join()
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps({"count": count, "end": anchors[-1][1], "handled": len(handled),
                  "thread_count": other["result"][1]}))
""")
    assert outcome["handled"] > 10
    assert outcome["count"] == outcome["thread_count"] == 400
    assert read_wave(tmp_path / "main.wav").seconds == pytest.approx(
        outcome["end"], abs=1e-3)


def test_call_from_a_handler_is_refused(tmp_path):
    outcome = run_case(tmp_path / "outer.wav", """
inner = []
def on_alarm(signum, frame):
    try:
        vyn.synthesize_multiple(path + ".inner.wav", 0, 0, sentences(1))
        inner.append("succeeded")
    except ValueError as error:
        inner.append(str(error))
signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.2)
rate, count, _ = vyn.synthesize_multiple(path, 0, 0, sentences(300))
print(json.dumps({"count": count, "inner": inner,
                  "inner_file": os.path.exists(path + ".inner.wav")}))
""")
    assert outcome == {"count": 300, "inner": [SYNTHESIS_ERROR],
                       "inner_file": False}


# The main thread calls while a second thread's long call holds the engine:
# Ctrl-C during the wait is heard within 0.5 s, and the waiting call neither
# creates its file nor touches one already there.
@pytest.mark.parametrize("existing", [False, True])
def test_ctrl_c_while_waiting_for_the_engine(tmp_path, existing):
    waiting = tmp_path / "waiting.wav"
    if existing:
        waiting.write_bytes(b"kept as it was")
    outcome = run_case(tmp_path / "holder.wav", f"""
holder = threading.Thread(target=lambda: vyn.synthesize_multiple(
    path, 0, 0, sentences(3000)), daemon=True)
holder.start()
time.sleep(0.3)
sent = []
def interrupt():
    time.sleep(0.5)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
try:
    vyn.synthesize_multiple({str(waiting)!r}, 0, 0, sentences(1))
    caught = None
except KeyboardInterrupt:
    caught = time.monotonic() - sent[0]
print(json.dumps({{"caught": caught, "holder_alive": holder.is_alive()}}),
      flush=True)
os._exit(0)
""")
    assert outcome["holder_alive"]
    assert outcome["caught"] is not None and outcome["caught"] < 0.5
    assert (waiting.read_bytes() == b"kept as it was" if existing
            else not waiting.exists())
