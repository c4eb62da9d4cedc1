import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import chopwiseCXX as cw
from chopwiseCXX import TokenType as T

MEMBERS = ["NOTTKN", "WRDSPC", "NWLINE", "ENWORD", "NUMBER", "RUWORD", "PNCTTN", "UNKNWN"]


def test_module_attributes_in_registration_order():
    public = [name for name in vars(cw) if not name.startswith("__")]
    assert public == ["TokenType", *MEMBERS, "fts_stream", "FTTokenizer", "ffs_stream", "FFTokenizer"]
    assert cw.__doc__ is None


def test_members_values_and_module_level_aliases():
    assert list(T.__members__) == MEMBERS
    assert [int(T.__members__[n]) for n in MEMBERS] == [0, 1, 2, 4, 8, 16, 32, 64]
    for name in MEMBERS:
        assert getattr(cw, name) is getattr(T, name)
    assert T(16) == T.RUWORD
    assert hash(T.ENWORD) == hash(T(4))
    assert pickle.loads(pickle.dumps(T.PNCTTN)) == T.PNCTTN


def test_or_gives_an_int_mask():
    mask = T.ENWORD | T.RUWORD
    assert type(mask) is int and mask == 20
    assert (T.ENWORD | T.RUWORD) | int(T.NUMBER) == 28
    assert T.UNKNWN | T.UNKNWN == 64


@pytest.mark.parametrize(
    "expr",
    [
        lambda: T.ENWORD | 4,
        lambda: 4 | T.ENWORD,
        lambda: T.ENWORD | T.RUWORD | T.NUMBER,  # the first | already gave an int
        lambda: T.ENWORD & T.ENWORD,
        lambda: T.ENWORD ^ T.RUWORD,
        lambda: T.ENWORD < 8,
    ],
    ids=["member|int", "int|member", "three members", "and", "xor", "less than int"],
)
def test_operators_refuse_other_operands(expr):
    with pytest.raises(TypeError):
        expr()


def test_strict_comparisons():
    assert (T.ENWORD == 4) is False
    assert T.ENWORD != 4
    assert T.ENWORD < T.NUMBER and T.UNKNWN >= T.PNCTTN
    with pytest.raises(TypeError, match="Expected an enumeration of matching type!"):
        T.ENWORD < 8  # noqa: B015 - the comparison itself must raise


@pytest.mark.parametrize("cls", [cw.fts_stream, cw.ffs_stream])
def test_streams_cannot_be_constructed(cls):
    with pytest.raises(TypeError, match="No constructor defined!"):
        cls()


# Py_GetVersion is looked up through the dynamic linker, so a preloaded definition lets the
# real module meet an interpreter that claims another version.
FAKE_VERSION_SOURCE = textwrap.dedent(
    """
    #include <stdlib.h>
    const char *Py_GetVersion(void) {
        const char *v = getenv("FAKE_PY_VERSION");
        return v ? v : "3.13.0";
    }
    """
)


@pytest.fixture(scope="module")
def fake_version_lib(tmp_path_factory):
    d = tmp_path_factory.mktemp("fakever")
    src, lib = d / "fakever.c", d / "libfakever.so"
    src.write_text(FAKE_VERSION_SOURCE)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
    return str(lib)


def import_under_version(lib, version):
    # Libraries already preloaded (the sanitizer runtime of `make test-asan`) stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), lib]))
    env = dict(os.environ, LD_PRELOAD=preload, FAKE_PY_VERSION=version)
    code = "import chopwiseCXX; print('imported')"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


@pytest.mark.parametrize("version", ["3.12.1 (main) [GCC]", "3.130.0 (main)", "3.1", "4.13.0"])
def test_import_refuses_other_interpreter_versions(fake_version_lib, version):
    run = import_under_version(fake_version_lib, version)
    assert run.returncode != 0
    expected = (
        "ImportError: Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version}."
    )
    assert expected in run.stderr


@pytest.mark.parametrize("version", ["3.13.0 (main)", "3.13.11+", "3.13"])
def test_import_accepts_any_3_13(fake_version_lib, version):
    run = import_under_version(fake_version_lib, version)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "imported"
