#include "report/keyset.h"

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
  if (!k.hi && !k.lo) {
    // A real attempt id of all zeros: kept beside the table, not folded
    // into another key.
    bool added = !s->has_zero;
    s->has_zero = true;
    return added;
  }
  if ((s->used + 1) * 4 > s->slots.size() * 3) grow(s);
  size_t mask = s->slots.size() - 1;
  for (size_t i = record_key_hash(k) & mask;; i = (i + 1) & mask) {
    ++s->probes;
    RecordKey& slot = s->slots[i];
    if (slot == k) return false;
    if (!slot.hi && !slot.lo) {
      slot = k;
      ++s->used;
      return true;
    }
  }
}
