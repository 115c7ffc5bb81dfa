"""The joined WAVE output: one file, pipe or device written as a single call
of vyn writes it, from parts synthesized elsewhere."""
import os
import stat
import struct
import time

import vyn

from ._errors import synthesis_error

HEADER_SIZE = 44
BYTES_PER_SAMPLE = 2
# The header's sizes are 32-bit: the data stops while the whole file length
# still fits.
MAX_SAMPLES = (0xFFFFFFFF - HEADER_SIZE) // BYTES_PER_SAMPLE
UNKNOWN_SIZE = 0xFFFFFFFF  # both sizes of a stream of unknown length
WAVE_LIMIT = "the audio would pass the 4 GiB a WAVE file can hold"
BLANKS = b" \t\n\v\f\r"
# Audio goes out in blocks, the sizes on disk following each. A block
# starts at a second of audio and doubles while blocks are written fast, up
# to MAX_BLOCK (copied in blocks of a second, 84 MB took twice as long); one
# that takes longer than SLOW_BLOCK_SECONDS halves it, down to a second of
# audio: the sizes lag what was written by a second of audio or a fraction
# of a second of time, at most.
MAX_BLOCK = 1 << 20
FAST_BLOCK_SECONDS = 0.01
SLOW_BLOCK_SECONDS = 0.25


def header(rate, data_size, riff_size=None):
    if riff_size is None:
        riff_size = data_size + HEADER_SIZE - 8
    return (b"RIFF" + struct.pack("<I", riff_size) + b"WAVEfmt "
            + struct.pack("<IHHIIHH", 16, 1, 1, rate,
                          rate * BYTES_PER_SAMPLE, BYTES_PER_SAMPLE, 16)
            + b"data" + struct.pack("<I", data_size))


def output_name(path):
    """The path as vyn takes it: str, bytes or os.PathLike in the file-system
    encoding, leading blanks not part of the name."""
    return os.fsencode(path).lstrip(BLANKS)


class JoinedWave:
    """Opens the output as vyn does; append takes whole samples in file
    order. A regular file's sizes on disk follow every block written (a
    second of audio, up to 1 MiB while the device takes it in milliseconds)
    and never cover more than was written, so a killed process leaves a
    valid WAVE file; a pipe or device gets a stream of unknown length."""

    def __init__(self, path, rate):
        self.rate = rate
        self.samples = 0
        self.block = rate * BYTES_PER_SAMPLE
        name = output_name(path)
        if not name:
            raise synthesis_error()
        try:
            descriptor = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC
                                 | os.O_NONBLOCK | os.O_CLOEXEC, 0o666)
        except OSError:
            raise synthesis_error() from None
        self.descriptor = descriptor
        try:
            os.set_blocking(descriptor, True)
            self.stream = not stat.S_ISREG(os.fstat(descriptor).st_mode)
            self._write_all(header(rate, UNKNOWN_SIZE, UNKNOWN_SIZE)
                            if self.stream else header(rate, 0))
        except (OSError, ValueError):
            os.close(descriptor)
            if not self.stream:
                os.unlink(name)
            raise synthesis_error() from None

    def _write_all(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.descriptor, view):]

    def holds(self, samples):
        """Whether the output can take that many samples in all: a stream
        has no limit, a regular file what its 32-bit sizes can say."""
        return self.stream or samples <= MAX_SAMPLES

    def _block_written(self, began):
        """Sizes on disk for the block just written, and the next block's
        size from how long this one took."""
        took = time.monotonic() - began
        if took < FAST_BLOCK_SECONDS:
            self.block = min(MAX_BLOCK, 2 * self.block)
        elif took > SLOW_BLOCK_SECONDS:
            self.block = max(self.rate * BYTES_PER_SAMPLE, self.block // 2)
        if not self.stream:
            self._put_sizes()

    def _put_sizes(self):
        # One write covers both sizes: a kill never leaves one without the
        # other.
        os.pwrite(self.descriptor,
                  header(self.rate, self.samples * BYTES_PER_SAMPLE)[4:], 4)

    def append_bytes(self, data):
        """Appends data, whole 16-bit samples."""
        view = memoryview(data)
        while view:
            began = time.monotonic()
            block, view = view[:self.block], view[self.block:]
            self._write_all(block)
            self.samples += len(block) // BYTES_PER_SAMPLE
            self._block_written(began)

    def append_file(self, source, first_sample, count):
        """Appends count samples of the WAVE file open as descriptor source
        from first_sample on, without passing them through Python."""
        base = self.samples
        start = HEADER_SIZE + first_sample * BYTES_PER_SAMPLE
        end = start + count * BYTES_PER_SAMPLE
        offset = start
        while offset < end:
            began = time.monotonic()
            block_end = min(end, offset + self.block)
            while offset < block_end:
                sent = os.sendfile(self.descriptor, source, offset,
                                   block_end - offset)
                if sent == 0:
                    raise synthesis_error("a part's file ended early")
                offset += sent
            self.samples = base + (offset - start) // BYTES_PER_SAMPLE
            self._block_written(began)

    def close(self):
        """A regular file gets its exact sizes, and loses what a failed
        write left beyond its last whole block; idempotent."""
        if self.descriptor < 0:
            return
        try:
            if not self.stream:
                data_size = self.samples * BYTES_PER_SAMPLE
                os.ftruncate(self.descriptor, HEADER_SIZE + data_size)
                self._put_sizes()
        except OSError:
            raise synthesis_error() from None
        finally:
            os.close(self.descriptor)
            self.descriptor = -1


def check(*arguments, words=False):
    """The arguments and every voice as one call checks them (of
    synthesize_words where words), nothing written: a record of the file's
    rate (file_rate) and the limit as the call takes it (quit_after)."""
    return (vyn._check_words if words else vyn._check)(*arguments)
