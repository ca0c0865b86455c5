// A test-only extension module whose `Exporter` hands out exactly the buffer description it was
// built with, whatever the consumer asked for: NULL strides, NULL shape, NULL format, suboffsets.
// Lets the tests feed the engine the layouts other exporters may produce (some of them legal, some
// not), without depending on any one library's habits.
//
//   Exporter(data: bytes, format: str | None, itemsize: int, ndim: int,
//            shape: tuple | None, strides: tuple | None, suboffsets: tuple | None)
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

namespace {

struct Exporter {
    PyObject ob_base;
    std::vector<char>* data;
    std::string* format;  // nullptr: NULL format
    Py_ssize_t itemsize;
    int ndim;
    std::vector<Py_ssize_t>* shape;  // nullptr: NULL shape; likewise below
    std::vector<Py_ssize_t>* strides;
    std::vector<Py_ssize_t>* suboffsets;
};

// A tuple of ints as a vector, or nullptr for None. Returns false with an error set on failure.
bool read_sizes(PyObject* obj, std::vector<Py_ssize_t>** out) {
    *out = nullptr;
    if (obj == Py_None) return true;
    PyObject* seq = PySequence_Fast(obj, "expected a tuple of ints or None");
    if (seq == nullptr) return false;
    auto* sizes = new std::vector<Py_ssize_t>();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        const Py_ssize_t value = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(seq, i));
        if (value == -1 && PyErr_Occurred()) {
            delete sizes;
            Py_DECREF(seq);
            return false;
        }
        sizes->push_back(value);
    }
    Py_DECREF(seq);
    *out = sizes;
    return true;
}

void exporter_dealloc(PyObject* self) {
    auto* e = reinterpret_cast<Exporter*>(self);
    delete e->data;
    delete e->format;
    delete e->shape;
    delete e->strides;
    delete e->suboffsets;
    Py_TYPE(self)->tp_free(self);
}

int exporter_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"data", "format", "itemsize", "ndim", "shape", "strides", "suboffsets", nullptr};
    auto* e = reinterpret_cast<Exporter*>(self);
    Py_buffer data;
    PyObject* format = nullptr;
    PyObject *shape = nullptr, *strides = nullptr, *suboffsets = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*OniOOO", const_cast<char**>(names), &data, &format, &e->itemsize,
                                     &e->ndim, &shape, &strides, &suboffsets)) {
        return -1;
    }
    e->data = new std::vector<char>(static_cast<const char*>(data.buf), static_cast<const char*>(data.buf) + data.len);
    PyBuffer_Release(&data);
    if (format != Py_None) {
        const char* text = PyUnicode_AsUTF8(format);
        if (text == nullptr) return -1;
        e->format = new std::string(text);
    }
    if (!read_sizes(shape, &e->shape) || !read_sizes(strides, &e->strides) || !read_sizes(suboffsets, &e->suboffsets))
        return -1;
    return 0;
}

int exporter_getbuffer(PyObject* self, Py_buffer* view, int) {
    auto* e = reinterpret_cast<Exporter*>(self);
    view->buf = e->data->data();
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(e->data->size());
    view->readonly = 1;
    view->itemsize = e->itemsize;
    view->format = e->format ? const_cast<char*>(e->format->c_str()) : nullptr;
    view->ndim = e->ndim;
    view->shape = e->shape ? e->shape->data() : nullptr;
    view->strides = e->strides ? e->strides->data() : nullptr;
    view->suboffsets = e->suboffsets ? e->suboffsets->data() : nullptr;
    view->internal = nullptr;
    return 0;
}

PyBufferProcs exporter_buffer = {exporter_getbuffer, nullptr};

PyTypeObject exporter_type = {
    PyVarObject_HEAD_INIT(nullptr, 0) "buffer_exporter.Exporter",
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "buffer_exporter", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_buffer_exporter() {
    exporter_type.tp_basicsize = sizeof(Exporter);
    exporter_type.tp_flags = Py_TPFLAGS_DEFAULT;
    exporter_type.tp_new = PyType_GenericNew;
    exporter_type.tp_init = exporter_init;
    exporter_type.tp_dealloc = exporter_dealloc;
    exporter_type.tp_as_buffer = &exporter_buffer;
    if (PyType_Ready(&exporter_type) < 0) return nullptr;
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module, "Exporter", reinterpret_cast<PyObject*>(&exporter_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
