/* A JSON library that lacks json_object_get_array: the names before it in
 * the binding order exist, the ones after it are never looked up. None is
 * called, because an incomplete JSON binding is never used. */
#if defined(_WIN32)
#define STUB(name) \
  __declspec(dllexport) void name(void) {}
#else
#define STUB(name) \
  __attribute__((visibility("default"))) void name(void) {}
#endif
STUB(json_tokener_parse)
STUB(json_object_object_get)
STUB(json_object_get_string)
STUB(json_object_get_int)
STUB(json_object_array_length)
STUB(json_object_get_double)
STUB(json_object_get_boolean)
STUB(json_object_array_get_idx)
STUB(json_object_put)
