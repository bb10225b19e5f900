// Placeholder so the library has a source until the real ones land.
namespace placeholder_support { int unused = 0; }
