"""Objects that stand in for numbers through __float__ and __index__, and the exception a call
raises, shared by the tests of the arguments and by scripts/leak_check.py."""


class Floaty:
    """A float by __float__ alone."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    """An integer by __index__ alone."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def error_of(call):
    """The exception `call()` raises, whatever its type (BaseException included)."""
    try:
        call()
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        return error
    raise AssertionError("nothing raised")
