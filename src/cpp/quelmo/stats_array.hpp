// The statistics array of each trade record: a 1-D float64 array, made once per trade, so a long
// run makes (and the next run frees) a million of them.
#pragma once

#include "pyglue/numpy.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::quelmo {

// Prepares what every statistics array shares (its element type, its data allocator). Called once,
// at the module's initialisation.
void prepare_stats_arrays();

// A new 1-D float64 array of `length` elements, its values not yet written; NumPy's ValueError
// "negative dimensions are not allowed" for a negative length.
//
// Arrays of up to small_stats_bytes of data take their data from the interpreter's small-block
// allocator (NumPy names it "zelvor_quelmo_pymem" in get_handler_name) and are made a batch at a
// time; larger ones are made one at a time with NumPy's current allocator.
glue::Ref new_stats_array(npy_intp length);

// Frees the arrays made ahead and not handed out, so none outlives the run.
void release_spare_stats_arrays() noexcept;

inline constexpr npy_intp small_stats_bytes = 512;

}  // namespace zelvor::quelmo
