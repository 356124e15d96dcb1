// The only file under transform/ that speaks to the interpreter: it releases
// and re-takes the thread state around the transform, and makes the result
// bytes of a large document for it to be written in place.
#include <Python.h>

#include "transform/driver.hpp"

#include "json/pages.hpp"
#include "transform/entry.hpp"

namespace tessik::transform {

namespace {

class Host {
public:
    explicit Host(PyObject** placed) noexcept : placed_(placed) {}
    PyThreadState* detach() noexcept { return PyEval_SaveThread(); }
    void attach(PyThreadState* state) noexcept { PyEval_RestoreThread(state); }
    char* place(std::size_t size) {
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
        if (bytes == nullptr) {
            // Reported as the call's MemoryError once the transform unwinds.
            PyErr_Clear();
            throw std::bad_alloc();
        }
        *placed_ = bytes;
        // The document is written once, front to back, into fresh pages.
        json::pages::hint_huge(PyBytes_AS_STRING(bytes), size + 1);
        return PyBytes_AS_STRING(bytes);
    }
    void discard() noexcept { Py_CLEAR(*placed_); }

private:
    PyObject** placed_;
};

}  // namespace

DriverResult columnarize(const char* data, std::size_t len, PyObject** placed) {
    Host host(placed);
    return run_contained(
        data, len,
        [](std::string_view payload, OutputRoom& room) { return columnarize_json(payload, room); }, host);
}

}  // namespace tessik::transform
