"""Sequences that accept what a list accepts but report their length oddly, shared by the tests of
the list arguments and by scripts/leak_check.py: a reported length is only a capacity hint."""

import sys


class Sequenceish:
    """A sequence by __getitem__ and __len__ alone."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class LenFails(list):
    def __len__(self):
        raise ValueError("no length")


class HugeLen(list):
    def __len__(self):
        return sys.maxsize


class LenLies(list):
    def __len__(self):
        return 0
