"""The built extension: one stable-ABI module that exports nothing but its init function."""

import shutil
import subprocess
import sys
import sysconfig

import pytest

import wordsieve


def test_module_is_the_abi3_build():
    assert wordsieve.__file__.endswith(".pyd" if sys.platform == "win32" else ".abi3.so")
    assert sysconfig.get_config_var("Py_GIL_DISABLED") in (None, 0)


@pytest.mark.skipif(sys.platform != "linux" or shutil.which("nm") is None,
                    reason="reads the ELF dynamic symbols with binutils' nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", wordsieve.__file__],
                         check=True, capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_wordsieve"]
