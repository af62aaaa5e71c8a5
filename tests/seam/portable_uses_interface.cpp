// Builds: what portable code may see, the platform interface and the shared library.
#include "common/error.hpp"
#include "platform/files.hpp"

int seam_probe() { return 0; }
