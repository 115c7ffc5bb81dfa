"""The way vyn replaces: one espeak-ng process per fragment, each writing a
WAVE file of its own, joined into one file with Python's wave module; the
anchors come from the frame counts of the pieces."""
import subprocess
import wave
from pathlib import Path


def synthesize_with_processes(output_path, fragments, work_dir):
    """Returns (sample_rate, synthesized, anchors) like vyn."""
    work_dir = Path(work_dir)
    pieces = []
    for i, (voice, text) in enumerate(fragments):
        piece = work_dir / f"piece-{i}.wav"
        subprocess.run(
            ["espeak-ng", "-v", voice, "-w", str(piece), "--", text],
            check=True, stdout=subprocess.DEVNULL)
        pieces.append(piece)

    anchors = []
    sample_rate = 0
    frames = 0
    with wave.open(str(output_path), "wb") as joined:
        for piece in pieces:
            with wave.open(str(piece), "rb") as reader:
                if not anchors:
                    sample_rate = reader.getframerate()
                    joined.setparams(reader.getparams())
                count = reader.getnframes()
                joined.writeframes(reader.readframes(count))
            anchors.append((frames / sample_rate,
                            (frames + count) / sample_rate))
            frames += count
            piece.unlink()
    return sample_rate, len(anchors), anchors
