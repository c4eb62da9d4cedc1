"""Replays the saved fuzz inputs through the native core, built with g++ and the sanitizers
it ships, so every input found by the fuzzer stays a regression test without clang."""

import subprocess

import pytest

from conftest import ROOT, native_env, tool


@pytest.mark.parametrize(
    "replay,corpus,least", [("fuzz_replay", "corpus", 10), ("fuzz_columns_replay", "columns_corpus", 8)]
)
def test_corpus_replays_clean(native_build, replay, corpus, least):
    inputs = sorted(p for p in (ROOT / "tests" / "fuzz" / corpus).iterdir() if p.is_file())
    assert len(inputs) >= least
    # The test passes only when the replay reports every saved input (CMakeLists.txt).
    run = subprocess.run(
        [tool("ctest"), "--test-dir", str(native_build), "--output-on-failure", "-R", f"^{replay}$"],
        capture_output=True,
        text=True,
        env=native_env(),
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "100% tests passed" in run.stdout
