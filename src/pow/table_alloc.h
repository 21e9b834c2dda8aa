// Storage for the reference tables, kept in baseline code so that the per-ISA builders need no
// standard-library allocation of their own.
#pragma once

#include "pow/engines.h"

namespace orvo::qel {

// A 64-byte-aligned, uninitialised table on the heap, never freed; null when allocation fails.
ReferenceTable* allocate_reference_table();

}  // namespace orvo::qel
