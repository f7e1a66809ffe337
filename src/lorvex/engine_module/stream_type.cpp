// The Stream type: a load whose rows are taken a chunk at a time while its decoders go on.
#include "lorvex/capi/boxed.hpp"
#include "lorvex/capi/entry.hpp"
#include "lorvex/engine_module/objects.hpp"

namespace lorvex::engine_module {
namespace {

StreamData& data(PyObject* self) noexcept {
    return py::payload_of<StreamData>(self);
}

PyObject* take(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    return py::guard([&] {
        if (count != 2) py::raise(PyExc_TypeError, "take(low, high) takes two row numbers");
        const Py_ssize_t low = PyLong_AsSsize_t(args[0]);
        const Py_ssize_t high = low == -1 && PyErr_Occurred() ? -1 : PyLong_AsSsize_t(args[1]);
        if (PyErr_Occurred()) py::throw_error_set();
        StreamData& stream = data(self);
        if (!stream.load)
            py::raise(PyExc_ValueError, "%s: the stream has ended", stream.names.name.c_str());
        engine::Load& load = *stream.load;
        const auto rows = static_cast<Py_ssize_t>(load.request().frames.size());
        if (low < 0 || high <= low || high > rows) {
            py::raise(PyExc_IndexError, "take: rows %zd to %zd of %zd", low, high, rows);
        }
        engine::Deadline deadline{stream.timeout, true, engine::Clock::now()};
        wait_for_rows(load, low, high, deadline, stream.names,
                      "the stream got no new frame within");
        // Rows read in their order are not read again: they go with the last view of them.
        const bool in_order = load.request().stream && load.request().stream->in_row_order;
        py::Ref taken = make_rows(
            state_of(self), load.memory(), static_cast<std::size_t>(low) * load.row_bytes(),
            static_cast<std::size_t>(high - low) * load.row_bytes(), in_order);
        load.taken_up_to(high);
        return taken;
    });
}

PyObject* close(PyObject* self, PyObject*) {
    return py::guard([&] {
        StreamData& stream = data(self);
        if (stream.load) {
            stream.load->abandon();
            stream.load.reset();
        }
        stream.session = py::Ref();
        return py::Ref::borrow(Py_None);
    });
}

PyObject* get_running(PyObject* self, void*) {
    return py::Ref::borrow(data(self).load ? Py_True : Py_False).release();
}

PyMethodDef methods[] = {
    {"take", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(take)), METH_FASTCALL,
     "take($self, low, high, /)\n--\n\nWaits until rows low to high - 1 are written (raising "
     "the decoders' failure, or TimeoutError when no row comes for the stream's timeout) and "
     "returns them as Rows; the decoders then go on further ahead."},
    {"close", close, METH_NOARGS,
     "close($self, /)\n--\n\nEnds the stream: decoders still working are ended. Idempotent."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"running", get_running, nullptr, "Whether the stream has not been closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<StreamData>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("A load whose rows are taken while its decoders go on.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec stream_spec = {
    "lorvex._engine.Stream",
    py::boxed_size<StreamData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace lorvex::engine_module
