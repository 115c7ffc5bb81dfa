"""The installed vyn-anchors run as a user runs it: on real text files, with
the real eSpeak NG, its WAVE files read back with wave and soxi."""
import fcntl
import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import vyn
from conftest import read_wave, run_python, soxi, without_voice_data

TOOL = Path(sys.executable).with_name("vyn-anchors")

# Lines of clearly different lengths, so that a fragment labelled with the
# wrong line shows in its duration.
STORY = [
    ("en", "Short."),
    ("de", "Dieser deutsche Satz ist deutlich länger als der erste."),
    ("en", "A middle one."),
    ("fr", "Et voici enfin une phrase française, longue, très longue, "
           "avec beaucoup de mots."),
    ("en", "Bye."),
]


def write_story(path: Path, lines=STORY) -> Path:
    # A byte order mark, CRLF line ends, a blank line and one line in the
    # default voice: the tool must still number the lines as the file does.
    rows = [text if voice == "en" else f"{voice}\t{text}"
            for voice, text in lines]
    rows.insert(2, "   ")
    path.write_bytes(("\ufeff" + "\r\n".join(rows) + "\r\n").encode())
    return path


STORY_LINES = [1, 2, 4, 5, 6]  # line numbers of STORY in the written file


def run_tool(*arguments, cwd, env=None):
    return subprocess.run([sys.executable, str(TOOL), *map(str, arguments)],
                          cwd=cwd, capture_output=True, text=True, timeout=300,
                          env={**os.environ, **(env or {})})


@pytest.fixture(scope="module")
def durations(tmp_path_factory):
    """Each line of STORY synthesized on its own: the yardstick for the
    labels."""
    path = str(tmp_path_factory.mktemp("yardstick") / "line.wav")
    return [vyn.synthesize_multiple(path, 0.0, 0, [line])[2][0][1]
            for line in STORY]


@pytest.fixture(scope="module")
def forward_run(tmp_path_factory):
    directory = tmp_path_factory.mktemp("forward")
    write_story(directory / "story.txt")
    completed = run_tool("story.txt", "-f", "json,srt,tsv", cwd=directory)
    assert completed.returncode == 0, completed.stderr
    document = json.loads((directory / "story.json").read_text("utf-8"))
    return directory, completed, document


class TestForward:
    def test_anchors_label_every_line_and_tile_the_wave(self, forward_run):
        directory, _, document = forward_run
        anchors = document["anchors"]
        assert [(a["line"], a["voice"], a["text"]) for a in anchors] == [
            (line, voice, text)
            for line, (voice, text) in zip(STORY_LINES, STORY)]
        assert [a["fragment"] for a in anchors] == list(range(len(STORY)))
        assert anchors[0]["begin"] == 0.0
        assert all(a["end"] == b["begin"]
                   for a, b in zip(anchors, anchors[1:]))
        info = read_wave(directory / "story.wav")
        assert (info.sample_rate, info.channels) == (22050, 1)
        assert document["sample_rate"] == info.sample_rate
        assert anchors[-1]["end"] == pytest.approx(info.seconds, abs=1e-5)
        assert int(soxi(directory / "story.wav", "-s")) == info.frames

    def test_srt_and_tsv_say_what_the_json_says(self, forward_run):
        directory, _, document = forward_run
        anchors = document["anchors"]
        blocks = (directory / "story.srt").read_text("utf-8").split("\n\n")
        assert blocks[-1] == ""
        for number, (block, anchor) in enumerate(zip(blocks, anchors), 1):
            index, times, text = block.split("\n")
            begin, end = (sum(float(part) * scale for part, scale in zip(
                stamp.replace(",", ":").split(":"), (3600, 60, 1, 1e-3)))
                for stamp in times.split(" --> "))
            assert (int(index), text) == (number, anchor["text"])
            assert begin == pytest.approx(anchor["begin"], abs=5e-4)
            assert end == pytest.approx(anchor["end"], abs=5e-4)
        rows = (directory / "story.tsv").read_text("utf-8").splitlines()
        assert rows[0].split("\t") == ["fragment", "line", "voice", "begin",
                                       "end", "text"]
        for row, anchor in zip(rows[1:], anchors):
            fragment, line, voice, begin, end, text = row.split("\t")
            assert (int(fragment), int(line), voice, text) == (
                anchor["fragment"], anchor["line"], anchor["voice"],
                anchor["text"])
            assert float(end) == pytest.approx(anchor["end"], abs=1e-6)
        assert len(rows) == len(anchors) + 1

    def test_durations_belong_to_their_lines(self, forward_run, durations):
        _, _, document = forward_run
        written = [a["end"] - a["begin"] for a in document["anchors"]]
        assert written == pytest.approx(durations, abs=0.05)


class TestLimits:
    @pytest.mark.parametrize("limit", [0.3, 4.0, 7.5, 1000.0])
    def test_forward_stops_after_the_fragment_that_reaches_the_limit(
            self, tmp_path, limit):
        write_story(tmp_path / "story.txt")
        assert run_tool("story.txt", "--quit-after", limit,
                        cwd=tmp_path).returncode == 0
        anchors = json.loads((tmp_path / "story.json").read_text())["anchors"]
        assert [a["line"] for a in anchors] == STORY_LINES[:len(anchors)]
        assert all(a["end"] < limit for a in anchors[:-1])
        assert anchors[-1]["end"] >= limit or len(anchors) == len(STORY)

    # Limits well inside a fragment, beyond the total, and right at the
    # boundaries of the backward measurement, where the few milliseconds by
    # which eSpeak varies from call to call decide the start.
    @pytest.mark.parametrize("boundary, offset", [
        (None, 2.0), (None, 1000.0),
        (2, -0.004), (2, 0.0), (2, 0.004), (3, 0.0), (4, 0.0)])
    def test_backward_labels_are_the_lines_spoken(self, tmp_path, durations,
                                                  boundary, offset):
        limit = offset + (sum(durations[-boundary:]) if boundary else 0.0)
        write_story(tmp_path / "story.txt")
        completed = run_tool("story.txt", "--quit-after", limit,
                             "--backwards", cwd=tmp_path)
        assert completed.returncode == 0, completed.stderr
        document = json.loads((tmp_path / "story.json").read_text())
        start, anchors = document["start"], document["anchors"]
        if offset == 1000.0:
            assert start == 0 and len(anchors) == len(STORY)
        assert [a["line"] for a in anchors] == STORY_LINES[
            start:start + len(anchors)]
        written = [a["end"] - a["begin"] for a in anchors]
        assert written == pytest.approx(
            durations[start:start + len(anchors)], abs=0.05)
        assert start == 0 or sum(durations[start:]) >= limit - 0.05
        assert start == 0 or sum(durations[start + 1:]) < limit + 0.05


class TestFailures:
    @pytest.mark.parametrize("content, message", [
        (None, "no such file"),
        (b"", "nothing to speak"),
        (b"\n  \n\t\n", "nothing to speak"),
        (b"en\tHello.\nxx-nope\tWorld.\n",
         "unknown voice 'xx-nope' (first on line 2)"),
        (b"caf\xe9\n", "not UTF-8 text"),
    ])
    def test_bad_input_is_named_without_a_traceback(self, tmp_path, content,
                                                    message):
        if content is not None:
            (tmp_path / "missing.txt").write_bytes(content)
        completed = run_tool("missing.txt", cwd=tmp_path)
        assert completed.returncode == 1
        assert completed.stderr == (
            f"vyn-anchors: error: missing.txt: {message}"
            + completed.stderr.split(message, 1)[1])
        assert "Traceback" not in completed.stderr
        assert not (tmp_path / "missing.json").exists()

    def test_missing_voice_data_is_not_called_an_unknown_voice(self,
                                                               tmp_path):
        write_story(tmp_path / "story.txt")
        env, _ = without_voice_data(tmp_path)
        completed = run_tool("story.txt", cwd=tmp_path, env=env)
        assert completed.returncode == 1
        assert "is its voice data (espeak-ng-data) installed?" in (
            completed.stderr)

    def test_one_bad_file_does_not_stop_the_others(self, tmp_path):
        write_story(tmp_path / "good.txt")
        (tmp_path / "empty.txt").write_bytes(b"")
        completed = run_tool("empty.txt", "good.txt", cwd=tmp_path)
        assert completed.returncode == 1
        assert "empty.txt: nothing to speak" in completed.stderr
        assert (tmp_path / "good.json").exists()

    @pytest.mark.parametrize("arguments, status, message", [
        (["a.txt", "--backwards"], 2, "--backwards needs --quit-after"),
        (["a.txt", "b.txt", "-o", "x.wav"], 1, "must contain {stem}"),
        (["a.txt", "-f", "json,xml"], 2, "choose from json, srt, tsv, vtt"),
        (["a.txt", "--quit-after", "-1"], 2, "0 or more"),
        (["a.txt", "--rate", "79"], 2, "a whole number from 80 to 1000"),
        (["a.txt", "--pitch", "x"], 2, "a whole number from 0 to 99"),
        (["a.txt", "--word-gap", "1001"], 2, "from 0 to 1000"),
        (["a.txt", "--rate", "450", "--words"], 2,
         "--words needs a --rate of 449 or less"),
    ])
    def test_usage_errors(self, tmp_path, arguments, status, message):
        completed = run_tool(*arguments, cwd=tmp_path)
        assert (completed.returncode, message in completed.stderr) == (
            status, True), completed.stderr

    def test_settings_shape_every_line_as_vyn_s_call(self, tmp_path):
        """Both first calls of a fresh process: the same bytes."""
        write_story(tmp_path / "story.txt")
        completed = run_tool("story.txt", "--rate", "120", "--pitch", "70",
                             "--volume", "150", "--word-gap", "3",
                             "--ssml", cwd=tmp_path)
        assert completed.returncode == 0, completed.stderr
        shaped = [(voice, text, {"rate": 120, "pitch": 70, "volume": 150,
                                 "word_gap": 3, "ssml": True})
                  for voice, text in STORY]
        output = str(tmp_path / "vyn.wav")
        called = run_python(f"import vyn; vyn.synthesize_multiple("
                            f"{output!r}, 0, 0, {shaped!r})")
        assert called.returncode == 0, called.stderr
        assert (tmp_path / "story.wav").read_bytes() == \
            (tmp_path / "vyn.wav").read_bytes()
        document = json.loads((tmp_path / "story.json").read_text("utf-8"))
        assert document["settings"] == shaped[0][2]


class TestPlot:
    @pytest.mark.parametrize("options", [[], ["--phonemes"]])
    def test_png_is_written(self, tmp_path, options):
        write_story(tmp_path / "story.txt")
        completed = run_tool("story.txt", "--plot", "pictures/story.png",
                             *options, cwd=tmp_path)
        assert completed.returncode == 0, completed.stderr
        png = (tmp_path / "pictures" / "story.png").read_bytes()
        assert png.startswith(b"\x89PNG\r\n\x1a\n")
        width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(
            png[20:24], "big")
        assert (width, height) == (1600, 450)

    def test_without_matplotlib_it_says_how_to_install_it(self, tmp_path):
        write_story(tmp_path / "story.txt")
        completed = run_python(
            f"import sys; sys.modules['matplotlib'] = None; "
            f"from vyn_tools import anchors; "
            f"sys.exit(anchors.main([{str(tmp_path / 'story.txt')!r}, "
            f"'--plot', 'x.png']))")
        assert completed.returncode == 1
        assert "pip install 'vyn[plot]'" in completed.stderr
        assert not (tmp_path / "story.wav").exists()


@pytest.mark.parametrize("start_method", ["fork", "spawn"])
def test_jobs_in_processes_after_the_parent_has_synthesized(tmp_path,
                                                             start_method):
    names = ["one", "two", "three"]
    for count, name in enumerate(names, start=3):
        write_story(tmp_path / f"{name}.txt", STORY[:count])
    completed = run_python(f"""
import os, sys
os.chdir({str(tmp_path)!r})
import vyn
from vyn_tools import anchors
vyn.synthesize_multiple("parent.wav", 0.0, 0, [("en", "The parent first.")])
sys.exit(anchors.main({[f"{n}.txt" for n in names]!r} + [
    "-o", "out/{{stem}}.wav", "--jobs", "2", "--start-method",
    {start_method!r}]))
""")
    assert completed.returncode == 0, completed.stderr
    for count, name in enumerate(names, start=3):
        document = json.loads((tmp_path / "out" / f"{name}.json").read_text())
        assert [a["text"] for a in document["anchors"]] == [
            text for _, text in STORY[:count]]
        info = read_wave(tmp_path / "out" / f"{name}.wav")
        assert document["anchors"][-1]["end"] == pytest.approx(info.seconds,
                                                               abs=1e-5)


def test_line_numbers_are_those_grep_gives(tmp_path):
    # Separators that str.splitlines would split at stay inside their line.
    content = ("One\fpage.\nTwo\u2028lines.\r\n\nThree\x85four\x1cfive.\n"
               "Six\rseven.\n").encode()
    (tmp_path / "odd.txt").write_bytes(content)
    completed = run_tool("odd.txt", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    grep = subprocess.run(["grep", "-n", "", "odd.txt"], cwd=tmp_path,
                          check=True, capture_output=True).stdout
    numbered = [row.decode().split(":", 1) for row in grep.split(b"\n")]
    expected = [(int(n), line.strip()) for n, *rest in numbered if rest
                for line in rest if line.strip()]
    anchors = json.loads((tmp_path / "odd.json").read_text())["anchors"]
    assert [(a["line"], a["text"]) for a in anchors] == expected
    assert [n for n, _ in expected] == [1, 2, 4, 5]


def test_ctrl_c_is_one_line_and_leaves_a_valid_wave(tmp_path):
    write_story(tmp_path / "long.txt", STORY * 200)
    tool = subprocess.Popen([sys.executable, str(TOOL), "long.txt", "-q"],
                            cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    wav = tmp_path / "long.wav"
    while not wav.exists() or wav.stat().st_size < 200_000:
        assert tool.poll() is None, tool.stderr.read()
        time.sleep(0.05)
    tool.send_signal(signal.SIGINT)
    _, stderr = tool.communicate(timeout=60)
    assert (tool.returncode, stderr) == (130, "vyn-anchors: interrupted\n")
    assert read_wave(wav).frames > 0


def cue_seconds(stamp):
    return sum(float(part) * scale for part, scale in zip(
        stamp.replace(",", ":").replace(".", ":").split(":"),
        (3600, 60, 1, 1e-3)))


@pytest.mark.parametrize("where", ["jobs", "scheduler"])
@pytest.mark.parametrize("limit", [[], ["--quit-after", "150",
                                        "--backwards"]])
def test_one_long_input_is_split_and_labelled(tmp_path, request, where,
                                              limit):
    lines = STORY * 40
    write_story(tmp_path / "long.txt", lines)
    options = ["--jobs", "2"]
    if where == "scheduler":
        executor = request.getfixturevalue("dask_executor")
        options = ["--scheduler", executor._client.scheduler.address]
    completed = run_tool("long.txt", "-f", "json,vtt", *options, *limit,
                         cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    document = json.loads((tmp_path / "long.json").read_text("utf-8"))
    start, anchors = document["start"], document["anchors"]
    assert (start > 0) == bool(limit)
    assert [(a["fragment"], a["line"], a["text"]) for a in anchors] == [
        (i, i + 1 + (i >= 2), lines[i][1])
        for i in range(start, start + len(anchors))]
    assert anchors[-1]["end"] == pytest.approx(
        read_wave(tmp_path / "long.wav").seconds, abs=1e-4)
    header, *cues = (tmp_path / "long.vtt").read_text("utf-8").split("\n\n")
    assert (header, cues[-1]) == ("WEBVTT", "")
    for cue, anchor in zip(cues, anchors):
        _, times, text = cue.split("\n")
        begin, end = map(cue_seconds, times.split(" --> "))
        assert (begin, end) == pytest.approx((anchor["begin"], anchor["end"]),
                                             abs=5e-4)
        assert text == anchor["text"]
    assert len(cues) == len(anchors) + 1


def test_a_bar_on_a_terminal_and_nothing_with_quiet(tmp_path):
    pytest.importorskip("tqdm")
    write_story(tmp_path / "story.txt")
    plain = run_tool("story.txt", cwd=tmp_path)
    assert (plain.stdout.startswith("story.txt: 5 fragments"),
            plain.stderr) == (True, "")
    assert run_tool("story.txt", "--quiet", cwd=tmp_path).stdout == ""
    main, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    completed = subprocess.run([str(TOOL), "story.txt"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=terminal,
                               timeout=120)
    drawn = ""
    while select.select([main], [], [], 1)[0]:
        drawn += os.read(main, 65536).decode()
    os.close(terminal)
    os.close(main)
    assert completed.returncode == 0
    assert "fragment" in drawn and "5/5" in drawn


def test_words_in_json_webvtt_and_tsv(tmp_path):
    write_story(tmp_path / "story.txt")
    completed = run_tool("story.txt", "--words", "-f", "json,vtt,tsv",
                         cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    anchors = json.loads((tmp_path / "story.json").read_text("utf-8"))[
        "anchors"]
    words = [(a, w) for a in anchors for w in a["words"]]
    assert all(w["text"] == a["text"][w["start"]:w["start"] + w["length"]]
               for a, w in words)
    assert [w["text"] for w in anchors[0]["words"]] == ["Short."]
    assert all(a["words"][0]["begin"] == a["begin"] and
               a["words"][-1]["end"] == a["end"] for a in anchors)
    rows = (tmp_path / "story.tsv").read_text("utf-8").splitlines()[1:]
    assert [row.split("\t") for row in rows] == [
        [str(a["fragment"]), str(a["line"]), a["voice"], f"{w['begin']:.6f}",
         f"{w['end']:.6f}", w["text"]] for a, w in words]
    cues = (tmp_path / "story.vtt").read_text("utf-8").split("\n\n")[1:-1]
    assert len(cues) == len(anchors)
    for cue, anchor in zip(cues, anchors):
        text = cue.splitlines()[2]
        assert re.findall(r"<([\d:.]+)>", text) == [
            vtt_time(w["begin"]) for w in anchor["words"][1:]]
        assert re.sub(r"<[\d:.]+>", "", text) == anchor["text"]


@pytest.mark.parametrize("options, tiers", [
    ([], ["fragments"]),
    (["--words", "--phonemes"], ["fragments", "words", "phonemes"]),
], ids=["fragments", "words_and_phonemes"])
def test_textgrid_read_by_praatio_holds_the_json(tmp_path, options, tiers):
    """Praat's long text format, read by an independent reader: a tier per
    kind, its intervals the JSON's (but those of no length, which Praat has
    not), empty intervals where nothing is."""
    textgrid = pytest.importorskip("praatio.textgrid")
    write_story(tmp_path / "story.txt")
    completed = run_tool("story.txt", *options, "-f", "json,textgrid,tsv",
                         cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    anchors = json.loads((tmp_path / "story.json").read_text("utf-8"))[
        "anchors"]
    grid = textgrid.openTextgrid(str(tmp_path / "story.textgrid"),
                                 includeEmptyIntervals=True)
    assert list(grid.tierNames) == tiers
    assert grid.maxTimestamp == anchors[-1]["end"]
    expected = {"fragments": [(a["begin"], a["end"], a["text"])
                              for a in anchors]}
    if "words" in tiers:
        expected["words"] = [(w["begin"], w["end"], w["text"])
                             for a in anchors for w in a["words"]]
        expected["phonemes"] = [(p["begin"], p["end"], p["ipa"])
                                for a in anchors for p in a["phonemes"]]
        rows = (tmp_path / "story.tsv").read_text("utf-8").splitlines()[1:]
        assert [row.split("\t")[5:7] for row in rows] == [
            [p["ipa"], p["viseme"]] for a in anchors for p in a["phonemes"]]
    for name in tiers:
        entries = grid.getTier(name).entries
        assert entries[0].start == 0 and entries[-1].end == anchors[-1]["end"]
        assert all(x.end == y.start for x, y in zip(entries, entries[1:]))
        assert [(e.start, e.end, e.label) for e in entries if e.label] == [
            e for e in expected[name] if e[1] > e[0] and e[2]]


def vtt_time(seconds):
    milliseconds = round(seconds * 1000)
    hours, rest = divmod(milliseconds, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    return f"{hours:02}:{minutes:02}:{rest // 1000:02}.{rest % 1000:03}"


# Standard output as a pipe and as a regular file, a name of it, and a
# reader that leaves after the header: the audio alone on standard output,
# the anchors beside the input, no traceback.
@pytest.mark.parametrize("output, into, reader", [
    ("-", "pipe", "all"), ("/dev/stdout", "pipe", "all"),
    ("-", "file", "all"), ("-", "pipe", "header"),
])
def test_audio_to_standard_output(tmp_path, output, into, reader):
    write_story(tmp_path / "story.txt")
    command = [sys.executable, str(TOOL), "story.txt", "-o", output]
    if into == "file":
        with open(tmp_path / "out.wav", "wb") as stdout:
            completed = subprocess.run(command, cwd=tmp_path, stdout=stdout,
                                       stderr=subprocess.PIPE, text=True,
                                       timeout=120)
        audio = (tmp_path / "out.wav").read_bytes()
    else:
        tool = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        audio = tool.stdout.read(44 if reader == "header" else -1)
        tool.stdout.close()
        completed = subprocess.CompletedProcess(
            command, tool.wait(timeout=120), None,
            tool.stderr.read().decode())
    assert "Traceback" not in completed.stderr
    assert audio.startswith(b"RIFF")
    if reader == "header":
        assert completed.returncode == 1
        return
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr.startswith("story.txt: 5 fragments")
    document = json.loads((tmp_path / "story.json").read_text("utf-8"))
    samples = (len(audio) - 44) // 2
    assert document["anchors"][-1]["end"] == pytest.approx(
        samples / document["sample_rate"], abs=1e-4)
    assert not Path("/dev/stdout.json").exists()
