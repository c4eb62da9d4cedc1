"""The installed `chopwise` command, run as a user runs it: a process of its own."""

import bz2
import gzip
import importlib.util
import json
import lzma
import os
import pty
import random
import re
import signal
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

import chopwise

CHOPWISE = str(Path(sys.executable).with_name("chopwise"))
ROOT = Path(__file__).resolve().parent.parent
TEXT = (
    "Кто-то прислал e-mail: 123-456, ёлка и Ёж! ЁЛКА ёлка.\n"
    "The e-mail, the E-MAIL; tree-top и из-за того,\tтаб\r\n"
    "back\\slash nul\0here «кавычки» №5\n"
)
COMPRESS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}


def run(*args, stdin=None, timeout=120):
    return subprocess.run(
        [CHOPWISE, *map(str, args)], input=stdin, capture_output=True, timeout=timeout, check=False
    )


def ok(*args, stdin=None):
    done = run(*args, stdin=stdin)
    assert (done.returncode, done.stderr) == (0, b""), done.stderr.decode()
    return done.stdout.decode()


def unescape(field):
    table = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r", "0": "\0"}
    out, chars = [], iter(field)
    for c in chars:
        out.append(table[next(chars)] if c == "\\" else c)
    return "".join(out)


def random_text(n_lines, seed=7):
    rng = random.Random(seed)
    words = ["ёлка", "Ёж", "кто-то", "e-mail", "word", "Word", "123", "из-за", "co-op", "й" * 130, "tree"]
    seps = [" ", ", ", ". ", " — ", "\t", " «", "» "]
    return "".join(
        "".join(rng.choice(words) + rng.choice(seps) for _ in range(rng.randrange(1, 12))) + "\n"
        for _ in range(n_lines)
    )


@pytest.fixture
def sources(tmp_path):
    """The same text as a plain file, each compressed form, and standard input."""
    data = random_text(3000).encode()
    plain = tmp_path / "text.txt"
    plain.write_bytes(data)
    forms = {"plain": (plain, None), "stdin": ("-", data)}
    for suffix, compress in COMPRESS.items():
        path = tmp_path / f"text.txt{suffix}"
        path.write_bytes(compress(data))
        forms[suffix] = (path, None)
    return plain, forms


def parse_tsv_counts(out):
    rows = [line.split("\t") for line in out.splitlines()]
    return [(unescape(w), int(n)) for w, n in rows]


FORMS = ["plain", "stdin", ".gz", ".bz2", ".xz"]


@pytest.mark.parametrize("form", FORMS)
def test_count_every_input_form_equals_the_library(sources, form):
    plain, forms = sources
    path, stdin = forms[form]
    rows = parse_tsv_counts(ok("count", path, "--format", "tsv", stdin=stdin))
    assert Counter(dict(rows)) == chopwise.count_words([plain])
    assert rows == sorted(rows, key=lambda r: (-r[1], r[0]))


@pytest.mark.parametrize(
    ("options", "library"),
    [
        (["--lower"], {"lower": True}),
        (["--types", "num,PNCTTN"], {"types": chopwise.mask("num", "PNCTTN")}),
        (["--min-len", "4", "--max-len", "6"], {"min_len": 4, "max_len": 6}),
        (
            ["--types", "space,newline,other", "-j", "2"],
            {"types": chopwise.mask("space", "newline", "other")},
        ),
    ],
)
def test_count_options(sources, options, library):
    plain, _ = sources
    rows = parse_tsv_counts(ok("count", plain, plain, "--format", "tsv", *options))
    assert Counter(dict(rows)) == chopwise.count_words([plain, plain], **library)


def test_count_shares_a_large_file_among_jobs(tmp_path):
    # Larger than one piece of a count, so both processes get parts of the same file.
    path = tmp_path / "large.txt"
    path.write_text(random_text(2000) * 90, encoding="utf-8")
    assert path.stat().st_size > 17 << 20
    small = tmp_path / "small.txt"
    small.write_text(TEXT, encoding="utf-8")
    rows = parse_tsv_counts(ok("count", "-j", "2", "--format", "tsv", path, "-", stdin=TEXT.encode()))
    assert Counter(dict(rows)) == chopwise.count_words([path, small])


def test_count_formats_and_ties(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("b a c b a dd-dd ёж ёж Ёж\n", encoding="utf-8")
    assert ok("count", path, "--format", "tsv") == "a\t2\nb\t2\nёж\t2\nc\t1\ndd-dd\t1\nЁж\t1\n"
    assert ok("count", path, "--top", "3", "--lower") == "ёж  3\na   2\nb   2\n"
    assert json.loads(ok("count", path, "--format", "json", "--top", "2")) == {"a": 2, "b": 2}
    assert list(json.loads(ok("count", path, "--format", "json"))) == ["a", "b", "ёж", "c", "dd-dd", "Ёж"]
    big = tmp_path / "big.txt"
    big.write_text("слово " * 12345 + "word\n", encoding="utf-8")
    assert ok("count", big) == "слово  12,345\nword        1\n"


def test_tokens_tsv_escapes_and_offsets(sources, tmp_path):
    path = tmp_path / "t.txt"
    path.write_text(TEXT * 3, encoding="utf-8")
    lines = ok("tokens", path, "--offsets").splitlines()
    tokens = [line.split("\t") for line in lines]
    assert all(len(t) == 4 for t in tokens)
    texts = [unescape(t[0]) for t in tokens]
    assert "".join(texts) == TEXT * 3
    for text, (_, _name, start, end) in zip(texts, tokens, strict=True):
        assert (TEXT * 3)[int(start) : int(end)] == text
    expected = [(t.text, t.type.name) for t in chopwise.tokenize_file(path)]
    assert [(text, t[1]) for text, t in zip(texts, tokens, strict=True)] == expected
    assert {t[0] for t in tokens} >= {"\\t", "\\r", "\\n", "\\0", "\\\\"}
    assert not any(c in "".join(lines) for c in "\0\r")


@pytest.mark.parametrize("form", FORMS)
def test_tokens_jsonl_every_input_form(sources, form):
    plain, forms = sources
    path, stdin = forms[form]
    records = [
        json.loads(line)
        for line in ok("tokens", path, "--format", "jsonl", "--types", "ru,num", stdin=stdin).splitlines()
    ]
    expected = list(chopwise.tokenize_file(plain, types=chopwise.mask("ru", "num")))
    assert [(r["token"], r["type"]) for r in records] == [(t.text, t.type.name) for t in expected]
    assert all(set(r) == {"token", "type"} for r in records)


def test_tokens_jsonl_offsets_index_the_text(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text(TEXT, encoding="utf-8")
    for line in ok("tokens", path, "--format", "jsonl", "--offsets").splitlines():
        record = json.loads(line)
        assert TEXT[record["start"] : record["end"]] == record["token"]


def stats_table(out):
    """{file: {row: value}} from the stats output."""
    tables, current = {}, None
    for line in out.splitlines():
        if not line.startswith(" "):
            current = tables.setdefault(line.rstrip(":"), {})
            continue
        name, value = line.split()[:2]
        current[name] = float(value.replace(",", ""))
    return tables


@pytest.mark.parametrize("form", FORMS)
def test_stats_counts_every_token(sources, form):
    plain, forms = sources
    path, stdin = forms[form]
    table = stats_table(ok("stats", path, stdin=stdin))[str(path)]
    per_type = Counter(t.type.name for t in chopwise.tokenize_file(plain))
    assert {k: int(v) for k, v in table.items() if k not in ("bytes", "tokens", "speed")} == per_type
    assert table["tokens"] == per_type.total()
    assert table["bytes"] == plain.stat().st_size
    assert table["speed"] > 0


def test_stats_of_several_files_adds_them_up(sources):
    plain, forms = sources
    tables = stats_table(ok("stats", plain, forms[".gz"][0]))
    assert tables["all files"] == {
        k: (v * 2 if k != "speed" else tables["all files"]["speed"]) for k, v in tables[str(plain)].items()
    }


# --- exit statuses -----------------------------------------------------------------------------


@pytest.mark.parametrize("command", [["count"], ["tokens"], ["stats"], ["count", "-j", "2"]])
@pytest.mark.parametrize(
    ("name", "reason"),
    [
        ("missing.txt", "No such file or directory"),
        ("missing.txt.gz", "No such file or directory"),
        ("folder", "Is a directory"),
    ],
)
def test_unreadable_input_exits_1_naming_path_and_reason(tmp_path, command, name, reason):
    (tmp_path / "folder").mkdir()
    good = tmp_path / "good.txt"
    good.write_text(TEXT, encoding="utf-8")
    done = run(*command, good, tmp_path / name)
    assert done.returncode == 1
    assert done.stderr.decode() == f"chopwise: {tmp_path / name}: {reason}\n"


# The bad bytes are an UNKNWN token: a count of words never sees them.
@pytest.mark.parametrize(
    ("command", "replaced"),
    [(["count", "--types", "other"], "\ufffd"), (["tokens"], "\ufffd"), (["stats"], "UNKNWN")],
)
def test_malformed_utf8_exits_1_unless_replaced(tmp_path, command, replaced):
    path = tmp_path / "bad.txt"
    path.write_bytes(b"good words\n" * 10 + b"x \xed\xa0\x80 y\n")
    done = run(*command, path)
    assert done.returncode == 1
    message = done.stderr.decode()
    assert message.startswith(f"chopwise: {path}: not valid UTF-8")
    assert "at byte" not in message or "at byte 112" in message
    assert "--errors replace" in message
    assert replaced in ok(*command, path, "--errors", "replace")


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
@pytest.mark.parametrize("command", ["count", "tokens", "stats"])
def test_unwritable_output_exits_1_naming_standard_output(tmp_path, command):
    path = tmp_path / "t.txt"
    path.write_text(TEXT, encoding="utf-8")
    with open("/dev/full", "wb") as full:
        done = subprocess.run(
            [CHOPWISE, command, str(path)], stdout=full, stderr=subprocess.PIPE, timeout=60, check=False
        )
    assert (done.returncode, done.stderr) == (1, b"chopwise: standard output: No space left on device\n")


@pytest.mark.skipif(importlib.util.find_spec("zstandard") is not None, reason="zstandard is installed")
def test_zst_without_zstandard_exits_1_saying_what_to_install(tmp_path):
    path = tmp_path / "t.txt.zst"
    path.write_bytes(b"\x28\xb5\x2f\xfd")
    done = run("count", path)
    assert done.returncode == 1 and str(path) in done.stderr.decode() and "zstandard" in done.stderr.decode()


@pytest.mark.parametrize(
    ("args", "says"),
    [
        ([], "required"),
        (["count"], "FILE"),
        (["split", "x"], "invalid choice"),
        (["count", "x", "--types", "en,verbs"], "'verbs'"),
        (["count", "x", "-j", "0"], "-j"),
        (["count", "x", "--top", "-1"], "--top"),
        (["count", "x", "--min-len", "two"], "--min-len"),
        (["count", "x", "--format", "jsonl"], "--format"),
        (["tokens", "x", "--format", "table"], "--format"),
        (["stats", "x", "--lower"], "unrecognized"),
        (["tokens", "x", "--errors", "ignore"], "--errors"),
    ],
)
def test_usage_errors_exit_2(args, says):
    done = run(*args)
    assert done.returncode == 2 and done.stdout == b""
    assert says in done.stderr.decode() and "usage: chopwise" in done.stderr.decode()


def test_help_lists_every_option():
    for command, options in [
        ("count", ["-j", "--top", "--lower", "--types", "--min-len", "--max-len", "--format", "--errors"]),
        ("tokens", ["--types", "--offsets", "--format", "--errors"]),
        ("stats", ["--errors"]),
    ]:
        text = ok(command, "--help")
        assert all(option in text for option in options)


# --- pipes and terminals ----------------------------------------------------------------------


def test_a_closed_pipe_ends_the_command_quietly(tmp_path):
    path = tmp_path / "big.txt"
    path.write_text(random_text(20000), encoding="utf-8")
    with subprocess.Popen([CHOPWISE, "tokens", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        first = proc.stdout.readline()
        proc.stdout.close()
        assert proc.wait(timeout=60) == -signal.SIGPIPE
        assert first.endswith(b"\n") and proc.stderr.read() == b""


def run_on_terminal(*args):
    """Runs the command with standard error on a pseudo-terminal; returns what was drawn there."""
    main, side = pty.openpty()
    try:
        proc = subprocess.Popen([CHOPWISE, *map(str, args)], stdout=subprocess.DEVNULL, stderr=side)
        os.close(side)
        drawn = b""
        while True:
            try:
                data = os.read(main, 1 << 16)
            except OSError:  # the terminal's other side closed
                break
            if not data:
                break
            drawn += data
        assert proc.wait(timeout=120) == 0
        return drawn.decode()
    finally:
        os.close(main)


@pytest.mark.parametrize("command", ["count", "tokens", "stats"])
def test_progress_bar_on_a_terminal_for_a_large_input(tmp_path, command):
    large = tmp_path / "large.txt"
    large.write_text(random_text(2000) * 25, encoding="utf-8")
    assert large.stat().st_size > 5 << 20
    drawn = run_on_terminal(command, large)
    assert "100%" in drawn and "\r" in drawn
    small = tmp_path / "small.txt"
    small.write_text(TEXT, encoding="utf-8")
    assert run_on_terminal(command, small) == ""


def test_no_progress_bar_when_standard_error_is_not_a_terminal(tmp_path):
    large = tmp_path / "large.txt"
    large.write_text(random_text(2000) * 25, encoding="utf-8")
    assert run("stats", large).stderr == b""


def test_demo_runs_stats_count_and_tokens(tmp_path):
    """What `make demo FILE=...` shows, with this venv's command (the demo's own venv holds the
    same package)."""
    extra = tmp_path / "mine.txt.gz"
    extra.write_bytes(gzip.compress(random_text(50).encode()))
    env = {**os.environ, "PATH": f"{Path(CHOPWISE).parent}{os.pathsep}{os.environ['PATH']}"}
    done = subprocess.run(
        ["sh", str(ROOT / "examples" / "demo.sh"), str(extra)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert (done.returncode, done.stderr) == (0, "")
    sections = re.split(r"^\$ ", done.stdout, flags=re.MULTILINE)[1:]
    heads = [s.splitlines()[0] for s in sections]
    assert heads[:4] == [
        "chopwise stats examples/sample.txt",
        "chopwise count --top 15 examples/sample.txt",
        f"chopwise stats {extra}",
        f"chopwise count --top 15 {extra}",
    ]
    assert len(sections[1].strip().splitlines()) == 16
    tokens = sections[4].splitlines()[1:]
    for line in [
        "Кто-то\tRUWORD",
        "e-mail\tENWORD",
        "123-456\tNUMBER",
        "ёлка\tRUWORD",
        "Ёж\tRUWORD",
        "3\tNUMBER",
        ".\tPNCTTN",
        "14\tNUMBER",
    ]:
        assert line in tokens
