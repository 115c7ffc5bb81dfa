"""The apt sources `./dev mbrola` writes: MBROLA's sections for the archive
URIs and suites the machine's own sources name, each with the Signed-By of
the entry it extends (apt refuses two entries for one suite whose Signed-By
differ), and nothing for sections or origins that need none. Likewise the
deb-src entries third_party/fetch-sources fetches Debian's sources with,
and the pip settings .ci/roots.sh gives a fresh root."""
import subprocess

import pytest

from conftest import REPOSITORY, load_script

DEV = REPOSITORY / "dev"
SITE = "http://deb.debian.org/debian"
KEY_BLOCK = ("-----BEGIN PGP PUBLIC KEY BLOCK-----\n .\n mQINBGJ\n"
             " -----END PGP PUBLIC KEY BLOCK-----")


def mbrola_sections(tmp_path, sources, targets):
    """Runs dev's mbrola_sections with `apt-get indextargets` answering
    TARGETS: (origin, site, release, component, file name, line) tuples."""
    for name, text in sources.items():
        (tmp_path / name).write_text(text)
    lines = "".join(
        f"deb\t{origin}\t{site}\t{release}\t{component}\t{tmp_path / name}:{line}\n"
        for origin, site, release, component, name, line in targets)
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "apt-get").write_text(f"#!/bin/sh\ncat <<'EOF'\n{lines}EOF\n")
    (fake / "apt-get").chmod(0o755)
    function = subprocess.run(["sed", "-n", "/^mbrola_sections()/,/^}/p",
                               str(DEV)], capture_output=True, text=True,
                              check=True).stdout
    return subprocess.run(
        ["bash", "-c", f'PATH="{fake}:$PATH"\n{function}\nmbrola_sections'],
        capture_output=True, text=True, check=True, cwd=DEV.parent).stdout


STANZA = ("Types: deb\nURIs: {site}\nSuites: trixie trixie-updates\n"
          "Components: main\nSigned-By: {signed}\n")


@pytest.mark.parametrize("sources,targets,expected", [
    pytest.param(
        {"debian.sources": STANZA.format(site=SITE, signed="/k.gpg")},
        [("Debian", SITE, "trixie", "main", "debian.sources", 1),
         ("Debian", SITE, "trixie-updates", "main", "debian.sources", 1)],
        f"Types: deb\nURIs: {SITE}\nSuites: trixie trixie-updates\n"
        "Components: contrib non-free\nSigned-By: /k.gpg\n\n",
        id="deb822-one-stanza-for-both-suites"),
    pytest.param(
        {"debian.sources": "# mirror\n\n" + STANZA.format(site=SITE,
                                                          signed=KEY_BLOCK)
         + "\nTypes: deb\nURIs: http://other\nSuites: x\nComponents: main\n"},
        [("Debian", SITE, "trixie", "main", "debian.sources", 3)],
        f"Types: deb\nURIs: {SITE}\nSuites: trixie\n"
        f"Components: contrib non-free\nSigned-By: {KEY_BLOCK}\n\n",
        id="deb822-embedded-key-kept-as-written"),
    pytest.param(
        {"sources.list": f"deb [arch=amd64 signed-by=/k.gpg] {SITE} trixie main\n"
                         f"deb {SITE} trixie-updates main contrib\n"},
        [("Debian", SITE, "trixie", "main", "sources.list", 1),
         ("Debian", SITE, "trixie-updates", "main", "sources.list", 2),
         ("Debian", SITE, "trixie-updates", "contrib", "sources.list", 2)],
        f"Types: deb\nURIs: {SITE}\nSuites: trixie\n"
        "Components: contrib non-free\nSigned-By: /k.gpg\n\n"
        f"Types: deb\nURIs: {SITE}\nSuites: trixie-updates\n"
        "Components: non-free\n\n",
        id="one-line-format-only-what-is-missing"),
    pytest.param(
        {"sources.list": f"deb {SITE} trixie main contrib non-free\n"
                         "deb http://deb.nodesource.com nodistro main\n"},
        [("Debian", SITE, "trixie", c, "sources.list", 1)
         for c in ("main", "contrib", "non-free")]
        + [("Node Source", "http://deb.nodesource.com", "nodistro", "main",
            "sources.list", 2)],
        "", id="nothing-missing-other-origins-left-alone"),
])
def test_mbrola_sections(tmp_path, sources, targets, expected):
    assert mbrola_sections(tmp_path, sources, targets) == expected


def fetch_sources_entries(tmp_path, monkeypatch, sources, targets):
    """fetch-sources' deb-src entries with `apt-get indextargets` answering
    TARGETS: (origin, label, site, file name, line) tuples."""
    for name, text in sources.items():
        (tmp_path / name).write_text(text)
    listing = "".join(f"deb\t{origin}\t{label}\t{site}\t{tmp_path / name}:{line}\n"
                      for origin, label, site, name, line in targets)
    module = load_script("third_party/fetch-sources")
    monkeypatch.setattr(module.subprocess, "run", lambda *a, **k: subprocess.
                        CompletedProcess(a, 0, stdout=listing))
    return module.deb_src_entries(module.debian_archives())


@pytest.mark.parametrize("sources,targets,expected", [
    pytest.param(
        {"debian.sources": "# mirror\n\n" + STANZA.format(site=SITE,
                                                          signed=KEY_BLOCK)},
        [("Debian", "Debian", SITE, "debian.sources", 3),
         ("Debian", "Debian-Security", "http://security", "debian.sources", 3),
         ("Node Source", "Node Source", "http://node", "debian.sources", 3)],
        f"Types: deb-src\nURIs: {SITE}\nSuites: trixie\nComponents: main\n"
        f"Signed-By: {KEY_BLOCK}\n", id="deb822-main-archive-only-key-kept"),
    pytest.param(
        {"sources.list": f"deb {SITE} bookworm main\n"},
        [("Debian", "Debian", SITE, "sources.list", 1)],
        f"Types: deb-src\nURIs: {SITE}\nSuites: trixie\nComponents: main\n",
        id="one-line-format-without-signed-by"),
])
def test_fetch_sources_entries(tmp_path, monkeypatch, sources, targets,
                               expected):
    assert fetch_sources_entries(tmp_path, monkeypatch, sources,
                                 targets) == expected


@pytest.mark.parametrize("listed,in_root,expected", [
    pytest.param(
        ["global.cert='/host/ca.crt'", ":env:.default-timeout='180'"], [],
        {"cert": "/etc/ssl/certs/ca-certificates.crt",
         "default-timeout": "180"},
        id="the-root-s-certificates-quotes-and-env-prefix-gone"),
    pytest.param(
        ["global.extra-index-url='file:///opt/a/simple file:///opt/b/simple "
         "https://index'", "global.find-links='/opt/wheels'",
         "global.constraint='/etc/constraints.txt'"],
        ["opt/b/simple", "opt/wheels"],
        {"cert": "/etc/ssl/certs/ca-certificates.crt",
         "extra-index-url": "file:///opt/b/simple https://index",
         "find-links": "/opt/wheels"},
        id="only-files-the-root-has"),
])
@pytest.mark.skipif(not (REPOSITORY / ".ci").is_dir(),
                    reason="the sdist carries no .ci/")
def test_pip_settings_for_a_root(tmp_path, listed, in_root, expected):
    for directory in in_root:
        (tmp_path / directory).mkdir(parents=True)
    pip_settings = load_script(".ci/pip_settings.py")
    settings = pip_settings.kept_settings(
        [line + "\n" for line in listed], str(tmp_path))
    assert settings == expected
    assert pip_settings.pip_conf(settings) == "[global]\n" + "".join(
        f"{name} = {value}\n" for name, value in expected.items())
