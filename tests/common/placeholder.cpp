// Keeps the helper library non-empty before any helper exists.
namespace th_test_common_placeholder { int unused = 0; }
