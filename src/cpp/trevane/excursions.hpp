// _excursions: the excursion statistics of a run's trades, followed after the run in one call.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::trevane {

// Registered by module.cpp.
extern PyMethodDef excursions_def;

}  // namespace zelvor::trevane
