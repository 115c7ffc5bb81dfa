"""The mouth shape of a phoneme: eSpeak NG's IPA names onto the 15 visemes
of Oculus/Meta's lip-sync set, which web avatars mostly speak.

====== ============================ =====================================
viseme as in                         IPA (first sound of the name)
====== ============================ =====================================
sil    silence                      a pause (the library's empty name)
PP     put, bat, mat                p b m ɓ ʙ
FF     fat, vat                     f v ʋ ɸ β ɱ, pf
TH     think, that                  θ ð, tθ
DD     tip, doll                    t d ʈ ɖ ɗ ǀ ǃ ǂ ǁ ʘ
kk     call, gas; h and the back    k g ɡ q ɢ c ɟ x ɣ χ ʁ ħ ʕ h ɦ ʔ ʜ ʢ ɧ
       consonants
CH     chair, join, she, measure    ʃ ʒ ɕ ʑ ʂ ʐ ç ʝ, tʃ dʒ tɕ dʑ ʈʂ ɖʐ
SS     sir, zeal                    s z, ts dz
nn     lot, not; the other nasals   n l ɫ ɭ ɬ ɮ ʟ ɲ ɳ ŋ ɴ ʎ
       and laterals
RR     red                          r ɹ ɻ ɾ ɽ ʀ ɺ ɚ ɝ
aa     car                          a ɑ ɐ æ ä ɒ ʌ ɶ
E      bed; the central vowels      e ɛ ə ɜ ɘ ɤ ᵻ
ih     tip, yes                     i ɪ ɨ ɯ j
oh     toe, and the rounded front   o ɔ ɵ ø œ ɞ
       mid vowels
ou     book, we, and the rounded    u ʊ ʉ y ʏ w ʍ ɥ ɰ
       close vowels
====== ============================ =====================================

Where a language's phoneme table has no IPA for a phoneme the library
gives its ASCII name, read as Kirshenbaum's ASCII IPA: A V & (aa), E @ 3
(E), I (ih), O (oh), U (ou), N (nn), S Z (CH), T D (TH), R (RR); the Greek
ε of one table is E.

A name is read from its first sound: stress and length marks, diacritics
(combining marks, the tie bar), modifier letters (ʰ ʲ ʷ), tone letters and
the ASCII punctuation some names carry (``s.``, ``t-``, ``d[``, ``k_h``)
are passed over, a two-letter affricate (tʃ, ts, ...) counts as one, and a
diphthong takes its first vowel's viseme (aɪ is aa, oʊ is oh). A name of
nothing but marks is a pause. The library cuts names at 8 bytes, which
leaves the first sound whole."""
import unicodedata
from typing import Dict

VISEMES = ("sil", "PP", "FF", "TH", "DD", "kk", "CH", "SS", "nn", "RR",
           "aa", "E", "ih", "oh", "ou")

_SOUNDS = {
    "PP": "pbmɓʙ",
    "FF": "fvʋɸβɱ",
    "TH": "θðTD",
    "DD": "tdʈɖɗǀǃǂǁʘ",
    "kk": "kgɡqɢcɟxɣχʁħʕhɦʔʜʢɧ",
    "CH": "ʃʒɕʑʂʐçʝSZ",
    "SS": "sz",
    "nn": "nlɫɭɬɮʟɲɳŋɴʎN",
    "RR": "rɹɻɾɽʀɺɚɝR",
    "aa": "aɑɐæäɒʌɶAV&",
    "E": "eɛəɜɘɤᵻεE@3",
    "ih": "iɪɨɯjI",
    "oh": "oɔɵøœɞO",
    "ou": "uʊʉyʏwʍɥɰU",
}
# Two sounds that make one, named by the first: the pair's viseme.
_PAIRS = {"tʃ": "CH", "dʒ": "CH", "tɕ": "CH", "dʑ": "CH", "ʈʂ": "CH",
          "ɖʐ": "CH", "ts": "SS", "dz": "SS", "tθ": "TH", "pf": "FF"}

VISEME_OF_SOUND: Dict[str, str] = {
    sound: viseme for viseme, sounds in _SOUNDS.items() for sound in sounds}


def sounds_of(ipa: str) -> str:
    """The name's letters that are sounds: without stress and length marks,
    diacritics, modifier and tone letters."""
    return "".join(c for c in unicodedata.normalize("NFD", ipa)
                   if c in VISEME_OF_SOUND)


def viseme(ipa: str) -> str:
    """The viseme of a phoneme by its IPA name, as the table above says;
    "sil" for a pause (an empty name)."""
    sounds = sounds_of(ipa)
    if not sounds:
        return "sil"
    return _PAIRS.get(sounds[:2]) or VISEME_OF_SOUND[sounds[0]]
