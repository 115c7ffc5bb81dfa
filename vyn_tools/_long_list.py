"""One long fragment list over several workers: the list is cut into
contiguous parts, each part is synthesized in a file of its own at the
list's rate, and the parts' audio is joined in order into one file with the
anchors read off whole-sample offsets, as one call reads them."""
import os
import tempfile
from array import array
from contextlib import closing
from typing import List, NamedTuple, Optional, Tuple

import vyn

from ._errors import synthesis_error
from ._runners import InOrder, Runner
from ._wave import HEADER_SIZE, WAVE_LIMIT, JoinedWave, check

# Below about this much text a part costs more to hand out than it gains
# (characters; eSpeak NG speaks some 25,000 a second on one core); a list
# of less than four times this runs as one call.
MIN_PART_CHARACTERS = 750
# At most this many parts' worth of text per worker: parts small enough to
# show progress and to stream soon into a pipe.
PARTS_PER_WORKER = 4
# Each part takes about this share of what the workers have left: the parts
# shrink toward the end, so the workers finish together.
SHARE_OF_WHAT_IS_LEFT = 0.5
# Every fragment costs a little beyond its text (its voice, its end pause).
FRAGMENT_WEIGHT = 16
# About what a second of speech weighs (English prose: 18 characters and a
# fragment every 9 s), a little more to be safe: what a limit will take.
WEIGHT_PER_SECOND = 24


def as_float32(values):
    return array("f", values).tolist()


def limit_reached(seconds, limit):
    return limit > 0 and seconds >= limit


def scratch_file():
    """A descriptor of a file that has no name from the start, so that a
    process killed at any point leaves nothing behind: in memory where the
    system offers it (the parts live only until joined)."""
    try:
        return os.memfd_create("vyn-part", os.MFD_CLOEXEC)
    except (AttributeError, OSError):
        with tempfile.TemporaryFile() as unnamed:
            return os.dup(unnamed.fileno())


def path_of(descriptor, pid=None):
    """A path that opens the file behind this process's descriptor, in this
    process (pid None) or in another one of the same user."""
    return f"/proc/{'self' if pid is None else pid}/fd/{descriptor}"


class Events(NamedTuple):
    """What a call collects as records: the words and phonemes where asked,
    the marks always."""
    words: bool
    phonemes: bool


def part_call(path, quit_after, backwards, fragments, file_rate,
              first_index, words):
    """vyn's call for one part of a list (the whole list, in this process):
    its record, vyn._part_result, with each fragment's words as (offset in
    samples from its begin, start, length) where words is true, else None;
    with words an Events, its phonemes and marks too."""
    arguments = (path, quit_after, backwards, fragments, file_rate,
                 first_index)
    if isinstance(words, Events):
        return vyn._synthesize_part_events(*arguments, *words)
    synthesize = vyn._synthesize_part_words if words else vyn._synthesize_part
    return synthesize(*arguments)


def fragment_events(part, words):
    """Per fragment written, what part_call collected: its words where
    words is true, and with Events (words, phonemes, marks), each a list."""
    if not isinstance(words, Events):
        return part.words
    nothing = [[]] * part.synthesized
    return list(zip(part.words or nothing, part.phonemes or nothing,
                    part.marks))


class PartOutput(NamedTuple):
    """What a worker gives back for a part."""
    fragment_ends: List[int]  # in samples from the part's start
    audio: Optional[bytes]    # the samples, when not left in a shared file
    words: Optional[list]     # as part_call gives them, where asked


def synthesize_part(path, file_rate, fragments, first_index, words=False):
    """Runs in a worker: one part into a WAVE file at the list's rate. With
    no path (a worker that may not share the caller's files) the audio comes
    back as bytes."""
    if path is not None:
        part = part_call(path, 0.0, 0, fragments, file_rate, first_index,
                         words)
        return PartOutput(part.fragment_ends, None,
                          fragment_events(part, words))
    with open(scratch_file(), "rb") as wave_file:
        part = part_call(path_of(wave_file.fileno()), 0.0, 0, fragments,
                         file_rate, first_index, words)
        wave_file.seek(HEADER_SIZE)
        return PartOutput(part.fragment_ends, wave_file.read(),
                          fragment_events(part, words))


def snapshot(item):
    """A checked item as plain tuple, its settings as a dict: what the
    caller changes later, or a Mapping that does not pickle, never reaches
    the workers."""
    return tuple(item[:2]) + tuple(dict(s) for s in item[2:])


def weights_of(fragments):
    return [len(item[1]) + FRAGMENT_WEIGHT for item in fragments]


def plan_parts(fragments, runner, limit=0.0):
    """Contiguous (first, stop) ranges of the list; one for a list too short
    to gain. Without a limit each part aims at a share of what is left per
    worker, so the last parts are the smallest; under a limit the parts are
    equal and small enough that the first wave covers it, so that little is
    synthesized past the cut."""
    weights = weights_of(fragments)
    total = sum(weights)
    largest = max(MIN_PART_CHARACTERS,
                  total / (runner.parallelism * PARTS_PER_WORKER))
    if limit > 0:
        needed = limit * WEIGHT_PER_SECOND
        if needed < 4 * MIN_PART_CHARACTERS:
            return [(0, len(fragments))]
        largest = max(MIN_PART_CHARACTERS,
                      min(largest, needed / runner.parallelism))
    elif total < 4 * MIN_PART_CHARACTERS:
        return [(0, len(fragments))]

    def aim(left):
        if limit > 0:
            return largest
        share = left * SHARE_OF_WHAT_IS_LEFT / runner.parallelism
        return max(MIN_PART_CHARACTERS, min(largest, share))

    parts, first, taken, left = [], 0, 0, total
    for index, weight in enumerate(weights):
        taken += weight
        if taken >= aim(left):
            parts.append((first, index + 1))
            first, left, taken = index + 1, left - taken, 0
    if first < len(fragments):
        if taken < MIN_PART_CHARACTERS / 2 and parts:
            first = parts.pop()[0]  # too little for a part of its own
        parts.append((first, len(fragments)))
    return parts


class Part:
    """A part's range, its fragments' ends in samples, where its audio is
    (its file among the join's open files, by first index, or the audio
    itself), and its fragments' words (offsets from each fragment's begin)
    if asked."""

    def __init__(self, first, stop, ends, files, audio, words=None):
        self.first, self.stop = first, stop
        self.files, self.audio = files, audio
        self.file = files.get(first)
        self.ends, self.words = ends, words

    def samples_before(self, index):
        return 0 if index == self.first else self.ends[index - self.first - 1]

    def write(self, output, first, stop):
        """Fragments first..stop-1 of this part into the output."""
        begin, end = self.samples_before(first), self.samples_before(stop)
        if self.audio is not None:
            output.append_bytes(memoryview(self.audio)[2 * begin:2 * end])
        else:
            output.append_file(self.file, begin, end - begin)

    def discard(self):
        """Frees the part's audio: its worker is done with it."""
        self.audio = None
        if self.file is not None and self.files.get(self.first) == self.file:
            os.close(self.files.pop(self.first))


class Join:
    """The parts of one list, in the order they are handed out: where they
    run, the rate they are written at and, where the workers share this
    machine's files, the files they write, which this process holds (else
    the audio comes back as bytes); with words, those of each fragment
    written, in file order."""

    def __init__(self, runner, fragments, parts, file_rate, limit,
                 words=False):
        self.runner, self.fragments, self.parts = runner, fragments, parts
        self.rate = file_rate
        self.words = words
        self.written_words = []
        self.files = {}
        if runner.local:
            self.files = {first: scratch_file() for first, _ in parts}
        # Under a limit the parts go out in waves of one per worker, the
        # first sized to cover the limit: past the cut a part is waste.
        waves = limit > 0
        window = runner.parallelism if waves and not runner.inline \
            else runner.window
        self.dispatch = InOrder(runner, self.tasks(), window, waves,
                                self.written if runner.local else None)

    def part_path(self, first):
        """The part's file as its worker opens it: through this process,
        whose descriptor alone keeps it."""
        if first not in self.files:
            return None
        return path_of(self.files[first], os.getpid())

    def written(self):
        """How much the parts' files hold: it grows while workers work."""
        return sum(os.fstat(file).st_size for file in self.files.values())

    def tasks(self):
        return [(synthesize_part, (self.part_path(first), self.rate,
                                   self.fragments[first:stop], first,
                                   self.words))
                for first, stop in self.parts]

    def results(self, progress):
        """Yields each Part in the order handed out, once it is done."""
        for index, future in self.dispatch:
            first, stop = self.parts[index]
            try:
                output = future.result()
            except ValueError:
                raise
            except Exception as error:
                raise self.runner.failure(error) from error
            if progress is not None:
                progress(stop - first)
            yield Part(first, stop, output.fragment_ends, self.files,
                       output.audio, output.words)

    def close(self):
        """Closes the parts' files, each once its worker is done with it:
        until then its number must not be reused, since the worker opens it
        by that number."""
        for index, future in self.dispatch.close().items():
            file = self.files.pop(self.parts[index][0], None)
            if file is not None:
                future.add_done_callback(lambda _, file=file: os.close(file))
        for file in self.files.values():
            os.close(file)
        self.files = {}


def forward(join, output, limit, progress):
    """Parts in order into the file, up to the fragment that reaches the
    limit; returns the fragments' ends in samples."""
    ends = []
    with closing(join.results(progress)) as done:
        for part in done:
            if forward_part(join, output, part, ends, limit):
                break
    return ends


def forward_part(join, output, part, ends, limit):
    """One part into the file; True when the limit is reached in it."""
    reached = write_until_limit(join, output, part, part.first, ends, limit)
    part.discard()
    return reached


def write_until_limit(join, output, part, first, ends, limit):
    """Fragments first, first + 1, ... of the part into the file, their ends
    (in samples from the file's start) added to ends, up to the one that
    reaches the limit: True when that one is in this part. A fragment that a
    regular file cannot hold fails the call, the fragments before it
    written."""
    for index in range(first, part.stop):
        length = part.samples_before(index + 1) - part.samples_before(index)
        end = (ends[-1] if ends else 0) + length
        if not output.holds(end):
            part.write(output, first, index)
            raise synthesis_error(f"fragment {index}: {WAVE_LIMIT}")
        ends.append(end)
        if part.words is not None:
            join.written_words.append(part.words[index - part.first])
        if limit_reached(as_float32([ends[-1] / join.rate])[0], limit):
            part.write(output, first, index + 1)
            return True
    part.write(output, first, part.stop)
    return False


def backward_start(join, limit, progress):
    """Measures from the last fragment backwards, as one call does, from the
    parts' own counts (handed out last first): the start and the parts that
    cover it onwards."""
    kept, tail = [], 0
    with closing(join.results(progress)) as done:
        for part in done:
            kept.insert(0, part)
            for index in range(part.stop - 1, part.first - 1, -1):
                tail += (part.samples_before(index + 1)
                         - part.samples_before(index))
                if index == 0 or limit_reached(
                        as_float32([tail / join.rate])[0], limit):
                    return index, kept
    return 0, kept


def backward(join, output, limit, progress):
    """The backward mode: the start from the measured parts, then forwards
    from it under the same limit, reusing their audio."""
    start, kept = backward_start(join, limit, progress)
    ends = []
    for part in kept:
        if write_until_limit(join, output, part, max(start, part.first),
                             ends, limit):
            break
    for part in kept:
        part.discard()
    return start, ends


def anchors_of(ends, rate):
    seconds = as_float32([end / rate for end in [0] + ends])
    return list(zip(seconds, seconds[1:]))


def placed_words(written_words, ends, rate):
    """Each fragment's words as synthesize_words gives them, from their
    offsets and the fragments' ends in samples: a word ends where the next
    begins, the last where its fragment ends."""
    lists = []
    for i, offsets in enumerate(written_words):
        begin = ends[i - 1] if i else 0
        samples = [begin + offset for offset, _, _ in offsets] + [ends[i]]
        seconds = as_float32([sample / rate for sample in samples])
        lists.append([(seconds[k], seconds[k + 1], start, length)
                      for k, (_, start, length) in enumerate(offsets)])
    return lists


class ListResult(NamedTuple):
    """What run gives for a whole list."""
    sample_rate: int
    synthesized: int
    anchors: List[Tuple[float, float]]
    start: int  # the fragment written first
    # As synthesize_words gives them where asked; with Events, what each
    # fragment written collected, as offsets (fragment_events).
    words: Optional[list]
    ends: List[int]  # each fragment's end in samples from the file's start


def placed(words, written, ends, rate):
    """The words as synthesize_words gives them where words is true; with
    Events, the fragments' collections as they are."""
    if isinstance(words, Events):
        return written
    return placed_words(written, ends, rate) if words else None


def one_call(path, quit_after, backwards, fragments, words):
    part = part_call(path, quit_after, backwards, fragments, 0, 0, words)
    return ListResult(part.sample_rate, part.synthesized, part.anchors,
                      part.start,
                      placed(words, fragment_events(part, words),
                             part.fragment_ends, part.sample_rate),
                      list(part.fragment_ends))


def run(*arguments, workers=None, executor=None, progress=None, words=False):
    """synthesize_multiple over workers, as a ListResult: with the start of
    the backward mode too, and the words as synthesize_words gives them
    where asked, else None (with words an Events: every fragment's
    collections, placed by the caller). progress, if given, is called with the number
    of fragments each finished part holds."""
    checked = check(*arguments, words=any(words) if isinstance(words, Events)
                    else words)
    file_rate, limit = checked.file_rate, checked.quit_after
    path, quit_after, backwards, fragments = arguments
    fragments = [snapshot(item) for item in fragments]
    backward_mode = backwards != 0 and limit > 0
    runner = Runner(workers, executor)
    parts = plan_parts(fragments, runner, limit)
    if len(parts) < 2 or (runner.inline and not backward_mode):
        result = one_call(path, quit_after, backwards, fragments, words)
        if progress is not None:
            progress(len(fragments))
        return result
    join = None
    try:
        runner.start()
        join = Join(runner, fragments, parts[::-1] if backward_mode else parts,
                    file_rate, limit, words)
        # Opened once the first parts run: emptying an existing file takes
        # a while.
        output = JoinedWave(path, file_rate)
        try:
            start = 0
            if backward_mode:
                start, ends = backward(join, output, limit, progress)
            else:
                ends = forward(join, output, limit, progress)
        except OSError:
            raise synthesis_error() from None
        finally:
            output.close()
    finally:
        if join is not None:
            join.close()
    return ListResult(file_rate, len(ends), anchors_of(ends, file_rate),
                      start, placed(words, join.written_words, ends,
                                    file_rate), ends)
