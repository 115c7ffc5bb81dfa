"""The benchmark workloads: fragment lists cut from real text that nobody in
this project wrote.

- The GPL-3 text that Debian ships with base-files, cut into sentences and
  into three-word fragments (English voice).
- Translated messages of coreutils, as installed under /usr/share/locale,
  one fragment per language and voice. Where the catalogs are missing, the
  GPL-3 sentences are read by the same voices instead.
"""
import gettext
import re
from pathlib import Path

GPL3 = Path("/usr/share/common-licenses/GPL-3")
LOCALE_DIR = Path("/usr/share/locale")
# Catalog language -> eSpeak NG voice; English is the message id itself.
LANGUAGES = {"de": "de", "fr": "fr", "es": "es", "it": "it", "pt": "pt",
             "ru": "ru", "pl": "pl", "nl": "nl", "cs": "cs", "sv": "sv"}
MIN_VOICES = 6
# A message that reads as a plain sentence: letters, spaces, commas and
# apostrophes only, five words or more.
PLAIN_MESSAGE = re.compile(r"[A-Za-z][A-Za-z ,']{24,90}")


def _collapse(text):
    return re.sub(r"\s+", " ", text).strip()


def gpl3_sentences():
    """The GPL-3 text as sentences: paragraphs split after . ! or ?"""
    sentences = []
    for paragraph in re.split(r"\n\s*\n", GPL3.read_text(encoding="utf-8")):
        paragraph = _collapse(paragraph)
        if paragraph:
            sentences += [s for s in re.split(r"(?<=[.!?])\s+", paragraph)
                          if s]
    return [("en", s) for s in sentences]


def gpl3_three_words(count):
    """The first count three-word fragments of the GPL-3 text."""
    words = _collapse(GPL3.read_text(encoding="utf-8")).split()
    fragments = [" ".join(words[i:i + 3]) for i in range(0, len(words), 3)]
    return [("en", f) for f in fragments[:count]]


def _catalogs(domain="coreutils"):
    catalogs = {}
    for language, voice in LANGUAGES.items():
        path = LOCALE_DIR / language / "LC_MESSAGES" / f"{domain}.mo"
        try:
            with open(path, "rb") as mo:
                catalogs[voice] = gettext.GNUTranslations(mo)._catalog
        except OSError:  # missing, or not a catalog
            continue
    return catalogs


def multilingual(rounds):
    """rounds x (one fragment per voice), the same message in every voice of
    a round, another message in the next round. Returns the fragments and a
    short description of their source."""
    catalogs = _catalogs()
    if len(catalogs) + 1 >= MIN_VOICES:
        shared = None
        for catalog in catalogs.values():
            translated = {k for k, v in catalog.items()
                          if isinstance(k, str) and k and v and v != k}
            shared = translated if shared is None else shared & translated
        messages = sorted(
            m for m in shared
            if PLAIN_MESSAGE.fullmatch(m) and len(m.split()) >= 5)
        if messages:
            fragments = []
            for r in range(rounds):
                message = messages[r % len(messages)]
                fragments.append(("en", message))
                fragments += [(voice, _collapse(catalog[message]))
                              for voice, catalog in catalogs.items()]
            return fragments, f"coreutils messages, {len(catalogs) + 1} voices"
    sentences = gpl3_sentences()
    voices = ["en"] + list(LANGUAGES.values())
    fragments = [(voice, sentences[r % len(sentences)][1])
                 for r in range(rounds) for voice in voices]
    return fragments, f"GPL-3 sentences, {len(voices)} voices"


def write_fragments(path, fragments):
    """One fragment a line, VOICE<TAB>TEXT, with <TAB>key=value,... for its
    settings if it has them: the floor program's input."""
    with open(path, "w", encoding="utf-8") as out:
        for voice, text, *settings in fragments:
            if "\t" in text or "\n" in text:
                raise ValueError(f"fragment cannot be one line: {text!r}")
            shaped = "".join("\t" + ",".join(f"{k}={int(v)}" for k, v in
                                             sorted(s.items(),
                                                    key=_ssml_first))
                             for s in settings)
            out.write(f"{voice}\t{text}{shaped}\n")


def _ssml_first(item):
    return item[0] != "ssml"


def read_fragments(path):
    fragments = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            voice, text, *settings = line.rstrip("\n").split("\t")
            fragments.append((voice, text, *(
                {k: bool(int(v)) if k == "ssml" else int(v)
                 for k, v in (i.split("=") for i in s.split(","))}
                for s in settings)))
    return fragments


def with_settings(fragments):
    """Every other fragment with settings of its own (of every kind, the
    rate the synthesizer speaks itself): the one after it gets its voice's
    own back."""
    shaped = {"rate": 250, "pitch": 60, "volume": 120, "word_gap": 2}
    return [(voice, text, shaped) if i % 2 == 0 else (voice, text)
            for i, (voice, text) in enumerate(fragments)]


def as_ssml(fragments):
    """Every other fragment as SSML (a break and emphasis in it): the one
    after it gets its voice's own prosody back."""
    return [(voice, f"<speak>{text} <break time='100ms'/> <emphasis>again"
                    f"</emphasis></speak>", {"ssml": True})
            if i % 2 == 0 else (voice, text)
            for i, (voice, text) in enumerate(fragments)]
