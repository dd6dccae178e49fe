"""fork() while other threads use wordsieve, and signal handlers that search or fork in the middle
of a call: the child, or the handler, finds every lock of the module free. Each case runs in a fresh
interpreter, bounded in time, so a deadlock fails instead of hanging."""

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


# A signal handler runs while a call builds the tables a search keeps on the processor (on first
# use; a batch builds them before its workers start), and searches that processor, on the same
# thread or in a child it forks, which has no other thread. Neither may wait for the build.
DURING_BUILD = """
    import os, signal, string, sys, time, warnings
    from wordsieve import KeywordProcessor

    warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
    action, call, kind = sys.argv[1:]
    threshold = None if kind == "exact" else 0.9
    p = KeywordProcessor()
    for i in range(200_000):
        p.add_keyword("k%dx y%d" % (i, i))

    def keywords(matches):
        return [m.keyword for m in matches]

    def search():
        return keywords(p.extract_keywords("k1x y1 and k7x y7", threshold)) == ["k1x y1", "k7x y7"]

    def handler(signum, frame):
        if not in_call:
            return
        if action == "fork":
            pid = os.fork()
            if pid == 0:
                signal.signal(signal.SIGALRM, signal.SIG_DFL)
                signal.alarm(5)  # a deadlocked child dies of it
                os._exit(0 if search() else 3)
            found.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0)
        else:
            found.append(search())

    signal.signal(signal.SIGALRM, handler)
    found = []
    deadline = time.monotonic() + 10
    for attempt in range(1000):
        if len(found) >= 3 or time.monotonic() > deadline:
            break
        # Another word character, not in the texts: the tables are dropped, to be built again.
        p.set_non_word_boundaries(list(string.ascii_letters + string.digits + "_" + "~^"[attempt % 2]))
        in_call = True
        signal.setitimer(signal.ITIMER_REAL, 0.002)  # the build takes some 20 to 50 ms
        if call == "batch":
            # Texts of 4 KiB go to the workers one by one (shorter ones would run on this thread).
            results = p.parallel_extract_keywords_from_texts(["k2x y2" + " filler" * 600] * 8, threshold)
            assert list(map(keywords, results)) == [["k2x y2"]] * 8
        else:
            assert keywords(p.extract_keywords("k2x y2", threshold)) == ["k2x y2"]
        in_call = False
        signal.setitimer(signal.ITIMER_REAL, 0)
    assert found and all(found), found
    print(len(found))
"""


@pytest.mark.parametrize("action", ["search", "fork"])
@pytest.mark.parametrize("call", ["single", "batch"])
@pytest.mark.parametrize("kind", ["exact", "fuzzy"])
def test_signal_handler_during_a_table_build(action, call, kind):
    if action == "fork" and (not hasattr(os, "fork") or SANITIZED):
        pytest.skip("no fork() here, or the sanitizers do not follow threads across fork()")
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(DURING_BUILD), action, call, kind],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
