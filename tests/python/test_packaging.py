"""The built extension: one stable-ABI module that exports nothing but its init function."""

import shutil
import subprocess
import sysconfig

import pytest

import wordsieve


def test_module_is_the_abi3_build():
    assert wordsieve.__file__.endswith(".abi3.so")
    assert sysconfig.get_config_var("Py_GIL_DISABLED") in (None, 0)


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils' nm is not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", wordsieve.__file__],
                         check=True, capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_wordsieve"]
