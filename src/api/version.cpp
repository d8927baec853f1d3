#include "concurrency/library.h"
#include "vendrix/vendrix.h"

extern "C" uint32_t VendrixVersion(void) noexcept { return vendrix::concurrency::kVendrixVersion; }
