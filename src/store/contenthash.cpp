#include "store/contenthash.h"

#include <xxhash.h>

namespace velkscan::store {

namespace {

class Xxh3Hasher final : public ContentHasher {
 public:
  explicit Xxh3Hasher(XXH3_state_t* state) : state_(state) { XXH3_128bits_reset(state_); }
  ~Xxh3Hasher() override { XXH3_freeState(state_); }
  void Update(const void* bytes, std::size_t count) override { XXH3_128bits_update(state_, bytes, count); }
  void Digest(uint8_t (&digest)[16]) override {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_));
    for (int i = 0; i < 16; ++i) digest[i] = canonical.digest[i];
  }

 private:
  XXH3_state_t* state_;
};

}  // namespace

std::unique_ptr<ContentHasher> MakeXxh3Hasher() {
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) return nullptr;
  return std::make_unique<Xxh3Hasher>(state);
}

}  // namespace velkscan::store
