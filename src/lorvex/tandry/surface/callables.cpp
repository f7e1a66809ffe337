#include "lorvex/tandry/surface/callables.hpp"

#include "lorvex/tandry/surface/module_state.hpp"

namespace lorvex::tandry {

namespace {

// ---- module functions ----

constexpr Parameter tandry_load_parameters[] = {
    {"video_path"},
    {"indices", TypeRule::list_or_none, defaults_to_none},
    {"height", TypeRule::any, defaults_to_int(0)},
    {"width", TypeRule::any, defaults_to_int(0)},
    {"num_threads", TypeRule::any, defaults_to_int(1)},
    {"d", TypeRule::any, defaults_to_none},
    {"interpolation", TypeRule::any, defaults_to_text("BILINEAR")},
};
constexpr Parameter split_by_stride_parameters[] = {{"lst"}, {"n"}};
constexpr Parameter tandry_interleaved_load_parameters[] = {
    {"video_path"},
    {"indices", TypeRule::list_or_none, defaults_to_none},
    {"height", TypeRule::any, defaults_to_int(0)},
    {"width", TypeRule::any, defaults_to_int(0)},
    {"num_threads", TypeRule::any, defaults_to_int(1)},
    {"num_intervals", TypeRule::any, defaults_to_int(1)},
    {"d", TypeRule::any, defaults_to_none},
    {"interpolation", TypeRule::any, defaults_to_text("BILINEAR")},
};
constexpr Parameter get_stats_parameters[] = {{"video_path"}};
constexpr Parameter compute_parellelized_intervals_parameters[] = {
    {"video_path", TypeRule::str},
    {"indicies", TypeRule::list_or_none},
    {"num_threads", TypeRule::int_, defaults_to_int(1)},
    {"d", TypeRule::dict_or_none, defaults_to_none},
};
constexpr Parameter estimate_frame_location_parameters[] = {
    {"pts", TypeRule::int_},
    {"pts_start", TypeRule::int_},
    {"pts_end", TypeRule::int_},
    {"num_frames", TypeRule::int_},
};

const Callable module_function_table[] = {
    {"tandry_load",
     "lorvex.tandry.tandry_load",
     "tandry_load(video_path, list indices: list | None = None, height=0, width=0, "
     "num_threads=1, d=None, interpolation='BILINEAR')",
     {"tandry_load", tandry_load_parameters},
     tandry_load},
    {"split_by_stride",
     "lorvex.tandry.split_by_stride",
     "split_by_stride(lst, n)",
     {"split_by_stride", split_by_stride_parameters},
     split_by_stride},
    {"tandry_interleaved_load",
     "lorvex.tandry.tandry_interleaved_load",
     "tandry_interleaved_load(video_path, list indices: list | None = None, height=0, width=0, "
     "num_threads=1, num_intervals=1, d=None, interpolation='BILINEAR')",
     {"tandry_interleaved_load", tandry_interleaved_load_parameters},
     tandry_interleaved_load},
    {"get_stats",
     "lorvex.tandry.get_stats",
     "get_stats(video_path)",
     {"get_stats", get_stats_parameters},
     get_stats},
    {"compute_parellelized_intervals",
     "lorvex.tandry.compute_parellelized_intervals",
     "compute_parellelized_intervals(str video_path: str, list indicies: list | None, "
     "int num_threads: int = 1, dict d: dict | None = None)",
     {"compute_parellelized_intervals", compute_parellelized_intervals_parameters},
     compute_parellelized_intervals},
    {"estimate_frame_location",
     "lorvex.tandry.estimate_frame_location",
     "estimate_frame_location(int pts: int, int pts_start: int, int pts_end: int, "
     "int num_frames: int) -> int\nConvert the pts of a frame to its index location.",
     {"estimate_frame_location", estimate_frame_location_parameters},
     estimate_frame_location,
     ResultRule::int_or_none},
};
static_assert(std::size(module_function_table) == module_function_count);

// ---- shared method shapes ----

constexpr Parameter self_only[] = {{"self"}};
constexpr Parameter self_and_indices[] = {{"self"}, {"indices", TypeRule::list}};
constexpr Annotation returns_int[] = {{"return", "int"}};
constexpr Annotation init_annotations[] = {
    {"video_path", "str"}, {"height", "int"}, {"width", "int"}};

// ---- VideoReader ----

constexpr Parameter video_reader_init_parameters[] = {
    {"self"},
    {"video_path", TypeRule::str},
    {"height", TypeRule::int_, defaults_to_int(0)},
    {"width", TypeRule::int_, defaults_to_int(0)},
    {"num_threads", TypeRule::any, defaults_to_int(4)},
};
constexpr Annotation get_batch_annotations[] = {{"indices", "list[int]"}, {"return", "np.Array"}};

const Callable video_reader_methods[] = {
    {"VideoReader.__init__",
     "lorvex.tandry.VideoReader.__init__",
     "VideoReader.__init__(str video_path: str, int height: int = 0, int width: int = 0, "
     "num_threads=4)",
     {"__init__", video_reader_init_parameters},
     video_reader::init,
     ResultRule::any,
     init_annotations},
    {"VideoReader.framecount",
     "lorvex.tandry.VideoReader.framecount",
     "VideoReader.framecount() -> int",
     {"framecount", self_only},
     reader::frame_count,
     ResultRule::int_or_none,
     returns_int},
    {"VideoReader.__len__",
     "lorvex.tandry.VideoReader.__len__",
     "VideoReader.__len__() -> int",
     {"__len__", self_only},
     reader::frame_count,
     ResultRule::int_or_none,
     returns_int},
    {"VideoReader.get_fps",
     "lorvex.tandry.VideoReader.get_fps",
     "VideoReader.get_fps()",
     {"get_fps", self_only},
     reader::fps},
    {"VideoReader.get_batch",
     "lorvex.tandry.VideoReader.get_batch",
     "VideoReader.get_batch(list indices: list[int]) -> np.Array",
     {"get_batch", self_and_indices},
     video_reader::get_batch,
     ResultRule::any,
     get_batch_annotations},
};

// ---- InterleavedVideoReader ----

constexpr Parameter interleaved_init_parameters[] = {
    {"self"},
    {"video_path", TypeRule::str},
    {"height", TypeRule::int_, defaults_to_int(0)},
    {"width", TypeRule::int_, defaults_to_int(0)},
    {"num_threads", TypeRule::any, defaults_to_int(4)},
    {"num_intervals", TypeRule::any, defaults_to_int(16)},
};
constexpr Parameter get_frames_parameters[] = {{"self"}, {"start"}, {"end"}};
constexpr Annotation process_annotations[] = {{"indices", "list[int]"}};

const Callable interleaved_reader_methods[] = {
    {"InterleavedVideoReader.__init__",
     "lorvex.tandry.InterleavedVideoReader.__init__",
     "InterleavedVideoReader.__init__(str video_path: str, int height: int = 0, "
     "int width: int = 0, num_threads=4, num_intervals=16)",
     {"__init__", interleaved_init_parameters},
     interleaved_reader::init,
     ResultRule::any,
     init_annotations},
    {"InterleavedVideoReader.framecount",
     "lorvex.tandry.InterleavedVideoReader.framecount",
     "InterleavedVideoReader.framecount() -> int",
     {"framecount", self_only},
     reader::frame_count,
     ResultRule::int_or_none,
     returns_int},
    {"InterleavedVideoReader.__len__",
     "lorvex.tandry.InterleavedVideoReader.__len__",
     "InterleavedVideoReader.__len__() -> int",
     {"__len__", self_only},
     reader::frame_count,
     ResultRule::int_or_none,
     returns_int},
    {"InterleavedVideoReader.get_fps",
     "lorvex.tandry.InterleavedVideoReader.get_fps",
     "InterleavedVideoReader.get_fps()",
     {"get_fps", self_only},
     reader::fps},
    {"InterleavedVideoReader.process",
     "lorvex.tandry.InterleavedVideoReader.process",
     "InterleavedVideoReader.process(list indices: list[int])",
     {"process", self_and_indices},
     interleaved_reader::process,
     ResultRule::any,
     process_annotations},
    {"InterleavedVideoReader.__del__",
     "lorvex.tandry.InterleavedVideoReader.__del__",
     "InterleavedVideoReader.__del__()",
     {"__del__", self_only},
     interleaved_reader::del},
    {"InterleavedVideoReader.all_loaded",
     "lorvex.tandry.InterleavedVideoReader.all_loaded",
     "InterleavedVideoReader.all_loaded()",
     {"all_loaded", self_only},
     interleaved_reader::all_loaded},
    {"InterleavedVideoReader.get_frames",
     "lorvex.tandry.InterleavedVideoReader.get_frames",
     "InterleavedVideoReader.get_frames(start, end)",
     {"get_frames", get_frames_parameters},
     interleaved_reader::get_frames},
    {"InterleavedVideoReader.__iter__",
     "lorvex.tandry.InterleavedVideoReader.__iter__",
     "InterleavedVideoReader.__iter__()",
     {"__iter__", self_only},
     interleaved_reader::iter},
    {"InterleavedVideoReader.__next__",
     "lorvex.tandry.InterleavedVideoReader.__next__",
     "InterleavedVideoReader.__next__()",
     {"__next__", self_only},
     interleaved_reader::next},
};

const ClassTable video_reader_table{"VideoReader", video_reader_methods};
const ClassTable interleaved_reader_table{"InterleavedVideoReader", interleaved_reader_methods};

}  // namespace

std::span<const Callable> module_functions() {
    return module_function_table;
}
const ClassTable& video_reader_class() {
    return video_reader_table;
}
const ClassTable& interleaved_reader_class() {
    return interleaved_reader_table;
}

}  // namespace lorvex::tandry
