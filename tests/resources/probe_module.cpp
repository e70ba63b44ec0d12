// The collection's own static initialiser does the work; the marker only
// gives a program something to call, so the linker keeps the shared variant.
extern "C" int glimm_resources_probe_marker() { return 1; }
