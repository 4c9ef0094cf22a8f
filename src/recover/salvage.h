// The salvaged copy of a broken file: a new file that holds the frames the
// damage map kept, under the original header, and that checks whole.
//
// Layout: the original bytes in front of the header (an ID3v2 tag) as they
// are; then the bitstream from the header position in the stream's own bit
// order: the original header bits with the frame count set to the frames
// kept, the kept frames bit for bit (length field and body) in their order,
// the damaged stretches left out (each run taken in its own byte alignment
// and packed into the copy's one word grid), zero bits up to the end of the last word
// (and to the end of the 32-byte header block, should the file be shorter).
// The original is only read. The copy is written under a partial name in
// the target's folder (NAME.PID.velkscan-partial), synced and checked there,
// and only then renamed to its final name, which it never takes from another
// file; all of it by name in that folder's open handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/newfile.h"
#include "platform/text.h"
#include "recover/damagemap.h"
#include "stream/bytestream.h"
#include "stream/streaminfo.h"

namespace velkscan {

struct SalvageResult {
  enum class Status {
    kWritten,        // written, synced, and checked whole with exactly the kept frames
    kNothingKept,    // no frame passed
    kNoneDeclared,   // the header declares no frames, and none passed behind it
    kNotRewritten,   // a header this program never rewrites
    kCountTooLarge,  // the header's count field cannot hold the kept frames
    kMapIncomplete,  // the map stopped at a read error, or the job was stopped
    kReadFailed,     // reading the original failed while copying
    kOutOfReach,     // kept frames lie past the 4 GiB a stream position reaches
    kWriteFailed,    // the new file could not be created, written, synced or named (removed, unless
                     // partialLeft)
    kCheckFailed,    // the new file did not check whole (removed, unless partialLeft)
  };
  Status status = Status::kNothingKept;
  uint64_t keptFrames = 0;
  std::string error;  // the system's reason for kWriteFailed
  // Where a copy was begun and not finished: the partial file's name in its
  // folder, and whether removing it failed (removeError then says why).
  Text partialName;
  bool partialLeft = false;
  std::string removeError;
};

// The end of the name of a copy being written: one left behind by a
// killed run can be told by it.
inline constexpr const char* kPartialSuffix = ".velkscan-partial";
bool IsPartialName(TextView name);

// Writes the salvaged copy of the file read through `original` as `name` in
// folder (which must not hold that name), with at most the permission bits
// given, then checks it. Every file is made, read, named and removed
// relative to the folder's handle, never through a link.
SalvageResult WriteSalvage(ByteStream& original, const StreamInfo& info, const DamageMap& map,
                           const Folder& folder, const Text& name, uint32_t permissions = 0666);
// The same to newPath, in the folder its path names (links followed there).
SalvageResult WriteSalvage(ByteStream& original, const StreamInfo& info, const DamageMap& map,
                           const Text& newPath, uint32_t permissions = 0666);

}  // namespace velkscan
