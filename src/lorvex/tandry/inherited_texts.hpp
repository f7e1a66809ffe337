// Linux refuses to start a program whose single command-line item exceeds 128 KiB, which an
// encoded row map reaches at about 16,000 frames. Such a text goes to the workers as a memory
// file they inherit, and the item reads "@fd:<descriptor>"; shorter texts stay on the command
// line as they are.
#pragma once

#include <vector>

#include "lorvex/python/ref.hpp"

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

    // The descriptors the workers must inherit, as a tuple for Popen's pass_fds; an empty
    // Ref when every text fitted.
    py::Ref pass_fds() const;

  private:
    std::vector<int> descriptors_;
};

}  // namespace lorvex::tandry
