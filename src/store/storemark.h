// What makes a file a store of checks of ours, read before anything is
// written to it: a foreign database, a newer store or any other file is
// refused and left as it is.
#pragma once

#include <cstdint>
#include <string>

namespace velkscan::store {

inline constexpr const char* kNoStore = "not a store of checks";

// Why the file at path is not a store this program may write; empty when it
// is one (of this schema or an older one it can bring up to date).
std::string WhyNotAStore(const std::string& path);
// The refusal of a store of a newer schema.
std::string NewerSchema(int64_t version);

}  // namespace velkscan::store
