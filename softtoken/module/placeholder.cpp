// Placeholder until the module is written.
extern "C" int softtoken_placeholder() { return 0; }
