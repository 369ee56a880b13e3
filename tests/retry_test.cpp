#include "quillmere/retry.h"

#include <gtest/gtest.h>
