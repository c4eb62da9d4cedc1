"""Objects and inputs a caller can get wrong on purpose: odd objects, signals, paths, descriptors.

Whatever could crash runs in a child interpreter, so that a crash fails its test and not the suite.
"""

import fcntl
import gc
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import chopwiseCXX as cw
from conftest import configure, drain


def run_child(code, timeout=60):
    """Runs `code` in a fresh interpreter and returns what it printed as JSON."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout)


def open_fds():
    return set(os.listdir("/proc/self/fd"))


# Streams


def test_long_chain_of_iter_is_freed_without_recursion():
    out = run_child("""
        import json, chopwiseCXX as cw
        s = cw.FTTokenizer("x y").stream
        for _ in range(200_000):
            s = iter(s)
        first = next(s)["text"]
        del s
        print(json.dumps(first))
    """)
    assert out == "x\0 \0y\0"


def test_a_stream_refers_to_its_tokenizer_not_to_the_stream_it_came_from():
    tok = cw.FTTokenizer("a b")
    s = tok.stream
    refs_s, refs_tok = sys.getrefcount(s), sys.getrefcount(tok)
    it = iter(s)
    assert sys.getrefcount(s) == refs_s
    assert sys.getrefcount(tok) == refs_tok + 1
    del it
    assert sys.getrefcount(tok) == refs_tok


# Objects made without their constructor

UNINITIALISED = """
    import json, chopwiseCXX as cw
    made = {
        "FTTokenizer.__new__": lambda: cw.FTTokenizer.__new__(cw.FTTokenizer),
        "FFTokenizer.__new__": lambda: cw.FFTokenizer.__new__(cw.FFTokenizer),
        "fts_stream.__new__": lambda: cw.fts_stream.__new__(cw.fts_stream),
        "ffs_stream.__new__": lambda: cw.ffs_stream.__new__(cw.ffs_stream),
    }
    calls = {
        "set_batch_size": lambda o: o.set_batch_size(4),
        "set_filter": lambda o: o.set_filter(4),
        "set_token_min_len": lambda o: o.set_token_min_len(1),
        "set_token_max_len": lambda o: o.set_token_max_len(1),
        "get_batch": lambda o: o.get_batch(),
        "is_fopen": lambda o: o.is_fopen(),
        "stream": lambda o: o.stream,
        "__iter__": lambda o: iter(o),
        "__next__": lambda o: next(o),
    }
    seen = {}
    for what, make in made.items():
        for name, call in calls.items():
            obj = make()
            if not hasattr(type(obj), name):
                continue
            try:
                call(obj)
                seen[f"{what} {name}"] = "no error"
            except Exception as e:
                seen[f"{what} {name}"] = type(e).__name__
    # An object made by __new__ may still be initialised, and then works.
    late = cw.FTTokenizer.__new__(cw.FTTokenizer)
    late.__init__("late init")
    seen["late __init__"] = late.get_batch()["text"]
    print(json.dumps(seen))
"""


def test_objects_without_a_native_object_are_refused_by_every_method():
    seen = run_child(UNINITIALISED)
    assert seen.pop("late __init__") == "late\0 \0init\0"
    assert len(seen) == 2 * 6 + 1 + 2 * 2  # setters, get_batch, stream; is_fopen; streams
    assert {k: v for k, v in seen.items() if v != "TypeError"} == {}


# Signals. The writer of a pipe is another process: every call holds the interpreter lock, so a
# thread of this process could never write while the tokenizer waits.

PIPE_WITH_SIGNAL = """
    import json, os, signal, subprocess, sys, time, chopwiseCXX as cw

    class Stop(Exception):
        pass

    handled = []
    def handler(signum, frame):
        handled.append(signum)
        if RAISE:
            raise Stop()
    signal.signal(signal.SIGUSR1, handler)

    # Writes the first part, signals this process while it waits for the rest, then writes it.
    writer = subprocess.Popen([sys.executable, "-c", '''
    import os, signal, sys, time
    sys.stdout.write("aaa bbb "); sys.stdout.flush()
    time.sleep(0.5)
    os.kill(os.getppid(), signal.SIGUSR1)
    time.sleep(0.3)
    sys.stdout.write("ccc ddd"); sys.stdout.flush()
    '''], stdout=subprocess.PIPE)
    tok = cw.FFTokenizer(f"/proc/self/fd/{writer.stdout.fileno()}")
    tok.set_batch_size(3)
    texts, errors = [], []
    while True:
        try:
            batch = tok.get_batch()
        except Exception as e:
            errors.append(type(e).__name__)
            if len(errors) == 3:  # it keeps failing
                break
            continue
        if not batch:
            break
        texts.append(batch["text"])
    writer.wait()
    print(json.dumps({"texts": texts, "errors": errors, "handled": len(handled)}))
"""


@pytest.mark.parametrize("raises", [False, True], ids=["handler-returns", "handler-raises"])
def test_signal_during_a_waiting_read(raises):
    out = run_child(f"RAISE = {raises}\n" + textwrap.dedent(PIPE_WITH_SIGNAL), timeout=30)
    assert out["handled"] == 1
    # Both ways, every token arrives: the interrupted call had gathered none yet.
    assert "".join(out["texts"]) == "aaa\0 \0bbb\0 \0ccc\0 \0ddd\0"
    assert out["errors"] == (["Stop"] if raises else [])


LONG_CALL = """
    import json, signal, time, chopwiseCXX as cw
    import numpy  # imported by the first batch otherwise, where its Python code runs handlers

    class Stop(Exception):
        pass

    ticks = 0
    def tick(signum, frame):
        global ticks
        ticks += 1
        if RAISE:
            raise Stop()
    signal.signal(signal.SIGALRM, tick)
    out = {}
    if RAISE:
        # Never ends by itself: nothing in /dev/zero passes the filter.
        tok = cw.FFTokenizer("/dev/zero")
        tok.set_filter(cw.ENWORD)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            tok.get_batch()
        except Stop:
            out["raised"] = True
        signal.setitimer(signal.ITIMER_REAL, 0)
        tok.set_filter(2**64 - 1)
        tok.set_batch_size(3)
        batch = tok.get_batch()
        out["after"] = [batch["text"], batch["types"].tolist()]
    else:
        # One long call: handlers run while it reads, not only once it has returned.
        tok = cw.FTTokenizer("ab " * 20_000_000 + "12")
        tok.set_filter(cw.NUMBER)
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        batch = tok.get_batch()
        signal.setitimer(signal.ITIMER_REAL, 0)
        out["text"] = batch["text"]
    out["ticks"] = ticks
    print(json.dumps(out))
"""


def test_signals_are_handled_during_a_long_call():
    out = run_child("RAISE = False\n" + textwrap.dedent(LONG_CALL), timeout=120)
    assert out["text"] == "12\0"  # nothing lost
    assert out["ticks"] >= 3  # before: all ticks during the call ran as one, after it


def test_an_exception_from_a_handler_ends_a_long_call_and_the_tokenizer_goes_on():
    out = run_child("RAISE = True\n" + textwrap.dedent(LONG_CALL), timeout=30)
    assert out["raised"] and out["ticks"] == 1
    assert out["after"] == ["\0" * 6, [64, 64, 64]]


# Paths


@pytest.mark.parametrize(
    "as_arg",
    [
        pytest.param(lambda p: p, id="str"),
        pytest.param(pathlib.Path, id="Path"),
        pytest.param(os.fsencode, id="bytes"),
        pytest.param(lambda p: bytearray(os.fsencode(p)), id="bytearray"),
        pytest.param(lambda p: pathlib.PurePosixPath(p), id="PurePath"),
        pytest.param(
            lambda p: type("P", (), {"__fspath__": lambda s: os.fsencode(p)})(), id="bytes-PathLike"
        ),
    ],
)
@pytest.mark.parametrize("name", [b"plain.txt", "кириллица.txt".encode(), b"caf\xe9.txt", b"a\xff\xfe"])
def test_paths_as_open_takes_them(tmp_path, name, as_arg):
    path = os.fsencode(tmp_path) + b"/" + name
    with open(path, "wb") as f:
        f.write(b"word")
    tok = cw.FFTokenizer(as_arg(os.fsdecode(path)))
    assert tok.is_fopen()
    assert tok.get_batch()["text"] == "word\0"


def test_path_errors(tmp_path):
    for bad in [123, None, 1.5, ["a"]]:
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            cw.FFTokenizer(bad)

    class Broken:
        def __fspath__(self):
            raise ValueError("no path here")

    with pytest.raises(ValueError, match="no path here"):
        cw.FFTokenizer(Broken())
    with pytest.raises(TypeError):
        cw.FFTokenizer(type("WrongType", (), {"__fspath__": lambda s: 42})())
    assert cw.FFTokenizer(fpath=tmp_path / "missing").is_fopen() is False


# Descriptors


def test_file_is_opened_close_on_exec(write_file):
    path = write_file("text")
    tok = cw.FFTokenizer(path)
    (fd,) = [int(fd) for fd in open_fds() if os.path.realpath(f"/proc/self/fd/{fd}") == path]
    assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    assert tok.get_batch()["text"] == "text\0"


def test_file_is_closed_once_its_end_is_read(write_file):
    path = write_file("one two three")
    gc.collect()
    before = open_fds()
    tok = configure(cw.FFTokenizer(path), batch_size=2)
    types = tok.get_batch()["types"]  # keeps the tokenizer alive
    assert len(open_fds() - before) == 1  # not at the end yet
    assert drain(tok)[-1] == [("three", 4)]
    assert open_fds() == before
    assert tok.is_fopen() is True
    assert [tok.get_batch(), tok.get_batch()] == [{}, {}]
    tok.set_batch_size(100)
    assert list(tok.stream) == [] and len(types) == 2


def test_file_is_closed_after_a_failed_read(tmp_path):
    gc.collect()
    before = open_fds()
    tok = cw.FFTokenizer(str(tmp_path))
    with pytest.raises(IsADirectoryError):
        tok.get_batch()
    assert open_fds() == before
    with pytest.raises(IsADirectoryError):
        tok.get_batch()


# Calls into a tokenizer while one of its calls runs: from a signal handler, or from another
# thread while a handler waits. Each is refused with RuntimeError; the outer call goes on.

REENTRY = """
    import json, signal, threading, time, chopwiseCXX as cw

    CALLS = {
        "set_batch_size": lambda t: t.set_batch_size(1),
        "get_batch": lambda t: t.get_batch(),
        "next": lambda t: next(t.stream),
        "set_filter": lambda t: t.set_filter(4),
        "set_token_min_len": lambda t: t.set_token_min_len(3),
        "set_token_max_len": lambda t: t.set_token_max_len(1),
        "__init__": lambda t: t.__init__("zz"),
    }
    FROM_THREAD, CALL = %r, %r
    tok = cw.FTTokenizer("ab " * 5_000_000)
    tok.set_batch_size(1 << 22)
    seen = []

    def call():
        try:
            CALLS[CALL](tok)
            seen.append("no error")
        except RuntimeError as e:
            seen.append(str(e))

    def handler(signum, frame):
        if FROM_THREAD:
            worker = threading.Thread(target=call)
            worker.start()
            time.sleep(0.2)  # lets the thread run
            worker.join()
        else:
            call()

    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.03)
    words = spaces = 0
    while batch := tok.get_batch():
        words += batch["text"].count("ab")
        spaces += len(batch["types"])
    print(json.dumps({"seen": seen, "words": words, "tokens": spaces}))
"""


@pytest.mark.parametrize("from_thread", [False, True], ids=["handler", "thread"])
@pytest.mark.parametrize(
    "call",
    [
        "set_batch_size",
        "get_batch",
        "next",
        "set_filter",
        "set_token_min_len",
        "set_token_max_len",
        "__init__",
    ],
)
def test_a_call_that_reenters_a_busy_tokenizer_is_refused_and_the_outer_call_loses_nothing(call, from_thread):
    out = run_child(REENTRY % (from_thread, call))
    refusal = "initialised already" if call == "__init__" else "tokenizer is busy"
    assert len(out["seen"]) == 1 and refusal in out["seen"][0], out["seen"]
    assert (out["words"], out["tokens"]) == (5_000_000, 10_000_000)


def test_a_handler_that_lets_the_refusal_through_ends_the_outer_call_and_reading_goes_on():
    out = run_child("""
        import json, signal, chopwiseCXX as cw
        tok = cw.FTTokenizer("ab " * 5_000_000)
        tok.set_batch_size(1 << 22)
        signal.signal(signal.SIGALRM, lambda *_: tok.set_batch_size(1))
        signal.setitimer(signal.ITIMER_REAL, 0.03)
        errors = []
        try:
            tok.get_batch()
        except RuntimeError as e:
            errors.append(str(e))
        tok.set_batch_size(1000)
        print(json.dumps({"errors": errors, "next": len(tok.get_batch()["types"])}))
    """)
    assert len(out["errors"]) == 1 and "busy" in out["errors"][0]
    assert out["next"] == 1000


def test_the_tokenizer_is_free_again_after_a_call_fails():
    tok = cw.FTTokenizer(b"\xed\xa0\x80")  # a surrogate: the batch cannot become a str
    with pytest.raises(UnicodeDecodeError):
        tok.get_batch()
    tok.set_batch_size(5)  # not refused as busy
    assert tok.get_batch() == {}


@pytest.mark.parametrize(
    "make, again",
    [
        (lambda p: cw.FTTokenizer("a b"), lambda t, p: t.__init__("c d")),
        (lambda p: cw.FTTokenizer("a b"), lambda t, p: cw.FTTokenizer.__init__(t, text="c d")),
        (lambda p: cw.FFTokenizer(p), lambda t, p: t.__init__(p)),
    ],
)
def test_a_second_init_on_a_live_tokenizer_raises_and_changes_nothing(tmp_path, make, again):
    path = tmp_path / "f.txt"
    path.write_text("a b")
    tok = make(str(path))
    with pytest.raises(RuntimeError, match="initialised already"):
        again(tok, str(path))
    assert tok.get_batch()["text"] == "a\0 \0b\0"


def test_init_keeps_its_signature_and_its_argument_errors():
    assert cw.FTTokenizer.__init__.__doc__.startswith("__init__(self: chopwiseCXX.FTTokenizer, text: str)")
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        cw.FTTokenizer(123)
    with pytest.raises(TypeError, match="invalid or missing `self`"):
        cw.FTTokenizer.__init__(5, "x")


@pytest.mark.parametrize("value", [3, 5, 128, 2**63, 2**64 - 1])
def test_a_token_type_made_from_a_value_that_is_no_member_raises(value):
    with pytest.raises(ValueError, match=f"{value} is not a valid TokenType"):
        cw.TokenType(value)


def test_token_types_made_from_member_values_are_the_members():
    import pickle

    for member in cw.TokenType.__members__.values():
        assert cw.TokenType(int(member)) == member
        assert pickle.loads(pickle.dumps(member)) == member
    with pytest.raises(TypeError):
        cw.TokenType(-1)
