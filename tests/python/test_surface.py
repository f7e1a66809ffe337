"""The module surface: namespace, callables and their argument conventions, late binding,
module life cycle and traceback entries."""
import ctypes
import importlib.util
import subprocess
import sys
import textwrap
import traceback
import types

import pytest

import lorvex.tandry as tandry

NAMES = ["open", "bisect", "shared_memory", "np", "subprocess", "base64", "pickle", "time",
         "tandry_load", "split_by_stride", "tandry_interleaved_load", "get_stats",
         "compute_parellelized_intervals", "estimate_frame_location", "VideoReader",
         "InterleavedVideoReader", "__test__"]

FUNCTION_DOCS = {
    "tandry_load": "tandry_load(video_path, list indices: list | None = None, height=0, "
                   "width=0, num_threads=1, d=None, interpolation='BILINEAR')",
    "split_by_stride": "split_by_stride(lst, n)",
    "tandry_interleaved_load": "tandry_interleaved_load(video_path, list indices: list | None "
                               "= None, height=0, width=0, num_threads=1, num_intervals=1, "
                               "d=None, interpolation='BILINEAR')",
    "get_stats": "get_stats(video_path)",
    "compute_parellelized_intervals": "compute_parellelized_intervals(str video_path: str, "
                                      "list indicies: list | None, int num_threads: int = 1, "
                                      "dict d: dict | None = None)",
    "estimate_frame_location": "estimate_frame_location(int pts: int, int pts_start: int, "
                               "int pts_end: int, int num_frames: int) -> int\n"
                               "Convert the pts of a frame to its index location.",
}

INIT_ANNOTATIONS = {"video_path": "str", "height": "int", "width": "int"}
METHODS = {
    "VideoReader": [
        ("__init__", "VideoReader.__init__(str video_path: str, int height: int = 0, "
                     "int width: int = 0, num_threads=4)", (0, 0, 4), INIT_ANNOTATIONS),
        ("framecount", "VideoReader.framecount() -> int", None, {"return": "int"}),
        ("__len__", "VideoReader.__len__() -> int", None, {"return": "int"}),
        ("get_fps", "VideoReader.get_fps()", None, {}),
        ("get_batch", "VideoReader.get_batch(list indices: list[int]) -> np.Array", None,
         {"indices": "list[int]", "return": "np.Array"}),
    ],
    "InterleavedVideoReader": [
        ("__init__", "InterleavedVideoReader.__init__(str video_path: str, int height: int = 0, "
                     "int width: int = 0, num_threads=4, num_intervals=16)", (0, 0, 4, 16),
         INIT_ANNOTATIONS),
        ("framecount", "InterleavedVideoReader.framecount() -> int", None, {"return": "int"}),
        ("__len__", "InterleavedVideoReader.__len__() -> int", None, {"return": "int"}),
        ("get_fps", "InterleavedVideoReader.get_fps()", None, {}),
        ("process", "InterleavedVideoReader.process(list indices: list[int])", None,
         {"indices": "list[int]"}),
        ("__del__", "InterleavedVideoReader.__del__()", None, {}),
        ("all_loaded", "InterleavedVideoReader.all_loaded()", None, {}),
        ("get_frames", "InterleavedVideoReader.get_frames(start, end)", None, {}),
        ("__iter__", "InterleavedVideoReader.__iter__()", None, {}),
        ("__next__", "InterleavedVideoReader.__next__()", None, {}),
    ],
}

RECORD = {"kf": [0, 250, 500, 750], "start": 0, "end": 1000, "num_frames": 101,
          "height": 8, "width": 16, "fps": 25}


def run_python(tmp_path, script, *flags):
    # Run outside the checkout so that the installed package is the one imported.
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, cwd=tmp_path)


# ---- namespace and objects ----

def test_namespace_order_and_values():
    names = list(vars(tandry))
    first = names.index("open")
    assert all(name.startswith("__") for name in names[:first])
    assert names[first:] == NAMES
    import base64
    import bisect
    import pickle
    import subprocess as sp
    import time
    from multiprocessing import shared_memory

    import numpy
    import lorvex.container
    assert tandry.open is lorvex.container.open
    assert (tandry.bisect, tandry.shared_memory, tandry.np, tandry.subprocess, tandry.base64,
            tandry.pickle, tandry.time) == (bisect, shared_memory, numpy, sp, base64, pickle,
                                            time)
    assert tandry.__test__ == {} and type(tandry.__test__) is dict
    assert tandry.__package__ == "lorvex" and tandry.__file__.endswith(".so")


@pytest.mark.parametrize("name", FUNCTION_DOCS)
def test_module_functions(name):
    function = getattr(tandry, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__module__ == "lorvex.tandry"
    assert function.__doc__ == FUNCTION_DOCS[name]
    assert function.__self__ is tandry
    assert not hasattr(function, "__defaults__")


@pytest.mark.parametrize("class_name", METHODS)
def test_classes_and_methods(class_name):
    cls = getattr(tandry, class_name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "lorvex.tandry" and cls.__qualname__ == class_name
    assert cls.__doc__ is None
    assert list(vars(cls)) == ["__module__", *(m[0] for m in METHODS[class_name]), "__dict__",
                               "__weakref__", "__doc__"]
    for name, doc, defaults, annotations in METHODS[class_name]:
        method = vars(cls)[name]
        assert method.__name__ == name
        assert method.__qualname__ == f"{class_name}.{name}"
        assert method.__module__ == "lorvex.tandry"
        assert method.__doc__ == doc
        assert method.__defaults__ == defaults
        assert method.__annotations__ == annotations
        assert repr(method).startswith(f"<function {class_name}.{name} at 0x")
        # Functions bind to instances and stay plain when reached through the class.
        assert getattr(cls, name) is method
        instance = bare_reader(cls)
        bound = getattr(instance, name)
        assert isinstance(bound, types.MethodType)
        assert bound.__self__ is instance
        assert bound.__func__ is (method if name != "__del__" else vars(type(instance))[name])


# ---- argument conventions ----

def quiet(cls):
    """The class with its teardown silenced, for instances that have nothing to tear down."""
    return type(cls.__name__, (cls,), {"__del__": lambda self: None})


def bare_reader(cls=tandry.VideoReader):
    """An instance that skipped __init__."""
    silenced = quiet(cls)
    return silenced.__new__(silenced)


@pytest.mark.parametrize("call, message", [
    (lambda: tandry.get_stats(), "get_stats() takes exactly 1 positional argument (0 given)"),
    (lambda: tandry.get_stats(1, 2), "get_stats() takes exactly 1 positional argument (2 given)"),
    (lambda: tandry.split_by_stride([1]),
     "split_by_stride() takes exactly 2 positional arguments (1 given)"),
    (lambda: tandry.compute_parellelized_intervals("v"),
     "compute_parellelized_intervals() takes at least 2 positional arguments (1 given)"),
    (lambda: tandry.compute_parellelized_intervals(indicies=None),
     "compute_parellelized_intervals() takes at least 2 positional arguments (0 given)"),
    (lambda: tandry.compute_parellelized_intervals("v", None, 1, None, 5),
     "compute_parellelized_intervals() takes at most 4 positional arguments (5 given)"),
    (lambda: tandry.estimate_frame_location(1, 2, num_frames=4),
     "estimate_frame_location() takes exactly 4 positional arguments (2 given)"),
    (lambda: tandry.estimate_frame_location(pts=1, pts_start=2, pts_end=3),
     "estimate_frame_location() takes exactly 4 positional arguments (3 given)"),
    (lambda: tandry.tandry_load(), "tandry_load() takes at least 1 positional argument (0 given)"),
    (lambda: tandry.tandry_load(*range(8)),
     "tandry_load() takes at most 7 positional arguments (8 given)"),
    (lambda: tandry.tandry_interleaved_load(*range(9)),
     "tandry_interleaved_load() takes at most 8 positional arguments (9 given)"),
    (lambda: tandry.VideoReader.get_batch(),
     "get_batch() takes exactly 2 positional arguments (0 given)"),
    (lambda: bare_reader().get_batch(), "get_batch() takes exactly 2 positional arguments (1 given)"),
    (lambda: bare_reader().get_batch([1], [2]),
     "get_batch() takes exactly 2 positional arguments (3 given)"),
    (lambda: bare_reader().framecount(1), "framecount() takes exactly 1 positional argument (2 given)"),
    (lambda: tandry.VideoReader(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: tandry.VideoReader("v", 1, 2, 3, 4),
     "__init__() takes at most 5 positional arguments (6 given)"),
    (lambda: quiet(tandry.InterleavedVideoReader)("v", 1, 2, 3, 4, 5),
     "__init__() takes at most 6 positional arguments (7 given)"),
    (lambda: bare_reader(tandry.InterleavedVideoReader).get_frames(1),
     "get_frames() takes exactly 3 positional arguments (2 given)"),
    # keywords
    (lambda: tandry.get_stats(video_path="v", extra=1),
     "get_stats() got an unexpected keyword argument 'extra'"),
    (lambda: tandry.get_stats("v", video_path="w"),
     "get_stats() got multiple values for keyword argument 'video_path'"),
    (lambda: tandry.compute_parellelized_intervals("v", None, video_path="w"),
     "compute_parellelized_intervals() got multiple values for keyword argument 'video_path'"),
    (lambda: bare_reader().get_batch([1], self=None),
     "get_batch() got multiple values for keyword argument 'self'"),
    (lambda: tandry.VideoReader("v", heigth=3),
     "__init__() got an unexpected keyword argument 'heigth'"),
    # a missing required argument is reported before a stray keyword
    (lambda: tandry.get_stats(path="v"), "get_stats() takes exactly 1 positional argument (0 given)"),
    # too many positional arguments are reported before keywords
    (lambda: tandry.get_stats(1, 2, video_path=3),
     "get_stats() takes exactly 1 positional argument (2 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class MyList(list):
    pass


class MyStr(str):
    pass


SUBCLASS_NOTE = ". Instances of subclasses of built-in types are refused: pass an exact {}."


@pytest.mark.parametrize("call, name, expected, got", [
    (lambda: tandry.estimate_frame_location(1.0, 0, 1, 1), "pts", "int", "float"),
    (lambda: tandry.estimate_frame_location(1, 0, 1, True), "num_frames", "int", "bool"),
    (lambda: tandry.estimate_frame_location(1, "0", 1.5, 1), "pts_start", "int", "str"),
    (lambda: tandry.compute_parellelized_intervals(b"v", None), "video_path", "str", "bytes"),
    (lambda: tandry.compute_parellelized_intervals(MyStr("v"), None), "video_path", "str",
     "MyStr"),
    (lambda: tandry.compute_parellelized_intervals("v", (1,)), "indicies", "list", "tuple"),
    (lambda: tandry.compute_parellelized_intervals("v", MyList()), "indicies", "list", "MyList"),
    (lambda: tandry.compute_parellelized_intervals("v", None, 2.0), "num_threads", "int",
     "float"),
    (lambda: tandry.compute_parellelized_intervals("v", None, d=[]), "d", "dict", "list"),
    (lambda: tandry.tandry_load("v", (1, 2)), "indices", "list", "tuple"),
    (lambda: tandry.tandry_interleaved_load("v", indices=MyList()), "indices", "list", "MyList"),
    (lambda: tandry.VideoReader(1), "video_path", "str", "int"),
    (lambda: tandry.VideoReader("v", True), "height", "int", "bool"),
    (lambda: quiet(tandry.InterleavedVideoReader)("v", 0, width=2.0), "width", "int", "float"),
    (lambda: bare_reader().get_batch(None), "indices", "list", "NoneType"),
    (lambda: bare_reader().get_batch(MyList([1])), "indices", "list", "MyList"),
    (lambda: bare_reader(tandry.InterleavedVideoReader).process(None), "indices", "list",
     "NoneType"),
])
def test_exact_type_errors(call, name, expected, got):
    with pytest.raises(TypeError) as info:
        call()
    message = f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    subclass = got in ("bool", "MyList", "MyStr")
    assert str(info.value) == message + (SUBCLASS_NOTE.format(expected) if subclass else "")


def test_none_passes_where_allowed(monkeypatch):
    # None is a valid `indices` for the loaders, so whatever fails afterwards is not the
    # argument check.
    monkeypatch.setattr(tandry, "compute_parellelized_intervals",
                        lambda *args: (_ for _ in ()).throw(LookupError("planned")))
    for loader in (tandry.tandry_load, tandry.tandry_interleaved_load):
        with pytest.raises(Exception) as info:
            loader("v", None, 8, 8)
        assert "has incorrect type" not in str(info.value)


def test_non_string_keywords():
    # The interpreter refuses non-str keywords of **-calls itself; a direct vectorcall
    # reaches the module's own check.
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 3)(tandry, "v", "w")
    with pytest.raises(TypeError) as info:
        call("get_stats", ctypes.addressof(args), 2, (1,))
    assert str(info.value) == "get_stats() keywords must be strings"


def test_result_checks():
    reader = bare_reader()
    reader.video_metadata = {"num_frames": "many"}
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        reader.framecount()
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        len(reader)
    reader.video_metadata = {"num_frames": None}
    assert reader.framecount() is None


# ---- late binding ----

def test_rebinding_get_stats_reaches_every_caller(monkeypatch):
    calls = []

    def fake_stats(path):
        calls.append(path)
        return dict(RECORD)

    monkeypatch.setattr(tandry, "get_stats", fake_stats)
    assert tandry.compute_parellelized_intervals("a.mp4", None, 4)[0][0] == (0, 250, 25)
    reader = tandry.VideoReader("b.mp4")
    assert reader.video_metadata == RECORD
    interleaved = tandry.InterleavedVideoReader("c.mp4")
    assert interleaved.video_metadata == RECORD
    assert calls == ["a.mp4", "b.mp4", "c.mp4"]
    interleaved.__del__()


def test_rebinding_helpers(monkeypatch):
    seen = []

    class FakeBisect:
        @staticmethod
        def bisect_right(items, value):
            seen.append(("right", value))
            return 0

        @staticmethod
        def bisect_left(items, value):
            seen.append(("left", value))
            return value

    monkeypatch.setattr(tandry, "bisect", FakeBisect)
    monkeypatch.setattr(tandry, "estimate_frame_location", lambda pts, a, b, n: pts // 10)
    intervals = tandry.compute_parellelized_intervals("v", [1], 2, dict(RECORD))[0]
    assert seen == [("right", 500.0), ("left", 100), ("left", 0)]
    assert intervals == [(0, 1000, 100)]


def test_missing_names_fall_back_to_builtins(monkeypatch):
    monkeypatch.delattr(tandry, "bisect")
    with pytest.raises(NameError) as info:
        tandry.compute_parellelized_intervals("v", None, 2, dict(RECORD))
    assert str(info.value) == "name 'bisect' is not defined"
    monkeypatch.delattr(tandry, "open")
    with pytest.raises(FileNotFoundError):  # the builtin open
        tandry.get_stats("/nonexistent/video.mp4")


# ---- life cycle ----

def test_executing_twice_is_refused():
    spec = importlib.util.find_spec("lorvex.tandry")
    module = importlib.util.module_from_spec(spec)
    assert module is not tandry
    spec.loader.exec_module(module)
    assert list(vars(module))[-len(NAMES):] == NAMES
    assert module.get_stats.__self__ is module
    assert module.estimate_frame_location(150, 100, 200, 11) == 5
    # The import system itself skips an executed extension module; executing its
    # definition again directly is refused by the module.
    spec.loader.exec_module(module)
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype, exec_def.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
    with pytest.raises(RuntimeError) as info:
        ctypes.pythonapi.PyModule_ExecDef(module, get_def(module))
    assert str(info.value) == ("Module 'tandry' has already been imported. "
                               "Re-initialisation is not supported.")
    assert module.estimate_frame_location(150, 100, 200, 11) == 5


def test_second_interpreter_is_refused(tmp_path):
    result = run_python(tmp_path, """
        import _xxsubinterpreters as interpreters
        import lorvex.tandry
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import lorvex.tandry")
        except interpreters.RunFailedError as error:
            print(error)
        interpreters.destroy(interpreter)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().endswith(
        "ImportError'>: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.")


def test_failed_load_discards_the_module(tmp_path):
    # numpy missing: the import fails at its step and leaves no module behind.
    result = run_python(tmp_path, """
        import sys
        sys.modules["numpy"] = None
        try:
            import lorvex.tandry
        except ImportError as error:
            print(type(error).__name__, "lorvex.tandry" in sys.modules)
    """)
    assert result.stdout.strip() == "ModuleNotFoundError False", result.stderr


# ---- traceback entries ----

def test_traceback_entries(monkeypatch):
    def failing_open(path):
        raise OSError("cannot open " + path)

    monkeypatch.setattr(tandry, "open", failing_open)
    with pytest.raises(OSError) as info:
        tandry.compute_parellelized_intervals("v.mp4", None)
    frames = traceback.extract_tb(info.value.__traceback__)
    ours = [(frame.name, frame.filename) for frame in frames if frame.filename == "lorvex/tandry"]
    assert ours == [("lorvex.tandry.compute_parellelized_intervals", "lorvex/tandry"),
                    ("lorvex.tandry.get_stats", "lorvex/tandry")]
    assert frames[-1].name == "failing_open"
    assert all(frame.lineno > 0 for frame in frames)

    with pytest.raises(TypeError) as info:
        bare_reader().get_batch(None)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename) == ("lorvex.tandry.VideoReader.get_batch", "lorvex/tandry")
