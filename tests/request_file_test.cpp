#include "quillmere/request_file.h"

#include <gtest/gtest.h>
