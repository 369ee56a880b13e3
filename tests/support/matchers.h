// The gMock matchers the tests use, by their short names, so that no test
// file repeats the same list of using-declarations.
#pragma once

#include <gmock/gmock.h>

namespace quillmere {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Pair;
using ::testing::StartsWith;

}  // namespace quillmere
