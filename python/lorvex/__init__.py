"""lorvex: decoded video frames into numpy arrays, decoded in parallel worker processes."""
import os
import sysconfig


def _put_worker_programs_on_path():
    # The loaders start the worker programs by name; they are installed beside this
    # interpreter's scripts, which need not be on PATH when the environment is not activated.
    scripts = sysconfig.get_path("scripts")
    path = os.environ.get("PATH", "")
    if scripts and scripts not in path.split(os.pathsep):
        os.environ["PATH"] = scripts + (os.pathsep + path if path else "")


_put_worker_programs_on_path()
