#include "platform/memory_release.h"

#include <malloc.h>

void returnFreedMemoryToSystem() { ::malloc_trim(0); }
