// Loading the bundle makes the factory findable by name; unloading takes the
// name away again, so a host can never make an instance from code that is gone.
// (The resource collection registers and unregisters itself the same way.)
#include "AUGlimm3_UIView.h"
#include "GlimmContract.h"

namespace {

NSObject* createViewFactory() { return new AUGlimm3_ViewFactory; }

struct FactoryRegistration {
  Class cls = GlimmClassRegister(kGlimmViewFactoryClassName, createViewFactory);
  ~FactoryRegistration() { GlimmClassUnregister(cls); }
};

const FactoryRegistration registration;

}  // namespace
