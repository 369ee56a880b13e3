#include "quillmere/settings.h"

#include <gtest/gtest.h>
