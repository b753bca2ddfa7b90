#include "kaldo/version.h"

namespace kaldo {

const char* version() noexcept { return KALDO_VERSION_STRING; }

}  // namespace kaldo
