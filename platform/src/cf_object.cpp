// Reference counting, strings and URLs.
#include "cf_internal.h"

#include "Utf8.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

const CFAllocatorRef kCFAllocatorDefault = nullptr;

namespace glimm::cf {

namespace {

struct String final : Object {
  String(std::string t, bool constant) : Object(Kind::String, constant), utf8(std::move(t)) {}
  const std::string utf8;
};

struct Url final : Object {
  Url(std::string p, bool dir) : Object(Kind::Url), path(std::move(p)), isDirectory(dir) {}
  const std::string path;  // absolute, without a trailing slash except for "/"
  const bool isDirectory;
};

const String* asString(CFTypeRef cf) {
  Object* o = object(cf);
  return o && o->kind == Kind::String ? static_cast<const String*>(o) : nullptr;
}

const Url* asUrl(CFTypeRef cf) {
  Object* o = object(cf);
  return o && o->kind == Kind::Url ? static_cast<const Url*>(o) : nullptr;
}

// Text in `encoding` to UTF-8; false when it is not valid in that encoding.
bool toUtf8(const char* text, CFStringEncoding encoding, std::string* out) {
  const std::string in(text);
  switch (encoding) {
    case kCFStringEncodingUTF8:
      if (!glimm::utf8::valid(in.data(), in.size())) return false;
      *out = in;
      return true;
    case kCFStringEncodingASCII:
      for (unsigned char c : in)
        if (c >= 0x80) return false;
      *out = in;
      return true;
    case kCFStringEncodingISOLatin1:
      out->clear();
      for (unsigned char c : in) {
        if (c < 0x80) {
          out->push_back(static_cast<char>(c));
        } else {
          out->push_back(static_cast<char>(0xC0 | (c >> 6)));
          out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
      }
      return true;
    default:
      return false;
  }
}

bool fromUtf8(const std::string& utf8, CFStringEncoding encoding, std::string* out) {
  if (encoding == kCFStringEncodingUTF8) {
    *out = utf8;
    return true;
  }
  const uint32_t limit = encoding == kCFStringEncodingASCII ? 0x80 : encoding == kCFStringEncodingISOLatin1 ? 0x100 : 0;
  if (limit == 0) return false;
  bool ok = true;
  out->clear();
  glimm::utf8::forEach(utf8, [&](uint32_t cp) {
    if (cp >= limit)
      ok = false;
    else
      out->push_back(static_cast<char>(cp));
  });
  return ok;
}

std::string normalisedPath(std::string path) {
  if (!path.empty() && path[0] != '/') {
    // Relative paths resolve against the working directory at creation, so a
    // later chdir does not move the URL.
    std::string cwd(4096, '\0');
    if (getcwd(cwd.data(), cwd.size())) {
      cwd.resize(std::strlen(cwd.c_str()));
      path = cwd + (cwd == "/" ? "" : "/") + path;
    }
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

Object* object(CFTypeRef cf) {
  if (!cf) return nullptr;
  return static_cast<Object*>(const_cast<void*>(cf));
}

std::atomic<int64_t (*)()> gLogicalClock{nullptr};

int64_t monotonicNs() {
  if (int64_t(*logical)() = gLogicalClock.load(std::memory_order_acquire)) return logical();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace glimm::cf

using namespace glimm::cf;

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
  Object* o = object(cf);
  if (o && !o->isConstant) o->refs.fetch_add(1, std::memory_order_relaxed);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  Object* o = object(cf);
  if (!o || o->isConstant) return;
  if (o->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete o;
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  Object* o = object(cf);
  if (!o) return 0;
  // Constants report a count that never reaches zero, as on the Mac.
  return o->isConstant ? CFIndex(0x7fffffff) : o->refs.load(std::memory_order_relaxed);
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  // Interned: one object per text, kept for the process.
  static std::mutex mutex;
  static auto* table = new std::unordered_map<std::string, String*>();
  const std::string key(cStr ? cStr : "");
  std::lock_guard<std::mutex> lock(mutex);
  auto it = table->find(key);
  if (it == table->end()) it = table->emplace(key, new String(key, true)).first;
  return reinterpret_cast<CFStringRef>(static_cast<Object*>(it->second));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
  if (!cStr) return nullptr;
  std::string utf8;
  if (!toUtf8(cStr, encoding, &utf8)) return nullptr;
  return reinterpret_cast<CFStringRef>(static_cast<Object*>(new String(std::move(utf8), false)));
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
  const String* s = asString(theString);
  if (!s || !buffer || bufferSize <= 0) return false;
  std::string out;
  if (!fromUtf8(s->utf8, encoding, &out) || CFIndex(out.size()) + 1 > bufferSize) return false;
  std::memcpy(buffer, out.c_str(), out.size() + 1);
  return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
  const String* s = asString(theString);
  if (!s) return nullptr;
  if (encoding == kCFStringEncodingUTF8) return s->utf8.c_str();
  if (encoding == kCFStringEncodingASCII) {
    for (unsigned char c : s->utf8)
      if (c >= 0x80) return nullptr;
    return s->utf8.c_str();
  }
  return nullptr;
}

CFIndex CFStringGetLength(CFStringRef theString) {
  const String* s = asString(theString);
  if (!s) return 0;
  // Length counts UTF-16 units, as on the Mac.
  CFIndex n = 0;
  glimm::utf8::forEach(s->utf8, [&](uint32_t cp) { n += cp >= 0x10000 ? 2 : 1; });
  return n;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  if (cf1 == cf2) return cf1 != nullptr;
  Object* a = object(cf1);
  Object* b = object(cf2);
  if (!a || !b || a->kind != b->kind) return false;
  if (a->kind == Kind::String) return static_cast<String*>(a)->utf8 == static_cast<String*>(b)->utf8;
  if (a->kind == Kind::Url) {
    auto* ua = static_cast<Url*>(a);
    auto* ub = static_cast<Url*>(b);
    return ua->path == ub->path && ua->isDirectory == ub->isDirectory;
  }
  return false;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle, Boolean isDirectory) {
  const String* s = asString(filePath);
  if (!s || s->utf8.empty()) return nullptr;
  return reinterpret_cast<CFURLRef>(static_cast<Object*>(new Url(normalisedPath(s->utf8), isDirectory)));
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory) {
  if (!buffer || bufLen <= 0) return nullptr;
  std::string path(reinterpret_cast<const char*>(buffer), size_t(bufLen));
  path.resize(std::strlen(path.c_str()));  // stop at an embedded NUL
  if (path.empty()) return nullptr;
  return reinterpret_cast<CFURLRef>(static_cast<Object*>(new Url(normalisedPath(path), isDirectory)));
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8* buffer, CFIndex maxBufLen) {
  const Url* u = asUrl(url);
  if (!u || !buffer || CFIndex(u->path.size()) + 1 > maxBufLen) return false;
  std::memcpy(buffer, u->path.c_str(), u->path.size() + 1);
  return true;
}

}  // extern "C"
