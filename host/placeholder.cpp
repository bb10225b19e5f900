// Placeholder so the library has a source until the real ones land.
namespace placeholder_host { int unused = 0; }
