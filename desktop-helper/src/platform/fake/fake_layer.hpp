#pragma once
// Every header of the fake platform includes this first: only tests, which link the fake, may
// see it; the helper's own code reaches a platform through the platform interface.

#if !defined(KOLVARIS_PLATFORM_FAKE_LAYER)
#error "a fake platform header was included outside the tests"
#endif
