"""Objects and inputs a caller can get wrong on purpose.

Whatever could crash runs in a child interpreter, so that a crash fails its test and not the suite.
"""

import json
import subprocess
import sys
import textwrap

import chopwiseCXX as cw


def run_child(code, timeout=60):
    """Runs `code` in a fresh interpreter and returns what it printed as JSON."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, check=False,
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout)


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
