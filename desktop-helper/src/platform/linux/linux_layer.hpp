#pragma once
// Every header of the Linux platform layer includes this first. Outside the targets of that
// layer (and what links them) the build stops here: portable code reaches Linux only through
// the platform interface.

#if !defined(KOLVARIS_PLATFORM_LINUX_LAYER)
#error "a Linux platform header was included outside the Linux platform layer"
#endif
