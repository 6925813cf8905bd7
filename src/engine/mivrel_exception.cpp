#include "engine/mivrel_exception.h"

#include <cstdarg>

#include "engine/format_string.h"

MivrelException::MivrelException(MivrelErrorCode code_, const char* format, ...) : code(code_) {
    va_list args;
    va_start(args, format);
    message = formatStringV(format, args);
    va_end(args);
}
