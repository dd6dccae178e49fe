# worker_errors.py: PanicException as an ordinary exception in worker processes. Keep this file
# beside the scripts that use it: the workers import it to run the wrapped functions.
import functools
from collections.abc import Callable


class WordsieveError(RuntimeError):
    """wordsieve's PanicException, raised again in a worker as an ordinary exception."""


def ordinary_errors[**P, R](func: Callable[P, R]) -> Callable[P, R]:
    """Re-raises wordsieve's PanicException (a BaseException) as WordsieveError, which pools report."""
    @functools.wraps(func)
    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        try:
            return func(*args, **kwargs)
        except Exception:
            raise
        except BaseException as exc:
            if type(exc).__name__ != "PanicException":
                raise  # KeyboardInterrupt, SystemExit
            # The exception's module, pyo3_runtime, cannot be imported, so it would not unpickle.
            raise WordsieveError(str(exc)) from None
    return wrapper
