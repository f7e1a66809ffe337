// The memory files a load hands its workers, which inherit them (Popen's pass_fds): the frame
// table, and command-line items too long for the kernel. Linux refuses to start a program
// whose single command-line item exceeds 128 KiB, which an encoded row map reaches at about
// 16,000 frames; such an item goes to the workers as a memory file, and the item reads
// "@fd:<descriptor>" (protocol/inherited_text.hpp); shorter ones stay on the command line as
// they are.
#pragma once

#include <string_view>
#include <vector>

#include "lorvex/capi/ref.hpp"
#include "lorvex/protocol/descriptor.hpp"

namespace lorvex::tandry {

// The workers hold their own copies of the descriptors once started: the files are closed
// here when this goes.
class WorkerMemoryFiles {
  public:
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
    // A new memory file holding `content`; raises OSError when it cannot be made.
    int add(std::string_view name, std::string_view content);

    std::vector<Descriptor> files_;
};

}  // namespace lorvex::tandry
