#include "pow/table_alloc.h"

#include <cstdlib>

namespace orvo::qel {

ReferenceTable* allocate_reference_table() {
    static_assert(sizeof(ReferenceTable) % alignof(ReferenceTable) == 0);
    return static_cast<ReferenceTable*>(
        std::aligned_alloc(alignof(ReferenceTable), sizeof(ReferenceTable)));
}

}  // namespace orvo::qel
