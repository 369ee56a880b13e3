#include "quillmere/gitlab_client.h"

#include <gtest/gtest.h>
