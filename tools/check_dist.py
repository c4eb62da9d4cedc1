"""Checks the sdist and wheel in a dist folder before they go to an index.

    python tools/check_dist.py dist

What twine and check-wheel-contents do not know about this project: the sdist holds every
source, the stubs and the licence and nothing built or generated; the wheel is manylinux,
carries the licence, and its top level holds only what the sources provide; the metadata is
valid, its classifiers are known, and the package page states the glibc the wheel needs and
the benchmark figures as bench/results.md has them. Prints each problem and exits 1 on any.
"""

import re
import sys
import tarfile
import zipfile
from pathlib import Path

from packaging.metadata import Metadata
from packaging.specifiers import SpecifierSet
from packaging.utils import parse_wheel_filename
from trove_classifiers import classifiers as KNOWN_CLASSIFIERS

ROOT = Path(__file__).resolve().parent.parent
MODULE = "chopwiseCXX"
STUBS = f"{MODULE}-stubs"
REQUIRED_SDIST = [
    "LICENSE",
    "README.md",
    "docs/package.md",
    "pyproject.toml",
    "CMakeLists.txt",
    f"{STUBS}/__init__.pyi",
    f"{STUBS}/py.typed",
]
# Built, generated or local-only paths that must never ship.
FORBIDDEN_SDIST = re.compile(r"^(build|dist|\.venv[^/]*|bench/data)/|(^|/)__pycache__/|\.so$")
EXTRAS = {"arrow", "dask", "zstd"}


def sdist_problems(sdist: Path) -> list[str]:
    with tarfile.open(sdist) as tar:
        names = [m.name for m in tar.getmembers() if m.isfile()]
    prefix = names[0].split("/", 1)[0] + "/"
    files = {n.removeprefix(prefix) for n in names}
    problems = [f"sdist lacks {f}" for f in REQUIRED_SDIST if f not in files]
    sources = [p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*") if p.is_file()]
    problems += [f"sdist lacks source {f}" for f in sorted(sources) if f not in files]
    problems += [f"sdist holds {f}" for f in sorted(files) if FORBIDDEN_SDIST.search(f)]
    return problems


def wheel_problems(wheel: Path) -> tuple[list[str], str]:
    problems = []
    _, _, _, tags = parse_wheel_filename(wheel.name)
    platforms = {t.platform for t in tags}
    if {t.interpreter for t in tags} != {"cp313"}:
        problems.append(f"wheel is not for CPython 3.13 only: {wheel.name}")
    if not all(re.fullmatch(r"manylinux_\d+_\d+_x86_64|manylinux\w*_x86_64", p) for p in platforms):
        problems.append(f"wheel is not a manylinux x86_64 wheel: {wheel.name}")
    glibc = max(
        (re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", p) for p in platforms),
        key=lambda m: (int(m[1]), int(m[2])) if m else (0, 0),
        default=None,
    )

    with zipfile.ZipFile(wheel) as whl:
        names = whl.namelist()
        dist_info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))
        licence = f"{dist_info}/licenses/LICENSE"
        if licence not in names:
            problems.append(f"wheel lacks {licence}")
        elif whl.read(licence) != (ROOT / "LICENSE").read_bytes():
            problems.append(f"{licence} differs from LICENSE")
        metadata = whl.read(f"{dist_info}/METADATA")

    # The extension, its stubs, and pure-Python packages from python/: nothing else.
    packages = {p.name for p in (ROOT / "python").glob("*") if p.is_dir()}
    toplevel = {n.split("/")[0] for n in names} - {dist_info}
    extension = [t for t in toplevel if re.fullmatch(rf"{MODULE}\.cpython-313-x86_64-linux-gnu\.so", t)]
    if not extension:
        problems.append(f"wheel lacks the extension module {MODULE}")
    for stub in ("__init__.pyi", "py.typed"):
        if f"{STUBS}/{stub}" not in names:
            problems.append(f"wheel lacks {STUBS}/{stub}")
    unexpected = toplevel - set(extension) - {STUBS} - packages
    problems += [f"wheel has an unexpected top-level entry {t}" for t in sorted(unexpected)]
    problems += metadata_problems(metadata)
    return problems, (f"{glibc[1]}.{glibc[2]}" if glibc else "")


def metadata_problems(raw: bytes) -> list[str]:
    try:
        meta = Metadata.from_email(raw, validate=True)
    except Exception as error:  # an ExceptionGroup of every invalid field
        return [f"invalid metadata: {error!r}"]
    problems = [f"unknown classifier {c!r}" for c in meta.classifiers or [] if c not in KNOWN_CLASSIFIERS]
    if str(meta.license_expression) != "MIT" or meta.license_files != ["LICENSE"]:
        problems.append(f"licence metadata: {meta.license_expression} {meta.license_files}")
    # The module refuses to import on any other interpreter than 3.13.
    python = meta.requires_python or SpecifierSet()
    if not ("3.13.0" in python and "3.13.9" in python and "3.12.9" not in python and "3.14.0" not in python):
        problems.append(f"Requires-Python {python} is not 3.13 only")
    missing = EXTRAS - {str(e) for e in meta.provides_extra or []}
    problems += [f"extra {e} not declared" for e in sorted(missing)]
    page = (ROOT / "docs/package.md").read_text(encoding="utf-8")
    if meta.description != page or meta.description_content_type != "text/markdown":
        problems.append("the package page is not docs/package.md as Markdown")
    return problems


def page_problems(glibc: str) -> list[str]:
    problems = []
    for doc in ("README.md", "docs/package.md", "docs/building.md"):
        stated = set(re.findall(r"glibc (\d+\.\d+) or newer", (ROOT / doc).read_text(encoding="utf-8")))
        if stated != {glibc}:
            problems.append(f"{doc} states glibc {sorted(stated)} or newer; the wheel needs {glibc}")
    # Every figure on the package page is the one of the last bench run.
    bench = dict(
        re.findall(
            r"^\| ([^|]+?) \| ([\d.]+) \|", (ROOT / "bench/results.md").read_text(encoding="utf-8"), re.M
        )
    )
    speed = (ROOT / "docs/package.md").read_text(encoding="utf-8").split("## Speed", 1)[-1]
    figures = re.findall(r"^\| ([^|]+?) \| ([\d.]+) \|$", speed, re.M)
    if not figures:
        problems.append("docs/package.md has no speed figures")
    problems += [
        f"docs/package.md: {name} {mbps} MB/s, bench/results.md: {bench.get(name)}"
        for name, mbps in figures
        if bench.get(name) != mbps
    ]
    return problems


def main(folder: str) -> int:
    dist = Path(folder)
    sdists, wheels = sorted(dist.glob("*.tar.gz")), sorted(dist.glob("*.whl"))
    if len(sdists) != 1 or len(wheels) != 1:
        print(f"expected one sdist and one wheel in {dist}, found {[p.name for p in sdists + wheels]}")
        return 1
    problems = sdist_problems(sdists[0])
    wheel, glibc = wheel_problems(wheels[0])
    problems += wheel + page_problems(glibc)
    for problem in problems:
        print(problem)
    if not problems:
        print(f"{sdists[0].name}, {wheels[0].name} (glibc {glibc} or newer): OK")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
