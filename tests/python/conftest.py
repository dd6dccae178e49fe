"""Shared fixtures."""

import re

import pytest

REPORT = re.compile(r"wordsieve: internal failure in thread [0-9a-f]+ at src/\S+:\d+: (.*)")


def report_messages(err):
    """The messages of the internal-failure reports in `err`, which must hold nothing else."""
    lines = err.splitlines()
    matches = [REPORT.fullmatch(line) for line in lines]
    assert all(matches), f"not an internal-failure report on standard error: {lines}"
    return [m.group(1) for m in matches]


@pytest.fixture
def failure_reports(capfd):
    """Reads the internal-failure reports written to standard error since the last read (every
    internal failure writes one where it arises), so tests that provoke them check them."""
    capfd.readouterr()
    return lambda: report_messages(capfd.readouterr().err)
