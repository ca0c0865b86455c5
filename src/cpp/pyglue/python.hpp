// The one way this project includes the interpreter's headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
// PyFrame_New, for traceback entries naming native functions; Python.h leaves it out.
#include <frameobject.h>
