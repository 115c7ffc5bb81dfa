"""The deb822 sources `./dev mbrola` adds: the sections holding MBROLA
(Debian: contrib, non-free; Ubuntu: universe, multiverse) for the archive
URIs and suites the machine's own sources name, with the Signed-By of the
entry each extends. Reads `apt-get indextargets` lines (TARGET_OF, ORIGIN,
SITE, RELEASE, COMPONENT, SOURCESENTRY, tab-separated) on standard input;
prints nothing when every section is there."""
import sys

from apt_entry import signed_by  # beside this script

WANTED = {"Debian": ["contrib", "non-free"],
          "Ubuntu": ["universe", "multiverse"]}


def read_targets(lines):
    """The components each archive (site, release) has, its origin, and
    the sources entry of its main component."""
    have, entry_of, origin_of = {}, {}, {}
    for line in lines:
        kind, origin, site, release, component, entry = \
            line.rstrip("\n").split("\t")
        if kind != "deb" or origin not in WANTED:
            continue
        key = (site, release)
        have.setdefault(key, set()).add(component)
        origin_of[key] = origin
        if component == "main":
            entry_of[key] = entry
    return have, entry_of, origin_of


def stanzas(lines):
    """(site, missing components, Signed-By) -> the releases that lack
    them, in the order of the archives' names."""
    have, entry_of, origin_of = read_targets(lines)
    grouped = {}
    for key, entry in sorted(entry_of.items()):
        missing = [c for c in WANTED[origin_of[key]] if c not in have[key]]
        if missing:
            site, release = key
            group = (site, " ".join(missing), signed_by(entry))
            grouped.setdefault(group, []).append(release)
    return grouped


def sources(lines):
    text = ""
    for (site, components, signed), releases in stanzas(lines).items():
        text += (f"Types: deb\nURIs: {site}\nSuites: {' '.join(releases)}\n"
                 f"Components: {components}\n")
        if signed:
            text += f"Signed-By: {signed}\n"
        text += "\n"
    return text


if __name__ == "__main__":
    sys.stdout.write(sources(sys.stdin))
