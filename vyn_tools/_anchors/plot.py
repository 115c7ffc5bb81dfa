"""The picture: the waveform with each fragment's span (--plot), and with
--phonemes a tier of the phonemes under it."""
import wave
from pathlib import Path
from types import ModuleType

from .records import Outcome, ToolError


def import_pyplot() -> ModuleType:
    try:
        import matplotlib
    except ImportError:
        raise ToolError("--plot needs matplotlib: pip install 'vyn[plot]' "
                        "(or pip install matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot
    return pyplot


# Past this many phonemes their names would overlap: the tier shows their
# boundaries alone.
MAX_PHONEME_NAMES = 300


def phoneme_tier(axes, outcome: Outcome) -> None:
    """Each phoneme's boundary as a tick along the bottom, and (while they
    fit) its IPA name in its span; a pause is left unnamed."""
    assert outcome.phonemes is not None
    phonemes = [p for fragment in outcome.phonemes for p in fragment]
    named = len(phonemes) <= MAX_PHONEME_NAMES
    for begin, end, ipa, _, _ in phonemes:
        axes.axvline(begin, ymin=0, ymax=0.1, color="#555555",
                     linewidth=0.5)
        if named and ipa and end > begin:
            axes.text((begin + end) / 2, -0.93, ipa, ha="center",
                      va="bottom", fontsize=8, color="#222222")


def plot(outcome: Outcome, path: Path) -> None:
    """The waveform as a min/max envelope, each fragment's span shaded and
    numbered with its input line, so the boundaries can be seen to sit in
    the pauses between the words."""
    import numpy
    pyplot = import_pyplot()
    with wave.open(str(outcome.job.wav_path), "rb") as reader:
        rate = reader.getframerate()
        samples = numpy.frombuffer(reader.readframes(reader.getnframes()),
                                   dtype="<i2") / 32768.0
    bins = max(1, len(samples) // 4000)
    usable = samples[:len(samples) // bins * bins].reshape(-1, bins)
    times = numpy.arange(len(usable)) * bins / rate
    figure, axes = pyplot.subplots(figsize=(16, 4.5), dpi=100)
    axes.fill_between(times, usable.min(axis=1), usable.max(axis=1),
                      color="#1f3b5a", linewidth=0, zorder=2)
    label_every = max(1, len(outcome.anchors) // 60)
    for i, ((begin, end), fragment) in enumerate(zip(outcome.anchors,
                                                     outcome.fragments)):
        axes.axvspan(begin, end, color=("#f6c85f", "#6fb3d2")[i % 2],
                     alpha=0.35, linewidth=0, zorder=0)
        axes.axvline(begin, color="#c0392b", linewidth=0.8)
        if i % label_every == 0:
            axes.text((begin + end) / 2, 1.02, str(fragment.line),
                      ha="center", va="bottom", fontsize=9,
                      transform=axes.get_xaxis_transform())
    if outcome.anchors:
        axes.axvline(outcome.anchors[-1][1], color="#c0392b", linewidth=0.8)
    if outcome.phonemes is not None:
        phoneme_tier(axes, outcome)
    axes.set_xlim(0, max(len(samples) / rate, 1e-3))
    axes.set_ylim(-1, 1)
    axes.set_xlabel("seconds")
    count = len(outcome.anchors)
    axes.set_title(f"{outcome.job.wav_path.name}: {count} "
                   f"fragment{'s' * (count != 1)}, numbered by input line",
                   pad=18)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    pyplot.close(figure)
