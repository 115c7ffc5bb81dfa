"""Synthesize a short multilingual demo into one WAVE file and print where
each fragment begins and ends in it.

    python examples/demo.py [OUTPUT.wav]
"""
import sys

import vyn

FRAGMENTS = [
    ("en", "Every fragment gets its own place in one file."),
    ("de", "Jedes Fragment bekommt seinen eigenen Platz."),
    ("fr", "Chaque fragment a sa propre place."),
    ("es", "Cada fragmento tiene su propio lugar."),
    ("ru", "У каждого фрагмента своё место."),
    ("en", "And the times point straight into the audio."),
]


def main() -> int:
    output = sys.argv[1] if len(sys.argv) > 1 else "vyn-demo.wav"
    sample_rate, synthesized, anchors = vyn.synthesize_multiple(
        output, 0.0, 0, FRAGMENTS)
    print(f"{output}: {synthesized} fragments at {sample_rate} Hz")
    for (voice, text), (begin, end) in zip(FRAGMENTS, anchors):
        print(f"{begin:8.3f} {end:8.3f}  {voice:3} {text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
