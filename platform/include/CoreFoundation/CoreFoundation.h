// CoreFoundation stand-in: the base types, strings, URLs and the run loop,
// with Apple's names and signatures, for the parts the audio code calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
typedef SInt32 OSStatus;
typedef UInt32 OSType;
typedef UInt32 FourCharCode;
typedef long CFIndex;
typedef double CFTimeInterval;
typedef unsigned long CFOptionFlags;

enum { noErr = 0 };
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFURL* CFURLRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef UInt32 CFStringEncoding;

enum { kCFStringEncodingASCII = 0x0600, kCFStringEncodingUTF8 = 0x08000100, kCFStringEncodingISOLatin1 = 0x0201 };

extern const CFAllocatorRef kCFAllocatorDefault;

/* Reference counting for every CF object of this stand-in (strings, URLs). */
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);

/* Constant strings made with CFSTR live for the process and are never freed. */
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
/* Returns the UTF-8 text when the string holds it, NULL otherwise; no copy. */
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
CFIndex CFStringGetLength(CFStringRef theString);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);

typedef enum { kCFURLPOSIXPathStyle = 0 } CFURLPathStyle;
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory);
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer, CFIndex maxBufLen);

/* ---- Run loop ---------------------------------------------------------- */

enum { kCFRunLoopRunFinished = 1, kCFRunLoopRunStopped = 2, kCFRunLoopRunTimedOut = 3, kCFRunLoopRunHandledSource = 4 };

extern const CFStringRef kCFRunLoopDefaultMode;
extern const CFStringRef kCFRunLoopCommonModes;

/* One run loop per thread, created on first use, shared by every module of the process. */
CFRunLoopRef CFRunLoopGetCurrent(void);
/* The loop of the thread that loaded this library: the main thread of a program
   linked against it, or the thread that dlopened the first module using it. */
CFRunLoopRef CFRunLoopGetMain(void);
/* Runs pending work of `mode` on the calling thread's loop, waiting at most `seconds`. */
SInt32 CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled);
void CFRunLoopWakeUp(CFRunLoopRef rl);
void CFRunLoopStop(CFRunLoopRef rl);
CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef rl);
/* Seconds on a monotonic clock, the run loop's time base. */
CFTimeInterval CFAbsoluteTimeGetCurrent(void);

/* Not in Apple's API: work queued on a run loop; runs on that loop's thread when it runs in `mode`
   (or any mode for kCFRunLoopCommonModes). Thread-safe to call. */
void GlimmCFRunLoopPerform(CFRunLoopRef rl, CFStringRef mode, void (*fn)(void*), void* context);

/* ---- Driving the run loop from a foreign event loop (not in Apple's API) ---

   A host whose thread runs another event loop (Qt's) watches this file
   descriptor: it becomes readable when queued work or a timer of the loop is
   due, and only then, so an idle process never wakes up. The host then calls
   CFRunLoopRunInMode(mode, 0, false), which clears it. */
int GlimmCFRunLoopGetFileDescriptor(CFRunLoopRef rl);

/* Not in Apple's API: how many queued items and timers the loop has run so
   far. Lets tests and benchmarks show that an idle loop does no work.
   CFRetain / CFRelease also keep a run loop alive beyond its thread. */
UInt64 GlimmCFRunLoopGetPassCount(CFRunLoopRef rl);

/* ---- A logical clock for reproducible tests (not in Apple's API) ----------

   While set, `now` (nanoseconds, never decreasing) replaces the monotonic
   clock everywhere the platform reads time: CFAbsoluteTimeGetCurrent, due
   times of queued work and the listeners' notification intervals. Nothing
   then falls due by itself: the caller moves the clock, asks for the next due
   time and runs the loop. NULL goes back to the monotonic clock. Set it
   before any work is queued, from the main thread. */
void GlimmCFSetLogicalClock(SInt64 (*now)(void));
/* Due time (on the clock in use, ns) of the loop's earliest queued work in
   `mode`, or -1 when none is queued. */
SInt64 GlimmCFRunLoopGetNextDue(CFRunLoopRef rl, CFStringRef mode);

#ifdef __cplusplus
}
#endif
