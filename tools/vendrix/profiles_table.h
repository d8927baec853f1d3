// `vendrix profiles`: the 42 stabilisation profiles as a table people can read.
#pragma once

#include <cstdio>

namespace vendrix::cli {

void PrintProfiles(std::FILE* out);

}  // namespace vendrix::cli
