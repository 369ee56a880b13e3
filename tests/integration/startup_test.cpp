#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
