// The features of quarn._native, one file each. Each adds its functions and
// classes to the module at execution; false with an exception set on failure.
#pragma once

#include "module/ref.h"

namespace quarn::native {

bool register_header(PyObject* module);  // header.cpp: read_header
bool register_batch(PyObject* module);   // batch.cpp: BatchReader
bool register_lazy(PyObject* module);    // lazy.cpp: LazyFile
bool register_rebuild(PyObject* module); // rebuild.cpp: rebuild_named, rebuild_psf (unpickling)
bool register_text(PyObject* module);    // text.cpp: read_text
bool register_text_entries(PyObject* module);  // text_entries.cpp: read_text_entries
bool register_split(PyObject* module);   // split.cpp: read_split, is_split_main

}  // namespace quarn::native
