// The stream factories: RegisterStreamFactories builds one prototype of each
// stream class so that its constructor registers the class, and
// CreateStreamById is the sequence with which users get a stream by id.
#include "streams/ystream.h"

#include "core/ktclassfactory.h"
#include "streams/ktbuiltinstream.h"
#include "streams/ktfilestream.h"
#include "streams/ktmemorystream.h"

namespace {

// Prototype makers of the classes that live above this library, by class id.
// Constant-initialised, so a static initialiser of any file may fill a slot.
constinit KTStreamPrototypeMaker prototypeMakers[kStreamClassBuiltin + 1] = {};
constinit bool factoriesRegistered = false;

void MakeFileStreamPrototype() { static KTFileStreamImpl prototype; }
void MakeAppFolderStreamPrototype() { static KTAppFolderStreamImpl prototype; }
void MakeBuiltinStreamPrototype() { static KTBuiltinStreamImpl prototype; }
void MakeMemoryStreamPrototype() { static KTMemoryStreamImpl prototype; }

}  // namespace

void SetStreamPrototypeMaker(int classId, KTStreamPrototypeMaker make) {
  if (classId < 0 || classId > kStreamClassBuiltin || !make) return;
  prototypeMakers[classId] = make;
  if (factoriesRegistered) make();
}

void EnsureStreamFactories() {
  if (!factoriesRegistered) RegisterStreamFactories();
}

bool RegisterStreamFactories() {
  // Set first: the prototypes' constructors call EnsureStreamFactories.
  factoriesRegistered = true;
  // Each prototype is a function-local static: built once, never opened, and
  // destroyed at exit before the registry, which it reached first.
  MakeFileStreamPrototype();
  if (prototypeMakers[kStreamClassUrl]) prototypeMakers[kStreamClassUrl]();
  if (prototypeMakers[kStreamClassDelegator]) prototypeMakers[kStreamClassDelegator]();
  MakeAppFolderStreamPrototype();
  MakeBuiltinStreamPrototype();
  MakeMemoryStreamPrototype();
  return true;
}

YStream* CreateStreamById(int classId) {
  KTClassFactoryRegistry* registry = GetClassFactoryRegistry();
  if (!factoriesRegistered) {
    KTNullLockGuard guard(registry->GetRegistryLock());
    EnsureStreamFactories();
  }
  auto entry = registry->Find(classId);
  if (entry == registry->End() || !entry->second) return nullptr;
  return static_cast<YStream*>(entry->second());
}
