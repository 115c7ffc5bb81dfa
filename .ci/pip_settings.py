"""pip_settings.py ROOT: writes ROOT/etc/pip.conf from this machine's pip
settings (`pip config list` on standard input), without those that name
files the root does not have (a local wheel directory or index, a
constraints file); the certificates are the root's own."""
import os
import sys

ROOT_CERTIFICATES = "/etc/ssl/certs/ca-certificates.crt"


def kept_settings(lines, root):
    """{name: value} of the settings the root can use."""
    settings = {"cert": ROOT_CERTIFICATES}
    for line in lines:
        name, _, value = line.strip().partition("=")
        name = name.split(".", 1)[1]
        if name == "cert":
            continue
        kept = [word for word in value.strip("'\"").split()
                if not word.startswith(("/", "file:"))
                or os.path.exists(root + word.removeprefix("file://"))]
        if kept:
            settings[name] = " ".join(kept)
    return settings


def pip_conf(settings):
    return "[global]\n" + "".join(f"{name} = {value}\n"
                                  for name, value in settings.items())


if __name__ == "__main__":
    root = sys.argv[1]
    text = pip_conf(kept_settings(sys.stdin, root))
    with open(root + "/etc/pip.conf", "w") as conf:
        conf.write(text)
