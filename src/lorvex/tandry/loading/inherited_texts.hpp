// Linux refuses to start a program whose single command-line item exceeds 128 KiB, which an
// encoded row map reaches at about 16,000 frames. Such a text goes to the workers as a memory
// file they inherit, and the item reads "@fd:<descriptor>"; shorter texts stay on the command
// line as they are.
#pragma once

#include <vector>

#include "lorvex/capi/ref.hpp"
#include "lorvex/protocol/frame_format.hpp"

namespace lorvex::tandry {

class InheritedTexts {
  public:
    InheritedTexts() = default;
    InheritedTexts(const InheritedTexts&) = delete;
    InheritedTexts& operator=(const InheritedTexts&) = delete;
    // The workers hold their own copies of the descriptors once started.
    ~InheritedTexts();

    // The command-line item for `text` (a str): the text itself when it fits, else a
    // reference to a new memory file holding it.
    py::Ref item_for(PyObject* text);

    // Hands the workers the frame table of `video_path`'s first video stream in a memory file
    // they find by its name, so that none of them reads the whole file to number its frames.
    // The table comes from lorvex.container (remembered from the probe, or made now); when it
    // cannot be had, the workers make their own and report what stopped them. With `table`
    // (bytes: the table of the file as the caller found it, which the caller's plan follows),
    // that table instead: a worker finding the file changed since then fails.
    void add_frame_table(PyObject* video_path, PyObject* table = nullptr);

    // Hands the workers `format` in a memory file they find by its name; a default format
    // is not handed over, and the workers write the rows they always have.
    void add_frame_format(const FrameFormat& format);

    // Descriptors of the caller's (not closed here) that the workers inherit as well.
    void pass_along(const std::vector<int>& descriptors);

    // The descriptors the workers must inherit, as a tuple for Popen's pass_fds; an empty
    // Ref when there are none.
    py::Ref pass_fds() const;

  private:
    int memory_file(const char* name, const char* data, Py_ssize_t size);

    std::vector<int> descriptors_;
    std::vector<int> passed_along_;
};

}  // namespace lorvex::tandry
