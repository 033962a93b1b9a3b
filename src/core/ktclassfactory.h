// The class-factory registry: the process-wide map from an integer class id to
// the function that creates an object of that class. Stream classes register
// themselves here and users create streams by id through it.
#pragma once

#include <map>

#include "core/kterrorlogger.h"

// A create function returns a new object of its class, converted to void* from
// the pointer type that the family of class ids agrees on (YStream* for the
// stream classes), or null when none can be created. The caller owns the object.
using KTCreateFunction = void* (*)();

class KTClassFactoryRegistry {
 public:
  using EntryMap = std::map<int, KTCreateFunction>;
  using Entry = EntryMap::const_iterator;

  // The one registry, built on the first call and torn down at process exit.
  // Users go through GetClassFactoryRegistry instead.
  static KTClassFactoryRegistry* Instance();

  // The lock guarding the creation of the registry and its first filling.
  static KTNullLock* GetLock();

  // The entry of classId, or End() when the id is not registered.
  Entry Find(int classId) const;
  Entry End() const { return entries_.end(); }

  // Inserts the pair; an id already present keeps its first function and the
  // result is false.
  bool Register(int classId, KTCreateFunction create);

  int GetCount() const { return static_cast<int>(entries_.size()); }

  KTNullLock* GetRegistryLock() const { return lock_; }
  void SetRegistryLock(KTNullLock* lock) { lock_ = lock; }

  KTClassFactoryRegistry(const KTClassFactoryRegistry&) = delete;
  KTClassFactoryRegistry& operator=(const KTClassFactoryRegistry&) = delete;

 private:
  KTClassFactoryRegistry() = default;
  ~KTClassFactoryRegistry();

  EntryMap entries_;
  KTNullLock* lock_ = nullptr;  // not owned
};

// Guarded access to the registry, done by every user before touching it. Raises
// KTComError(0x8000FFFF) when the registry cannot be built or has already been
// torn down at exit.
KTClassFactoryRegistry* GetClassFactoryRegistry();
