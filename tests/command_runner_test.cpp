#include "quillmere/command_runner.h"

#include <gtest/gtest.h>
