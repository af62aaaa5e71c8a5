#pragma once
// The one interface through which the helper reaches the operating system.
//
// Each area is an abstract class in its own header (code_signing.hpp, files.hpp, ...), with a
// Linux implementation in linux/, a macOS one in darwin/ and a scripted fake in fake/. The
// platform answers with facts (values, status codes, code + description, "no result"); the
// portable code in main/ and util/ turns them into the system's log lines and error texts.

namespace platform {

class Activation;
class CodeSigning;
class Files;
class Processes;

// Borrowed references to the implementations of each area; they outlive every caller.
struct Platform {
  Activation* activation = nullptr;
  CodeSigning* code_signing = nullptr;
  Files* files = nullptr;
  Processes* processes = nullptr;
};

// The running system's platform (process-wide, created on first use, never destroyed).
Platform& system_platform();

}  // namespace platform
