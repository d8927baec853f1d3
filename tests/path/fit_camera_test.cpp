#include <gtest/gtest.h>

#include "path/model_fit.h"
#include "path/synthetic_matches.h"
