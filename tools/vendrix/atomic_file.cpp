#include "atomic_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "cli_error.h"

namespace vendrix::cli {

namespace fs = std::filesystem;

std::string TemporaryNameFor(const std::string& path) {
  const fs::path p(path);
  return (p.parent_path() / fmt::format(".{}.vendrix-{}.tmp", p.filename().string(), getpid())).string();
}

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
  const std::string temp = TemporaryNameFor(path);
  std::error_code ec;
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (f) f.write(bytes.data(), std::streamsize(bytes.size()));
    if (f) f.close();
    if (!f) {
      const int err = errno ? errno : EIO;
      fs::remove(temp, ec);
      throw CliError(fmt::format("cannot write {}: {}", path, std::strerror(err)));
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw CliError(fmt::format("cannot write {}: {}", path, ec.message()));
  }
}

}  // namespace vendrix::cli
