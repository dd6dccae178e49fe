"""A program that embeds the interpreter, finalizes it and initializes it again: every new interpreter
gets a fresh module, and nothing of the finalized one (classes, exception type, cached strs) is used
again. Built with the system's C compiler against the interpreter running the tests."""

import os
import shlex
import subprocess
import sys
import sysconfig
import textwrap

import wordsieve
from conftest import report_messages

CYCLES = 3

# Each cycle: a search with clean names (the strs kept from call to call), a replacement, a batch on
# the worker pool, a pickle round trip, a re-import after removal from sys.modules, and an internal
# failure raised as the module's exception type. Last, the addresses of what the module keeps from
# call to call: the program keeps a reference to those objects, so none of them is ever freed and a
# new object cannot be at the address of one of the cycles before.
SCRIPT = textwrap.dedent("""
    import pickle, sys
    import wordsieve
    p = wordsieve.KeywordProcessor()
    p.add_keyword("new york", "New York City")
    p.add_keyword("big apple", "New York City")
    p.add_keyword("python")
    text = "the big apple and python in New York"
    print([(m.keyword, m.start, m.end) for m in p.extract_keywords(text)])
    print(p.replace_keywords(text))
    print([[m.keyword for m in ms] for ms in p.parallel_extract_keywords_from_texts([text, "python"])])
    print(pickle.loads(pickle.dumps(p)).get_all_keywords() == p.get_all_keywords())
    del sys.modules["wordsieve"]
    import wordsieve as again
    print(again is wordsieve, type(p) is again.KeywordProcessor)
    try:
        p.extract_keywords(text, 2.0)
    except BaseException as error:
        print(type(error).__module__, type(error).__name__, error.args)
        kept = [wordsieve, wordsieve.KeywordProcessor, wordsieve.PyKeywordMatch, type(error)]
    kept += [m.keyword for m in p.extract_keywords(text)[:2]]
    print("kept", *map(id, kept))
""")

EXPECTED_CYCLE = [
    "[('New York City', 4, 13), ('python', 18, 24), ('New York City', 28, 36)]",
    "the New York City and python in New York City",
    "[['New York City', 'python', 'New York City'], ['python']]",
    "True",
    "True True",
    "pyo3_runtime PanicException ('Threshold must be between 0 and 1',)",
]

PROGRAM = r"""
#include <Python.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  for (int cycle = 0; cycle < %(cycles)d; ++cycle) {
    Py_Initialize();
    if (PyRun_SimpleString(argv[1]) != 0) return 1;
    /* A reference to the cycle's `kept` objects, never released. */
    PyObject* main_module = PyImport_AddModule("__main__");
    if (main_module == NULL || PyObject_GetAttrString(main_module, "kept") == NULL) return 3;
    if (Py_FinalizeEx() < 0) return 2;
    printf("finalized\n");
    fflush(stdout);
  }
  return 0;
}
"""


def compile_command(source, program):
    config = sysconfig.get_config_var
    compiler = shlex.split(os.environ.get("CC", "cc"))
    libdir = config("LIBDIR")
    link = [f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{config('LDVERSION')}"]
    link += shlex.split(config("LIBS") or "") + shlex.split(config("SYSLIBS") or "")
    if not config("Py_ENABLE_SHARED"):
        link += shlex.split(config("LINKFORSHARED") or "")  # the module's symbols from the program
    return [*compiler, f"-I{config('INCLUDEPY')}", str(source), "-o", str(program), *link]


def test_finalize_and_initialize_again(tmp_path):
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(PROGRAM % {"cycles": CYCLES})
    # No compiler is a failure, not a skip: the test must run wherever the suite does.
    built = subprocess.run(compile_command(source, program), capture_output=True, text=True)
    assert built.returncode == 0, built.stderr

    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "RAYON_"))}
    env["PYTHONPATH"] = os.path.dirname(wordsieve.__file__)
    home = sys.base_prefix if sys.base_prefix == sys.base_exec_prefix else \
        f"{sys.base_prefix}{os.pathsep}{sys.base_exec_prefix}"
    env["PYTHONHOME"] = home
    # Freed objects are overwritten, so that one used after its interpreter is gone shows at once
    # (and under the address sanitizer, every object is its own allocation).
    env["PYTHONMALLOC"] = "malloc_debug"
    result = subprocess.run([str(program), SCRIPT], capture_output=True, text=True, env=env,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    kept = [line.split()[1:] for line in lines if line.startswith("kept ")]
    assert [line for line in lines if not line.startswith("kept ")] == \
        (EXPECTED_CYCLE + ["finalized"]) * CYCLES
    # Every cycle has objects of its own.
    assert len(kept) == CYCLES and all(len(set(column)) == CYCLES for column in zip(*kept)), kept
    assert report_messages(result.stderr) == ["Threshold must be between 0 and 1"] * CYCLES
