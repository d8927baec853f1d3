// Files that appear whole or not at all: everything is written under a hidden temporary name beside
// the target and renamed over it only once complete, so an error or an interrupted run leaves no
// half-written file behind.
#pragma once

#include <string>

namespace vendrix::cli {

// The name written to while `path` is being produced: hidden, beside it, unique to this process.
std::string TemporaryNameFor(const std::string& path);

// Writes `bytes` to `path` atomically. Throws CliError naming the file and the reason.
void WriteFileAtomically(const std::string& path, const std::string& bytes);

}  // namespace vendrix::cli
