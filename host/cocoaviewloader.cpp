#include "cocoaviewloader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

bool GlimmGetCocoaViewInfo(AudioUnit unit, CocoaViewInfo* info, std::string* error) {
  UInt32 size = 0;
  Boolean writable = false;
  OSStatus err =
      AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global, 0, &size, &writable);
  if (err != noErr || size < sizeof(AudioUnitCocoaViewInfo)) {
    *error = "the unit names no editor (Cocoa UI property: status " + std::to_string(err) + ")";
    return false;
  }
  std::vector<unsigned char> storage(size);
  err = AudioUnitGetProperty(unit, kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global, 0, storage.data(), &size);
  if (err != noErr || size < sizeof(AudioUnitCocoaViewInfo)) {
    *error = "the unit would not say where its editor is (status " + std::to_string(err) + ")";
    return false;
  }
  auto* cocoa = reinterpret_cast<AudioUnitCocoaViewInfo*>(storage.data());
  const size_t classes = (size - offsetof(AudioUnitCocoaViewInfo, mCocoaAUViewClass)) / sizeof(CFStringRef);
  char path[4096] = {};
  char name[256] = {};
  const bool havePath = cocoa->mCocoaAUViewBundleLocation &&
                        CFURLGetFileSystemRepresentation(cocoa->mCocoaAUViewBundleLocation, true,
                                                         reinterpret_cast<UInt8*>(path), sizeof path);
  const bool haveName = cocoa->mCocoaAUViewClass[0] &&
                        CFStringGetCString(cocoa->mCocoaAUViewClass[0], name, sizeof name, kCFStringEncodingUTF8);
  // The caller owns what the property hands out, whether it is usable or not.
  if (cocoa->mCocoaAUViewBundleLocation) CFRelease(cocoa->mCocoaAUViewBundleLocation);
  for (size_t i = 0; i < classes; ++i)
    if (cocoa->mCocoaAUViewClass[i]) CFRelease(cocoa->mCocoaAUViewClass[i]);
  if (!havePath || !haveName) {
    *error = "the unit's editor location is incomplete";
    return false;
  }
  info->bundlePath = path;
  info->factoryClass = name;
  return true;
}

namespace {

// Bundles stay loaded for the process: their classes and resources serve
// every later view, and unloading code that a view still runs would crash.
bool loadBundleOnce(const std::string& path, std::string* error) {
  static std::mutex mutex;
  static std::map<std::string, void*> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if (loaded.count(path)) return true;
  if (access(path.c_str(), R_OK) != 0) {
    *error = "cannot read the editor bundle " + path + ": " + std::strerror(errno);
    return false;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    *error = "cannot load the editor bundle " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  loaded[path] = handle;
  return true;
}

}  // namespace

NSView* GlimmCreateCocoaView(AudioUnit unit, NSSize preferredSize, std::string* error) {
  try {
    CocoaViewInfo info;
    if (!GlimmGetCocoaViewInfo(unit, &info, error) || !loadBundleOnce(info.bundlePath, error)) return nullptr;
    Class cls = NSClassFromString(info.factoryClass.c_str());
    if (!cls) {
      *error = "the editor bundle " + info.bundlePath + " has no class " + info.factoryClass;
      return nullptr;
    }
    NSObject* object = GlimmClassCreateInstance(cls);
    auto* factory = dynamic_cast<AUCocoaUIBase*>(object);
    if (!factory) {
      if (object) object->release();
      *error = "the class " + info.factoryClass + " in " + info.bundlePath + " is not an editor factory";
      return nullptr;
    }
    NSView* view = nullptr;
    if (factory->interfaceVersion() != 0) {
      *error = "the editor factory " + info.factoryClass + " speaks interface version " +
               std::to_string(factory->interfaceVersion()) + ", not 0";
    } else {
      NSAutoreleasePool* pool = new NSAutoreleasePool;
      view = factory->uiViewForAudioUnit(unit, preferredSize);
      if (view) view->retain();
      pool->drain();
      if (!view) *error = "the editor factory " + info.factoryClass + " made no view";
    }
    object->release();
    return view;
  } catch (const std::exception& e) {
    *error = std::string("the editor failed to open: ") + e.what();
  } catch (...) {
    *error = "the editor failed to open";
  }
  return nullptr;
}
