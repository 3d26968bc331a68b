/* The result codes as a client's C99 or C++ code uses them: in the
 * preprocessor, as case labels, and (in C++) without a cast warning. Built
 * as an object only: it compiles or the build fails. */
#include "kiv_svcquery.h"

#if KIV_E_TRANSFER != 114 || KIV_E_NOT_JSON_114 != KIV_E_TRANSFER
#error "KIV_E_TRANSFER is not usable in #if"
#endif
/* 0xE0FF00FF read as a signed 32-bit number. */
#if KIV_E_OPTION_REFUSED >= 0 || KIV_E_OPTION_REFUSED + 0x100000000 != 0xE0FF00FF
#error "KIV_E_OPTION_REFUSED lost its value"
#endif
#if KIV_OK != 0 || KIV_E_NO_ROW_MEMORY != KIV_E_MISSING_ARGUMENT
#error "result codes are not plain integers"
#endif

#ifdef __cplusplus
#include <type_traits>
static_assert(std::is_same<decltype(KIV_E_OPTION_REFUSED), int32_t>::value, "int32_t codes");
static_assert(KIV_E_OPTION_REFUSED == static_cast<int32_t>(0xE0FF00FFu), "0xE0FF00FF");
#else
typedef char kiv_option_refused_is_negative[KIV_E_OPTION_REFUSED < 0 ? 1 : -1];
#endif

/* Every primary name as a case label: a duplicate value would not compile. */
int kiv_result_codes_classify(int32_t code);
int kiv_result_codes_classify(int32_t code) {
  switch (code) {
    case KIV_OK:
      return 0;
    case KIV_E_NO_MEMORY:
    case KIV_E_FILE_OPEN:
    case KIV_E_FILE_CREATE:
    case KIV_E_FILE_READ:
    case KIV_E_FILE_SIZE:
      return 1;
    case KIV_E_COMPRESS:
    case KIV_E_UNCOMPRESS:
    case KIV_E_HTTP_STATUS:
    case KIV_E_TRANSFER:
    case KIV_E_OPTION_REFUSED:
      return 2;
    case KIV_E_LIST_REFUSED:
    case KIV_E_NO_LIST:
    case KIV_E_MISSING_ARGUMENT:
    case KIV_E_FILE_WRITE:
      return 3;
    default:
      return kiv_result_name(code) != NULL ? -2 : -1;
  }
}
