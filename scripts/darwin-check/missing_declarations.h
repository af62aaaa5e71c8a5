// Declarations that Apple documents for macOS 13 and that the darwin header kit lacks, written
// from Apple's public documentation (no SDK text). Only scripts/check-darwin.sh includes this
// file; a real build uses the SDK. Each entry names the page it comes from.
#pragma once
