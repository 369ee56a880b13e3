#include "quillmere/yaml_scalar.h"

#include <gtest/gtest.h>
