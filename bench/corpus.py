"""Builds the benchmark corpus: real Russian and English prose from Debian documentation packages.

The .deb files are fetched with `apt-get download` into bench/data/debs and read in place (no
install). Text is pulled out of HTML pages, man pages, reStructuredText sources and fortune files,
documents are shuffled so both languages are spread over the whole file, and the result is
repeated up to the wanted size. Every step is skipped when its output is already there.

    python bench/corpus.py [--min-mb 50]
"""

import argparse
import gzip
import hashlib
import html
import io
import json
import os
import random
import re
import subprocess
import sys
import tarfile
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"
CORPUS = DATA / "corpus.txt"
INFO = DATA / "corpus.json"

RU_PACKAGES = [
    "libreoffice-help-ru",
    "kicad-doc-ru",
    "manpages-ru",
    "manpages-ru-dev",
    "debian-faq-ru",
    "developers-reference-ru",
    "maint-guide-ru",
    "aptitude-doc-ru",
    "doublecmd-help-ru",
    "fortunes-ru",
    "gimp-help-ru",
]
EN_PACKAGES = [
    "libreoffice-help-en-us",
    "manpages",
    "manpages-dev",
    "debian-reference-en",
    "developers-reference",
    "python3.11-doc",
]

_DROP = re.compile(r"<(script|style|head)\b.*?</\1\s*>|<!--.*?-->", re.S | re.I)
_BLOCK = re.compile(r"</?(p|div|br|li|tr|h[1-6]|pre|table|dt|dd|title)\b[^>]*>", re.I)
_TAG = re.compile(r"<[^>]*>")
_CYRILLIC = re.compile(r"[\u0400-\u04ff]")
_SPACES = re.compile(r"[ \t\r\f\v]+")
_BLANKS = re.compile(r"\n\s*\n+")
# Text-bearing man macros keep their argument; every other request line is dropped.
_MAN_TEXT = re.compile(r"^\.(SH|SS|B|I|BR|RB|IR|RI|BI|IB|TP|IP|SM|SB)\b\s*(.*)$")
_MAN_ESC = re.compile(r"\\f(\[[^]]*\]|\(..|.)|\\\(..|\\\[[^]]*\]|\\[&|^%]|\\s[-+]?\d")


def _tidy(text):
    return _BLANKS.sub("\n\n", _SPACES.sub(" ", text)).strip() + "\n"


def html_text(src):
    src = _BLOCK.sub("\n", _DROP.sub(" ", src))
    return _tidy(html.unescape(_TAG.sub("", src)))


def man_text(src):
    out = []
    for line in src.splitlines():
        if line.startswith((".", "'")):
            m = _MAN_TEXT.match(line)
            if not m:
                continue
            line = m.group(2).replace('"', "")
        out.append(_MAN_ESC.sub("", line).replace("\\-", "-").replace("\\e", "\\"))
    return _tidy("\n".join(out))


def fortune_text(src):
    return _tidy("\n".join(line for line in src.splitlines() if line.strip() != "%"))


def _kind(name):
    if "/man/" in name and name.endswith(".gz"):
        return "man"
    if "/_sources/" in name and name.endswith(".txt"):
        return "rst"
    if name.endswith((".html", ".htm")):
        return "html"
    if "/fortunes/" in name and not name.endswith((".dat", ".u8")):
        return "fortune"
    return None


def package_docs(deb, lang):
    """Yields (path, text) for every document in one .deb."""
    tar_bytes = subprocess.run(
        ["dpkg-deb", "--fsys-tarfile", str(deb)], check=True, capture_output=True
    ).stdout
    with tarfile.open(fileobj=io.BytesIO(tar_bytes)) as tar:
        members = [m for m in tar.getmembers() if m.isfile() and _kind(m.name)]
        # Sphinx-built docs ship both their sources and the HTML: English keeps the sources,
        # translations keep the HTML (their sources are the untranslated English).
        if lang == "ru":
            members = [m for m in members if _kind(m.name) != "rst"]
        elif any(_kind(m.name) == "rst" for m in members):
            members = [m for m in members if _kind(m.name) != "html"]
        for m in members:
            raw = tar.extractfile(m).read()
            kind = _kind(m.name)
            if kind == "man":
                raw = gzip.decompress(raw)
            src = raw.decode("utf-8", errors="replace")
            text = {"man": man_text, "html": html_text, "fortune": fortune_text}.get(kind, _tidy)(src)
            if len(text) > 200:
                yield m.name, text


def fetch(packages, dest):
    dest.mkdir(parents=True, exist_ok=True)
    missing = [p for p in packages if not list(dest.glob(f"{p}_*.deb"))]
    if not missing:
        return
    cmd = ["apt-get", "download", *missing]
    if subprocess.run(cmd, cwd=dest).returncode != 0:
        # A fresh machine has no package lists yet.
        if os.geteuid() == 0:
            subprocess.run(["apt-get", "update", "-qq"], check=True)
        subprocess.run(cmd, cwd=dest, check=True)


def build(min_mb=50):
    if CORPUS.exists() and INFO.exists():
        info = json.loads(INFO.read_text())
        if info["bytes"] >= min_mb * 1e6:
            return info
    debs = DATA / "debs"
    fetch(RU_PACKAGES + EN_PACKAGES, debs)
    docs, seen, per_pkg = [], set(), {}
    for lang, packages in (("ru", RU_PACKAGES), ("en", EN_PACKAGES)):
        for pkg in packages:
            deb = next(debs.glob(f"{pkg}_*.deb"))
            size = 0
            for _, text in package_docs(deb, lang):
                digest = hashlib.sha1(text.encode()).digest()
                if digest not in seen:
                    seen.add(digest)
                    docs.append(text)
                    size += len(text.encode())
            per_pkg[deb.name] = size
            print(f"  {deb.name}: {size / 1e6:.1f} MB of text", file=sys.stderr)
    random.Random(0).shuffle(docs)
    distinct = "\n".join(docs)
    letters = sum(1 for c in distinct if c.isalpha())
    cyrillic = len(_CYRILLIC.findall(distinct))
    distinct = distinct.encode()
    size = _write_repeated(CORPUS, distinct, min_mb)
    info = {
        "bytes": size,
        "distinct_bytes": len(distinct),
        "repeated": size > len(distinct),
        "cyrillic_letter_share": round(cyrillic / letters, 3),
        "documents": len(docs),
        "packages": per_pkg,
    }
    INFO.write_text(json.dumps(info, indent=1) + "\n")
    return info


def _write_repeated(path, data, min_mb):
    """Writes data over and over until min_mb is reached, the last copy cut after a line."""
    need, written = int(min_mb * 1e6), 0
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        while written < need:
            piece = data
            if need - written < len(data):
                cut = data.find(b"\n", need - written)
                piece = data if cut < 0 else data[: cut + 1]
            f.write(piece)
            written += len(piece)
    tmp.replace(path)
    return written


def repeated(path, min_mb):
    """A file holding the corpus repeated to at least min_mb, made once."""
    if (
        not path.exists()
        or path.stat().st_size < min_mb * 1e6
        or path.stat().st_mtime < CORPUS.stat().st_mtime
    ):
        _write_repeated(path, CORPUS.read_bytes(), min_mb)
    return path


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--min-mb", type=float, default=50)
    info = build(ap.parse_args().min_mb)
    print(json.dumps({k: v for k, v in info.items() if k != "packages"}))
