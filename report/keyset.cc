#include "keyset.h"

namespace {

void grow(KeySet* s) {
  std::vector<RecordKey> old;
  old.swap(s->slots);
  s->slots.assign(old.empty() ? 1024 : old.size() * 2, RecordKey{});
  s->used = 0;
  for (const RecordKey& k : old)
    if (k.hi || k.lo) keyset_insert(s, k);
}

}  // namespace

bool keyset_insert(KeySet* s, RecordKey k) {
  if (!k.hi && !k.lo) k.lo = 1;  // the free mark is no key
  if ((s->used + 1) * 4 > s->slots.size() * 3) grow(s);
  size_t mask = s->slots.size() - 1;
  // Keys are hashes or random attempts: their own bits spread well.
  for (size_t i = (k.lo ^ (k.hi >> 7)) & mask;; i = (i + 1) & mask) {
    RecordKey& slot = s->slots[i];
    if (slot == k) return false;
    if (!slot.hi && !slot.lo) {
      slot = k;
      ++s->used;
      return true;
    }
  }
}
