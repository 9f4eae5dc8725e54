import os
from typing import Any

def check(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> dict[str, Any]: ...
