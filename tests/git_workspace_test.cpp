#include "quillmere/git_workspace.h"

#include <gtest/gtest.h>
