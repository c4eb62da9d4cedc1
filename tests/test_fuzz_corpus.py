"""Replays the saved fuzz inputs through the native core, built with g++ and the sanitizers
it ships, so every input found by the fuzzer stays a regression test without clang."""

import os
import shutil
import subprocess

import pytest
from test_native import CORE_SOURCES, ROOT

FUZZ = ROOT / "tests" / "fuzz"


def clean_env():
    # Under `make test-asan` the interpreter runs with a preloaded runtime; the compiler and
    # the replay binary bring their own.
    env = dict(os.environ)
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env.pop(key, None)
    return env


@pytest.fixture(scope="module")
def replay_binary(tmp_path_factory):
    cxx = shutil.which("g++")
    assert cxx, "g++ builds the module, so it must be present"
    out = tmp_path_factory.mktemp("replay") / "replay"
    cmd = [cxx, "-std=c++17", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
           "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
           "-I", str(ROOT / "src"),
           str(FUZZ / "fuzz_core.cpp"), str(FUZZ / "replay_main.cpp"),
           *(str(ROOT / s) for s in CORE_SOURCES), "-o", str(out)]
    subprocess.run(cmd, check=True, env=clean_env())
    return out


def run(binary, *args):
    env = clean_env()
    env["ASAN_OPTIONS"] = "allocator_may_return_null=1"
    return subprocess.run([str(binary), *map(str, args)], capture_output=True, text=True,
                          env=env)


def test_corpus_replays_clean(replay_binary):
    inputs = sorted(p for p in (FUZZ / "corpus").iterdir() if p.is_file())
    assert len(inputs) >= 10
    result = run(replay_binary, FUZZ / "corpus")
    assert result.returncode == 0, result.stderr
    assert f"replayed {len(inputs)} inputs" in result.stdout

