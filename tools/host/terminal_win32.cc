#include <io.h>

#include "platform.h"

namespace tollivar_host {

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace tollivar_host
