// The only file under transform/ that speaks to the interpreter: it releases
// and re-takes the thread state around the transform.
#include <Python.h>

#include "transform/driver.hpp"

#include "transform/entry.hpp"

namespace tessik::transform {

DriverResult columnarize(const char* data, std::size_t len) {
    return run_contained(
        data, len, [](std::string_view payload) { return columnarize_json(payload); },
        [] { return PyEval_SaveThread(); }, [](PyThreadState* state) { PyEval_RestoreThread(state); });
}

}  // namespace tessik::transform
