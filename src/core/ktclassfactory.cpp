// The class-factory registry and its guarded access. The registry is a
// function-local static, so it is safe to reach from static initialisers of other
// files; its teardown at exit leaves a flag so that a late access raises instead
// of touching a destroyed map.
#include "core/ktclassfactory.h"

namespace {

// Both constant-initialised, so valid before any dynamic initialiser runs.
constinit KTClassFactoryRegistry* cachedRegistry = nullptr;
constinit bool registryDestroyed = false;

}  // namespace

KTClassFactoryRegistry* KTClassFactoryRegistry::Instance() {
  static KTClassFactoryRegistry registry;
  return &registry;
}

KTNullLock* KTClassFactoryRegistry::GetLock() {
  static KTNullLock lock;
  return &lock;
}

KTClassFactoryRegistry::~KTClassFactoryRegistry() {
  entries_.clear();
  cachedRegistry = nullptr;
  registryDestroyed = true;
}

KTClassFactoryRegistry::Entry KTClassFactoryRegistry::Find(int classId) const {
  auto it = entries_.lower_bound(classId);
  if (it != entries_.end() && it->first == classId)
    return it;
  return entries_.end();
}

bool KTClassFactoryRegistry::Register(int classId, KTCreateFunction create) {
  return entries_.emplace(classId, create).second;
}

KTClassFactoryRegistry* GetClassFactoryRegistry() {
  if (cachedRegistry)
    return cachedRegistry;
  KTNullLockGuard guard(KTClassFactoryRegistry::GetLock());
  if (!cachedRegistry) {
    if (registryDestroyed) {
      CheckInstance(nullptr, u"This class has already been destroyed");
    }
    KTClassFactoryRegistry* registry = KTClassFactoryRegistry::Instance();
    CheckInstance(registry, u"The Individual Factory Could Not Be Created");
    cachedRegistry = registry;
    registry->SetRegistryLock(KTClassFactoryRegistry::GetLock());
  }
  return cachedRegistry;
}
