#include "quillmere/teams_notifier.h"

#include <gtest/gtest.h>
