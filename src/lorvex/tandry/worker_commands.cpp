#include "lorvex/tandry/worker_commands.hpp"

#include "lorvex/tandry/calls.hpp"

namespace lorvex::tandry {

py::Ref text(PyObject* value) {
    return py::check(PyObject_Str(value));
}

py::Ref text(Py_ssize_t value) {
    return text(new_int(value).get());
}

py::Ref text(const char* value) {
    return py::check(PyUnicode_FromString(value));
}

CommonTexts common_texts(const Plan& plan, PyObject* height, PyObject* width, PyObject* num_frames,
                         Py_ssize_t workers) {
    return {text(height),
            text(width),
            text(num_frames),
            text(workers),
            text(get_item(plan.record.get(), "start").get()),
            text(get_item(plan.record.get(), "end").get())};
}

py::Ref command_line(std::initializer_list<PyObject*> items) {
    py::Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, py::Ref::borrow(item).release());
    return list;
}

}  // namespace lorvex::tandry
