// The keys of the records counted so far: an open-addressing table of
// 16-byte keys, the one thing that grows with the input without a store
// (16 bytes a record at most twice over).
#pragma once
#include <cstdint>
#include <vector>

#include "store/record.h"

struct KeySet {
  std::vector<RecordKey> slots;  // {0,0} marks a free slot
  size_t used = 0;
  bool has_zero = false;  // the all-zero key, which no slot can hold
  uint64_t probes = 0;    // slots looked at over all inserts: how well keys spread
};

// Adds `k`; returns true when it was not in the set yet.
bool keyset_insert(KeySet* s, RecordKey k);
