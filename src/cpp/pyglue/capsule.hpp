// The published entry-point table (`__pyx_capi__`): a dictionary from entry name to a capsule
// whose name is the entry's exact signature text. Binders accept an entry only when that text
// matches character for character.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::glue {

enum class EntryKind { variable, function };

// Adds `pointer` under `name` to the table dictionary `capi`. Throws ErrorSet on failure.
void publish_entry(PyObject* capi, const char* name, void* pointer, const char* signature);

// Looks `name` up in the table of `module` and returns its pointer. A module without a table fails
// with the host's AttributeError; a missing entry with ImportError "... does not export expected
// C variable|function ..."; a different signature text with TypeError "... has wrong signature ...".
void* bind_entry(PyObject* module, EntryKind kind, const char* name, const char* signature);

}  // namespace zelvor::glue
