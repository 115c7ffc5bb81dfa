"""The installed type stub, as mypy --strict and basedpyright see it from a
project outside this repository: a correct call checks clean with the
result's full type, and a wrong argument is reported as exactly that."""
import json
import subprocess
import sys
from pathlib import Path

import pytest

RESULT_TYPE = "tuple[int, int, list[tuple[float, float]]]"
WORDS_RESULT_TYPE = ("tuple[int, int, list[tuple[float, float]], "
                     "list[list[tuple[float, float, int, int]]]]")
BIN = Path(sys.executable).parent

GOOD_SCRIPT = f"""\
from pathlib import Path

import vyn

fragments: list[tuple[str, str]] = [("en", "Hello."), ("de", "Hallo.")]
result = vyn.synthesize_multiple("out.wav", 2, True, fragments)
reveal_type(result)
_ = vyn.synthesize_multiple(b"out.wav", 0, 0, fragments)
_ = vyn.synthesize_multiple(Path("out.wav"), 0, 0, fragments)
sample_rate, synthesized, anchors = result
for begin, end in anchors:
    print(sample_rate * (end - begin) + synthesized)
words_result = vyn.synthesize_words("out.wav", 0, 0, fragments)
reveal_type(words_result)
for (voice, text), words in zip(fragments, words_result[3]):
    for begin, end, start, length in words:
        print(voice, end - begin, text[start:start + length])
shaped: list[tuple[str, str, vyn.FragmentSettings]] = [
    ("en", "Slowly.", {{"rate": 90, "pitch": 20}}),
    ("en", "<speak>Marked up.</speak>", {{"ssml": True, "rate": 300}})]
_ = vyn.synthesize_multiple("out.wav", 0, 0, shaped)
words_of_shaped = vyn.synthesize_words("out.wav", 0, 0, [
    ("en", "Hello."), ("en", "Loud.", {{"volume": 150, "word_gap": 5}})])

import vyn_tools

synthesis = vyn_tools.synthesize(fragments, None, phonemes=True)
if synthesis.samples is not None:
    print(synthesis.samples.tobytes()[:2], synthesis.sample_rate)
for fragment in vyn_tools.synthesize(shaped, Path("out.wav")).fragments:
    for phoneme in fragment.phonemes:
        print(fragment.index, phoneme.end - phoneme.begin, phoneme.ipa.upper(),
              phoneme.viseme, phoneme.start + 1)
    for word, mark in zip(fragment.words, fragment.marks):
        print(word.text.upper(), word.length + word.start, mark.time + 1)
"""

# (parameter, a wrong value for it, the type the checkers infer for it)
WRONG_ARGUMENTS = [
    ("output_file_path", "42", "int"),
    ("quit_after", '"10"', "str"),
    ("backwards", "0.5", "float"),
    ("fragments", '[["en", "Hello."]]', "list[list[str]]"),
    ("fragments", '(("en", "Hello."),)', "tuple[tuple[str, str]]"),
    ("fragments", '[("en", "Hello.", "x")]', "list[tuple[str, str, str]]"),
    ("fragments", '[("en", "Hello.", {"speed": 90})]',
     "list[tuple[str, str, dict[str, int]]]"),
]
GOOD_ARGUMENTS = {"output_file_path": '"out.wav"', "quit_after": "0.0",
                  "backwards": "0", "fragments": '[("en", "Hello.")]'}


def wrong_call(parameter: str, value: str) -> str:
    """A script whose call is right but for one argument, given through a
    variable so that its type is inferred from the value alone."""
    arguments = ", ".join("value" if name == parameter else good
                          for name, good in GOOD_ARGUMENTS.items())
    return (f"import vyn\n\nvalue = {value}\n"
            f"_ = vyn.synthesize_multiple({arguments})\n")

def run_mypy(script: Path):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--python-executable", sys.executable, script.name],
        cwd=script.parent, capture_output=True, text=True)


def run_basedpyright(script: Path) -> list:
    """The diagnostics basedpyright reports, with its default (strictest
    recommended) rule set."""
    completed = subprocess.run(
        [str(BIN / "basedpyright"), "--pythonpath", sys.executable,
         "--outputjson", script.name],
        cwd=script.parent, capture_output=True, text=True)
    return json.loads(completed.stdout)["generalDiagnostics"]


@pytest.fixture
def script(tmp_path):
    """Writes a script into a directory of its own, so that the checkers
    find vyn only as installed."""
    def write(source: str) -> Path:
        path = tmp_path / "uses_vyn.py"
        path.write_text(source)
        return path
    return write


def test_stub_matches_the_installed_module():
    completed = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vyn"],
                               capture_output=True, text=True)
    assert completed.returncode == 0, completed.stdout + completed.stderr


class TestCorrectCall:
    def test_mypy_strict_reveals_the_full_result_type(self, script):
        completed = run_mypy(script(GOOD_SCRIPT))
        assert completed.returncode == 0, completed.stdout
        assert f'Revealed type is "{RESULT_TYPE}"' in completed.stdout
        assert f'Revealed type is "{WORDS_RESULT_TYPE}"' in completed.stdout
        assert "error" not in completed.stdout

    def test_basedpyright_reveals_the_full_result_type(self, script):
        diagnostics = run_basedpyright(script(GOOD_SCRIPT))
        assert [(d["severity"], d["message"]) for d in diagnostics] == [
            ("information", f'Type of "result" is "{RESULT_TYPE}"'),
            ("information",
             f'Type of "words_result" is "{WORDS_RESULT_TYPE}"')]


@pytest.mark.parametrize("parameter, value, inferred", WRONG_ARGUMENTS)
class TestWrongArgumentType:
    def test_mypy_reports_one_arg_type_error(self, script, parameter, value,
                                             inferred):
        completed = run_mypy(script(wrong_call(parameter, value)))
        errors = [line for line in completed.stdout.splitlines()
                  if ": error:" in line]
        # One overload per kind of list: mypy names the argument's type,
        # against the closest one or among the types of all arguments.
        assert len(errors) == 1, completed.stdout
        assert errors[0].startswith(
            'uses_vyn.py:4: error: ') and f'"{inferred}"' in errors[0]
        assert errors[0].endswith(("[arg-type]", "[call-overload]"))

    def test_basedpyright_reports_one_argument_type_error(
            self, script, parameter, value, inferred):
        diagnostics = run_basedpyright(script(wrong_call(parameter, value)))
        errors = [d for d in diagnostics if d["severity"] == "error"]
        assert [d.get("rule") for d in errors] == [
            "reportCallIssue", "reportArgumentType"], diagnostics
        assert {d["range"]["start"]["line"] for d in errors} == {3}
        assert f'parameter "{parameter}"' in errors[1]["message"]


class TestKeywordArguments:
    """The module takes positional arguments only; the stub says so."""
    SOURCE = ('import vyn\n\n_ = vyn.synthesize_multiple('
              'output_file_path="out.wav", quit_after=0.0, backwards=0, '
              'fragments=[])\n')

    def test_refused_at_run_time(self):
        with pytest.raises(TypeError):
            exec(self.SOURCE, {})

    def test_reported_by_mypy(self, script):
        completed = run_mypy(script(self.SOURCE))
        assert completed.returncode == 1
        # Positional-only in every overload: none matches.
        assert "[call-overload]" in completed.stdout

    def test_reported_by_basedpyright(self, script):
        diagnostics = run_basedpyright(script(self.SOURCE))
        assert [d.get("rule") for d in diagnostics
                if d["severity"] == "error"] == ["reportCallIssue"]
