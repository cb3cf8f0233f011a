#include <unistd.h>

#include "platform.h"

namespace tollivar_host {

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

}  // namespace tollivar_host
