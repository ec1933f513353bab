// The security client's collection objects: a fixed list of variants (login names as strings,
// or entry objects) offering IAsasCollection, its enumerator (IEnumVariant), and the entry
// objects (IAsasEntry) with a name and a value. Collections are snapshots: made from the store
// when asked for, never updated afterwards. Immutable after creation, so thread-safe.
#pragma once

#include <vector>

#include "config_store.h"
#include "qendix/asas.h"

namespace asas {

// A new collection of `items` with one reference owned by the caller.
qx::RefPtr<qx::IAsasCollection> MakeCollection(std::vector<qx::Variant> items);

// A new collection of entry objects, one per entry, in order.
qx::RefPtr<qx::IAsasCollection> MakeEntryCollection(const std::vector<Entry>& entries);

// A new entry object.
qx::RefPtr<qx::IAsasEntry> MakeEntry(const Entry& entry);

}  // namespace asas
