// The content hash of the remembered checks: XXH3 with 128 bits, fed by the
// check's own reads.
#pragma once

#include <memory>

#include "scan/filecheck.h"

namespace velkscan::store {

// Null when there is no memory for it: the file is then checked unhashed.
std::unique_ptr<ContentHasher> MakeXxh3Hasher();

}  // namespace velkscan::store
