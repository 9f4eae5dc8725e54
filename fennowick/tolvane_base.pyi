from typing import Any, Callable

class tolvane_base:
    """Base type of fennowick's shared containers: the backing file's name and the hash function."""

    def __init__(self, hash_function: Callable[[Any], int]) -> None: ...
    # None only on an object whose __init__ has not run; typed as users get it.
    @property
    def name(self) -> bytes: ...
