#include "quillmere/app/driver.h"

#include <gtest/gtest.h>
