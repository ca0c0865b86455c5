#include "quelmo/state.hpp"

namespace zelvor::quelmo {

using glue::check;
using glue::Ref;

RecorderState state;

namespace {

constinit glue::Name append_name{"append"};
constinit glue::Name numpy_name{"org_np"};
constinit glue::Name zeros_name{"zeros"};
constinit glue::Name dtype_name{"dtype"};

}  // namespace

void append(PyObject* target, PyObject* value) {
    if (PyList_CheckExact(target)) {
        glue::check_status(PyList_Append(target, value));
    } else {
        check(PyObject_CallMethodOneArg(target, append_name.get(), value));
    }
}

void require_array(PyObject* obj) {
    if (!PyArray_Check(obj)) {
        glue::raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name,
                           PyArray_Type.tp_name);
    }
}

ArrayRef zeros(PyObject* shape, PyObject* dtype) {
    Ref np = global(numpy_name);
    Ref function = check(PyObject_GetAttr(np.get(), zeros_name.get()));
    Ref args = check(PyTuple_Pack(1, shape));
    Ref kwargs = check(PyDict_New());
    glue::check_status(PyDict_SetItem(kwargs.get(), dtype_name.get(), dtype));
    Ref result = check(PyObject_Call(function.get(), args.get(), kwargs.get()));
    require_array(result.get());
    return ArrayRef::steal(reinterpret_cast<PyArrayObject*>(result.release()));
}

ArrayRef zeros(int n, PyTypeObject* dtype) {
    Ref shape = check(PyLong_FromLong(n));
    return zeros(shape.get(), reinterpret_cast<PyObject*>(dtype));
}

}  // namespace zelvor::quelmo
