#include "quillmere/logging.h"

#include <gtest/gtest.h>
