// The module `tessik_codec`: its definition, the two entry symbols, the
// execution step and the call boundary of `columnarize`. This is the only
// file, with the driver, that speaks the interpreter's C API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "json/utf8.hpp"
#include "transform/driver.hpp"

// --------------------------------------------------------------------------
// Compatibility with interpreters older than 3.15, whose headers have
// neither the slot records nor the export entry point. The layout matches
// the newer headers so that the module exports the same two symbols on every
// interpreter; older interpreters only ever call PyInit_tessik_codec.
#if PY_VERSION_HEX < 0x030F0000
#define TESSIK_LEGACY_SLOTS 1
extern "C" {
struct PySlot {
    std::uint16_t sl_id;
    std::uint16_t sl_flags;
    std::uint32_t sl_reserved;
    void* sl_ptr;
};
}
// Exported as PyMODINIT_FUNC is: default visibility, or dllexport on Windows.
#define PyMODEXPORT_FUNC extern "C" Py_EXPORTED_SYMBOL PySlot*
#endif

#if PY_VERSION_HEX < 0x030C0000
// 3.11 lacks the single-object exception API.
static PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}
static void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

namespace {

using tessik::transform::DriverResult;

// A fault of the boundary itself: contained by the barrier and raised as
// PanicException carrying the message.
struct Fault {
    std::string message;
};

[[noreturn]] void uncontained_fault() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// --------------------------------------------------------------------------
// Process-wide objects, each created once on first need. A thread that must
// wait for another to finish creating one detaches while it waits, so the
// creator can always get at the interpreter.
class OnceObject {
public:
    template <class Make>
    PyObject* get(Make make) {
        PyObject* v = value_.load(std::memory_order_acquire);
        if (v != nullptr) return v;
        if (!mutex_.try_lock()) {
            PyThreadState* state = PyEval_SaveThread();
            mutex_.lock();
            PyEval_RestoreThread(state);
        }
        v = value_.load(std::memory_order_relaxed);
        if (v == nullptr) {
            v = make();
            if (v != nullptr) value_.store(v, std::memory_order_release);
        }
        mutex_.unlock();
        return v;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

OnceObject panic_exception_type;
OnceObject interned_name;
OnceObject interned_all;
OnceObject interned_add_note;

constexpr const char panic_doc[] =
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, not Exception, so that\n"
    "it typically propagates all the way up and ends the interpreter.";

PyObject* panic_type() {
    PyObject* t = panic_exception_type.get([] {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
    });
    if (t == nullptr) uncontained_fault();
    return t;
}

PyObject* interned(OnceObject& cell, const char* text) {
    PyObject* s = cell.get([text] { return PyUnicode_InternFromString(text); });
    if (s == nullptr) throw Fault{"could not intern a string"};
    return s;
}

// UTF-8 text of str(obj); characters without a UTF-8 form become U+FFFD.
std::string lossy_text(PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    if (s == nullptr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    std::string out;
    const Py_ssize_t n = PyUnicode_GetLength(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_ReadChar(s, i);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        tessik::json::append_utf8(out, c);
    }
    Py_DECREF(s);
    return out;
}

// Takes over the interpreter's pending exception. One that is exactly this
// module's PanicException is resumed as a fault, after a notice and its
// traceback.
PyObject* take_exception() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exc = PyErr_GetRaisedException();
        if (exc == nullptr) uncontained_fault();
    }
    PyObject* panic = panic_type();
    if (reinterpret_cast<PyObject*>(Py_TYPE(exc)) == panic) {
        std::fputs("--- PanicException fetched from Python: resuming the fault.\n"
                   "Python stack trace below:\n",
                   stderr);
        PyErr_SetRaisedException(Py_NewRef(exc));
        PyErr_PrintEx(0);
        std::string message = lossy_text(exc);
        Py_DECREF(exc);
        throw Fault{std::move(message)};
    }
    return exc;
}

// Raises a new PanicException with the message; a failure here cannot be
// contained.
void raise_panic(const std::string& message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) uncontained_fault();
    PyErr_SetObject(panic_type(), text);
    Py_DECREF(text);
}

// Attaches the note to the exception; a failure to do so is discarded.
void add_note(PyObject* exc, const char* note) {
    PyObject* text = PyUnicode_FromString(note);
    if (text != nullptr) {
        PyObject* name = interned(interned_add_note, "add_note");
        PyObject* r = PyObject_CallMethodOneArg(exc, name, text);
        Py_XDECREF(r);
        Py_DECREF(text);
    }
    PyErr_Clear();
}

// A conversion error keeps its type and message and gains a note.
void raise_with_note(PyObject* exc, const char* note) {
    add_note(exc, note);
    PyErr_SetRaisedException(exc);
}

// "'T' object is not an instance of 'target'", with T the qualified name of
// the object's type.
PyObject* not_an_instance(PyObject* obj, const char* target) {
    std::string type_name = "<failed to extract type name>";
    if (PyObject* q = PyType_GetQualName(Py_TYPE(obj))) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(q, &n)) type_name.assign(p, static_cast<std::size_t>(n));
        else PyErr_Clear();
        Py_DECREF(q);
    } else {
        PyErr_Clear();
    }
    std::string message = "'" + type_name + "' object is not an instance of '" + target + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return take_exception();
}

// Runs body inside a fault barrier: a fault becomes a raised PanicException
// (an allocation failure a MemoryError) and `failed` is returned, so nothing
// unwinds into the interpreter.
template <class Body, class R>
R with_fault_barrier(Body body, R failed, const char* unknown_fault) noexcept {
    try {
        return body();
    } catch (const Fault& fault) {
        raise_panic(fault.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(unknown_fault);
    }
    return failed;
}

// --------------------------------------------------------------------------
// The call boundary of columnarize(payload, min_rows=20).

constexpr std::string_view param_payload = "payload";
constexpr std::string_view param_min_rows = "min_rows";

// The message may hold NUL characters (a keyword name can).
PyObject* type_error(const std::string& message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text != nullptr) {
        PyErr_SetObject(PyExc_TypeError, text);
        Py_DECREF(text);
    }
    return nullptr;
}

// The call's result: the bytes, or the exception raised. `placed` holds the
// result bytes when the document was written straight into them.
PyObject* raise_driver_result(DriverResult& result, PyObject* placed) {
    switch (result.kind) {
        case DriverResult::Kind::Placed:
            return placed;
        case DriverResult::Kind::Output: {
            PyObject* bytes = PyBytes_FromStringAndSize(result.output.data(),
                                                        static_cast<Py_ssize_t>(result.output.size()));
            result.output = tessik::json::Buffer();
            // A failure leaves the interpreter's own MemoryError pending.
            return bytes;
        }
        case DriverResult::Kind::Error: {
            PyObject* text =
                PyUnicode_FromStringAndSize(result.error.data(), static_cast<Py_ssize_t>(result.error.size()));
            if (text == nullptr) return nullptr;
            PyErr_SetObject(PyExc_RuntimeError, text);
            Py_DECREF(text);
            return nullptr;
        }
        case DriverResult::Kind::OutOfMemory:
            break;
    }
    return PyErr_NoMemory();
}

PyObject* columnarize_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Positional binding.
    PyObject* payload = nullptr;
    PyObject* min_rows = nullptr;
    if (nargs > 2) {
        return type_error("columnarize() takes from 1 to 2 positional arguments but " + std::to_string(nargs) +
                          " were given");
    }
    if (nargs >= 1) payload = args[0];
    if (nargs >= 2) min_rows = args[1];

    // Keyword binding: matched by length, then bytes; no dictionary look-up.
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, i);
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(name, &len);
            PyObject** slot = nullptr;
            const char* param = nullptr;
            if (text == nullptr) {
                Py_DECREF(take_exception());
            } else {
                const std::string_view key(text, static_cast<std::size_t>(len));
                if (key == param_payload) {
                    slot = &payload;
                    param = "payload";
                } else if (key == param_min_rows) {
                    slot = &min_rows;
                    param = "min_rows";
                }
            }
            if (slot == nullptr)
                return type_error("columnarize() got an unexpected keyword argument '" + lossy_text(name) + "'");
            if (*slot != nullptr)
                return type_error(std::string("columnarize() got multiple values for argument '") + param + "'");
            *slot = args[nargs + i];
        }
    }
    if (payload == nullptr) return type_error("columnarize() missing 1 required positional argument: 'payload'");

    // payload: bytes or a subclass, read in place.
    if (!PyBytes_Check(payload)) {
        PyObject* exc;
        if (payload == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bytes'");
            exc = take_exception();
        } else {
            exc = not_an_instance(payload, "bytes");
        }
        raise_with_note(exc, "while processing 'payload'");
        return nullptr;
    }
    const char* data = PyBytes_AS_STRING(payload);
    const auto len = static_cast<std::size_t>(PyBytes_GET_SIZE(payload));

    // min_rows: validated as an unsigned 64-bit integer, then dropped.
    if (min_rows != nullptr) {
        PyObject* index = nullptr;
        unsigned long long value;
        if (PyLong_Check(min_rows)) {
            value = PyLong_AsUnsignedLongLong(min_rows);
        } else {
            index = PyNumber_Index(min_rows);
            value = index != nullptr ? PyLong_AsUnsignedLongLong(index) : static_cast<unsigned long long>(-1);
        }
        Py_XDECREF(index);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            raise_with_note(take_exception(), "while processing 'min_rows'");
            return nullptr;
        }
    }

    PyObject* placed = nullptr;
    DriverResult result = tessik::transform::columnarize(data, len, &placed);
    return raise_driver_result(result, placed);
}

// The fault barrier: nothing unwinds into the interpreter.
PyObject* columnarize_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return with_fault_barrier([&] { return columnarize_impl(args, PyVectorcall_NARGS(nargsf), kwnames); },
                              static_cast<PyObject*>(nullptr), "unknown panic at the call boundary");
}

constexpr const char columnarize_doc[] =
    "columnarize(payload, min_rows=20)\n"
    "--\n"
    "\n"
    "Columnarize a row-oriented JSON payload (bytes or str), GIL released\n"
    "for the duration of the transform.\n"
    "\n"
    "Args:\n"
    "    payload: UTF-8 JSON bytes/str encoding a `list[dict]` of rows.\n"
    "    min_rows: Accepted for parity with the Python codec's signature;\n"
    "        not re-checked here (the Python caller already applied the\n"
    "        guard before calling this function).\n"
    "\n"
    "Returns:\n"
    "    UTF-8 JSON bytes encoding `{\"columns\", \"rows\", \"constants\"}`.\n"
    "\n"
    "Panic safety: `columnarize_json` is run inside a containment\n"
    "guard, so an unexpected fault inside the transform surfaces as an\n"
    "ordinary `RuntimeError` instead of the fault exception\n"
    "`PanicException`. `PanicException` derives from `BaseException`,\n"
    "not `Exception`: it would slip past a caller's `except Exception:`\n"
    "guard and break the \"a broken codec must never break a tool call\"\n"
    "contract. A stack overflow is not covered: it ends the process,\n"
    "and neither this guard nor the caller can catch it\n"
    "by any mechanism \xe2\x80\x94 a residual, documented limitation.";

PyMethodDef columnarize_method = {
    "columnarize",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(columnarize_entry)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    columnarize_doc,
};

// --------------------------------------------------------------------------
// The execution step.

// Records the function in the export list and sets it as an attribute.
int finish_exec(PyObject* module, PyObject* all, PyObject* fname, PyObject* function) {
    if (PyList_Append(all, fname) < 0) {
        PyObject* exc = take_exception();
        std::string description = "could not append __name__ to __all__: ";
        description += lossy_text(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
        description += ": ";
        description += lossy_text(exc);
        Py_DECREF(exc);
        throw Fault{std::move(description)};
    }
    return PyObject_SetAttr(module, fname, function) < 0 ? -1 : 0;
}

// An owned reference, released on every way out of a scope.
class Owned {
public:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_;
};

int exec_step_impl(PyObject* module) {
    if (module == nullptr) {
        PyErr_SetRaisedException(take_exception());
        return -1;
    }
    if (!PyModule_Check(module)) {
        PyErr_SetRaisedException(not_an_instance(module, "module"));
        return -1;
    }
    Owned function([module] {
        Owned name(PyModule_GetNameObject(module));
        return name ? PyCMethod_New(&columnarize_method, module, name.get(), nullptr) : nullptr;
    }());
    if (!function) return -1;

    Owned fname(PyObject_GetAttr(function.get(), interned(interned_name, "__name__")));
    if (!fname) return -1;
    if (!PyUnicode_Check(fname.get())) {
        PyErr_SetRaisedException(not_an_instance(fname.get(), "str"));
        return -1;
    }

    // The export list: __all__, created empty when the module has none.
    PyObject* all_name = interned(interned_all, "__all__");
    Owned all(PyObject_GetAttr(module, all_name));
    if (!all) {
        PyObject* exc = take_exception();
        if (!PyErr_GivenExceptionMatches(exc, PyExc_AttributeError)) {
            PyErr_SetRaisedException(exc);
            return -1;
        }
        Py_DECREF(exc);
        Owned fresh(PyList_New(0));
        if (!fresh || PyObject_SetAttr(module, all_name, fresh.get()) < 0) return -1;
        return finish_exec(module, fresh.get(), fname.get(), function.get());
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetRaisedException(not_an_instance(all.get(), "list"));
        return -1;
    }
    return finish_exec(module, all.get(), fname.get(), function.get());
}

int exec_step(PyObject* module) {
    return with_fault_barrier([&] { return exec_step_impl(module); }, -1,
                              "unknown panic in the module's execution step");
}

// --------------------------------------------------------------------------
// The module records.

constexpr const char module_name[] = "tessik_codec";
constexpr const char module_doc[] = "";

#ifdef TESSIK_LEGACY_SLOTS
// Slot ids and value kinds as the newer interface numbers them.
constexpr std::uint16_t slot_exec = 85, slot_gil = 87, slot_name = 100, slot_doc = 101, slot_abi = 109;
constexpr std::uint16_t flag_static = 0x2, flag_intptr = 0x4;
struct AbiInfo {
    std::uint8_t major, minor;
    std::uint16_t flags;
    std::uint32_t build_version, abi_version;
};
#ifdef Py_GIL_DISABLED
constexpr std::uint16_t abi_default_flags = 0x4;  // built for the free-threaded interpreter
#else
constexpr std::uint16_t abi_default_flags = 0x2;  // built for an interpreter with the lock
#endif
AbiInfo abi_info = {1, 0, abi_default_flags, 0, 0};
#else
constexpr std::uint16_t slot_exec = Py_mod_exec, slot_gil = Py_mod_gil, slot_name = Py_mod_name,
                        slot_doc = Py_mod_doc, slot_abi = Py_mod_abi;
constexpr std::uint16_t flag_static = PySlot_STATIC, flag_intptr = PySlot_INTPTR;
PyABIInfo abi_info = {1, 0, PyABIInfo_DEFAULT_FLAGS, 0, 0};
#endif

PySlot make_slot(std::uint16_t id, std::uint16_t flags, void* value) {
    PySlot s{};
    s.sl_id = id;
    s.sl_flags = flags;
    s.sl_ptr = value;
    return s;
}

PySlot module_slots[] = {
    make_slot(slot_exec, 0, reinterpret_cast<void*>(&exec_step)),
    make_slot(slot_abi, flag_static, &abi_info),
    make_slot(slot_gil, flag_intptr, reinterpret_cast<void*>(std::uintptr_t{1})),  // the lock is not needed
    make_slot(slot_name, flag_static, const_cast<char*>(module_name)),
    make_slot(slot_doc, flag_static, const_cast<char*>(module_doc)),
    make_slot(0, 0, nullptr),
};

// The definition's own slots for the PyInit road: on interpreters that know
// the slot records they lead to the same array; older ones get the legacy
// records for the execution step and the lock declaration.
PyModuleDef_Slot definition_slots[] = {
#ifdef TESSIK_LEGACY_SLOTS
    {Py_mod_exec, reinterpret_cast<void*>(&exec_step)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#else
    {Py_mod_slots, module_slots},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    module_name,
    module_doc,
    0,
    nullptr,
    definition_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tessik_codec(void) {
    return PyModuleDef_Init(&module_definition);
}

PyMODEXPORT_FUNC PyModExport_tessik_codec(void) { return module_slots; }
