"""Reference counts of everything a call is handed are unchanged after it,
on success and on every failure path, and a result holds no extra
references."""
import sys
import types

import pytest

import vyn
from conftest import ListSubclass, PARSE_ERROR, SYNTHESIS_ERROR, TupleSubclass


def fresh(text: str) -> str:
    """A string object of its own, not shared with constants or interned."""
    return "".join(list(text))


def make_fragments(*pairs):
    return [(fresh(voice), fresh(text)) for voice, text in pairs]


def shaped(settings, wrap=dict):
    """One fragment with settings of fresh keys (and a mapping that is not
    a dict, where wrap says), after a plain one."""
    return make_fragments(("en", "One.")) + [(fresh("en"), fresh("Two."), wrap(
        {fresh(key): value for key, value in settings.items()}))]


def good(tmp):
    return str(tmp / "out.wav")


# (name, path, quit_after, backwards, fragments builder, expected message or
# None for success)
CASES = [
    ("forward", good, 0, 0,
     lambda: make_fragments(("en", "One."), ("de", "Zwei.")), None),
    ("limit", good, 0.1, 0,
     lambda: make_fragments(("en", "One."), ("de", "Zwei.")), None),
    ("backward", good, 0.5, 1,
     lambda: make_fragments(("en", "One."), ("de", "Zwei."), ("en", "Three.")),
     None),
    ("empty-list", good, 0, 0, lambda: [], None),
    ("subclasses", good, 0, 0,
     lambda: ListSubclass([TupleSubclass((fresh("en"), fresh("One.")))]),
     None),
    ("item-not-tuple", good, 0, 0,
     lambda: make_fragments(("en", "One.")) + [[fresh("en"), fresh("x")]],
     PARSE_ERROR),
    ("item-3-tuple", good, 0, 0,
     lambda: make_fragments(("en", "One.")) + [(fresh("en"), fresh("x"),
                                                fresh("y"))],
     PARSE_ERROR),
    ("item-bytes", good, 0, 0,
     lambda: make_fragments(("en", "One.")) + [(fresh("en"), b"x")],
     PARSE_ERROR),
    ("embedded-nul", good, 0, 0,
     lambda: make_fragments(("en", "One."), ("en", "a\0b")), PARSE_ERROR),
    ("lone-surrogate", good, 0, 0,
     lambda: make_fragments(("en", "One."), ("en", "a\ud800")), PARSE_ERROR),
    ("not-a-list", good, 0, 0,
     lambda: tuple(make_fragments(("en", "One."))), PARSE_ERROR),
    ("unknown-voice", good, 0, 0,
     lambda: make_fragments(("en", "One."), ("xx-none", "Two.")),
     SYNTHESIS_ERROR),
    ("unknown-voice-backward", good, 100, 1,
     lambda: make_fragments(("xx-none", "One."), ("en", "Two.")),
     SYNTHESIS_ERROR),
    ("bad-path", lambda tmp: str(tmp / "missing" / "out.wav"), 0, 0,
     lambda: make_fragments(("en", "One.")), SYNTHESIS_ERROR),
    ("settings", good, 0, 0,
     lambda: shaped({"rate": 300, "pitch": 1000 - 990, "word_gap": 2}), None),
    ("settings-mapping", good, 0.5, 1,
     lambda: shaped({"volume": 150}, types.MappingProxyType), None),
    ("settings-unknown-key", good, 0, 0, lambda: shaped({"speed": 300}),
     PARSE_ERROR),
    ("settings-ssml", good, 0, 0, lambda: shaped({"ssml": True, "rate": 90}),
     None),
    ("settings-ssml-not-a-bool", good, 0, 0, lambda: shaped({"ssml": 1}),
     PARSE_ERROR),
    ("settings-wrong-type", good, 0, 0, lambda: shaped({"rate": 300.5}),
     PARSE_ERROR),
    ("settings-not-a-mapping", good, 0, 0,
     lambda: make_fragments(("en", "One.")) + [(fresh("en"), fresh("x"),
                                                [fresh("rate")])],
     PARSE_ERROR),
    ("settings-out-of-range", good, 0, 0, lambda: shaped({"rate": 10 ** 30}),
     SYNTHESIS_ERROR),
]


def counts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def everything_in(path, fragments):
    objects = [path, fragments]
    for item in fragments:
        objects.append(item)
        objects.extend(item)
        for settings in item[2:]:
            objects.extend(settings)
            objects.extend(settings.values() if hasattr(settings, "values")
                           else [])
    return objects


@pytest.mark.parametrize("make_path,quit_after,backwards,make,expected",
                         [pytest.param(*case[1:], id=case[0])
                          for case in CASES])
def test_references_unchanged(tmp_path, make_path, quit_after, backwards,
                              make, expected):
    path = fresh(make_path(tmp_path))
    fragments = make()
    limit = float(quit_after) + 0.0  # a float object of its own
    objects = everything_in(path, fragments) + [limit]
    for _ in range(3):  # the first call may set up lasting state
        before = counts(objects)
        try:
            result = vyn.synthesize_multiple(path, limit, backwards,
                                             fragments)
            outcome = None
        except ValueError as error:
            result, outcome = None, str(error)
        assert outcome == expected
        del result
        assert counts(objects) == before


def result_counts(result):
    """The reference counts of a result and of everything in it."""
    _, _, anchors = result
    del _
    counts = [sys.getrefcount(result), sys.getrefcount(anchors)]
    for pair in anchors:
        counts.append(sys.getrefcount(pair))
        counts.extend(sys.getrefcount(time) for time in pair)
    return counts


def test_result_holds_no_extra_references(tmp_path):
    """Every object in the result is referenced as often as in the same
    structure built by Python (the counts themselves differ between Python
    versions)."""
    result = vyn.synthesize_multiple(
        str(tmp_path / "out.wav"), 0, 0,
        make_fragments(("en", "One."), ("en", "Two.")))
    built = (result[0], result[1],
             [tuple(float(repr(time)) for time in pair)
              for pair in result[2]])
    assert result_counts(result) == result_counts(built)


def test_no_growth_over_many_calls(tmp_path):
    """Counts live objects (not memory) across repeated calls of every kind:
    a leaked reference to a new object shows up as growth."""
    import gc
    path = str(tmp_path / "out.wav")
    good_list = make_fragments(("en", "One."))
    calls = [
        lambda: vyn.synthesize_multiple(path, 0, 0, good_list),
        lambda: vyn.synthesize_multiple(path, 0.1, 1, good_list * 2),
        lambda: vyn.synthesize_multiple(path, 0, 0, [("en", 1)]),
        lambda: vyn.synthesize_multiple(path, 0, 0, [("xx-none", "a")]),
        lambda: vyn.synthesize_multiple(path, "x", 0, good_list),
    ]

    def run_all():
        for call in calls:
            try:
                call()
            except ValueError:
                pass

    for _ in range(5):
        run_all()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(50):
        run_all()
    gc.collect()
    assert len(gc.get_objects()) - before < 10
