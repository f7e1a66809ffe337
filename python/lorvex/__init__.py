"""lorvex: decoded video frames into numpy arrays, decoded in parallel worker processes."""
import os
from pathlib import Path

# The worker programs are installed inside the package; the loaders start them by name.
WORKER_DIR = Path(__file__).resolve().parent / "bin"


def _put_worker_programs_on_path() -> None:
    # Ahead of everything else, so that a package imported from one install never starts the
    # workers of another (say a --user install shadowed by a venv's).
    folder = str(WORKER_DIR)
    # An unset PATH means the default search path to subprocess; keep it searched.
    entries = [entry for entry in os.environ.get("PATH", os.defpath).split(os.pathsep) if entry]
    if entries[:1] != [folder]:
        os.environ["PATH"] = os.pathsep.join([folder] + [e for e in entries if e != folder])


_put_worker_programs_on_path()
