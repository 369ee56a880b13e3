#include "quillmere/driver.h"

#include <gtest/gtest.h>
