#include "fuzzhostlink.h"

#include "AUGlimm3_HostLink.h"
#include "AUGlimm3_Interface.h"

#include <algorithm>
#include <cstring>

namespace fuzzlink {

int context;
unsigned char unitStore[512];
int textSets;
int foreignCalls;
int parameterSets;
int lastParameterIndex = -1;
float lastParameterValue;
int plays;

void putUnitBytes(const unsigned char* data, size_t size) {
  std::memset(unitStore, 0, sizeof unitStore);
  std::memcpy(unitStore, data, std::min(size, sizeof unitStore));
}

}  // namespace fuzzlink

using namespace fuzzlink;

void parameterDispatcher(void* hostContext, int index, float value, void*) {
  if (hostContext != &context) {
    ++foreignCalls;
    return;
  }
  ++parameterSets;
  lastParameterIndex = index;
  lastParameterValue = value;
}

void setTextProperty(void* hostContext, char* textBuffer, void*) {
  if (hostContext != &context) {
    ++foreignCalls;
    return;
  }
  ++textSets;
  // Only up to the terminator: what lies beyond it is the editor's business.
  const size_t n = strnlen(textBuffer, kGlimmTextMaxBytes);
  std::memset(unitStore, 0, sizeof unitStore);
  std::memcpy(unitStore, textBuffer, n);
}

void setPlayProperty(void* hostContext) {
  if (hostContext != &context) {
    ++foreignCalls;
    return;
  }
  ++plays;
}

int getProperty(void* hostContext, int propertyID, void* data, int size) {
  if (hostContext != &context || propertyID != kGlimmProperty_Text || size != kGlimmTextBufferSize) {
    ++foreignCalls;
    return -50;
  }
  std::memcpy(data, unitStore, kGlimmTextBufferSize);
  return 0;
}

void activateCocoaWindow(void*) {}
