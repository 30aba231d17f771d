#pragma once
// The targets run as on a machine with 2 MiB of memory. Every allocation sized from a file must be
// covered by the budget, so with the fuzzer's 2 GiB malloc limit an allocation that escapes the
// budget is what gets reported, not a large canvas the budget rightly allows on a big machine; and
// a small budget keeps the largest documents a few bytes can claim quick to make.
#include "image/Conversion.h"

inline Conversion smallConversion() { return Conversion(MemoryBudget(uint64_t{2} << 20, "the fuzz targets' 2 MiB")); }
