// Must not build: portable code reaching for the Linux code-signature engine.
#include "codesign/bundle_manifest.hpp"

int seam_probe() { return 0; }
