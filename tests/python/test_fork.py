"""fork() while other threads use wordsieve: the child finds every lock of the module free. Each
case runs in a fresh interpreter, bounded in time, so a deadlock fails instead of hanging."""

import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")

# Threads that come and go, each building a trie (and, when it exits, handing its cached trie
# slots back to the shared pool under its lock), while the main thread forks.
CHURN = """
    import os, signal, sys, threading, time, warnings
    from wordsieve import KeywordProcessor

    warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads

    def work():
        # Blocks of every size, so that the thread's cache is full when it exits.
        p = KeywordProcessor()
        for n in range(8, 290, 4):
            for c in "abcdefghijklmnopqrstuvwxyz012345":
                p.add_keyword(c + str(n), "x" * n)

    def churn():
        while True:
            t = threading.Thread(target=work)
            t.start()
            t.join()

    for _ in range(4):
        threading.Thread(target=churn, daemon=True).start()
    deadline = time.monotonic() + 3
"""

CASES = {
    "os.fork": """
        forks = 0
        while time.monotonic() < deadline:
            pid = os.fork()
            if pid == 0:
                signal.alarm(5)  # a deadlocked child dies of it
                p = KeywordProcessor()
                p.add_keyword("k", "x" * (forks % 280))
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            if status != 0:
                sys.exit("child %d deadlocked" % forks)
            forks += 1
        print(forks)
    """,
    "fork in a signal handler during a batch": """
        # In the child the batch's workers do not exist: the call fails there instead of waiting
        # for them forever, and goes on in the parent.
        # A batch that runs for about a second however fast the search: a long keyword against
        # texts that match it only in part, at threshold 0.
        import random
        rng = random.Random(7)
        p = KeywordProcessor()
        p.add_keyword("a" * 200)
        texts = ["".join(rng.choice("ab") for _ in range(2000)) for _ in range(4)]
        children = []

        def handler(signum, frame):
            pid = os.fork()
            if pid == 0:
                signal.alarm(10)  # a child that waits for the workers dies of it
            else:
                children.append(pid)

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            results = p.parallel_extract_keywords_from_texts(texts, 0.0)
        except BaseException as error:  # noqa: B902 - PanicException
            if not children:  # the child
                os._exit(3 if "forked while a batch call was running" in str(error) else 4)
            raise
        if not children:
            os._exit(5)  # the child finished the call: impossible without workers
        assert len(results) == 4 and results == [p.extract_keywords(t, 0.0) for t in texts]
        _, status = os.waitpid(children[0], 0)
        assert os.waitstatus_to_exitcode(status) == 3, os.waitstatus_to_exitcode(status)
        print(len(children))
    """,
    "multiprocessing fork": """
        import multiprocessing
        p = KeywordProcessor()
        p.add_keyword("new york", "NY")
        texts = ["new york %d" % i for i in range(100)]
        pools = 0
        while time.monotonic() < deadline:
            with multiprocessing.get_context("fork").Pool(2) as pool:
                done = pool.map_async(p.replace_keywords, texts).get(timeout=10)
            assert done == ["NY %d" % i for i in range(100)]
            pools += 1
        print(pools)
    """,
}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() here")
@pytest.mark.skipif(SANITIZED, reason="the sanitizers do not follow threads across fork()")
@pytest.mark.parametrize("case", CASES)
def test_fork_under_thread_churn(case):
    script = textwrap.dedent(CHURN) + textwrap.dedent(CASES[case])
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert int(result.stdout) >= 1  # forks, pools, children
