"""What an entry of the machine's apt sources says, for the scripts that
write apt sources of their own from it (./dev mbrola, fetch-sources)."""
import re


def signed_by(entry):
    """The Signed-By of the sources entry at FILE:LINE (as apt-get
    indextargets names it), as it is written there: a key file, or a key
    block over several lines; None when it has none."""
    path, line = entry.rsplit(":", 1)
    with open(path) as f:
        lines = f.read().split("\n")[int(line) - 1:]
    if path.endswith(".list"):
        found = re.search(r"signed-by=([^\s\]]+)", lines[0])
        return found.group(1) if found else None
    value = None
    for text in lines:
        if not text.strip():
            break
        if value is not None and text[:1] in " \t":
            value += "\n" + text
        elif value is not None:
            break
        elif text.lower().startswith("signed-by:"):
            value = text.split(":", 1)[1].strip()
    return value
