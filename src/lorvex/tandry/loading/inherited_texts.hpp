// Linux refuses to start a program whose single command-line item exceeds 128 KiB, which an
// encoded row map reaches at about 16,000 frames. Such a text goes to the workers as a memory
// file they inherit, and the item reads "@fd:<descriptor>"; shorter texts stay on the command
// line as they are.
#pragma once

#include <vector>

#include "lorvex/capi/ref.hpp"

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
    // cannot be had, the workers make their own and report what stopped them.
    void add_frame_table(PyObject* video_path);

    // The descriptors the workers must inherit, as a tuple for Popen's pass_fds; an empty
    // Ref when there are none.
    py::Ref pass_fds() const;

  private:
    int memory_file(const char* name, const char* data, Py_ssize_t size);

    std::vector<int> descriptors_;
};

}  // namespace lorvex::tandry
