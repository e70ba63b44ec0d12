// The functions through which the editor reaches its host view. Plain
// pointers, integers and floats only: the Qt side never sees a platform type.
#pragma once

// Host context: the opaque host view given to the editor. With a null context
// the first four do nothing and getProperty returns -1.
void parameterDispatcher(void* hostContext, int index, float value, void* sender);
void setTextProperty(void* hostContext, char* textBuffer, void* sender);
void setPlayProperty(void* hostContext);
int getProperty(void* hostContext, int propertyID, void* data, int size);

// Gives keyboard focus to a native view (a Qt widget's window id); null does nothing.
void activateCocoaWindow(void* nativeView);

// Makes sure one Qt application object exists in the process; true when this
// call created it. A platform name, when given, is passed as Qt's -platform
// argument: it outranks the environment without changing it.
bool pluginInstance(const char* platform = nullptr);
