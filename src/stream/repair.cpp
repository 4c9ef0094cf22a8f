// The plan of a frame-count repair: the new header block, worked out from
// the block as read, so that it can be journalled before it is written.
#include <cstdint>
#include <cstring>

#include "stream/headerblock.h"
#include "stream/streaminfo.h"

namespace velkscan {

HeaderResult PlanCountRewrite(const StreamVersion& version, const uint8_t (&before)[kHeaderBlockSize],
                              uint32_t newCount, uint8_t (&after)[kHeaderBlockSize]) {
  std::memcpy(after, before, kHeaderBlockSize);
  if (version.layout == HeaderLayout::kVkq) {
    SetCountField(version, after, newCount);
    return HeaderResult::kOk;
  }
  // The older layout's word 0 is taken from the block itself, as the reader
  // would take it, and its count field is that of the version it names.
  StreamInfo info{};
  detail::FillWord0Sv46(info, BlockWord(before, 0));
  const HeaderResult check = detail::CheckWord0Sv46(info);
  if (check != HeaderResult::kOk) return check;
  // The count is stored as given (as the reader takes one off where the
  // layout biases it, such a file then claims one frame fewer), but never
  // as 0 there: that would read back as 0xFFFFFFFF frames, so 1 (read back
  // as 0) is stored instead. A narrow field keeps the count's low bits.
  const StreamVersion& countField = OlderLayoutCountField(info.streamVersion);
  uint32_t stored = static_cast<uint32_t>(newCount & CountFieldMax(countField));
  if (countField.countBias != 0 && stored == 0) stored = 1;
  SetCountField(countField, after, stored);
  return HeaderResult::kOk;
}

}  // namespace velkscan
