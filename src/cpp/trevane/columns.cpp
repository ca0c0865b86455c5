#include "trevane/columns.hpp"

#include <string>
#include <unordered_map>

#include "pyglue/errors.hpp"

namespace zelvor::trevane {

namespace {

std::string label_key(PyObject* label) {
    // An exact str encodes without a method call; anything else is asked for its own encode.
    if (PyUnicode_CheckExact(label)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(label, &size);
        if (utf8 == nullptr) throw glue::ErrorSet{};
        return std::string(utf8, static_cast<size_t>(size));
    }
    glue::Ref encoded = glue::check(PyObject_CallMethod(label, "encode", "s", "UTF-8"));
    if (PyBytes_Check(encoded.get())) {
        return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    }
    if (PyByteArray_Check(encoded.get())) {
        return std::string(PyByteArray_AS_STRING(encoded.get()),
                           static_cast<size_t>(PyByteArray_GET_SIZE(encoded.get())));
    }
    glue::raise_format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(encoded.get())->tp_name);
}

}  // namespace

engine::ColumnMap map_columns(const LabelArray& price_columns, const LabelArray& pos_columns) {
    std::unordered_map<std::string, int> name_to_price_column;
    name_to_price_column.reserve(static_cast<size_t>(price_columns.size));
    for (Py_ssize_t i = 0; i < price_columns.size; ++i) {
        name_to_price_column.insert_or_assign(label_key(price_columns[i]), static_cast<int>(i));
    }
    engine::ColumnMap columns;
    for (Py_ssize_t s = 0; s < pos_columns.size; ++s) {
        auto found = name_to_price_column.find(label_key(pos_columns[s]));
        if (found != name_to_price_column.end())
            columns.emplace_hint(columns.end(), static_cast<int>(s), found->second);
    }
    return columns;
}

PyObject* label_text(PyObject* label) {
    if (PyUnicode_CheckExact(label)) return Py_NewRef(label);
    glue::Ref empty_format = glue::check(PyUnicode_FromString(""));
    return PyObject_Format(label, empty_format.get());
}

}  // namespace zelvor::trevane
