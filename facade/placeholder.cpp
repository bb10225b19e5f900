// Placeholder so the library has a source until the real ones land.
namespace placeholder_facade { int unused = 0; }
