# Types of the lorvex._picture extension.
import os

def picture_format(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /
) -> tuple[str | None, int | None, int]: ...
