// Intentionally empty: the module exists to carry the resource collection,
// whose own static initialiser does the registering.
extern "C" int glimm_resources_probe_marker() { return 1; }
