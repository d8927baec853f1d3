#include <benchmark/benchmark.h>

#include "path/model_fit.h"
