// zelvor.core.tamsil: turns a text into a byte array of the low eight bits of each code point.
#include <array>
#include <string>

#include "pyglue/args.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/module.hpp"

namespace zelvor::tamsil {

namespace glue = zelvor::glue;

namespace {

constexpr std::array<const char*, 1> str_to_bytearray_params{"text"};
constexpr glue::Signature str_to_bytearray_sig{"str_to_bytearray", str_to_bytearray_params, 1};

PyObject* str_to_bytearray(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<1>(
        "zelvor.core.tamsil.str_to_bytearray", str_to_bytearray_sig, args, nargsf, kwnames,
        [&](const auto& arg) -> PyObject* {
            PyObject* const text = arg[0];
            // Only an exact str is a text here; subclasses are refused like any other type.
            if (text != Py_None && !PyUnicode_CheckExact(text)) {
                glue::raise_format(PyExc_TypeError,
                                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "text", "str",
                                   Py_TYPE(text)->tp_name);
            }
            if (text == Py_None) glue::raise(PyExc_TypeError, "'NoneType' is not iterable");

            const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
            const int kind = PyUnicode_KIND(text);
            const void* data = PyUnicode_DATA(text);
            std::string bytes(static_cast<size_t>(length), '\0');
            for (Py_ssize_t k = 0; k < length; ++k) {
                bytes[static_cast<size_t>(k)] = static_cast<char>(PyUnicode_READ(kind, data, k) & 0xFF);
            }
            return glue::check(PyByteArray_FromStringAndSize(bytes.data(), length)).release();
        });
}

PyMethodDef methods[] = {
    glue::method("str_to_bytearray", str_to_bytearray,
                 "str_to_bytearray($module, /, text)\n--\n\n"
                 "Return a new bytearray holding the low eight bits of each character's code point."),
    {nullptr, nullptr, 0, nullptr},
};

void initialise(PyObject* m);
glue::ModuleOnce module_once{"tamsil", "zelvor.core.tamsil", initialise};

void initialise(PyObject* m) {
    glue::register_module(m, module_once.full_name);
    glue::check_status(PyModule_AddFunctions(m, methods));
    glue::Ref test_dict = glue::check(PyDict_New());
    glue::add_object(m, "__test__", test_dict.get());
}

PyModuleDef definition = glue::module_definition<module_once>("tamsil", "Text utilities.");

}  // namespace

}  // namespace zelvor::tamsil

PyMODINIT_FUNC PyInit_tamsil() { return PyModuleDef_Init(&zelvor::tamsil::definition); }
