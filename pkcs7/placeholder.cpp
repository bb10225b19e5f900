// Placeholder so the library has a source until the real ones land.
namespace placeholder_pkcs7 { int unused = 0; }
