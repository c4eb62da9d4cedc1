"""Replays the saved fuzz inputs through the native core, built with g++ and the sanitizers
it ships, so every input found by the fuzzer stays a regression test without clang."""

import subprocess

from conftest import ROOT, native_env, tool


def test_corpus_replays_clean(native_build):
    inputs = sorted(p for p in (ROOT / "tests" / "fuzz" / "corpus").iterdir() if p.is_file())
    assert len(inputs) >= 10
    # The test passes only when the replay reports every saved input (CMakeLists.txt).
    run = subprocess.run(
        [tool("ctest"), "--test-dir", str(native_build), "--output-on-failure", "-R", "^fuzz_replay$"],
        capture_output=True,
        text=True,
        env=native_env(),
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "100% tests passed" in run.stdout
