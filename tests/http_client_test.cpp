#include "quillmere/http_client.h"

#include <gtest/gtest.h>
