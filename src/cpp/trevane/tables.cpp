#include "trevane/tables.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "core/fill_log.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/module.hpp"
#include "pyglue/ref.hpp"
#include "trevane/actions.hpp"
#include "trevane/parameters.hpp"

namespace zelvor::trevane {

namespace {

using glue::Ref;
namespace params = backtest_parameters;

// The name of each Kind, in the enum's order.
constexpr std::array<const char*, 6> kind_names{"array", "real", "truth", "int32", "object", "optional_buffer"};
static_assert(kind_names.size() == static_cast<std::size_t>(params::Kind::optional_buffer) + 1);

// The value an omitted argument of parameter `p` takes, as a Python object.
Ref default_of(const params::Parameter& p, double infinity) {
    if (p.kind == params::Kind::real) {
        return glue::check(PyFloat_FromDouble(std::isinf(p.default_value) ? infinity : p.default_value));
    }
    if (p.kind == params::Kind::int32) return glue::check(PyLong_FromLong(static_cast<long>(p.default_value)));
    if (p.kind == params::Kind::truth || p.kind == params::Kind::object) {
        return Ref::borrow(p.default_value != 0.0 ? Py_True : Py_False);
    }
    return Ref::borrow(Py_None);  // the arrays have no default; delisting_bars' is None
}

Ref parameters(double infinity) {
    Ref result = glue::check(PyTuple_New(static_cast<Py_ssize_t>(params::count)));
    for (std::size_t i = 0; i < params::count; ++i) {
        const params::Parameter& p = params::table[i];
        Ref value = default_of(p, infinity);
        Ref row =
            glue::check(Py_BuildValue("(ssO)", p.name, kind_names[static_cast<std::size_t>(p.kind)], value.get()));
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return result;
}

Ref names(std::span<const char* const> texts) {
    Ref result = glue::check(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i),
                         glue::check(PyUnicode_FromString(texts[i])).release());
    }
    return result;
}

}  // namespace

void add_tables(PyObject* m, double infinity) {
    glue::add_object(m, "_PARAMETERS", parameters(infinity).get());
    glue::add_object(m, "_REASONS", names(engine::fill_reason_names).get());
    glue::add_object(m, "_ACTIONS", names(action::names).get());
}

}  // namespace zelvor::trevane
